import QtQuick
import QtQuick.Controls
import QtQuick.Layouts
import MyStyle
import Theme
import TachyraCharts

// The calibration view's sweep settings: the channel (or all of them) and
// the range and step in mV, the progress ring in their place while a sweep
// runs, Start and Stop; below them what the sweep suggests.
ColumnLayout {
    id: panel

    readonly property int dacMaxMv: device.maxLevelMv
    readonly property int rowHeight: Math.round(34 * Theme.heightScale)
    property alias channelBox: channelBox
    property alias fromField: fromField
    property alias toField: toField
    property alias stepField: stepField
    readonly property alias ring: ring
    property alias results: results
    // The last entry of the channel box sweeps every channel, one after another.
    readonly property bool allChannels: channelBox.currentIndex === device.channelCount
    readonly property var sweepChannels: {
        if (!allChannels)
            return [channelBox.currentIndex]
        const all = []
        for (let i = 0; i < device.channelCount; ++i)
            all.push(i)
        return all
    }
    required property SweepPoints points

    signal startClicked()
    signal applyClicked()

    Rectangle {
        id: paramPanel
        Layout.fillWidth: true
        Layout.preferredHeight: params.height + 2 * 10 * Theme.widthScale + 2
        color: Theme.palette.backgroundControlColor
        border.width: 1
        border.color: Theme.palette.borderIdleControlColor
        radius: 10 * Theme.widthScale

        ColumnLayout {
            id: params
            objectName: "sweepParameters"
            anchors.top: parent.top
            anchors.left: parent.left
            anchors.right: parent.right
            anchors.margins: 10 * Theme.widthScale
            spacing: 0
            enabled: !device.calibrationRunning
            opacity: device.calibrationRunning ? 0 : 1
            // Out of the accessibility tree and the focus chain too.
            visible: !device.calibrationRunning

            Label {
                Layout.fillWidth: true
                horizontalAlignment: Text.AlignHCenter
                text: qsTr("Sweep Parameter:")
                color: Theme.palette.hoveredTextColor
                font.family: Theme.applicationFont.name
                font.pixelSize: Theme.textStyle.normalSize
            }

            ToolSeparator {
                Layout.fillWidth: true
                orientation: Qt.Horizontal
                verticalPadding: 2
            }

            GridLayout {
                Layout.fillWidth: true
                Layout.margins: 5
                columns: 2
                rowSpacing: 0
                columnSpacing: 4

                component RowLabel: Label {
                    Layout.preferredWidth: Math.max(60, implicitWidth)
                    verticalAlignment: Text.AlignVCenter
                    color: Theme.palette.idleTextColor
                    font.family: Theme.applicationFont.name
                    font.pixelSize: Theme.textStyle.smallSize
                }

                RowLabel { text: qsTr("Channel:"); Layout.preferredHeight: panel.rowHeight }
                ComboBox {
                    id: channelBox
                    objectName: "channelBox"
                    Layout.fillWidth: true
                    Layout.preferredHeight: panel.rowHeight
                    Layout.maximumHeight: panel.rowHeight
                    padding: 0
                    topInset: 1
                    bottomInset: 1
                    leftInset: 1
                    rightInset: 1
                    font.pixelSize: Theme.textStyle.smallSize
                    model: {
                        const names = []
                        for (let i = 0; i < device.channelCount; ++i)
                            names.push(qsTr("CH %1").arg(i))
                        names.push(qsTr("All channels"))
                        return names
                    }
                    currentIndex: 0
                    Accessible.name: qsTr("Sweep channel: %1").arg(displayText)
                }

                RowLabel { text: qsTr("From (mV):"); Layout.preferredHeight: panel.rowHeight }
                PropertyTextField {
                    id: fromField
                    objectName: "fromField"
                    Layout.preferredHeight: panel.rowHeight
                    font.pixelSize: Theme.textStyle.smallSize
                    min_value: 0
                    max_value: panel.dacMaxMv
                    value: 0
                    Accessible.name: qsTr("Sweep from, mV")
                }

                RowLabel { text: qsTr("To (mV):"); Layout.preferredHeight: panel.rowHeight }
                PropertyTextField {
                    id: toField
                    objectName: "toField"
                    Layout.preferredHeight: panel.rowHeight
                    font.pixelSize: Theme.textStyle.smallSize
                    min_value: 0
                    max_value: panel.dacMaxMv
                    value: panel.dacMaxMv
                    Accessible.name: qsTr("Sweep to, mV")
                }

                RowLabel { text: qsTr("Step (mV):"); Layout.preferredHeight: panel.rowHeight }
                PropertyTextField {
                    id: stepField
                    objectName: "stepField"
                    Layout.preferredHeight: panel.rowHeight
                    font.pixelSize: Theme.textStyle.smallSize
                    min_value: 1
                    max_value: panel.dacMaxMv
                    value: 10
                    Accessible.name: qsTr("Sweep step, mV")
                }
            }
        }

        CircularProgressBar {
            id: ring
            objectName: "sweepRing"
            z: 1
            anchors.centerIn: parent
            width: Math.max(0, Math.min(paramPanel.width, paramPanel.height) - 20 * Theme.widthScale)
            height: width
            visible: device.calibrationRunning
            value: device.calibrationProgress
            textVisible: false
            textFontSize: Theme.textStyle.bigSize
            onDoneAnimationFinished: device.stopCalibration()
            Accessible.name: qsTr("Sweep progress")
        }
    }

    RowLayout {
        id: startStop
        Layout.alignment: Qt.AlignHCenter
        spacing: 10

        Button {
            objectName: "startButton"
            text: qsTr("Start")
            icon.source: "Images/circle-circle-right-24px.svg"
            icon.width: 24 * Theme.widthScale
            icon.height: 24 * Theme.heightScale
            enabled: device.connected && !device.calibrationRunning
            onClicked: panel.startClicked()
            Accessible.description: panel.allChannels ? qsTr("Start the threshold sweep of every channel, one after another")
                                                      : qsTr("Start the threshold sweep of the channel above")
        }
        Button {
            objectName: "stopButton"
            text: qsTr("Stop")
            icon.source: "Images/circle-square-24px.svg"
            icon.width: 24 * Theme.widthScale
            icon.height: 24 * Theme.heightScale
            enabled: device.calibrationRunning
            onClicked: device.stopCalibration()
            Accessible.description: qsTr("Stop the sweep and put the thresholds back")
        }
    }

    SweepResults {
        id: results
        Layout.fillWidth: true
        Layout.preferredWidth: panel.width
        // Shrunk towards the button alone where the room is short.
        Layout.minimumHeight: results.applyButton.implicitHeight
        points: panel.points
        // The list only where a few of its rows fit; the question before
        // applying names every channel anyway.
        // (From sizes the layout does not set, so that showing it sets off no new layout.)
        listShown: panel.parent.height - paramPanel.Layout.preferredHeight - startStop.implicitHeight
                   - results.applyButton.implicitHeight - 3 * panel.spacing >= 90
        onApplyClicked: panel.applyClicked()
    }

    Item { Layout.fillHeight: true }
}
