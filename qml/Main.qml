import QtQuick
import QtQuick.Controls

ApplicationWindow {
    id: window
    width: 980
    height: 460
    visible: true
    title: qsTr("Velmora")

    Column {
        anchors.centerIn: parent
        spacing: 8
        Label { text: device.statusText }
        Label { text: device.lastError }
        Label { text: device.counts.map(c => Number(c).toExponential(4)).join("  ") }
    }
}
