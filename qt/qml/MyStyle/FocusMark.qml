import QtQuick
import Theme

// The style's keyboard focus mark, the same on every control: an outline
// just outside the control's edge. Shown only for focus that came from the
// keyboard, so a click looks as it always did.
Rectangle {
    objectName: "focusMark"
    property bool shown: false
    // How far the outline stands off the control's edge.
    property real gap: 3

    anchors.fill: parent
    anchors.margins: -gap
    radius: 5 + gap
    z: 10
    visible: shown
    color: "transparent"
    border.width: 2
    border.color: Theme.palette.borderHoveredControlColor
}
