import QtQuick
import QtTest
import "qrc:/qml"

// Time, histogram and calibration views against the stand-in device.
TestCase {
    id: test
    name: "Views"
    when: windowShown
    visible: true
    width: 900
    height: 380

    Component { id: timeComponent; TimeView { width: 900; height: 380 } }
    Component { id: histogramComponent; HistogramView { width: 900; height: 380 } }
    Component { id: calibrationComponent; CalibrationView { width: 900; height: 380 } }

    function init() {
        device.reset()
    }

    function make(component) {
        const v = createTemporaryObject(component, test)
        verify(v)
        waitForRendering(v)
        return v
    }

    function filled(n, v) {
        const out = []
        for (let i = 0; i < n; ++i)
            out.push(v)
        return out
    }

    // ---- Time view ----

    function test_time_flat_counts_rescale() {
        const v = make(timeComponent)
        compare(v.channelLin.length, 8)
        compare(v.legendModel.count, 8)
        device.connected = true
        device.pushCounts(filled(8, 5000))
        device.pushCounts(filled(8, 5000))
        fuzzyCompare(v.linAxis.min, 4999.85, 1e-6)
        compare(v.linAxis.max, 5001)
        // The hidden mode's axis sits at its default.
        compare(v.logAxis.min, 1)
        compare(v.logAxis.max, 10)

        v.logYButton.checked = true
        verify(!v.channelLin[0].visible)
        verify(v.channelLog[0].visible)
        compare(v.logAxis.min, 5000)
        fuzzyCompare(v.logAxis.max, 5750, 1e-6)
        compare(v.linAxis.min, 0)
        compare(v.linAxis.max, 1)

        // Nothing visible: both defaults.
        for (let i = 0; i < 8; ++i)
            v.legendModel.setProperty(i, "seriesVisible", false)
        v.applyModeVisibility()
        compare(v.logAxis.min, 1)
        compare(v.logAxis.max, 10)
    }

    function test_time_pruning_keeps_one_old_point() {
        const v = make(timeComponent)
        device.connected = true
        const t0 = 1700000000000
        for (const dt of [0, 10000, 20000, 40000])
            v.addSample(t0 + dt, filled(8, 3))
        compare(v.channelLin[0].count, 4)
        v.addSample(t0 + 45000, filled(8, 3))
        compare(v.linPoints[0].map(p => p.x - t0), [10000, 20000, 40000, 45000])
        compare(v.channelLin[0].count, 4)
        compare(v.channelLin[0].at(0).x, t0 + 10000)
        compare(v.timeAxis.min.getTime(), t0 + 15000)
        compare(v.timeAxis.max.getTime(), t0 + 45000)
        // Zeros go only to the linear series; the log series is still pruned.
        v.addSample(t0 + 80000, filled(8, 0))
        compare(v.channelLog[0].count, 1)
        compare(v.channelLin[0].count, 2)
    }

    function test_time_ignores_sweep_and_clears_on_disconnect() {
        const v = make(timeComponent)
        device.pushCounts(filled(8, 7))
        compare(v.channelLin[0].count, 0)    // not connected
        device.connected = true
        device.pushCounts(filled(8, 7))
        device.calibrationRunning = true
        device.pushCounts(filled(8, 9))
        compare(v.channelLin[0].count, 1)
        device.calibrationRunning = false
        v.logYButton.checked = true
        device.connected = false
        compare(v.channelLin[0].count, 0)
        compare(v.channelLog[0].count, 0)
        compare(v.linAxis.max, 1)
        compare(v.logAxis.max, 10)
        verify(v.logYButton.checked)   // the mode stays
    }

    function test_time_hover_tags_spread() {
        const v = make(timeComponent)
        device.connected = true
        const now = Date.now()
        const counts = [100, 101, 102, 5000, 0, 0, 0, 0]
        v.addSample(now - 20000, counts)
        v.addSample(now, counts)
        const plot = v.chart.plotArea
        v.updateHits(plot.width - 2)
        verify(v.hitModel.count >= 4)
        const ys = []
        for (let i = 0; i < v.hitModel.count; ++i)
            ys.push(v.hitModel.get(i).py)
        for (let i = 1; i < ys.length; ++i)
            verify(ys[i] - ys[i - 1] >= 16 - 1e-9, "tags " + ys)
        compare(v.hitModel.get(0).text, "5000")
        // Left of the oldest point: a cursor but no tags.
        v.addSample(now + 1, counts)
        v.updateHits(0)
        compare(v.hitModel.count, 0)
    }

    // ---- Histogram view ----

    function test_histogram_ranges_and_bars() {
        const v = make(histogramComponent)
        device.connected = true
        device.pushCounts([0, 50, 2000, -5, NaN, 0, 0, 0])
        compare(v.barValues, [0, 50, 2000, 0, 0, 0, 0, 0])
        compare(v.linAxis.min, 0)
        compare(v.linAxis.max, 2160)
        compare(v.logAxis.min, 1)
        compare(v.logAxis.max, 2700)
        waitForRendering(v)
        const plot = v.chart.plotArea
        const bar0 = findChild(v, "bar0")
        const bar2 = findChild(v, "bar2")
        compare(bar0.height, 0)
        fuzzyCompare(bar2.height, plot.height * 2000 / 2160, 1e-6)
        fuzzyCompare(bar2.width, plot.width / 8 * 0.7, 1e-6)
        fuzzyCompare(bar2.x + bar2.width / 2, plot.x + 2.5 * plot.width / 8, 1e-6)
        const tag0 = findChild(v, "tag0")
        compare(tag0.children[0].text, "0")
        compare(findChild(v, "tag3").children[0].text, "0")
        fuzzyCompare(tag0.y + tag0.height + 4, plot.y + plot.height, 1e-6)

        v.logYButton.checked = true
        compare(bar0.height, 0)
        fuzzyCompare(bar2.height, plot.height * Math.log(2000) / Math.log(2700), 1e-6)

        // A sweep freezes the bars; a disconnect flattens them.
        device.calibrationRunning = true
        device.pushCounts(filled(8, 9))
        compare(v.barValues[2], 2000)
        device.calibrationRunning = false
        device.connected = false
        compare(v.barValues, filled(8, 0))
        compare(v.linAxis.max, 1)
        compare(v.logAxis.max, 10)
    }

    function test_histogram_small_counts() {
        const v = make(histogramComponent)
        device.connected = true
        device.pushCounts(filled(8, 0.4))
        compare(v.linAxis.max, 1)
        compare(v.logAxis.max, 10)
    }

    // ---- Calibration view ----

    function test_calibration_start_arguments() {
        const v = make(calibrationComponent)
        device.connected = true
        v.fromField.value = 600
        v.toField.value = 200
        mouseClick(findChild(v, "startButton"))
        compare(device.calls, ["startCalibration(0,600,200,10)"])
        compare(v.xAxis.min, 200)
        compare(v.xAxis.max, 600)
        v.fromField.value = 300
        v.toField.value = 300
        v.start()
        compare(v.xAxis.min, 300)
        compare(v.xAxis.max, 301)
    }

    function test_calibration_points_and_scale() {
        const v = make(calibrationComponent)
        device.connected = true
        device.calibrationRunning = true
        verify(!findChild(v, "sweepParameters").enabled)
        verify(v.ring.visible)
        for (let mv = 0; mv <= 100; mv += 10)
            device.calibrationPoint(mv, 0)
        compare(v.linSeries.count, 11)
        compare(v.logSeries.count, 0)
        compare(v.logAxis.min, 1)
        compare(v.logAxis.max, 10)
        device.calibrationPoint(110, 200)
        compare(v.linAxis.min, 0)
        compare(v.linAxis.max, 230)
        device.calibrationPoint(120, 50)
        compare(v.linAxis.max, 230)    // ranges only grow
        compare(v.logAxis.min, 50)
        fuzzyCompare(v.logAxis.max, 230, 1e-9)
        compare(v.logSeries.count, 2)

        // A new run starts on an empty plot.
        device.calibrationRunning = false
        verify(!v.ring.visible)
        device.calibrationRunning = true
        compare(v.linSeries.count, 0)
        compare(v.linAxis.max, 1)
        compare(v.logAxis.max, 10)
    }

    function test_calibration_success_ends_run_after_tick() {
        const v = make(calibrationComponent)
        device.connected = true
        device.calibrationRunning = true
        device.calibrationSucceeded()
        wait(300)
        verify(device.calibrationRunning)
        tryCompare(device, "calibrationRunning", false, 3000)
        compare(device.calls[device.calls.length - 1], "stopCalibration()")
    }

    function test_calibration_snap_and_menu() {
        const v = make(calibrationComponent)
        device.connected = true
        device.calibrationRunning = true
        for (let mv = 0; mv <= 1000; mv += 100)
            device.calibrationPoint(mv, mv)
        device.calibrationRunning = false
        v.xAxis.min = -100
        v.xAxis.max = 1100
        waitForRendering(v)
        const w = v.chart.plotArea.width
        const px = mv => w * (mv + 100) / 1200

        v.updateCursor(px(300) + 5)
        compare(v.overlay.snapIndex, 3)
        fuzzyCompare(v.overlay.snapPxX, px(300), 0.5)
        compare(v.overlay.snapY, 300)
        v.updateCursor(px(350))
        compare(v.overlay.snapIndex, -1)     // far from every point
        fuzzyCompare(v.overlay.cursorValueX, 350, 0.5)

        v.channelBox.currentIndex = 2
        v.openMenuAt(px(-3), 10)
        compare(v.overlay.menuMv, 0)
        const item = findChild(v.menu.contentItem, "setThresholdItem") || v.menu.itemAt(0)
        compare(item.text, "Set CH 2 · 0 mV")
        v.menu.close()
        v.openMenuAt(px(1004), 10)
        compare(v.overlay.menuMv, 1000)
        compare(item.text, "Set CH 2 · 1000 mV")
        verify(item.enabled)
        item.triggered()
        compare(device.calls[device.calls.length - 1], "setDacVoltage(2,1)")
        v.menu.close()
        device.connected = false
        verify(!item.enabled)
    }
}
