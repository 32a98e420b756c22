import QtQuick
import QtTest
import Theme
import TachyraFiles
import TachyraApp

// Time, histogram and calibration views against the stand-in device.
TestCase {
    id: test
    name: "Views"
    when: windowShown
    visible: true
    width: 900
    height: 380

    SignalSpy { id: exportsFinished; target: FileExport; signalName: "finished" }

    Component { id: timeComponent; TimeView { width: 900; height: 380 } }
    Component { id: cardsComponent; CardsView { width: 900; height: 380 } }
    Component { id: histogramComponent; HistogramView { width: 900; height: 380 } }
    Component { id: calibrationComponent; CalibrationView { width: 900; height: 380 } }

    function init() {
        device.reset()
        device.connected = true
        // Keys reach only the active window; a save dialog may be one of its own (Qt 6.8).
        test.Window.window.requestActivate()
        tryVerify(() => test.Window.window.active)
    }
    function make(component) {
        const v = createTemporaryObject(component, test)
        waitForRendering(v)
        return v
    }
    function filled(v) { return Array(8).fill(v) }
    // A finished sweep of `channel` through these [mV, count] points.
    function sweep(channel, points) {
        device.calibrationRunning = true
        for (const [mv, count] of points)
            readingSource.pushSweepPoint(channel, mv, count)
        device.calibrationRunning = false
    }

    // Readings drawn while connected and no sweep runs; a disconnect clears them, keeps the mode.
    function test_timeReadings() {
        const v = make(timeComponent)
        readingSource.push(filled(5000))
        readingSource.push(filled(5000))
        compare([v.plot.yMin.toFixed(6), v.plot.yMax], ["4999.850000", 5001])
        v.logYButton.checked = true
        compare([v.plot.logarithmic, v.plot.yMin, v.plot.yMax.toFixed(6)], [true, 5000, "5750.000000"])
        readingSource.push(filled(9), NaN, 1000, [], true) // a sweep's readings are not drawn here
        compare(v.series.readingCount(), 2)
        mouseClick(findChild(v, "legendEntry3").children[0])
        compare(v.plot.channelVisible[3], false)
        device.connected = false
        readingSource.end()
        compare([v.series.hasData, v.plot.yMin, v.plot.yMax, v.overlayShown, v.logYButton.checked, v.plot.channelVisible[3]],
                [false, 1, 10, false, true, false])
    }

    // A recording shown instead of the link, its problems by line; Live goes back to the link.
    function test_timeOpenRecording() {
        const v = make(timeComponent)
        readingSource.push(filled(5000))
        v.openRecording(scratchDir + "/recording.csv")
        verify(v.series.fileShown && v.fileBar.visible)
        tryCompare(v.series, "fileLoading", false)
        compare([v.series.readingCount(), v.series.spanMs, v.series.paused], [4, 0, false])
        const text = findChild(v.fileBar, "fileText").text
        verify(text.startsWith("File recording.csv. Rows read: 4. Lines skipped: 1."), text)
        verify(text.includes("The last line was cut short") && text.includes("Line 4: count_ch0"), text)
        compare(v.plot.valueAt(0, 1796637600100), 20)
        // Live readings go on being kept, not drawn, while the file is shown.
        readingSource.push(filled(6000))
        compare(v.series.readingCount(), 4)
        verify(v.overlayShown && !v.stale)
        device.connected = false                         // a file needs no link
        verify(v.overlayShown)
        device.connected = true
        mouseClick(findChild(v.spanBar, "liveButton"))
        compare([v.series.fileShown, v.fileBar.visible, v.series.readingCount(), v.series.spanMs], [false, false, 2, 30000])
        // A file that is not a recording says why and shows nothing.
        v.openRecording(scratchDir + "/not-a-recording.csv")
        tryCompare(v.series, "fileLoading", false)
        compare(v.series.readingCount(), 0)
        verify(findChild(v.fileBar, "fileText").text.includes("calibration sweep"), findChild(v.fileBar, "fileText").text)
        mouseClick(v.fileBar.closeButton)
        compare(v.series.readingCount(), 2)
    }

    function test_timeHoverTags() {
        const v = make(timeComponent)
        for (const t of [Date.now() - 20000, Date.now()])
            readingSource.push([100, 101, 102, 5000, 0, 0, 0, 0], t)
        waitForRendering(v)
        v.updateHits(v.plot.plotArea.width - 2)
        verify(v.hitModel.count >= 4)
        compare([v.hitModel.get(0).text, v.hitModel.get(0).seriesColor], ["5000", "#7e3095"])
        for (let i = 1; i < v.hitModel.count; ++i)
            verify(v.hitModel.get(i).py - v.hitModel.get(i - 1).py >= 16 - 1e-9)
        v.updateHits(0)                                  // left of the oldest point: no tags
        compare(v.hitModel.count, 0)
    }

    // n readings gapMs apart ending now (channel c counts (c + 1) * 1000 + i); the newest's time.
    function history(n, gapMs) {
        const now = Date.now()
        for (let i = 0; i < n; ++i) {
            const t = now - (n - 1 - i) * gapMs
            readingSource.push([1000 + i, 2000 + i, 3000 + i, 4000 + i, 5000 + i, 6000 + i, 7000 + i, 8000 + i], t, 1000)
        }
        return now
    }

    // 30 s at first, then the span picked, lit while shown; All shows every reading held.
    function test_timeSpansPanZoomLive() {
        const v = make(timeComponent)
        const newest = history(2000, 2000)              // 66 min
        verify(findChild(v, "span0").checked)
        compare([v.series.spanMs, v.series.timeMax, v.series.readingCount()], [30000, newest, 16])
        mouseClick(findChild(v, "span3"))                // 1 h
        compare([v.series.spanMs, v.series.timeMax - v.series.timeMin, v.series.readingCount()], [3600000, 3600000, 1801])
        verify(findChild(v, "span3").checked && !findChild(v, "span0").checked)
        mouseClick(findChild(v, "span6"))                // all
        compare([v.series.spanMs, v.series.readingCount(), v.series.timeMin], [0, 2000, newest - 1999 * 2000])
        mouseClick(findChild(v, "span1"))
        compare([v.series.spanMs, v.series.readingCount()], [120000, 61])
        verify(!v.series.paused && !v.spanBar.liveButton.enabled)
        // A drag pans back and holds; Ctrl+wheel zooms at the pointer, the wheel pans; Live follows again.
        mouseClick(findChild(v, "span2"))                // 10 min
        waitForRendering(v)
        const area = findChild(v, "plotArea")
        const msPerPx = 600000 / v.plot.plotArea.width
        mouseDrag(area, 400, 100, 150, 0)               // to the right: back in time
        verify(v.series.paused && v.pauseButton.checked && findChild(v, "pausedEntry").visible)
        // Times as offsets: fuzzyCompare works in single precision, too coarse for epoch milliseconds.
        fuzzyCompare(newest - v.series.timeMax, 150 * msPerPx, 2 * msPerPx)
        verify(findChild(v, "historyNote").text.indexOf("–") > 0)
        const held = v.series.timeMax
        readingSource.push(Array(8).fill(1e6), newest + 1000, 1000)
        compare([v.series.timeMax, v.plot.yMax < 1e6], [held, true])

        const atPointer = v.plot.timeForX(300)
        mouseWheel(area, 300, 100, 0, 120, Qt.NoButton, Qt.ControlModifier) // zoom in a step
        fuzzyCompare(v.series.spanMs, 480000, 1e-6)
        fuzzyCompare(v.plot.timeForX(300) - atPointer, 0, 480000 / v.plot.plotArea.width)
        const right = v.series.timeMax
        mouseWheel(area, 300, 100, 0, 120)             // back a tenth of the plot
        fuzzyCompare(right - v.series.timeMax, 48000, 1)

        mouseClick(v.spanBar.liveButton)
        verify(!v.series.paused && !v.pauseButton.checked && !findChild(v, "pausedEntry").visible)
        compare([v.series.timeMax, v.plot.yMax > 1e6], [newest + 1000, true])
    }

    // Per channel, the figures of the span shown: counts per gate, readings left out, the rate.
    function test_timeStatsStrip() {
        const v = make(timeComponent)
        verify(!v.statsStrip.visible)
        const now = Date.now()
        const counts = [10, 20, 30, NaN]
        for (let i = 0; i < counts.length; ++i)
            readingSource.push([counts[i], 5, 5, 5, 5, 5, 5, 5], now - 3000 + 1000 * i, 500)
        mouseClick(v.spanBar.statsButton)
        verify(v.statsStrip.visible)
        tryVerify(() => v.series.spanStats.length === 8)
        const column = findChild(v.statsStrip, "statsColumn0")
        const cell = key => findChild(column, "stat_" + key).text
        compare([cell("mean"), cell("stddev"), cell("min"), cell("max"), cell("count"), cell("nonFinite"), cell("rate")],
                ["20", "10", "10", "30", "3", "1", "40"])
        compare(findChild(findChild(v.statsStrip, "statsColumn1"), "stat_stddev").text, "0")
        mouseClick(v.spanBar.statsButton)
        verify(!v.statsStrip.visible)
    }

    // Per second: the plot, its read-out, the bars and the cards show each count over its gate.
    // Connected but readings stopped: the time view and the bars are dimmed and say so.
    function test_perSecondAndStale() {
        const v = make(timeComponent)
        const h = make(histogramComponent)
        const c = make(cardsComponent)
        device.periodMs = 250
        device.counts = [100, 0, 0, 0, 0, 0, 0, 0]
        const t = Date.now()
        readingSource.push([100, 0, 0, 0, 0, 0, 0, 0], t - 1000, 250)
        readingSource.push([100, 0, 0, 0, 0, 0, 0, 0], t, 250)
        const stale = () => [findChild(v, "staleHint").visible, findChild(h, "staleHint").visible, v.plot.opacity,
                             findChild(h, "barOverlay").opacity]
        compare(stale(), [true, true, 0.5, 0.5])
        device.countsLive = true
        compare(stale(), [false, false, 1, 1])
        for (const view of [v, h, c])
            view.perSecond = true
        compare([v.plot.valueAt(0, t), h.barValues[0]], [400, 400])
        compare([findChild(c, "value").text, findChild(c, "unit").text], ["4.0000e+2", "counts / s"])
        waitForRendering(v)
        v.updateHits(v.plot.xForTime(t - 500))
        compare(v.hitModel.get(0).text, "400")
        v.perSecond = false
        compare(v.plot.valueAt(0, t), 100)
    }

    // Counts 0, 50, 2000 give linear [0, 2160] and log [1, 2700]; bad counts are 0.
    function test_histogram_data() {
        return [ { tag: "linear", log: false, top: 2000 / 2160 }, { tag: "log", log: true, top: Math.log(2000) / Math.log(2700) } ]
    }
    function test_histogram(data) {
        const v = make(histogramComponent)
        readingSource.push([0, 50, 2000, -5, NaN, 0, 0, 0])
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
        readingSource.end()                              // a disconnect flattens the bars
        compare(v.barValues, filled(0))
        readingSource.push([0.95, 0.5, 0, 0, 0, 0, 0, 0]) // counts under 1 keep [0, 1] and [1, 10]
        compare([v.linAxis.min, v.linAxis.max, v.logAxis.min, v.logAxis.max], [0, 1, 1, 10])
    }

    function test_calibrationRun() {
        const v = make(calibrationComponent)
        v.fromField.value = 599.5                        // sent as the fields show it, rounded
        v.toField.value = 200.4
        v.stepField.value = 2.5
        mouseClick(findChild(v, "startButton"))
        compare(device.calls, ["startCalibration(0,600,200,3)"])
        compare([v.xAxis.min, v.xAxis.max], [200, 600])
        device.calibrationRunning = true
        readingSource.pushSweepPoint(0, 100, 0)
        compare([v.linSeries.count, v.logSeries.count, v.logAxis.max], [1, 0, 10])
        readingSource.pushSweepPoint(0, 110, 200)
        readingSource.pushSweepPoint(0, 120, 50)
        compare([v.linAxis.min, v.linAxis.max, v.logAxis.min], [0, 230, 50])  // ranges only grow
        // Success: the tick plays, then the run is ended.
        device.calibrationSucceeded()
        wait(300)
        verify(device.calibrationRunning)
        tryCompare(device, "calibrationRunning", false, 3000)
        compare(device.calls, ["startCalibration(0,600,200,3)", "stopCalibration()"])
        device.calibrationRunning = true                 // a new run starts on an empty plot
        compare([v.linSeries.count, v.linAxis.max], [0, 1])
    }

    // The menu sets the channel the sweep measured, also after the channel box has moved on.
    function test_calibrationSnapAndMenu() {
        const v = make(calibrationComponent)
        v.channelBox.currentIndex = 2
        sweep(2, Array.from({ length: 11 }, (_, i) => [i * 100, i * 100]))
        v.xAxis.min = -100
        v.xAxis.max = 1100
        const px = mv => v.chart.plotArea.width * (mv + 100) / 1200
        v.updateCursor(px(300) + 5)                      // within 14 px: snapped
        compare([v.overlay.snapIndex, v.overlay.snapY], [3, 300])
        v.updateCursor(px(350))
        compare(v.overlay.snapIndex, -1)
        v.channelBox.currentIndex = 5
        const item = v.menu.itemAt(0)
        v.openMenuAt(px(-3), 10)
        compare(item.text, "Set CH 2 · 0 mV")
        v.openMenuAt(px(1004), 10)
        compare(item.text, "Set CH 2 · 1000 mV")
        item.triggered()
        compare(device.calls, ["setDacVoltage(2,1)"])
    }

    // All channels: CH c a noise wall over a peak at 300 mV times 1 + c/2; CH 6 and 7 flat.
    function allChannelRun() {
        const v = make(calibrationComponent)
        v.channelBox.currentIndex = 8
        mouseClick(findChild(v, "startButton"))
        compare(device.calls, ["startCalibrationOf([0,1,2,3,4,5,6,7],0,1000,10)"])
        device.calibrationRunning = true
        for (let c = 0; c < 8; ++c) {
            for (let mv = 0; mv <= 1000; mv += 10)
                readingSource.pushSweepPoint(c, mv, c > 5 ? 300 + 2700 * (c - 6)
                    : Math.round((1 + c / 2) * (5e4 * Math.exp(-mv / 25) + 2e4 / (1 + Math.exp((mv - 300) / 40)))))
        }
        device.calibrationRunning = false
        waitForRendering(v)
        return v
    }
    function test_calibrationAllChannels() {
        const v = allChannelRun()
        compare(v.linLines.map(s => [s.count, s.visible, String(s.color)]),
                Array.from({ length: 8 }, (_, c) => [101, true, Theme.palette.channelColors[c].toLowerCase()]))
        verify(v.legend.visible && findChild(v.legend, "legendEntry7"))
        compare(v.points.results.map(r => r.hasSuggestion), [true, true, true, true, true, true, false, false])
        compare(findChild(v.markers, "marker6"), null)
        verify(findChild(v.markers, "marker2").visible)
        mouseClick(findChild(v.legend, "legendEntry2").children[0])   // a hidden curve: no line, no marker
        verify(!v.linLines[2].visible && !findChild(v.markers, "marker2"))
        // The spectrum: counts per mV on the same lines, log Y too.
        v.spectrumButton.checked = true
        compare([v.linLines[0].count, v.points.spectrum], [100, true])
        v.logYButton.checked = true
        verify(v.logLines[0].visible && v.logLines[0].count > 50 && v.logAxis.min < 1)
        fuzzyCompare(v.logLines[1].at(3).y, v.points.spectrumPoints(1)[3].y, 1e-9)
        // The menu sets the channel of the curve clicked, also with the keyboard.
        v.spectrumButton.checked = v.logYButton.checked = false
        waitForRendering(v)
        const plot = v.chart.plotArea
        const p = v.chart.mapToPosition(Qt.point(100, v.points.valueAt(3, 100, false)), v.linLines[3])
        mouseClick(v.overlay, p.x - plot.x, p.y - plot.y + 2)
        tryCompare(v.menu, "opened", true)
        compare(v.menu.itemAt(0).text, "Set CH 3 · 100 mV")
        v.menu.itemAt(0).triggered()
        v.menu.close()
        v.overlay.keys.forceActiveFocus(Qt.TabFocusReason)     // at the first point: 0 mV
        keyClick(Qt.Key_Right)
        keyClick(Qt.Key_Down)
        compare(v.overlay.curve, 4)
        keyClick(Qt.Key_Return)
        tryCompare(v.menu, "opened", true)
        keyClick(Qt.Key_Return)
        compare(device.calls.slice(1), ["setDacVoltage(3,0.1)", "setDacVoltage(4,0.01)"])
    }

    // Apply asks first, naming each level before and after, then sets only the suggestions.
    function test_calibrationApply() {
        const v = allChannelRun()
        device.dacVolts = filled(0.1)
        device.calls = []
        const question = v.applyQuestion, r = v.points.results
        mouseClick(v.applyButton)
        tryCompare(question, "opened", true)
        const rows = Array.from(question.contentItem.children).filter(c => c.objectName === "levelChange").map(l => l.text)
        compare(rows.length, 8)
        compare(rows[1], "CH 1: 100 mV → " + r[1].levelMv + " mV")
        compare(rows[7], "CH 7: 100 mV, kept (no valley: the count does not fall as the threshold rises)")
        keyClick(Qt.Key_Escape)
        tryCompare(question, "opened", false)
        mouseClick(v.applyButton)
        tryVerify(() => findChild(question.contentItem, "applyButton").activeFocus)
        keyClick(Qt.Key_Return)
        compare(device.calls, r.slice(0, 6).map(x => "setDacVoltage(" + x.channel + "," + x.levelMv / 1000 + ")"))
        device.calibrationRunning = true
        verify(!v.applyButton.enabled)
    }

    // The keys step through the drawn points in X order (a sweep may run down); Enter offers one.
    function test_calibrationKeyboardCursor_data() {
        return [ { tag: "linear", log: false, mv: [200, 300, 400, 500, 600] },
                 // The log series leaves out the count under 1 (at 400 mV).
                 { tag: "log", log: true, mv: [200, 300, 500, 600] } ]
    }
    function test_calibrationKeyboardCursor(data) {
        const v = make(calibrationComponent)
        v.channelBox.currentIndex = 2
        sweep(2, [600, 500, 400, 300, 200].map(mv => [mv, mv === 400 ? 0.5 : mv / 10]))
        v.logYButton.checked = data.log
        const keys = findChild(v, "plotKeys")
        keys.forceActiveFocus(Qt.TabFocusReason)
        const at = () => Math.round(v.overlay.cursorValueX)
        const seen = [at()]
        for (let i = 1; i < data.mv.length + 1; ++i) {
            keyClick(Qt.Key_Right)
            seen.push(at())
        }
        compare(seen, data.mv.concat([data.mv[data.mv.length - 1]]))   // stops at the right end
        compare([v.overlay.snapY, findChild(v, "snapDot").visible, keys.accessibleValue], [60, true, 600])
        keyClick(Qt.Key_Home)
        compare(at(), 200)
        keyClick(Qt.Key_Left)
        compare(at(), 200)
        keyClick(Qt.Key_End)
        keyClick(Qt.Key_Left)
        compare(at(), 500)
        keyClick(Qt.Key_Return)
        tryCompare(v.menu, "opened", true)
        compare(v.menu.itemAt(0).text, "Set CH 2 · 500 mV")
        keyClick(Qt.Key_Return)
        tryCompare(v.menu, "opened", false)
        compare(device.calls, ["setDacVoltage(2,0.5)"])
        tryVerify(() => keys.activeFocus && v.overlay.snapIndex >= 0)   // the read-out stays on the point
    }

    // Opaque under the pointer, boxes included, and while an entry has the focus (its keys: the keyboard session).
    function test_legend() {
        const v = make(timeComponent)
        const legend = findChild(v, "legend"), entry = findChild(v, "legendEntry2")
        mouseMove(entry.children[0], entry.children[0].width / 2, entry.children[0].height / 2)
        wait(300)
        compare(legend.opacity, 1)
        mouseMove(v, 5, v.height - 5)
        tryCompare(legend, "opacity", 0.6)
        entry.forceActiveFocus(Qt.TabFocusReason)
        tryCompare(legend, "opacity", 1)
    }

    // Sweep and time window as a table and a picture under one name, the bars as a picture.
    function test_exports() {
        const v = make(calibrationComponent)
        verify(!findChild(v, "exportButton").enabled)
        sweep(0, [[100, 7], [200, 2.5]])
        const dir = String(scratchDir).replace("file://", "")
        const saved = () => { tryCompare(FileExport, "busy", false); return FileExport.message }
        mouseMove(v.overlay, 20, 20)                    // the hover read-out stays out of the picture
        v.saveSweep(scratchDir + "/sweep.png")
        compare(saved(), "Saved " + dir + "/sweep.csv and sweep.png")
        const xhr = new XMLHttpRequest()
        const read = name => { xhr.open("GET", scratchDir + "/" + name, false); xhr.send(); return xhr.responseText }
        const rows = read("sweep.csv").split("\n")
        // The points, then the spectrum and the suggestion, each after a blank line.
        compare([rows[0], rows.length, rows[3], rows[4], rows[6], rows[8]],
                ["channel,threshold_mv,count,time_utc", 10, "", "channel,threshold_mv,counts_per_mv,error_per_mv", "",
                 "0,,,,,0,too-few-levels,\"too few levels to tell: use a smaller step\""])
        verify(/^0,100,7,\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z$/.test(rows[1]), rows[1])
        verify(rows[2].startsWith("0,200,2.5,"), rows[2])
        const image = createTemporaryQmlObject("import QtQuick; Image { cache: false }", test)
        image.source = scratchDir + "/sweep.png"
        tryCompare(image, "status", Image.Ready)
        compare([image.sourceSize.width, image.sourceSize.height], [v.chart.width, v.chart.height])
        verify(Qt.colorEqual(grabImage(image).pixel(1, 1), Theme.palette.backgroundHoveredControlColor))

        // Paused, the frozen window; then the span shown (its columns: tst_traceseries).
        const t = make(timeComponent)
        readingSource.push(filled(5), NaN, 50, filled(100))
        t.pauseButton.checked = true
        readingSource.push(filled(9))
        t.saveWindow(scratchDir + "/window.png")
        compare(saved(), "Saved " + dir + "/window.csv and window.png")
        const w = read("window.csv").split("\n")
        compare([w.length, w[1].split(",")[3]], [3, "5"])
        t.pauseButton.checked = false
        readingSource.end()
        const newest = history(600, 1000)
        mouseClick(findChild(t, "span1"))                 // 2 min
        t.saveWindow(scratchDir + "/span.csv")
        compare(saved(), "Saved " + dir + "/span.csv and span.png")
        const span = read("span.csv").split("\n")
        compare([span.length, span[1].split(",")[1], span[121].split(",")[0]], [123, "0.000", new Date(newest).toISOString()])

        const h = make(histogramComponent)
        readingSource.push([0, 50, 2000, 0, 0, 0, 0, 0])
        h.saveChart(scratchDir + "/bars")
        compare([saved(), FileExport.failed], ["Saved " + dir + "/bars.png", false])
        // What a save would replace: the file named and what goes beside it.
        const replaced = (name, writes) => FileExport.existingTargets(scratchDir + "/" + name, writes).map(f => f.replace(dir + "/", ""))
        compare(replaced("window.png", FileExport.TableAndPicture), ["window.csv", "window.png"])
        compare(replaced("window", FileExport.TableAndPicture), ["window.csv", "window.png"])
        compare(replaced("window.csv", FileExport.Picture), ["window.png"])
        compare(replaced("window.png", FileExport.NamedFile), ["window.png"])
        compare(replaced("other.csv", FileExport.TableAndPicture), [])
        compare(replaced("bars.csv", FileExport.TableAndPicture), ["bars.png"])   // only the picture there

        // A name in capitals keeps its ending; the other file goes beside it.
        t.saveWindow(scratchDir + "/Window.CSV")
        compare(saved(), "Saved " + dir + "/Window.CSV and Window.png")
        t.saveWindow(scratchDir + "/Shot.PNG")
        compare(saved(), "Saved " + dir + "/Shot.csv and Shot.PNG")
        // Written off the GUI thread; a failure is told all the same.
        t.saveWindow(scratchDir + "/gone/w.csv")
        compare([saved(), FileExport.failed], ["Cannot save " + dir + "/gone/w.csv: No such file or directory", true])
        h.saveChart(scratchDir + "/gone/bars")
        compare([saved(), FileExport.failed], ["Cannot save " + dir + "/gone/bars.png: No such file or directory", true])
    }

    // An export that would replace files names them first; Cancel saves nothing, Replace both.
    function test_exportAsksBeforeReplacing_data() {
        return [ { tag: "time window", view: timeComponent, save: "saveWindow", name: /\/counts-span-\d{8}-\d{6}\.csv$/ },
                 { tag: "sweep", view: calibrationComponent, save: "saveSweep", name: /\/sweep-CH0-\d{8}-\d{6}\.csv$/ } ]
    }
    function test_exportAsksBeforeReplacing(data) {
        const v = make(data.view)
        readingSource.push(filled(5))
        sweep(0, [[100, 7]])
        const button = findChild(v, "exportButton"), dialog = findChild(v, "exportDialog")
        exportsFinished.clear()
        // Both files of the proposed name are made first, then the dialog is answered.
        const exportOver = (answer) => {
            mouseClick(button)
            tryCompare(dialog, "visible", true)
            verify(data.name.test(String(dialog.selectedFile)), dialog.selectedFile)
            v[data.save](dialog.selectedFile)
            tryCompare(FileExport, "busy", false)
            const before = exportsFinished.count
            dialog.accept()
            const question = dialog.question
            tryCompare(question, "opened", true)
            const base = String(dialog.selectedFile).replace("file://", "").replace(/\.csv$/, "")
            compare(question.files, [base + ".csv", base + ".png"])
            mouseClick(findChild(question.contentItem, answer))
            tryCompare(question, "visible", false)
            return before
        }
        const kept = exportOver("keepButton")
        wait(50)
        compare([exportsFinished.count, FileExport.busy], [kept, false])
        const replaced = exportOver("replaceButton")
        tryCompare(exportsFinished, "count", replaced + 1)
        verify(!FileExport.failed, FileExport.message)
    }
}
