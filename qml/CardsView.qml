import QtQuick
import QtQuick.Layouts

// One card per channel, four to a row.
Item {
    id: view

    GridLayout {
        anchors.fill: parent
        anchors.margins: 1
        columns: 4
        rowSpacing: 8
        columnSpacing: 8

        Repeater {
            model: device.channelCount

            ChannelCard {
                required property int index
                Layout.fillWidth: true
                Layout.fillHeight: true
                channel: index
                count: index < device.counts.length ? device.counts[index] : 0
                live: device.connected
                fresh: device.countsLive
            }
        }
    }
}
