import QtQuick
import QtQuick.Layouts

// One card per channel, four to a row.
Item {
    id: view

    Accessible.role: Accessible.Pane
    Accessible.name: qsTr("Channel cards")
    Accessible.ignored: !visible
    // Counts per second: each count over the gate period in force.
    property bool perSecond: false

    GridLayout {
        anchors.fill: parent
        anchors.margins: 1
        columns: 4
        rowSpacing: 8
        columnSpacing: 8
        // What the cards read; a card reaches it as its parent.
        readonly property bool perSecond: view.perSecond

        Repeater {
            model: device.channelCount

            ChannelCard {
                id: card
                required property int index
                readonly property var host: parent
                Layout.fillWidth: true
                Layout.fillHeight: true
                channel: index
                live: device.connected
                fresh: device.countsLive
                perSecond: host.perSecond
                periodMs: device.periodMs
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
