import QtQuick
import QtQuick.Controls
import QtQuick.Layouts
import MyStyle
import Theme

// The time view's bar under the plot: the span shown, what the view shows
// of the history, the way back to the newest reading, and the statistics
// strip's switch. Drives the series it is given.
Item {
    id: bar

    property var series: null
    property alias statsButton: statsButton
    property alias liveButton: liveButton
    readonly property alias statsShown: statsButton.checked
    // The spans on offer; 0 is all of the history.
    readonly property var spans: [
        { ms: 30000, text: qsTr("30 s"), name: qsTr("Last 30 seconds") },
        { ms: 120000, text: qsTr("2 min"), name: qsTr("Last 2 minutes") },
        { ms: 600000, text: qsTr("10 min"), name: qsTr("Last 10 minutes") },
        { ms: 3600000, text: qsTr("1 h"), name: qsTr("Last hour") },
        { ms: 21600000, text: qsTr("6 h"), name: qsTr("Last 6 hours") },
        { ms: 86400000, text: qsTr("24 h"), name: qsTr("Last 24 hours") },
        { ms: 0, text: qsTr("All"), name: qsTr("All readings") }
    ]

    // "hh:mm:ss", with the date when it is not today's.
    function clock(ms) {
        const d = new Date(ms)
        const today = new Date()
        const time = Qt.formatTime(d, "hh:mm:ss")
        return d.toDateString() === today.toDateString() ? time : Qt.formatDate(d, "d MMM") + " " + time
    }

    implicitHeight: 30

    component BarButton: Button {
        id: barButton
        scaleFactor: 0.6
        Layout.preferredHeight: 24
        // As wide as its text: the bar holds a row of them.
        Layout.preferredWidth: Math.max(40, implicitContentWidth + leftPadding + rightPadding)
        leftPadding: 8
        rightPadding: 8
        topPadding: 2
        bottomPadding: 2
        hoverEnabled: true
        Accessible.role: Accessible.Button
        Accessible.ignored: !visible
    }

    RowLayout {
        anchors.fill: parent
        anchors.leftMargin: 8
        anchors.rightMargin: 8
        spacing: 4
        // What a span button drives; it reaches it as its parent.
        readonly property var series: bar.series

        Repeater {
            model: bar.spans

            BarButton {
                required property var modelData
                required property int index
                readonly property var host: parent
                objectName: "span" + index
                text: modelData.text
                // Not toggled by a click: lit while the series shows this span.
                checked: host.series !== null && host.series.spanMs === modelData.ms
                Accessible.name: modelData.name
                Accessible.checkable: true
                Accessible.checked: checked
                onClicked: host.series.spanMs = modelData.ms
            }
        }

        Text {
            objectName: "historyNote"
            Layout.fillWidth: true
            Layout.leftMargin: 8
            // Past the memory budget the oldest readings go: said while any have.
            readonly property bool dropped: bar.series !== null && bar.series.droppedReadings > 0
            text: dropped ? qsTr("Older readings dropped to stay within memory: history from %1")
                            .arg(bar.clock(bar.series.oldestTime))
                          : bar.series !== null && bar.series.paused && bar.series.hasData
                            ? qsTr("%1 – %2").arg(bar.clock(bar.series.timeMin)).arg(bar.clock(bar.series.timeMax))
                            : ""
            textFormat: Text.PlainText
            color: dropped ? Theme.palette.linkTextColor : Theme.palette.idleTextColor
            font.family: Theme.applicationFont.name
            font.pixelSize: Theme.textStyle.smallestSize
            elide: Text.ElideRight
            verticalAlignment: Text.AlignVCenter
            Accessible.role: Accessible.StaticText
            Accessible.name: text
            Accessible.ignored: !visible || text === ""
        }

        BarButton {
            id: liveButton
            objectName: "liveButton"
            text: qsTr("Live")
            // Held (paused or panned back): back to following the newest reading.
            // A recording shown: back to the link.
            enabled: bar.series !== null && (bar.series.paused || bar.series.fileShown)
            Accessible.name: qsTr("Live: follow the newest reading")
            onClicked: {
                if (bar.series.fileShown)
                    bar.series.closeFile()
                else
                    bar.series.paused = false
            }
        }

        BarButton {
            id: statsButton
            objectName: "statsButton"
            text: qsTr("Statistics")
            checkable: true
            // A switch on every Qt (6.8 would call a checkable button a button).
            Accessible.role: Accessible.CheckBox
            Accessible.name: qsTr("Statistics of the span shown")
        }
    }
}
