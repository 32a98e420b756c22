import QtQuick
import QtQuick.Layouts
import Theme
import "ChartMath.js" as ChartMath
import "SceneLogic.js" as Logic

// Latest count of one channel.
Rectangle {
    id: card

    property int channel: 0
    property real count: 0
    property bool live: false
    // The count is from this link and recent; otherwise it is dimmed and marked.
    property bool fresh: true
    readonly property bool stale: live && !fresh
    // A stop of the keyboard: a screen reader hears the channel and its count
    // as the name ("CH 3, 1234 counts per gate"), the count as the value.
    // While the card has the focus both keep what they said when the focus
    // came, so that the speech is not flooded by every reading (a name that
    // changed would be read again); Space or Enter has the newest read out
    // (`readRequested`).
    readonly property bool heardLive: live && fresh
    property bool heldLive: heardLive
    property real heardValue: shownValue
    readonly property real accessibleValue: heldLive ? heardValue : NaN
    function spoken(isLive, value) {
        if (!isLive)
            return qsTr("CH %1, no reading").arg(channel)
        return (perSecond ? qsTr("CH %1, %2 counts per second") : qsTr("CH %1, %2 counts per gate"))
            .arg(channel).arg(ChartMath.spokenCount(value))
    }
    // The newest count in words.
    readonly property string countText: spoken(heardLive, shownValue)
    signal readRequested()
    function hold(held) {
        heardValue = held ? shownValue : Qt.binding(() => card.shownValue)
        heldLive = held ? heardLive : Qt.binding(() => card.heardLive)
    }
    onActiveFocusChanged: hold(activeFocus)

    activeFocusOnTab: true
    Keys.onPressed: (event) => {
        if (event.key === Qt.Key_Space || event.key === Qt.Key_Return || event.key === Qt.Key_Enter) {
            readRequested()
            event.accepted = true
        }
    }

    Accessible.role: Accessible.ListItem
    Accessible.name: spoken(heldLive, heardValue)
    Accessible.description: qsTr("Space reads the newest count")
    Accessible.ignored: !visible
    // Shown as counts per second: the count over the gate period.
    property bool perSecond: false
    property int periodMs: 1000
    readonly property real shownValue: perSecond ? Logic.ratePerSecond(count, periodMs) : count

    // The style's focus mark, on the card's own edge: outside it, the view's
    // clip would cut it.
    Rectangle {
        objectName: "focusMark"
        anchors.fill: parent
        z: 10
        visible: card.activeFocus
        radius: card.radius
        color: "transparent"
        border.width: 2
        border.color: Theme.palette.borderHoveredControlColor
    }

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
