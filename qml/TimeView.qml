import QtQuick
import QtQuick.Controls
import QtCharts
import MyStyle
import Theme
import "SceneLogic.js" as Logic

// Counts of every channel against wall-clock time over the last 30 s.
Item {
    id: view

    readonly property int windowMs: 30000
    readonly property var seriesColors: ["#FF4300", "#0075B9", "#FFC000", "#7E3095",
                                         "#6CBF00", "#FF0000", "#009CC3", "#FF8000"]
    property var channelLin: []
    property var channelLog: []
    // Mirrors of the series' points, so scans and look-ups stay in JavaScript.
    property var linPoints: []
    property var logPoints: []
    // Points of the first linear series; the read-out needs at least one.
    property int firstSeriesCount: 0
    readonly property bool logMode: panel.logY
    readonly property alias chart: panel.chart
    readonly property alias legendModel: legendModel
    readonly property alias hitModel: hitModel
    readonly property alias linAxis: linAxis
    readonly property alias logAxis: logAxis
    readonly property alias timeAxis: timeAxis
    property alias logYButton: panel.logYButton
    readonly property bool overlayShown: device.connected && channelLin.length > 0 && firstSeriesCount > 0

    function setTimeRange(oldest, now) {
        timeAxis.max = new Date(now)
        timeAxis.min = new Date(oldest)
    }

    function buildChart() {
        const now = Date.now()
        setTimeRange(now - windowMs, now)
        // Empty series that put both Y axes in the chart before any data exists.
        chart.createSeries(ChartView.SeriesTypeLine, "", timeAxis, linAxis)
        chart.createSeries(ChartView.SeriesTypeLine, "", timeAxis, logAxis)
        const lin = []
        const log = []
        for (let i = 0; i < device.channelCount; ++i) {
            const name = qsTr("CH %1").arg(i)
            const color = seriesColors[i % 8]
            const a = chart.createSeries(ChartView.SeriesTypeLine, name, timeAxis, linAxis)
            a.color = color
            a.width = 2
            const b = chart.createSeries(ChartView.SeriesTypeLine, name, timeAxis, logAxis)
            b.color = color
            b.width = 2
            b.visible = false
            lin.push(a)
            log.push(b)
            linPoints.push([])
            logPoints.push([])
            legendModel.append({ seriesName: name, seriesColor: String(color), seriesVisible: true })
        }
        channelLin = lin
        channelLog = log
    }

    function addSample(now, counts) {
        const oldest = now - windowMs
        for (let i = 0; i < channelLin.length; ++i) {
            const y = i < counts.length ? Number(counts[i]) : 0
            channelLin[i].append(now, y)
            linPoints[i].push({ x: now, y: y })
            let n = Logic.pruneFront(linPoints[i], oldest)
            if (n > 0)
                channelLin[i].removePoints(0, n)
            if (y >= 1) {
                channelLog[i].append(now, y)
                logPoints[i].push({ x: now, y: y })
            }
            n = Logic.pruneFront(logPoints[i], oldest)
            if (n > 0)
                channelLog[i].removePoints(0, n)
        }
        firstSeriesCount = linPoints.length > 0 ? linPoints[0].length : 0
        setTimeRange(oldest, now)
        rescale()
    }

    function visiblePointLists(logList) {
        const out = []
        const series = logList ? channelLog : channelLin
        const pts = logList ? logPoints : linPoints
        for (let i = 0; i < series.length; ++i) {
            if (series[i].visible)
                out.push(pts[i])
        }
        return out
    }

    function rescale() {
        const lr = Logic.linearRangeFor(Logic.extentOf(visiblePointLists(false)))
        panel.setLinearRange(linAxis, lr.min, lr.max)
        const gr = Logic.logRangeFor(Logic.extentOf(visiblePointLists(true)))
        panel.setLogRange(logAxis, gr.min, gr.max)
    }

    function applyModeVisibility() {
        for (let i = 0; i < channelLin.length; ++i) {
            const on = i < legendModel.count ? legendModel.get(i).seriesVisible : true
            channelLin[i].visible = !logMode && on
            channelLog[i].visible = logMode && on
        }
        rescale()
    }

    function clearHistory() {
        for (let i = 0; i < channelLin.length; ++i) {
            channelLin[i].clear()
            channelLog[i].clear()
            linPoints[i] = []
            logPoints[i] = []
        }
        firstSeriesCount = 0
        hitModel.clear()
        const now = Date.now()
        setTimeRange(now - windowMs, now)
        panel.setLinearRange(linAxis, 0, 1)
        panel.setLogRange(logAxis, 1, 10)
    }

    // Hover read-out at plot x: one tag per visible series that has a value there.
    function updateHits(x) {
        const plot = chart.plotArea
        overlay.cursorX = Math.max(0, Math.min(plot.width, x))
        hitModel.clear()
        const series = logMode ? channelLog : channelLin
        const pts = logMode ? logPoints : linPoints
        if (series.length === 0)
            return
        const t = chart.mapToValue(Qt.point(plot.x + overlay.cursorX, plot.y), series[0]).x
        const hits = []
        for (let i = 0; i < series.length; ++i) {
            if (!series[i].visible)
                continue
            const y = Logic.interpolate(pts[i], t)
            if (!isFinite(y))
                continue
            const py = chart.mapToPosition(Qt.point(t, y), series[i]).y - plot.y
            if (py < 0 || py > plot.height)
                continue
            hits.push({ py: py, cursorX: overlay.cursorX, text: String(Math.round(y)), seriesColor: String(series[i].color) })
        }
        Logic.spreadTags(hits, 16)
        for (let j = 0; j < hits.length; ++j)
            hitModel.append(hits[j])
    }

    onLogModeChanged: applyModeVisibility()

    Connections {
        target: device
        function onCountsChanged() {
            if (!device.connected || device.calibrationRunning)
                return
            view.addSample(Date.now(), device.counts)
        }
        function onConnectedChanged() {
            if (!device.connected)
                view.clearHistory()
        }
    }

    ListModel { id: legendModel }
    ListModel { id: hitModel }

    ChartPanel {
        id: panel
        anchors.fill: parent
        showLogYButton: true

        Component.onCompleted: {
            chart.margins.top = 10
            chart.margins.bottom = 4
            chart.margins.left = 4
            chart.margins.right = 8
            view.buildChart()
        }

        MyDateTimeAxis { id: timeAxis }
        MyValueAxis {
            id: linAxis
            min: 0
            max: 1
            labelFormat: "%.4g"
            availableLength: panel.chart.plotArea.height
            visible: !panel.logY
        }
        MyLogAxis {
            id: logAxis
            visible: panel.logY
        }

        Item {
            id: overlay
            objectName: "timeOverlay"
            property real cursorX: 0
            z: 1
            x: panel.chart.plotArea.x
            y: panel.chart.plotArea.y
            width: panel.chart.plotArea.width
            height: panel.chart.plotArea.height
            clip: true
            visible: view.overlayShown

            MouseArea {
                id: hoverArea
                anchors.fill: parent
                hoverEnabled: true
                acceptedButtons: Qt.NoButton
                onEntered: view.updateHits(mouseX)
                onPositionChanged: (mouse) => view.updateHits(mouse.x)
                onExited: hitModel.clear()
            }

            Rectangle {
                visible: hoverArea.containsMouse
                x: overlay.cursorX
                width: 1
                height: overlay.height
                color: Theme.palette.blockedTextColor
            }

            Repeater {
                model: hoverArea.containsMouse ? hitModel : null

                // Placed against the overlay, which is the tags' parent.
                Rectangle {
                    required property real py
                    required property real cursorX
                    required property string text
                    required property string seriesColor
                    width: tagText.implicitWidth + 10
                    height: tagText.implicitHeight + 4
                    x: Logic.tagLeft(cursorX, width, parent.width, 8)
                    y: Logic.clampTag(py, height, parent.height)
                    radius: 3
                    color: Theme.palette.backgroundControlColor
                    border.width: 1
                    border.color: seriesColor

                    Text {
                        id: tagText
                        anchors.centerIn: parent
                        text: parent.text
                        color: Theme.palette.hoveredTextColor
                        font.family: Theme.applicationFont.name
                        font.pixelSize: Theme.textStyle.tinySize
                    }
                }
            }
        }

        ChartLegend {
            objectName: "legend"
            z: 2
            anchors.horizontalCenter: parent.horizontalCenter
            y: 9
            visible: legendModel.count > 0
            datamodel: legendModel
            onVisibilityChanged: view.applyModeVisibility()
        }
    }
}
