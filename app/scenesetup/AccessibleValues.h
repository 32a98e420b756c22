#pragma once

namespace scenesetup {

// Qt Quick gives an accessible value only to sliders, spin boxes, dials and
// scroll bars. Once this is installed, any item in the accessibility tree (it
// sets one of its `Accessible` properties) that declares a property
// `accessibleValue` is shown to assistive technology with that value, and
// each change of it is told as a value change: its name stays put. Optional
// `accessibleMinimum` and `accessibleMaximum` give the range. The role, name
// and description are the item's `Accessible` ones. Installing twice is
// harmless.
void installAccessibleValues();

} // namespace scenesetup
