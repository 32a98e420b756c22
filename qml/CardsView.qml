import QtQuick
import QtQuick.Layouts

// One card per channel, four to a row.
Item {
    id: view

    Accessible.role: Accessible.Pane
    Accessible.name: qsTr("Channel cards")
    Accessible.ignored: !visible

    GridLayout {
        anchors.fill: parent
        anchors.margins: 1
        columns: 4
        rowSpacing: 8
        columnSpacing: 8

        Repeater {
            model: device.channelCount

            ChannelCard {
                id: card
                required property int index
                Layout.fillWidth: true
                Layout.fillHeight: true
                channel: index
                live: device.connected
                fresh: device.countsLive
                // Out of sight a card keeps its value and lays out no text;
                // it takes the current one when it shows again.
                Binding on count {
                    when: card.visible
                    value: card.index < device.counts.length ? device.counts[card.index] : 0
                    restoreMode: Binding.RestoreNone
                }
            }
        }
    }
}
