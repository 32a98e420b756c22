import QtQuick
import Theme

// The frame every chart of the scene sits in, with buttons over its
// top-right corner shown on request: log Y (its state read through logY),
// export (clicks reported through exportClicked), pause (state read
// through paused) and spectrum (state read through spectrum). Buttons stay above what a chart adds. Each button has a
// key that works while the frame is in sight.
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
    property bool showSpectrumButton: false
    readonly property alias spectrum: spectrumButton.checked
    property alias spectrumButton: spectrumButton
    // Left edge of the buttons, for what must keep clear of them.
    readonly property real buttonsLeft: buttons.x
    // The frame's view is the one in front. Its keys work only then and
    // while it is in sight: a view sliding out is still in sight a moment.
    property bool current: true
    // What a chart puts in the frame comes before the buttons, so that Tab
    // and a screen reader meet the chart and its legend first.
    default property alias content: chartContent.data

    signal exportClicked()

    color: Theme.palette.backgroundHoveredControlColor
    border.width: 1
    border.color: Theme.palette.borderIdleControlColor
    radius: 10 * Theme.widthScale
    clip: true

    Item {
        id: chartContent
        anchors.fill: parent
    }

    // Left to right as they stand: pause, export, spectrum, log Y.
    Row {
        id: buttons
        z: 2
        anchors.top: parent.top
        anchors.right: parent.right
        anchors.topMargin: 8
        anchors.rightMargin: 8
        spacing: 4

        PauseButton {
            id: pauseButton
            objectName: "pauseButton"
            visible: frame.showPauseButton
            keyText: pauseKey.sequence
        }
        ExportButton {
            id: exportButton
            objectName: "exportButton"
            visible: frame.showExportButton
            keyText: exportKey.sequence
            onClicked: frame.exportClicked()
        }
        SpectrumButton {
            id: spectrumButton
            objectName: "spectrumButton"
            visible: frame.showSpectrumButton
            keyText: spectrumKey.sequence
        }
        LogYButton {
            id: logYButton
            visible: frame.showLogYButton
            keyText: logYKey.sequence
        }
    }

    Shortcut {
        id: pauseKey
        sequence: "Ctrl+P"
        enabled: frame.current && frame.visible && pauseButton.visible && pauseButton.enabled
        onActivated: pauseButton.toggle()
    }
    Shortcut {
        id: exportKey
        sequence: "Ctrl+E"
        enabled: frame.current && frame.visible && exportButton.visible && exportButton.enabled
        onActivated: exportButton.clicked()
    }
    Shortcut {
        id: spectrumKey
        sequence: "Ctrl+D"
        enabled: frame.current && frame.visible && spectrumButton.visible && spectrumButton.enabled
        onActivated: spectrumButton.toggle()
    }
    Shortcut {
        id: logYKey
        sequence: "Ctrl+L"
        enabled: frame.current && frame.visible && logYButton.visible && logYButton.enabled
        onActivated: logYButton.toggle()
    }
}
