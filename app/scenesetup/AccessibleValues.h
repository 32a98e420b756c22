#pragma once

namespace scenesetup {

// What a screen reader reads where Qt Quick 6.4 leaves it silent. Once this
// is installed:
// - any item in the accessibility tree (it sets one of its `Accessible`
//   properties) that declares a property `accessibleValue` is shown with that
//   value, and each change of it is told as a value change: its name stays
//   put. Optional `accessibleMinimum` and `accessibleMaximum` give the range;
// - an item that declares `accessibleRole` has that role (Qt 6.4 puts a
//   control's own role back over `Accessible.role`), the checked state and
//   the press and toggle actions of its `Accessible` attached object;
// - every text input (fields, a spin box's text) is read with its text: Qt
//   Quick tells no text attributes, so screen readers that split the text by
//   its attributes (Orca) read nothing of it.
// - a window that turns active tells which control has the focus.
// The role, name and description are the item's `Accessible` ones; a text
// input that declares `accessibleValue` (a spin box's) has both. Installing
// twice is harmless.
void installAccessibleValues();

} // namespace scenesetup
