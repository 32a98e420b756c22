import QtQuick
import QtQuick.Controls
import Theme
import TachyraCharts
import TachyraFiles
import "SceneLogic.js" as Logic

// The sweep plot's read-out, over exactly its plot area: a line at the
// threshold under the pointer, the nearest point of the curve pointed at
// (the one whose line passes nearest the pointer) with its value, and a
// menu that sets that curve's channel to the threshold. From the keyboard
// the same: Tab reaches the plot, Left and Right step from point to point
// (Home, End: the ends), Up and Down from curve to curve, Enter, Space or
// the menu key open the menu on the point.
Item {
    id: overlay
    objectName: "sweepOverlay"

    required property var chart
    required property SweepPoints points
    // Each channel's linear and log line (QXYSeries), indexed by channel.
    property var linLines: []
    property var logLines: []
    property bool logMode: false
    property var shownChannels: []
    property int dacMaxMv
    readonly property alias menu: plotMenu
    readonly property alias keys: keyCursor

    property real cursorX: 0
    property real cursorValueX: 0
    property int menuMv: 0
    // The channel of the curve pointed at, clicked or stepped to.
    property int curve: 0
    property int snapIndex: -1
    property real snapPxX: 0
    property real snapPxY: 0
    property real snapY: 0
    readonly property int snapPx: 14
    readonly property bool several: shownChannels.length > 1
    // Not in an exported picture.
    readonly property bool readoutShown: (area.containsMouse || plotMenu.opened || keyCursor.activeFocus)
                                         && !FileExport.busy
    readonly property string snapText: !isFinite(snapY) ? ""
                                       : points.spectrum ? String(Number(snapY.toPrecision(3)))
                                                         : String(Math.round(snapY))

    function seriesOf(ch) {
        const lines = logMode ? logLines : linLines
        return ch >= 0 && ch < lines.length ? lines[ch] : null
    }

    // The shown curve whose line passes nearest the pointer's height at
    // the threshold `mv`; the current one when none is drawn there.
    function nearestCurve(mv, y) {
        let best = curve
        let bestDist = Infinity
        for (const ch of shownChannels) {
            const v = points.valueAt(ch, mv, logMode)
            if (!isFinite(v))
                continue
            const d = Math.abs(chart.mapToPosition(Qt.point(mv, v), seriesOf(ch)).y - chart.plotArea.y - y)
            if (d < bestDist) {
                best = ch
                bestDist = d
            }
        }
        return best
    }

    // Pointer at plot x (and y, which picks the curve): threshold under it
    // and the nearest point of that curve within snapPx.
    function updateCursor(x, y) {
        const plot = chart.plotArea
        cursorX = Math.max(0, Math.min(plot.width, x))
        if (linLines.length === 0)
            return
        cursorValueX = chart.mapToValue(Qt.point(plot.x + cursorX, plot.y), linLines[0]).x
        if (y !== undefined)
            curve = nearestCurve(cursorValueX, y)
        const series = seriesOf(curve)
        const xs = []
        const pos = []
        for (let i = 0; series && i < series.count; ++i) {
            const q = chart.mapToPosition(series.at(i), series)
            xs.push(q.x - plot.x)
            pos.push({ x: q.x - plot.x, y: q.y - plot.y, value: points.countAt(curve, i, logMode) })
        }
        const idx = Logic.snapIndex(xs, cursorX, snapPx)
        snapIndex = idx
        if (idx >= 0) {
            snapPxX = pos[idx].x
            snapPxY = pos[idx].y
            snapY = pos[idx].value
        }
    }

    function openMenuAt(x, y) {
        updateCursor(x, y)
        menuMv = Logic.menuMv(cursorValueX, dacMaxMv)
        plotMenu.popup(overlay, x, y)
    }

    z: 1
    x: chart.plotArea.x
    y: chart.plotArea.y
    width: chart.plotArea.width
    height: chart.plotArea.height
    clip: true

    MouseArea {
        id: area
        anchors.fill: parent
        hoverEnabled: true
        acceptedButtons: Qt.LeftButton
        onEntered: overlay.updateCursor(mouseX, mouseY)
        onPositionChanged: (mouse) => overlay.updateCursor(mouse.x, mouse.y)
        onExited: {
            if (!plotMenu.opened)
                overlay.snapIndex = -1
        }
        onClicked: (mouse) => overlay.openMenuAt(mouse.x, mouse.y)
    }

    Rectangle {
        visible: overlay.readoutShown
        x: overlay.cursorX
        width: 1
        height: overlay.height
        color: Theme.palette.blockedTextColor
    }

    component Tag: Rectangle {
        property alias text: tagText.text
        width: tagText.implicitWidth + 10
        height: tagText.implicitHeight + 4
        radius: 3
        color: Theme.palette.backgroundControlColor
        border.width: 1
        border.color: Theme.palette.borderHoveredControlColor
        Text {
            id: tagText
            anchors.centerIn: parent
            color: Theme.palette.hoveredTextColor
            font.family: Theme.applicationFont.name
            font.pixelSize: Theme.textStyle.tinySize
        }
    }

    Tag {
        objectName: "xTag"
        visible: overlay.readoutShown
        x: Logic.clampTag(overlay.cursorX, width, overlay.width)
        y: overlay.height - height
        text: qsTr("%1 mV").arg(Math.round(overlay.cursorValueX))
    }

    Rectangle {
        objectName: "snapDot"
        visible: overlay.readoutShown && overlay.snapIndex >= 0
        width: 10
        height: 10
        radius: 5
        x: overlay.snapPxX - 5
        y: overlay.snapPxY - 5
        color: Theme.palette.borderHoveredControlColor
        border.width: 1
        border.color: Theme.palette.hoveredTextColor
    }

    Tag {
        objectName: "yTag"
        visible: overlay.readoutShown && overlay.snapIndex >= 0
        x: Logic.tagLeft(overlay.snapPxX, width, overlay.width, 10, 5)
        y: Logic.clampTag(overlay.snapPxY, height, overlay.height)
        // Which curve, where there are several.
        text: overlay.several ? qsTr("CH %1 · %2").arg(overlay.curve).arg(overlay.snapText) : overlay.snapText
    }

    Item {
        id: keyCursor
        objectName: "plotKeys"
        anchors.fill: parent
        activeFocusOnTab: true
        // Place of the cursor among the curve's points ordered left to right.
        property int place: 0
        // For screen readers: a slider over the points, valued in mV.
        readonly property real accessibleValue: Math.round(overlay.cursorValueX)
        readonly property string unit: overlay.points.spectrum ? qsTr("counts per mV") : qsTr("counts")

        Accessible.role: Accessible.Slider
        Accessible.name: qsTr("Sweep plot")
        Accessible.description: overlay.several
            ? qsTr("CH %1, %2 %3. Left and Right move from point to point, Up and Down from curve to curve, Enter sets the threshold")
                  .arg(overlay.curve).arg(overlay.snapIndex >= 0 ? overlay.snapText : "").arg(unit)
            : overlay.snapIndex >= 0
              ? qsTr("%1 %2. Left and Right move from point to point, Enter sets the threshold")
                    .arg(overlay.snapText).arg(unit)
              : qsTr("Left and Right move from point to point, Enter sets the threshold")
        Accessible.ignored: !visible

        // Indices of the curve's drawn points, left to right.
        function order() {
            const s = overlay.seriesOf(overlay.curve)
            const idx = []
            for (let i = 0; s && i < s.count; ++i)
                idx.push(i)
            return idx.sort((a, b) => s.at(a).x - s.at(b).x)
        }
        function moveTo(p) {
            const s = overlay.seriesOf(overlay.curve)
            const idx = order()
            if (idx.length === 0)
                return
            place = Math.max(0, Math.min(idx.length - 1, p))
            overlay.updateCursor(overlay.chart.mapToPosition(s.at(idx[place]), s).x - overlay.chart.plotArea.x)
        }
        // To the next shown curve up or down the list, at the point nearest
        // the same threshold.
        function switchCurve(step) {
            const list = overlay.shownChannels
            if (list.length < 2)
                return
            const i = list.indexOf(overlay.curve)
            overlay.curve = list[((i < 0 ? 0 : i + step) + list.length) % list.length]
            const s = overlay.seriesOf(overlay.curve)
            const idx = order()
            let best = 0
            for (let k = 1; k < idx.length; ++k) {
                if (Math.abs(s.at(idx[k]).x - overlay.cursorValueX) < Math.abs(s.at(idx[best]).x - overlay.cursorValueX))
                    best = k
            }
            moveTo(best)
        }
        // The menu was opened from here: the focus comes back when it closes.
        property bool menuOpen: false
        function openMenu() {
            overlay.openMenuAt(overlay.cursorX, overlay.snapIndex >= 0 ? overlay.snapPxY : overlay.height / 2)
            plotMenu.currentIndex = 0
            menuOpen = true
        }

        onActiveFocusChanged: {
            if (activeFocus) {
                if (!overlay.shownChannels.includes(overlay.curve) && overlay.shownChannels.length > 0)
                    overlay.curve = overlay.shownChannels[0]
                moveTo(place)
            }
        }
        Keys.onPressed: (event) => {
            const last = order().length - 1
            const moves = { [Qt.Key_Left]: place - 1, [Qt.Key_Right]: place + 1, [Qt.Key_Home]: 0,
                            [Qt.Key_End]: last, [Qt.Key_PageUp]: place - 10, [Qt.Key_PageDown]: place + 10 }
            if (moves[event.key] !== undefined) {
                moveTo(moves[event.key])
                event.accepted = true
            } else if ((event.key === Qt.Key_Up || event.key === Qt.Key_Down) && overlay.several) {
                switchCurve(event.key === Qt.Key_Down ? 1 : -1)
                event.accepted = true
            } else if (event.key === Qt.Key_Return || event.key === Qt.Key_Enter
                       || event.key === Qt.Key_Space || event.key === Qt.Key_Menu) {
                openMenu()
                event.accepted = true
            }
        }
        // The menu's closing and a change of what is drawn drop the snap;
        // the keyboard's cursor takes it up again.
        Connections {
            target: plotMenu
            function onClosed() {
                if (!keyCursor.menuOpen)
                    return
                keyCursor.menuOpen = false
                keyCursor.forceActiveFocus(Qt.TabFocusReason)
                resnap.start()
            }
        }
        Timer {
            id: resnap
            interval: 0
            onTriggered: keyCursor.moveTo(keyCursor.place)
        }

        // The style's focus mark, inside the plot's edge.
        Rectangle {
            objectName: "focusMark"
            anchors.fill: parent
            visible: keyCursor.activeFocus
            color: "transparent"
            border.width: 2
            border.color: Theme.palette.borderHoveredControlColor
        }
    }

    // Snap again where the pointer or the keyboard's cursor is, once the
    // lines drawn have changed (log Y, spectrum).
    function resnapCursor() {
        if (keyCursor.activeFocus)
            keyCursor.moveTo(keyCursor.place)
        else if (area.containsMouse)
            updateCursor(cursorX)
    }
    onLogModeChanged: resnapCursor()
    Connections {
        target: overlay.points
        function onSpectrumChanged() { overlay.resnapCursor() }
    }

    Menu {
        id: plotMenu
        objectName: "plotMenu"
        onClosed: {
            if (!area.containsMouse)
                overlay.snapIndex = -1
        }
        MenuItem {
            objectName: "setThresholdItem"
            // The channel of the curve pointed at, whatever the channel box shows now.
            text: qsTr("Set CH %1 · %2 mV").arg(overlay.curve).arg(Math.round(overlay.menuMv))
            enabled: device.connected && overlay.shownChannels.includes(overlay.curve)
            onTriggered: device.setDacVoltage(overlay.curve, Logic.mvToVolts(overlay.menuMv))
        }
    }
}
