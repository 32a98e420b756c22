import QtQuick
import QtQuick.Controls
import QtCharts
import MyStyle
import Theme
import TachyraCharts
import TachyraFiles
import "SceneLogic.js" as Logic

// Latest count of every channel as a bar. The chart draws the axes; the bars
// and their tags are drawn by the overlay, which works for both Y modes.
Item {
    id: view

    Accessible.role: Accessible.Pane
    Accessible.name: qsTr("Bar chart")
    Accessible.ignored: !visible
    // Counts per second: each count over its reading's gate period.
    property bool perSecond: false

    readonly property var barValues: barData.values
    readonly property real barFill: 0.7
    readonly property bool logMode: panel.logY
    readonly property alias chart: panel.chart
    readonly property alias linAxis: linAxis
    readonly property alias logAxis: logAxis
    property alias logYButton: panel.logYButton
    // Readings have stopped coming on this link: the bars are dimmed and say so.
    readonly property bool stale: device.connected && !device.countsLive

    function channelNames(n) {
        const names = []
        for (let i = 0; i < n; ++i)
            names.push(qsTr("CH %1").arg(i))
        return names
    }

    function zeros(n) {
        const out = []
        for (let i = 0; i < n; ++i)
            out.push(0)
        return out
    }

    // Series are created here: only series added through the chart itself
    // bring their axes into it.
    function buildChart() {
        // Empty series that put both Y axes in the chart.
        chart.createSeries(ChartView.SeriesTypeLine, "", hiddenX, linAxis)
        chart.createSeries(ChartView.SeriesTypeLine, "", hiddenX, logAxis)
        // Keeps the channel axis in the chart; its bars are zero and transparent.
        const bars = chart.createSeries(ChartView.SeriesTypeBar, "", channelAxis, linAxis)
        bars.barWidth = 0.7
        bars.labelsVisible = false
        const set = bars.append("", zeros(8))
        set.color = "transparent"
        set.borderColor = "transparent"
    }

    // Top centre of bar i in chart coordinates, for the current mode and axis range.
    function barTop(i, v) {
        const axis = logMode ? logAxis : linAxis
        return Logic.barTop(i, v, device.channelCount, chart.plotArea, logMode, axis.min, axis.max)
    }

    // An axis change redraws the whole chart even off screen; while another
    // view is shown the last reading waits and is applied on coming back.
    readonly property bool onScreen: SwipeView.view ? SwipeView.isCurrentItem : true

    BarReadings {
        id: barData
        source: readingSource
        channelCount: device.channelCount
        active: view.onScreen
        perSecond: view.perSecond
        onUpdated: {
            panel.applyRange(linAxis, barData.linearMin, barData.linearMax)
            panel.applyRange(logAxis, barData.logMin, barData.logMax)
        }
    }

    function exportChart() {
        saveDialog.ask(qsTr("Save bar chart"), "bars", "png", [qsTr("PNG picture (*.png)")], saveChart, FileExport.Picture)
    }
    function saveChart(file) {
        FileExport.saveChart(file, null, chart, Theme.palette.backgroundHoveredControlColor)
    }

    SaveDialog { id: saveDialog; objectName: "exportDialog" }

    ChartPanel {
        id: panel
        anchors.fill: parent
        showLogYButton: true
        showExportButton: true
        current: view.onScreen
        exportButton.tip: qsTr("Save as PNG…")
        exportButton.enabled: !FileExport.busy
        onExportClicked: view.exportChart()

        Component.onCompleted: {
            // The tallest bars' tags stay clear of the buttons over the corner.
            chart.margins.top = 44
            chart.margins.bottom = 4
            chart.margins.left = 4
            chart.margins.right = 8
            view.buildChart()
        }

        BarCategoryAxis {
            id: channelAxis
            categories: view.channelNames(device.channelCount)
            color: Theme.palette.blockedTextColor
            gridLineColor: Theme.palette.blockedTextColor
            labelsColor: Theme.palette.idleTextColor
            gridVisible: false
            lineVisible: false
            titleText: ""
            labelsFont: Qt.font({ family: Theme.applicationFont.name, pixelSize: Theme.textStyle.smallestSize,
                                  hintingPreference: Font.PreferNoHinting })
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
        ValueAxis { id: hiddenX; min: 0; max: 1; visible: false }

        StaleHint {
            visible: view.stale
            z: 1
            x: panel.chart.plotArea.x + 6
            y: panel.chart.plotArea.y + 4
        }

        Item {
            id: overlay
            objectName: "barOverlay"
            z: 1
            anchors.fill: parent
            Accessible.role: Accessible.Chart
            Accessible.name: qsTr("Latest count of every channel as bars")
            Accessible.ignored: !visible
            opacity: view.stale ? 0.5 : 1

            // What the bars read; a delegate reaches it as its parent.
            readonly property var values: view.barValues
            readonly property real fill: view.barFill
            readonly property bool perSecond: view.perSecond
            readonly property real plotBottom: panel.chart.plotArea.y + panel.chart.plotArea.height
            function barTop(i, v) { return view.barTop(i, v) }

            Repeater {
                model: device.channelCount

                Item {
                    id: bar
                    required property int index
                    readonly property var host: parent
                    readonly property real value: index < host.values.length ? host.values[index] : 0
                    // A count that is not a finite number gets neither bar nor tag.
                    readonly property bool drawn: isFinite(value)
                    readonly property var peak: host.barTop(index, drawn ? ChartScale.drawValue(value) : 0)
                    readonly property real plotBottom: host.plotBottom
                    anchors.fill: parent

                    Rectangle {
                        objectName: "bar" + bar.index
                        visible: bar.drawn
                        width: bar.peak.slot * bar.host.fill
                        height: Math.max(0, bar.plotBottom - bar.peak.y)
                        x: bar.peak.x - width / 2
                        y: bar.peak.y
                        color: Theme.palette.seriesColor
                        radius: 1
                    }

                    Rectangle {
                        objectName: "tag" + bar.index
                        visible: bar.drawn
                        width: tagText.implicitWidth + 10
                        height: tagText.implicitHeight + 4
                        x: Math.max(0, Math.min(bar.width - width, bar.peak.x - width / 2))
                        y: Math.max(0, Math.min(bar.height - height, bar.peak.y - 4 - height))
                        radius: 3
                        color: Theme.palette.backgroundControlColor
                        border.width: 1
                        border.color: Theme.palette.seriesColor

                        Text {
                            id: tagText
                            anchors.centerIn: parent
                            text: bar.host.perSecond ? Logic.formatReading(bar.value, true)
                                                     : Logic.formatBarValue(bar.value)
                            color: Theme.palette.hoveredTextColor
                            font.family: Theme.applicationFont.name
                            font.pixelSize: Theme.textStyle.tinySize
                        }
                    }
                }
            }
        }
    }
}
