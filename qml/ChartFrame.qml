import QtQuick
import Theme

// The frame every chart of the scene sits in, with buttons over its
// top-right corner shown on request: log Y (its state read through logY),
// export (clicks reported through exportClicked) and pause (state read
// through paused). Buttons stay above what a chart adds.
Rectangle {
    id: frame

    property bool showLogYButton: false
    readonly property alias logY: logYButton.checked
    property alias logYButton: logYButton
    property bool showExportButton: false
    property alias exportButton: exportButton
    property bool showPauseButton: false
    readonly property alias paused: pauseButton.checked
    property alias pauseButton: pauseButton
    // Left edge of the buttons, for what must keep clear of them.
    readonly property real buttonsLeft: buttons.x

    signal exportClicked()

    color: Theme.palette.backgroundHoveredControlColor
    border.width: 1
    border.color: Theme.palette.borderIdleControlColor
    radius: 10 * Theme.widthScale
    clip: true

    Row {
        id: buttons
        z: 2
        anchors.top: parent.top
        anchors.right: parent.right
        anchors.topMargin: 8
        anchors.rightMargin: 8
        spacing: 4
        layoutDirection: Qt.RightToLeft

        LogYButton {
            id: logYButton
            visible: frame.showLogYButton
        }
        ExportButton {
            id: exportButton
            objectName: "exportButton"
            visible: frame.showExportButton
            onClicked: frame.exportClicked()
        }
        PauseButton {
            id: pauseButton
            objectName: "pauseButton"
            visible: frame.showPauseButton
        }
    }
}
