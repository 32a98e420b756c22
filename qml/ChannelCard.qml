import QtQuick
import QtQuick.Layouts
import Theme
import "ChartMath.js" as ChartMath

// Latest count of one channel.
Rectangle {
    id: card

    property int channel: 0
    property real count: 0
    property bool live: false
    // The count is from this link and recent; otherwise it is dimmed and marked.
    property bool fresh: true
    readonly property bool stale: live && !fresh
    // For screen readers the channel is the name and the count the value, so a
    // new count is told as a value change; what backs it is the description.
    readonly property real accessibleValue: live ? count : NaN

    Accessible.role: Accessible.StaticText
    Accessible.name: qsTr("CH %1").arg(channel)
    Accessible.description: live && fresh ? qsTr("counts / gate") : qsTr("no reading")
    Accessible.ignored: !visible
    // Shown as counts per second: the count over the gate period.
    property bool perSecond: false
    property int periodMs: 1000
    readonly property real shownValue: perSecond ? (periodMs > 0 ? count * 1000 / periodMs : NaN) : count

    implicitHeight: 96
    color: Theme.palette.backgroundControlColor
    border.width: 1
    border.color: live ? Theme.palette.borderHoveredControlColor : Theme.palette.borderIdleControlColor
    radius: 5

    ColumnLayout {
        anchors.fill: parent
        anchors.margins: 12
        spacing: 6

        RowLayout {
            Layout.fillWidth: true

            Text {
                objectName: "title"
                Layout.fillWidth: true
                text: qsTr("CH %1").arg(card.channel)
                color: Theme.palette.hoveredTextColor
                font.family: Theme.applicationFont.name
                font.pixelSize: Theme.textStyle.smallSize
            }

            StaleHint {
                visible: card.stale
            }
        }

        Text {
            objectName: "value"
            Layout.fillWidth: true
            Layout.fillHeight: true
            text: card.live ? ChartMath.formatCount(card.shownValue) : "\u2014"
            textFormat: Text.PlainText
            color: card.live && card.fresh ? Theme.palette.hoveredTextColor : Theme.palette.blockedTextColor
            font.family: Theme.applicationFont.name
            font.pixelSize: Theme.textStyle.bigSize
            verticalAlignment: Text.AlignVCenter
            elide: Text.ElideRight
        }

        Text {
            objectName: "unit"
            Layout.fillWidth: true
            text: card.perSecond ? qsTr("counts / s") : qsTr("counts / gate")
            color: Theme.palette.blockedTextColor
            font.family: Theme.applicationFont.name
            font.pixelSize: Theme.textStyle.smallestSize
        }
    }
}
