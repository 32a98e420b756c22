import QtQuick
import Theme

// The frame every chart of the scene sits in. The log-Y button is shown on
// request and its state read through logY; so is the export button, which
// reports clicks through exportClicked. Both stay above what a chart adds.
Rectangle {
    id: frame

    property bool showLogYButton: false
    readonly property alias logY: logYButton.checked
    property alias logYButton: logYButton
    property bool showExportButton: false
    property alias exportButton: exportButton

    signal exportClicked()

    color: Theme.palette.backgroundHoveredControlColor
    border.width: 1
    border.color: Theme.palette.borderIdleControlColor
    radius: 10 * Theme.widthScale
    clip: true

    LogYButton {
        id: logYButton
        z: 2
        visible: frame.showLogYButton
        anchors.top: parent.top
        anchors.right: parent.right
        anchors.topMargin: 8
        anchors.rightMargin: 8
    }

    ExportButton {
        id: exportButton
        objectName: "exportButton"
        z: 2
        visible: frame.showExportButton
        anchors.top: parent.top
        anchors.right: frame.showLogYButton ? logYButton.left : parent.right
        anchors.topMargin: 8
        anchors.rightMargin: frame.showLogYButton ? 4 : 8
        onClicked: frame.exportClicked()
    }
}
