import QtQuick
import QtQuick.Controls
import QtQuick.Layouts
import QtCharts
import MyStyle
import Theme
import TachyraCharts
import TachyraFiles
import "SceneLogic.js" as Logic

// Threshold sweep of one channel: parameters, progress ring, and the plot of
// counts against threshold with a click menu that sets the threshold.
Item {
    id: view

    Accessible.role: Accessible.Pane
    Accessible.name: qsTr("Calibration")
    Accessible.ignored: !visible

    readonly property int dacMaxMv: settings.dacMaxMv
    readonly property bool logMode: panel.logY
    readonly property alias chart: panel.chart
    // Created with the chart: only series added through the chart bring their axes in.
    property var linSeries: null
    property var logSeries: null
    // The current sweep, kept and ranged in C++: every point as it came for
    // the export, the drawable ones in the two series.
    readonly property alias points: sweepPoints
    readonly property int linPointCount: sweepPoints.drawnCount
    readonly property int sweepPointCount: sweepPoints.count
    readonly property alias xAxis: xAxis
    readonly property alias linAxis: linAxis
    readonly property alias logAxis: logAxis
    readonly property alias overlay: overlay
    readonly property alias menu: plotMenu
    readonly property alias ring: settings.ring
    property alias channelBox: settings.channelBox
    property alias fromField: settings.fromField
    property alias toField: settings.toField
    property alias stepField: settings.stepField
    property alias logYButton: panel.logYButton

    function buildChart() {
        // Empty series that put both Y axes in the chart.
        chart.createSeries(ChartView.SeriesTypeLine, "", xAxis, linAxis)
        chart.createSeries(ChartView.SeriesTypeLine, "", xAxis, logAxis)
        const lin = chart.createSeries(ChartView.SeriesTypeLine, "linear", xAxis, linAxis)
        const log = chart.createSeries(ChartView.SeriesTypeLine, "log", xAxis, logAxis)
        for (const s of [lin, log]) {
            s.color = Theme.palette.seriesColor
            s.width = 2
            s.pointsVisible = true
        }
        log.visible = false
        linSeries = lin
        logSeries = log
    }

    // The series and ranges of a new sweep of `channel`.
    function clearPlot(channel) {
        sweepPoints.clear(channel)
    }

    SweepPoints {
        id: sweepPoints
        source: readingSource
        linearSeries: view.linSeries
        logSeries: view.logSeries
        onRangeChanged: {
            panel.applyRange(linAxis, linearMin, linearMax)
            panel.applyRange(logAxis, logMin, logMax)
        }
    }

    function start() {
        view.ring.start()
        clearPlot(view.channelBox.currentIndex)
        // The whole numbers the fields show, not their unrounded values.
        const fromMv = Number(view.fromField.formattedValue())
        const toMv = Number(view.toField.formattedValue())
        const r = Logic.sweepXRange(fromMv, toMv)
        panel.setLinearRange(xAxis, r.min, r.max)
        device.startCalibration(view.channelBox.currentIndex, fromMv, toMv, Number(view.stepField.formattedValue()))
    }

    // Pointer at plot x: threshold under it and the nearest point within snapPx.
    function updateCursor(x) {
        const plot = chart.plotArea
        overlay.cursorX = Math.max(0, Math.min(plot.width, x))
        overlay.cursorValueX = chart.mapToValue(Qt.point(plot.x + overlay.cursorX, plot.y), linSeries).x
        const series = logMode ? logSeries : linSeries
        const xs = []
        const pos = []
        for (let i = 0; i < series.count; ++i) {
            const p = series.at(i)
            const q = chart.mapToPosition(p, series)
            xs.push(q.x - plot.x)
            pos.push({ x: q.x - plot.x, y: q.y - plot.y, value: sweepPoints.countAt(i, logMode) })
        }
        const idx = Logic.snapIndex(xs, overlay.cursorX, overlay.snapPx)
        overlay.snapIndex = idx
        if (idx >= 0) {
            overlay.snapPxX = pos[idx].x
            overlay.snapPxY = pos[idx].y
            overlay.snapY = pos[idx].value
        }
    }

    // One file name for both: the table as .csv, the plot as .png beside it.
    function exportSweep() {
        saveDialog.ask(qsTr("Export sweep"), "sweep-CH" + sweepPoints.channel, "csv",
                       [qsTr("CSV table and PNG picture (*.csv *.png)")], saveSweep, FileExport.TableAndPicture)
    }
    function saveSweep(file) {
        FileExport.saveChart(file, sweepPoints, chart, Theme.palette.backgroundHoveredControlColor)
    }

    function openMenuAt(x, y) {
        updateCursor(x)
        overlay.menuMv = Logic.menuMv(overlay.cursorValueX, dacMaxMv)
        plotMenu.popup(overlay, x, y)
    }

    onLogModeChanged: {
        linSeries.visible = !logMode
        logSeries.visible = logMode
        if (overlayArea.containsMouse)
            updateCursor(overlay.cursorX)
    }

    Connections {
        target: device
        function onCalibrationRunningChanged() {
            if (device.calibrationRunning)
                view.clearPlot(view.channelBox.currentIndex)
        }
        function onCalibrationSucceeded() {
            view.ring.finish()
        }
    }

    SaveDialog { id: saveDialog; objectName: "exportDialog" }

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
            onStartClicked: view.start()
        }

        ChartPanel {
            id: panel
            Layout.fillWidth: true
            Layout.fillHeight: true
            showLogYButton: true
            showExportButton: true
            current: view.SwipeView.view ? view.SwipeView.isCurrentItem : true
            exportButton.enabled: view.sweepPointCount > 0 && !FileExport.busy
            exportButton.tip: qsTr("Export sweep…")
            onExportClicked: view.exportSweep()

            Component.onCompleted: {
                chart.margins.top = 10
                chart.margins.bottom = 4
                chart.margins.left = 4
                chart.margins.right = 8
                view.buildChart()
            }

            MyValueAxis {
                id: xAxis
                min: 0
                max: 1000
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

            Item {
                id: overlay
                objectName: "sweepOverlay"
                property real cursorX: 0
                property real cursorValueX: 0
                property int menuMv: 0
                property int snapIndex: -1
                property real snapPxX: 0
                property real snapPxY: 0
                property real snapY: 0
                readonly property int snapPx: 14
                // Not in an exported picture.
                readonly property bool readoutShown: (overlayArea.containsMouse || plotMenu.opened || keyCursor.activeFocus)
                                                     && !FileExport.busy

                z: 1
                x: panel.chart.plotArea.x
                y: panel.chart.plotArea.y
                width: panel.chart.plotArea.width
                height: panel.chart.plotArea.height
                clip: true
                visible: !device.calibrationRunning && view.linPointCount > 0

                MouseArea {
                    id: overlayArea
                    anchors.fill: parent
                    hoverEnabled: true
                    acceptedButtons: Qt.LeftButton
                    onEntered: view.updateCursor(mouseX)
                    onPositionChanged: (mouse) => view.updateCursor(mouse.x)
                    onExited: {
                        if (!plotMenu.opened)
                            overlay.snapIndex = -1
                    }
                    onClicked: (mouse) => view.openMenuAt(mouse.x, mouse.y)
                }

                Rectangle {
                    visible: overlay.readoutShown
                    x: overlay.cursorX
                    width: 1
                    height: overlay.height
                    color: Theme.palette.blockedTextColor
                }

                Rectangle {
                    objectName: "xTag"
                    visible: overlay.readoutShown
                    width: xTagText.implicitWidth + 10
                    height: xTagText.implicitHeight + 4
                    x: Logic.clampTag(overlay.cursorX, width, overlay.width)
                    y: overlay.height - height
                    radius: 3
                    color: Theme.palette.backgroundControlColor
                    border.width: 1
                    border.color: Theme.palette.borderHoveredControlColor
                    Text {
                        id: xTagText
                        anchors.centerIn: parent
                        text: qsTr("%1 mV").arg(Math.round(overlay.cursorValueX))
                        color: Theme.palette.hoveredTextColor
                        font.family: Theme.applicationFont.name
                        font.pixelSize: Theme.textStyle.tinySize
                    }
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

                Rectangle {
                    objectName: "yTag"
                    visible: overlay.readoutShown && overlay.snapIndex >= 0
                    width: yTagText.implicitWidth + 10
                    height: yTagText.implicitHeight + 4
                    x: Logic.tagLeft(overlay.snapPxX, width, overlay.width, 10, 5)
                    y: Logic.clampTag(overlay.snapPxY, height, overlay.height)
                    radius: 3
                    color: Theme.palette.backgroundControlColor
                    border.width: 1
                    border.color: Theme.palette.borderHoveredControlColor
                    Text {
                        id: yTagText
                        anchors.centerIn: parent
                        text: isFinite(overlay.snapY) ? String(Math.round(overlay.snapY)) : ""
                        color: Theme.palette.hoveredTextColor
                        font.family: Theme.applicationFont.name
                        font.pixelSize: Theme.textStyle.tinySize
                    }
                }

                // The read-out from the keyboard: Tab reaches the plot, Left and
                // Right step the cursor from point to point (Home, End: the ends),
                // Enter, Space or the menu key open the threshold menu on the
                // point. It reads the points as the hover read-out does.
                Item {
                    id: keyCursor
                    objectName: "plotKeys"
                    anchors.fill: parent
                    activeFocusOnTab: true
                    // Place of the cursor among the points ordered left to right.
                    property int place: 0
                    // For screen readers: a slider over the points, valued in mV.
                    readonly property real accessibleValue: Math.round(overlay.cursorValueX)

                    Accessible.role: Accessible.Slider
                    Accessible.name: qsTr("Sweep plot")
                    Accessible.description: overlay.snapIndex >= 0
                        ? qsTr("%1 counts. Left and Right move from point to point, Enter sets the threshold")
                              .arg(isFinite(overlay.snapY) ? Math.round(overlay.snapY) : "")
                        : qsTr("Left and Right move from point to point, Enter sets the threshold")
                    Accessible.ignored: !visible

                    // Indices of the drawn points, left to right.
                    function order() {
                        const s = view.logMode ? view.logSeries : view.linSeries
                        const idx = []
                        for (let i = 0; i < s.count; ++i)
                            idx.push(i)
                        return idx.sort((a, b) => s.at(a).x - s.at(b).x)
                    }
                    function moveTo(p) {
                        const s = view.logMode ? view.logSeries : view.linSeries
                        const idx = order()
                        if (idx.length === 0)
                            return
                        place = Math.max(0, Math.min(idx.length - 1, p))
                        view.updateCursor(view.chart.mapToPosition(s.at(idx[place]), s).x - view.chart.plotArea.x)
                    }
                    // The menu was opened from here: the focus comes back when it closes.
                    property bool menuOpen: false
                    function openMenu() {
                        view.openMenuAt(overlay.cursorX, overlay.snapIndex >= 0 ? overlay.snapPxY : overlay.height / 2)
                        plotMenu.currentIndex = 0
                        menuOpen = true
                    }

                    onActiveFocusChanged: {
                        if (activeFocus)
                            moveTo(place)
                    }
                    Keys.onPressed: (event) => {
                        const last = order().length - 1
                        const moves = { [Qt.Key_Left]: place - 1, [Qt.Key_Right]: place + 1, [Qt.Key_Home]: 0,
                                        [Qt.Key_End]: last, [Qt.Key_PageUp]: place - 10, [Qt.Key_PageDown]: place + 10 }
                        if (moves[event.key] !== undefined) {
                            moveTo(moves[event.key])
                            event.accepted = true
                        } else if (event.key === Qt.Key_Return || event.key === Qt.Key_Enter
                                   || event.key === Qt.Key_Space || event.key === Qt.Key_Menu) {
                            openMenu()
                            event.accepted = true
                        }
                    }
                    // The menu's closing and a change of Y mode drop the snap; the
                    // keyboard's cursor takes it up again.
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
                    Connections {
                        target: view
                        function onLogModeChanged() {
                            if (keyCursor.activeFocus)
                                keyCursor.moveTo(keyCursor.place)
                        }
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

                Menu {
                    id: plotMenu
                    objectName: "plotMenu"
                    onClosed: {
                        if (!overlayArea.containsMouse)
                            overlay.snapIndex = -1
                    }
                    MenuItem {
                        objectName: "setThresholdItem"
                        // The channel the sweep measured, whatever the channel box shows now.
                        text: qsTr("Set CH %1 · %2 mV").arg(sweepPoints.channel).arg(Math.round(overlay.menuMv))
                        enabled: device.connected
                        onTriggered: device.setDacVoltage(sweepPoints.channel, overlay.menuMv / 1000.0)
                    }
                }
            }
        }
    }
}
