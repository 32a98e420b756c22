import QtQuick
import QtQuick.Layouts
import Theme
import "SceneLogic.js" as Logic

// Statistics of the span the time plot shows, a column per channel: mean,
// standard deviation, minimum and maximum of the counts per gate, the
// readings taken over, those left out (not a finite number) and the mean
// rate in counts per second (each count over its own gate).
Rectangle {
    id: strip

    // The plot's spanStats: one map per channel.
    property var stats: []
    property var colors: []
    property var visibility: []
    readonly property var rows: [
        { key: "mean", label: qsTr("mean") },
        { key: "stddev", label: qsTr("std dev") },
        { key: "min", label: qsTr("min") },
        { key: "max", label: qsTr("max") },
        { key: "count", label: qsTr("readings") },
        { key: "nonFinite", label: qsTr("not finite") },
        { key: "rate", label: qsTr("rate /s") }
    ]
    readonly property int rowHeight: Math.max(11, Math.round(Theme.textStyle.tinySize * 1.35))

    implicitHeight: (rows.length + 1) * rowHeight + 8
    color: Theme.palette.backgroundControlColor
    border.width: 1
    border.color: Theme.palette.borderIdleControlColor
    radius: 5
    Accessible.role: Accessible.Table
    Accessible.name: qsTr("Statistics of the span shown")
    Accessible.ignored: !visible

    RowLayout {
        anchors.fill: parent
        anchors.margins: 4
        anchors.leftMargin: 8
        anchors.rightMargin: 8
        spacing: 4
        // What the columns read; a column reaches it as its parent.
        readonly property var stats: strip.stats
        readonly property var colors: strip.colors
        readonly property var visibility: strip.visibility
        readonly property var rows: strip.rows
        readonly property int rowHeight: strip.rowHeight
        // One figure as the strip shows it.
        function cell(channel, key) {
            if (channel >= stats.length)
                return ""
            return Logic.formatStat(stats[channel][key], key === "count" || key === "nonFinite")
        }

        Column {
            id: labels
            readonly property var host: parent
            Layout.alignment: Qt.AlignTop
            Layout.preferredWidth: 58
            Item { width: 1; height: labels.host.rowHeight }
            Repeater {
                model: labels.host.rows
                Text {
                    required property var modelData
                    readonly property var column: parent
                    height: column.host.rowHeight
                    text: modelData.label
                    color: Theme.palette.blockedTextColor
                    font.family: Theme.applicationFont.name
                    font.pixelSize: Theme.textStyle.tinySize
                    verticalAlignment: Text.AlignVCenter
                }
            }
        }

        Repeater {
            model: strip.stats.length

            Column {
                id: channelColumn
                required property int index
                readonly property var host: parent
                readonly property bool shown: index >= host.visibility.length || host.visibility[index]
                objectName: "statsColumn" + index
                Layout.fillWidth: true
                Layout.preferredWidth: 10
                Layout.alignment: Qt.AlignTop
                opacity: shown ? 1 : 0.4
                Accessible.role: Accessible.Column
                Accessible.name: qsTr("CH %1").arg(index)

                Text {
                    width: parent.width
                    height: channelColumn.host.rowHeight
                    text: qsTr("CH %1").arg(channelColumn.index)
                    color: channelColumn.host.colors.length > 0
                           ? channelColumn.host.colors[channelColumn.index % channelColumn.host.colors.length]
                           : Theme.palette.idleTextColor
                    font.family: Theme.applicationFont.name
                    font.pixelSize: Theme.textStyle.tinySize
                    horizontalAlignment: Text.AlignRight
                    verticalAlignment: Text.AlignVCenter
                }
                Repeater {
                    model: channelColumn.host.rows
                    Text {
                        required property var modelData
                        readonly property var column: parent
                        objectName: "stat_" + modelData.key
                        width: column.width
                        height: column.host.rowHeight
                        text: column.host.cell(column.index, modelData.key)
                        textFormat: Text.PlainText
                        color: Theme.palette.idleTextColor
                        font.family: Theme.applicationFont.name
                        font.pixelSize: Theme.textStyle.tinySize
                        horizontalAlignment: Text.AlignRight
                        verticalAlignment: Text.AlignVCenter
                        elide: Text.ElideLeft
                        Accessible.role: Accessible.StaticText
                        Accessible.name: modelData.label + " " + text
                    }
                }
            }
        }
    }
}
