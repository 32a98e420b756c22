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
        device.connected = true
    }
    function make(component) {
        const v = createTemporaryObject(component, test)
        waitForRendering(v)
        return v
    }
    function filled(v) { return Array(8).fill(v) }

    function test_timeRescale() {
        const v = make(timeComponent)
        device.pushCounts(filled(5000))
        device.pushCounts(filled(5000))
        compare([v.linAxis.min.toFixed(6), v.linAxis.max], ["4999.850000", 5001])
        v.logYButton.checked = true
        verify(!v.channelLin[0].visible)
        compare([v.logAxis.min, v.logAxis.max.toFixed(6)], [5000, "5750.000000"])
        device.calibrationRunning = true                 // nothing is recorded during a sweep
        device.pushCounts(filled(9))
        compare(v.linPoints[0].length, 2)
        compare([v.channelLin[0].count, v.channelLog[0].count], [0, 2])  // only the shown mode is drawn
        device.calibrationRunning = false
        device.connected = false                         // a disconnect clears, the mode stays
        compare([v.channelLog[0].count, v.linPoints[0].length, v.logAxis.max], [0, 0, 10])
        verify(v.logYButton.checked)
    }

    function test_timePruningKeepsOneOldPoint() {
        const v = make(timeComponent)
        const t0 = 1700000000000
        for (const dt of [0, 10000, 20000, 40000, 45000])
            v.addSample(t0 + dt, filled(3))
        compare(v.linPoints[0].map(p => p.x - t0), [10000, 20000, 40000, 45000])
        compare(v.channelLin[0].at(v.channelLin[0].count - 1).x, t0 + 45000)
        compare(v.timeAxis.min.getTime(), t0 + 15000)
        // Zeros go only to the linear record; the log record is still pruned.
        v.addSample(t0 + 80000, filled(0))
        compare([v.logPoints[0].length, v.linPoints[0].length], [1, 2])
        compare(v.channelLog[0].count, 0)                // the hidden mode draws nothing
        compare(v.channelLin[0].count, v.linPoints[0].length)
    }

    // Points go to the series unannounced while the time axis moves; the
    // drawn lines must still reach the newest point, moving axis or not.
    function test_timeLinesReachNewestPoint() {
        const v = make(timeComponent)
        const t0 = Date.now() - 29000
        function lineAt(t, y) {
            waitForRendering(v)
            const p = v.chart.mapToPosition(Qt.point(t, y), v.channelLin[7])
            const q = v.chart.mapToItem(v, p.x, p.y)
            const c = grabImage(v).pixel(Math.round(q.x), Math.round(q.y))
            return Math.abs(c.r - 1) + Math.abs(c.g - 0.5) + Math.abs(c.b) < 0.35  // CH 7, "#FF8000"
        }
        for (const dt of [0, 10000, 20000])
            v.addSample(t0 + dt, filled(dt === 10000 ? 3 : 1000))
        const yRange = [v.linAxis.min, v.linAxis.max]
        v.addSample(t0 + 29000, filled(3))               // the time axis moves, the Y axis stays
        compare([v.linAxis.min, v.linAxis.max], yRange)
        verify(lineAt(t0 + 24500, 501.5))
        v.addSample(t0 + 29000, filled(500))             // same time: no axis moves
        verify(lineAt(t0 + 29000, 250))
        compare(v.channelLin[7].count, v.linPoints[7].length)
    }

    function test_timeHoverTags() {
        const v = make(timeComponent)
        for (const t of [Date.now() - 20000, Date.now()])
            v.addSample(t, [100, 101, 102, 5000, 0, 0, 0, 0])
        v.updateHits(v.chart.plotArea.width - 2)
        verify(v.hitModel.count >= 4)
        compare(v.hitModel.get(0).text, "5000")
        for (let i = 1; i < v.hitModel.count; ++i)
            verify(v.hitModel.get(i).py - v.hitModel.get(i - 1).py >= 16 - 1e-9)
        v.updateHits(0)                                  // left of the oldest point: no tags
        compare(v.hitModel.count, 0)
    }

    // The legend stays opaque while the pointer is anywhere over it, its
    // check boxes included.
    function test_legendOpaqueWhileHovered() {
        const v = make(timeComponent)
        const legend = findChild(v, "legend")
        const box = findChild(v, "legendEntry2").children[0]
        mouseMove(box, box.width / 2, box.height / 2)
        wait(300)
        compare(legend.opacity, 1)
        mouseMove(v, 5, v.height - 5)
        tryCompare(legend, "opacity", 0.6)
    }

    // Counts 0, 50, 2000 give linear [0, 2160] and log [1, 2700]; bad counts are 0.
    function test_histogram_data() {
        return [ { tag: "linear", log: false, top: 2000 / 2160 }, { tag: "log", log: true, top: Math.log(2000) / Math.log(2700) } ]
    }
    function test_histogram(data) {
        const v = make(histogramComponent)
        device.pushCounts([0, 50, 2000, -5, NaN, 0, 0, 0])
        compare(v.barValues.map(String), ["0", "50", "2000", "0", "NaN", "0", "0", "0"])
        compare([v.linAxis.min, v.linAxis.max, v.logAxis.min, v.logAxis.max], [0, 2160, 1, 2700])
        verify(!findChild(v, "bar4").visible && !findChild(v, "tag4").visible)  // no bar for NaN
        v.logYButton.checked = data.log
        const plot = v.chart.plotArea, bar2 = findChild(v, "bar2"), tag0 = findChild(v, "tag0")
        compare(findChild(v, "bar0").height, 0)
        fuzzyCompare(bar2.height, plot.height * data.top, 1e-6)
        fuzzyCompare(bar2.width, plot.width / 8 * 0.7, 1e-6)
        fuzzyCompare(bar2.x + bar2.width / 2, plot.x + 2.5 * plot.width / 8, 1e-6)
        fuzzyCompare(tag0.y + tag0.height + 4, plot.y + plot.height, 1e-6)
        device.connected = false                         // a disconnect flattens the bars
        compare(v.barValues, filled(0))
        device.connected = true                          // counts under 1 keep [0, 1]
        device.pushCounts([0.95, 0.5, 0, 0, 0, 0, 0, 0])
        compare([v.linAxis.min, v.linAxis.max], [0, 1])
    }

    function test_calibrationRun() {
        const v = make(calibrationComponent)
        v.fromField.value = 600
        v.toField.value = 200
        mouseClick(findChild(v, "startButton"))
        compare(device.calls, ["startCalibration(0,600,200,10)"])
        compare([v.xAxis.min, v.xAxis.max], [200, 600])
        device.calibrationRunning = true
        device.calibrationPoint(100, 0)
        compare([v.linSeries.count, v.logSeries.count, v.logAxis.max], [1, 0, 10])
        device.calibrationPoint(110, 200)
        device.calibrationPoint(120, 50)
        compare([v.linAxis.min, v.linAxis.max, v.logAxis.min], [0, 230, 50])  // ranges only grow
        // Success: the tick plays, then the run is ended.
        device.calibrationSucceeded()
        wait(300)
        verify(device.calibrationRunning)
        tryCompare(device, "calibrationRunning", false, 3000)
        compare(device.calls[1], "stopCalibration()")
        device.calibrationRunning = true                 // a new run starts on an empty plot
        compare([v.linSeries.count, v.linAxis.max], [0, 1])
    }

    function test_calibrationSnapAndMenu() {
        const v = make(calibrationComponent)
        device.calibrationRunning = true
        for (let mv = 0; mv <= 1000; mv += 100)
            device.calibrationPoint(mv, mv)
        device.calibrationRunning = false
        v.xAxis.min = -100
        v.xAxis.max = 1100
        const px = mv => v.chart.plotArea.width * (mv + 100) / 1200
        v.updateCursor(px(300) + 5)                      // within 14 px: snapped
        compare([v.overlay.snapIndex, v.overlay.snapY], [3, 300])
        v.updateCursor(px(350))
        compare(v.overlay.snapIndex, -1)
        v.channelBox.currentIndex = 2
        const item = v.menu.itemAt(0)
        v.openMenuAt(px(-3), 10)
        compare(item.text, "Set CH 2 · 0 mV")
        v.openMenuAt(px(1004), 10)
        compare(item.text, "Set CH 2 · 1000 mV")
        item.triggered()
        compare(device.calls[device.calls.length - 1], "setDacVoltage(2,1)")
    }
}
