import QtQuick
import Theme

// The frame every chart of the scene sits in, with the log-Y button shown on
// request and its state read through logY.
Rectangle {
    id: frame

    property bool showLogYButton: false
    readonly property alias logY: logYButton.checked
    property alias logYButton: logYButton

    color: Theme.palette.backgroundHoveredControlColor
    border.width: 1
    border.color: Theme.palette.borderIdleControlColor
    radius: 10 * Theme.widthScale
    clip: true

    LogYButton {
        id: logYButton
        visible: frame.showLogYButton
        anchors.top: parent.top
        anchors.right: parent.right
        anchors.topMargin: 8
        anchors.rightMargin: 8
    }
}
