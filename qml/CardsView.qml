import QtQuick
import QtQuick.Layouts
import "ChartMath.js" as ChartMath
import "SceneLogic.js" as Logic

// One card per channel, four to a row.
Item {
    id: view

    // A list of the cards, each a stop of the keyboard.
    Accessible.role: Accessible.List
    Accessible.name: qsTr("Channel cards")
    Accessible.ignored: !visible
    // Counts per second: each count over the gate period in force.
    property bool perSecond: false
    // Something for a screen reader to say now.
    signal announce(string text)

    // Counts that stop being live are told once; the check waits for a link
    // that closes.
    Connections {
        target: device
        function onCountsLiveChanged() {
            if (!device.countsLive)
                Qt.callLater(view.tellStale)
        }
    }
    // Every channel's newest count at once, from anywhere in the window.
    function readAll() {
        if (!device.connected || !device.countsLive) {
            view.announce(qsTr("No reading"))
            return
        }
        const words = []
        for (let i = 0; i < device.channelCount; ++i) {
            const c = i < device.counts.length ? device.counts[i] : 0
            const x = view.perSecond ? Logic.ratePerSecond(c, device.periodMs) : c
            words.push(qsTr("CH %1, %2").arg(i).arg(ChartMath.spokenCount(x)))
        }
        view.announce((view.perSecond ? qsTr("Counts per second: %1") : qsTr("Counts per gate: %1")).arg(words.join("; ")))
    }
    Shortcut {
        sequence: "Ctrl+Shift+C"
        onActivated: view.readAll()
    }
    function tellStale() {
        if (device.connected && !device.countsLive)
            view.announce(qsTr("No reading"))
    }

    GridLayout {
        anchors.fill: parent
        anchors.margins: 1
        columns: 4
        rowSpacing: 8
        columnSpacing: 8
        // What the cards read; a card reaches it as its parent.
        readonly property bool perSecond: view.perSecond
        function read(text) {
            view.announce(text)
        }

        Repeater {
            model: device.channelCount

            ChannelCard {
                id: card
                objectName: "card"
                required property int index
                readonly property var host: parent
                Layout.fillWidth: true
                Layout.fillHeight: true
                channel: index
                live: device.connected
                fresh: device.countsLive
                perSecond: host.perSecond
                periodMs: device.periodMs
                onReadRequested: card.host.read(card.countText)
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
