import QtQuick
import QtQuick.Controls
import QtQuick.Layouts
import MyStyle
import Theme
import TachyraCharts

// What the sweep suggests: the button that sets the suggested levels, and
// per channel swept the threshold in the valley between the noise and the
// first peak, or why there is none (a list that scrolls where the window
// is small). Shown once a channel is analysed.
ColumnLayout {
    id: results

    required property SweepPoints points
    // The colour of each channel's curve, indexed by channel.
    property var colors: []
    property alias applyButton: applyButton
    property bool listShown: true
    // The channels analysed so far, each with its curve's colour.
    readonly property var analysed: {
        const out = []
        for (const r of points.results) {
            if (r.analysed)
                out.push(Object.assign({ color: String(colors[r.channel] || Theme.palette.seriesColor) }, r))
        }
        return out
    }

    signal applyClicked()

    spacing: 10 * Theme.widthScale
    visible: analysed.length > 0

    Button {
        id: applyButton
        objectName: "applyButton"
        Layout.alignment: Qt.AlignHCenter
        text: qsTr("Apply suggestions")
        enabled: device.connected && !device.calibrationRunning && results.points.suggestionCount > 0
        onClicked: results.applyClicked()
        Accessible.description: qsTr("Set each channel's threshold to its suggested level")
    }

    Rectangle {
        readonly property real full: list.contentHeight + title.height + 2 * 10 * Theme.widthScale + 8
        Layout.fillWidth: true
        Layout.fillHeight: true
        Layout.preferredHeight: full
        Layout.maximumHeight: full
        visible: results.listShown
        clip: true
        color: Theme.palette.backgroundControlColor
        border.width: 1
        border.color: Theme.palette.borderIdleControlColor
        radius: 10 * Theme.widthScale

        Label {
            id: title
            anchors.top: parent.top
            anchors.left: parent.left
            anchors.right: parent.right
            anchors.margins: 10 * Theme.widthScale
            horizontalAlignment: Text.AlignHCenter
            text: qsTr("Suggested thresholds:")
            color: Theme.palette.hoveredTextColor
            font.family: Theme.applicationFont.name
            font.pixelSize: Theme.textStyle.normalSize
        }

        // Every row made (eight at most), so the height asked for is exact.
        Flickable {
            id: list
            objectName: "suggestionList"
            anchors.top: title.bottom
            anchors.bottom: parent.bottom
            anchors.left: parent.left
            anchors.right: parent.right
            anchors.margins: 10 * Theme.widthScale
            anchors.topMargin: 8
            clip: true
            contentHeight: rows.height
            interactive: contentHeight > height
            // The rows speak for themselves, each a text.
            Accessible.ignored: true
            // Only a hint to the eye: the rows are read as the list of texts.
            ScrollIndicator.vertical: ScrollIndicator { Accessible.ignored: true }

            Column {
                id: rows
                width: list.width
                spacing: 6

                Repeater {
                    model: results.analysed

                    delegate: Column {
                        id: row
                        required property var modelData
                        readonly property string level: modelData.hasSuggestion ? qsTr("%1 mV").arg(modelData.levelMv)
                                                                                : qsTr("none")
                        objectName: "suggestion" + modelData.channel
                        width: parent ? parent.width : 0
                        spacing: 2
                        Accessible.role: Accessible.StaticText
                        Accessible.name: qsTr("CH %1: %2. %3").arg(modelData.channel).arg(level).arg(modelData.reason)
                        Accessible.ignored: !visible

                        Row {
                            spacing: 6
                            Rectangle {
                                anchors.verticalCenter: parent.verticalCenter
                                width: 10
                                height: 10
                                radius: 2
                                color: row.modelData.color
                            }
                            Text {
                                text: qsTr("CH %1").arg(row.modelData.channel)
                                color: Theme.palette.idleTextColor
                                font.family: Theme.applicationFont.name
                                font.pixelSize: Theme.textStyle.smallSize
                                Accessible.ignored: true
                            }
                            Text {
                                text: row.level
                                color: row.modelData.hasSuggestion ? Theme.palette.hoveredTextColor
                                                                   : Theme.palette.blockedTextColor
                                font.family: Theme.applicationFont.name
                                font.pixelSize: Theme.textStyle.smallSize
                                font.bold: row.modelData.hasSuggestion
                                Accessible.ignored: true
                            }
                        }
                        // A suggestion is its own reason; without one, why not.
                        Text {
                            width: parent.width
                            visible: !row.modelData.hasSuggestion
                            text: row.modelData.reason
                            wrapMode: Text.Wrap
                            color: Theme.palette.blockedTextColor
                            font.family: Theme.applicationFont.name
                            font.pixelSize: Theme.textStyle.smallestSize
                            Accessible.ignored: true
                        }
                    }
                }
            }
        }
    }
}
