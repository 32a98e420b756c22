import QtQuick
import QtQuick.Controls
import QtCharts
import MyStyle
import Theme
import "SceneLogic.js" as Logic
import TachyraCharts

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
    // The same points with their running extents (linTracks[i].pts is linPoints[i]),
    // so a rescale looks at 16 numbers instead of every point.
    property var linTracks: []
    property var logTracks: []
    // Qt Charts rebuilds a line's whole path and outline on every point call
    // and every axis range change, and redraws the chart after any change,
    // on screen or not. So only the series of the mode on screen carry
    // points, only while the view is on screen; the mirrors always record and
    // the series catch up in one step when they are shown again.
    property bool fedLog: false
    readonly property bool onScreen: SwipeView.view ? SwipeView.isCurrentItem : true
    property real lastSampleMs: 0
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

    // Both ends in one step: one rebuild of every series instead of two.
    function setTimeRange(oldest, now) {
        ChartFeed.setRange(timeAxis, new Date(oldest), new Date(now))
    }

    // A whole series in one step: one rebuild instead of one per point.
    function setPoints(series, pts) {
        const xs = new Array(pts.length)
        const ys = new Array(pts.length)
        for (let j = 0; j < pts.length; ++j) {
            xs[j] = pts[j].x
            ys[j] = pts[j].y
        }
        ChartFeed.setPoints(series, xs, ys)
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
            const lt = Logic.newTrack()
            const gt = Logic.newTrack()
            linTracks.push(lt)
            logTracks.push(gt)
            linPoints.push(lt.pts)
            logPoints.push(gt.pts)
            legendModel.append({ seriesName: name, seriesColor: String(color), seriesVisible: true })
        }
        channelLin = lin
        channelLog = log
    }

    function addSample(now, counts) {
        const oldest = now - windowMs
        const ys = []
        const drops = []
        for (let i = 0; i < channelLin.length; ++i) {
            // Drawn values: a count that is not a finite number adds no point.
            const y = ChartScale.drawValue(i < counts.length ? Number(counts[i]) : 0)
            if (!isNaN(y))
                Logic.trackPush(linTracks[i], now, y)
            const nLin = Logic.trackPrune(linTracks[i], oldest)
            if (y >= 1)
                Logic.trackPush(logTracks[i], now, y)
            const nLog = Logic.trackPrune(logTracks[i], oldest)
            ys.push(fedLog && !(y >= 1) ? NaN : y) // NaN: no point for this line
            drops.push(fedLog ? nLog : nLin)
        }
        firstSeriesCount = linPoints.length > 0 ? linPoints[0].length : 0
        lastSampleMs = now
        if (!onScreen)
            return
        ChartFeed.scroll(fedLog ? channelLog : channelLin, now, ys, drops,
                         timeAxis, new Date(oldest), new Date(now))
        rescale()
    }

    // Refills the shown mode's series from the mirrors.
    function syncChart() {
        const series = fedLog ? channelLog : channelLin
        const pts = fedLog ? logPoints : linPoints
        for (let i = 0; i < series.length; ++i) {
            setPoints(series[i], pts[i])
        }
        if (lastSampleMs > 0)
            setTimeRange(lastSampleMs - windowMs, lastSampleMs)
        rescale()
    }

    onOnScreenChanged: {
        if (onScreen)
            syncChart()
    }

    // Moves the points over to the series of the mode now shown.
    function feedMode() {
        if (fedLog === logMode)
            return
        const from = fedLog ? channelLog : channelLin
        const to = logMode ? channelLog : channelLin
        const pts = logMode ? logPoints : linPoints
        for (let i = 0; i < from.length; ++i) {
            from[i].clear()
            setPoints(to[i], pts[i])
        }
        fedLog = logMode
    }

    function visibleTracks(logList) {
        const out = []
        const series = logList ? channelLog : channelLin
        const tracks = logList ? logTracks : linTracks
        for (let i = 0; i < series.length; ++i) {
            if (series[i].visible)
                out.push(tracks[i])
        }
        return out
    }

    // Same ranges as before (the repairs of the ordered setters included),
    // each axis set in one step and only when it changes.
    function rescale() {
        const le = Logic.extentOfTracks(visibleTracks(false))
        const l = ChartScale.paddedLinearRange(le ? le.min : NaN, le ? le.max : NaN)
        if (l.min !== linAxis.min || l.max !== linAxis.max)
            ChartFeed.setRange(linAxis, l.min, l.max)
        const ge = Logic.extentOfTracks(visibleTracks(true))
        const g = ChartScale.paddedLogRange(ge ? ge.min : NaN, ge ? ge.max : NaN)
        if (g.min !== logAxis.min || g.max !== logAxis.max)
            ChartFeed.setRange(logAxis, g.min, g.max)
    }

    function applyModeVisibility() {
        feedMode()
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
            Logic.trackClear(linTracks[i])
            Logic.trackClear(logTracks[i])
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
