import QtQuick
import QtQuick.Controls
import QtQuick.Layouts
import QtCharts
import MyStyle
import Theme
import TachyraCharts
import TachyraFiles
import "SceneLogic.js" as Logic

// Threshold sweeps of one channel or of all of them: parameters, progress
// ring, the suggested thresholds, and the plot of counts (or the spectrum)
// against threshold, one curve per channel, with a click menu that sets the
// threshold of the curve clicked.
Item {
    id: view

    Accessible.role: Accessible.Pane
    Accessible.name: qsTr("Calibration")
    Accessible.ignored: !visible

    readonly property int dacMaxMv: settings.dacMaxMv
    readonly property bool logMode: panel.logY
    readonly property alias chart: panel.chart
    // Each channel's linear and log line, made with the chart (only series
    // added through the chart bring their axes in).
    property var linLines: []
    property var logLines: []
    // The run's first channel's lines: all of a single channel's sweep.
    readonly property var linSeries: linLines.length > 0 ? linLines[sweepPoints.channel] : null
    readonly property var logSeries: logLines.length > 0 ? logLines[sweepPoints.channel] : null
    // The current run, kept, ranged and analysed in C++: every point as it
    // came for the export, the drawable ones in the lines.
    readonly property alias points: sweepPoints
    readonly property int linPointCount: sweepPoints.drawnCount
    readonly property int sweepPointCount: sweepPoints.count
    // Each channel's curve colour: the one series colour for a single
    // channel, the channels' data colours for several.
    property var colors: []
    // The run's channels the legend has not hidden.
    property var hiddenChannels: []
    readonly property var shownChannels: {
        const shown = []
        for (const ch of sweepPoints.channels) {
            if (!hiddenChannels.includes(ch))
                shown.push(ch)
        }
        return shown
    }
    readonly property alias xAxis: xAxis
    readonly property alias linAxis: linAxis
    readonly property alias logAxis: logAxis
    readonly property alias overlay: overlay
    readonly property alias menu: overlay.menu
    readonly property alias markers: markers
    readonly property alias legend: legend
    readonly property alias applyQuestion: applyQuestion
    readonly property alias ring: settings.ring
    property alias channelBox: settings.channelBox
    property alias fromField: settings.fromField
    property alias toField: settings.toField
    property alias stepField: settings.stepField
    property alias logYButton: panel.logYButton
    property alias spectrumButton: panel.spectrumButton
    property alias applyButton: settings.results.applyButton

    function buildChart() {
        // Empty series that put both Y axes in the chart.
        chart.createSeries(ChartView.SeriesTypeLine, "", xAxis, linAxis)
        chart.createSeries(ChartView.SeriesTypeLine, "", xAxis, logAxis)
        const lin = []
        const log = []
        // A line pair for each of the instrument's eight channels.
        for (let ch = 0; ch < 8; ++ch) {
            lin.push(chart.createSeries(ChartView.SeriesTypeLine, "linear " + ch, xAxis, linAxis))
            log.push(chart.createSeries(ChartView.SeriesTypeLine, "log " + ch, xAxis, logAxis))
            for (const s of [lin[ch], log[ch]]) {
                s.width = 2
                s.visible = false
            }
            sweepPoints.setSeries(ch, lin[ch], log[ch])
        }
        linLines = lin
        logLines = log
        clearPlot(settings.sweepChannels)
    }

    // The lines, colours and legend of a new run of `channels`.
    function clearPlot(channels) {
        sweepPoints.clear(channels)
        const single = channels.length === 1
        const colors = []
        for (let ch = 0; ch < linLines.length; ++ch) {
            colors.push(single ? Theme.palette.seriesColor : Theme.palette.channelColors[ch % 8])
            for (const s of [linLines[ch], logLines[ch]]) {
                s.color = colors[ch]
                s.pointsVisible = single
            }
        }
        view.colors = colors
        hiddenChannels = []
        legendModel.clear()
        for (const ch of (single ? [] : channels))
            legendModel.append({ seriesName: qsTr("CH %1").arg(ch), seriesColor: String(colors[ch]), seriesVisible: true,
                                 channel: ch })
        overlay.curve = channels.length > 0 ? channels[0] : 0
    }
    // Each line shown while its channel is and its Y mode is the one shown.
    function showLines() {
        for (let ch = 0; ch < linLines.length; ++ch) {
            const on = shownChannels.includes(ch)
            linLines[ch].visible = on && !logMode
            logLines[ch].visible = on && logMode
        }
    }
    onShownChannelsChanged: showLines()
    onLogModeChanged: showLines()

    SweepPoints {
        id: sweepPoints
        source: readingSource
        spectrum: panel.spectrum
        onRangeChanged: {
            panel.applyRange(linAxis, linearMin, linearMax)
            panel.applyRange(logAxis, logMin, logMax)
        }
    }

    function start() {
        view.ring.start()
        const channels = settings.sweepChannels
        clearPlot(channels)
        // The whole numbers the fields show, not their unrounded values.
        const fromMv = Number(view.fromField.formattedValue())
        const toMv = Number(view.toField.formattedValue())
        const stepMv = Number(view.stepField.formattedValue())
        const r = Logic.sweepXRange(fromMv, toMv)
        panel.setLinearRange(xAxis, r.min, r.max)
        if (settings.allChannels)
            device.startCalibrationOf(channels, fromMv, toMv, stepMv)
        else
            device.startCalibration(channels[0], fromMv, toMv, stepMv)
    }

    function updateCursor(x, y) { overlay.updateCursor(x, y) }
    function openMenuAt(x, y) { overlay.openMenuAt(x, y) }

    // One file name for both: the table as .csv, the plot as .png beside it.
    function exportSweep() {
        const stem = sweepPoints.channels.length > 1 ? "sweep-all" : "sweep-CH" + sweepPoints.channel
        saveDialog.ask(qsTr("Export sweep"), stem, "csv",
                       [qsTr("CSV table and PNG picture (*.csv *.png)")], saveSweep, FileExport.TableAndPicture)
    }
    function saveSweep(file) {
        FileExport.saveChart(file, sweepPoints, chart, Theme.palette.backgroundHoveredControlColor)
    }

    // Each channel's level before and after, asked first; on Apply every
    // channel with a suggestion is set (the session stores each level).
    function askApply() {
        const levels = device.dacVolts
        const rows = settings.results.analysed.map(r => ({
            channel: r.channel,
            before: device.dacLevelsKnown && r.channel < levels.length
                    ? qsTr("%1 mV").arg(Logic.voltsToMv(levels[r.channel])) : qsTr("unknown"),
            after: r.hasSuggestion ? qsTr("%1 mV").arg(r.levelMv) : "",
            reason: r.reason
        }))
        applyQuestion.ask(rows, applySuggestions)
    }
    function applySuggestions() {
        for (const r of sweepPoints.results) {
            if (r.hasSuggestion)
                device.setDacVoltage(r.channel, Logic.mvToVolts(r.levelMv))
        }
    }

    Connections {
        target: device
        function onCalibrationRunningChanged() {
            if (device.calibrationRunning)
                view.clearPlot(settings.sweepChannels)
            else
                sweepPoints.finish()
        }
        function onCalibrationSucceeded() {
            sweepPoints.finish()
            view.ring.finish()
        }
    }

    SaveDialog { id: saveDialog; objectName: "exportDialog" }
    ApplyQuestion { id: applyQuestion }
    ListModel { id: legendModel }

    RowLayout {
        anchors.fill: parent
        spacing: 10 * Theme.widthScale

        SweepSettings {
            id: settings
            Layout.preferredWidth: 260 * Theme.widthScale
            Layout.minimumWidth: 260 * Theme.widthScale
            Layout.maximumWidth: 260 * Theme.widthScale
            Layout.fillHeight: true
            spacing: 10 * Theme.widthScale
            points: sweepPoints
            results.colors: view.colors
            onStartClicked: view.start()
            onApplyClicked: view.askApply()
        }

        ChartPanel {
            id: panel
            Layout.fillWidth: true
            Layout.fillHeight: true
            showLogYButton: true
            showExportButton: true
            showSpectrumButton: true
            current: view.SwipeView.view ? view.SwipeView.isCurrentItem : true
            exportButton.enabled: view.sweepPointCount > 0 && !FileExport.busy
            exportButton.tip: qsTr("Export sweep…")
            onExportClicked: view.exportSweep()

            // Room above the plot for the legend of several curves.
            readonly property real plotTop: legend.visible ? legend.y + legend.height * legend.scale + 6 : 10
            onPlotTopChanged: chart.margins.top = plotTop
            Component.onCompleted: {
                chart.margins.top = plotTop
                chart.margins.bottom = 4
                chart.margins.left = 4
                chart.margins.right = 8
                view.buildChart()
            }

            MyValueAxis {
                id: xAxis
                min: 0
                max: view.dacMaxMv
                labelFormat: "%.4g"
                availableLength: panel.chart.plotArea.width
            }
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

            SweepMarkers {
                id: markers
                chart: panel.chart
                points: sweepPoints
                linLines: view.linLines
                logLines: view.logLines
                logMode: view.logMode
                shownChannels: view.shownChannels
                colors: view.colors
                axes: [xAxis.min, xAxis.max, linAxis.min, linAxis.max, logAxis.min, logAxis.max]
                visible: !device.calibrationRunning
            }

            SweepOverlay {
                id: overlay
                chart: panel.chart
                points: sweepPoints
                linLines: view.linLines
                logLines: view.logLines
                logMode: view.logMode
                shownChannels: view.shownChannels
                dacMaxMv: view.dacMaxMv
                visible: !device.calibrationRunning && view.linPointCount > 0
            }

            ChartLegend {
                id: legend
                objectName: "legend"
                // Centred unless that reaches the buttons; shrunk if even the
                // room left of them is too narrow.
                readonly property real room: panel.buttonsLeft - 16
                z: 2
                transformOrigin: Item.TopLeft
                scale: Math.min(1, room / width)
                x: Math.max(8, Math.min((panel.width - width) / 2, room + 8 - width * scale))
                y: 9
                visible: legendModel.count > 1
                datamodel: legendModel
                onVisibilityChanged: {
                    const hidden = []
                    for (let i = 0; i < legendModel.count; ++i) {
                        if (!legendModel.get(i).seriesVisible)
                            hidden.push(legendModel.get(i).channel)
                    }
                    view.hiddenChannels = hidden
                }
            }
        }
    }
}
