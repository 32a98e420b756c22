import QtQuick
import QtTest
import QtCharts
import Theme
import "qrc:/qml/ChartMath.js" as ChartMath

TestCase {
    name: "ThemeAndChartMath"

    function test_textSizes_data() {
        return [
            { tag: "1920x1080", w: 1920, h: 1080, sizes: [39, 29, 24, 20, 15, 12, 9] },
            { tag: "2560x1440", w: 2560, h: 1440, sizes: [52, 39, 33, 26, 20, 16, 12] },
            { tag: "1366x768", w: 1366, h: 768, sizes: [28, 21, 17, 14, 10, 8, 6] }
        ]
    }

    function test_textSizes(data) {
        const t = Theme.textSizesFor(data.w, data.h)
        compare([t.hugeSize, t.bigestSize, t.bigSize, t.normalSize, t.smallSize, t.smallestSize, t.tinySize],
                data.sizes)
    }

    function test_scaleFactors() {
        // The base width is 1960, so a full-HD screen is narrower than the base.
        compare(Theme.baseWidth, 1960)
        fuzzyCompare(1920 / Theme.baseWidth, 0.9796, 0.0001)
        compare(Theme.widthScale, Theme.screenWidth / 1960)
        compare(Theme.heightScale, Theme.screenHeight / 1080)
        compare(Theme.fontScale, Math.min(Theme.widthScale, Theme.heightScale))
        compare(Theme.textStyle.normalSize, Theme.scaledSize(20, Theme.fontScale))
        compare(Theme.scaledSize(10, 0.85), 9)      // 8.5 rounds up
        compare(Theme.scaledSize(10, 0.849), 8)
    }

    function test_palette() {
        compare(Theme.palette.background, "#1e1e1e")
        compare(Theme.palette.borderHoveredControlColor, "#f16321")
        compare(Theme.palette.borderDisableControlColor, "#5d250b")
    }

    function test_font() {
        tryVerify(() => Theme.applicationFont.status === FontLoader.Ready, 2000)
        verify(Theme.applicationFont.name.length > 0)
    }

    function test_tickInterval_data() {
        return [
            { tag: "0..1", min: 0, max: 1, ticks: 5, interval: 0.2 },
            { tag: "range 1.15", min: 0, max: 1.15, ticks: 5, interval: 0.5 },
            { tag: "large", min: 0, max: 9000, ticks: 4, interval: 2000 },
            { tag: "empty range", min: 3, max: 3, ticks: 5, interval: 1 },
            { tag: "reversed", min: 3, max: 1, ticks: 5, interval: 1 },
            { tag: "infinite", min: 0, max: Infinity, ticks: 5, interval: 1 }
        ]
    }

    function test_tickInterval(data) {
        fuzzyCompare(ChartMath.tickInterval(data.min, data.max, data.ticks), data.interval, 1e-12)
    }

    function test_desiredTickCount() {
        compare(ChartMath.desiredTickCount(80, 12), 3)     // labelPx 31.2
        compare(ChartMath.desiredTickCount(400, 12), 5)
        compare(ChartMath.desiredTickCount(0, 12), 4)
        compare(ChartMath.desiredTickCount(50, 4), 3)      // labelPx floor of 20 px
        compare(ChartMath.desiredTickCount(130, 4), 5)
    }

    function test_niceNumber() {
        compare(ChartMath.niceNumber(1.15, false), 2)
        compare(ChartMath.niceNumber(0.4, true), 0.5)
        compare(ChartMath.niceNumber(2, false), 2)
        compare(ChartMath.niceNumber(-1, true), 1)
        compare(ChartMath.niceNumber(NaN, false), 1)
    }

    ValueAxis { id: valueAxis; min: 0; max: 1 }
    LogValueAxis { id: logAxis; base: 10; min: 1; max: 10 }

    // A real axis refuses min > max, so a wrong write order would show here.
    function test_linearRange_data() {
        return [
            { tag: "crossed", from: [0, 1], to: [5, 3], expect: [5, 6] },
            { tag: "up past max", from: [0, 1], to: [20, 30], expect: [20, 30] },
            { tag: "down past min", from: [20, 30], to: [-10, -5], expect: [-10, -5] },
            { tag: "widen", from: [2, 3], to: [0, 100], expect: [0, 100] }
        ]
    }

    function test_linearRange(data) {
        valueAxis.min = -1e9; valueAxis.max = 1e9
        valueAxis.min = data.from[0]; valueAxis.max = data.from[1]
        ChartMath.setLinearRange(valueAxis, data.to[0], data.to[1])
        compare([valueAxis.min, valueAxis.max], data.expect)
    }

    // Stand-in axis that records whether min ever exceeded max between writes.
    QtObject {
        id: recorder
        property real min: 0
        property real max: 1
        property bool crossed: false
        onMinChanged: if (min > max) crossed = true
        onMaxChanged: if (min > max) crossed = true
    }

    function test_rangeWriteOrder_data() {
        return [
            { tag: "linear up", log: false, from: [0, 1], to: [20, 30] },
            { tag: "linear down", log: false, from: [20, 30], to: [-10, -5] },
            { tag: "linear crossed", log: false, from: [0, 1], to: [5, 3] },
            { tag: "log up", log: true, from: [1, 10], to: [100, 1000] },
            { tag: "log down", log: true, from: [100, 1000], to: [1, 5] }
        ]
    }

    function test_rangeWriteOrder(data) {
        recorder.max = 1e9
        recorder.min = data.from[0]
        recorder.max = data.from[1]
        recorder.crossed = false
        if (data.log)
            ChartMath.setLogRange(recorder, data.to[0], data.to[1])
        else
            ChartMath.setLinearRange(recorder, data.to[0], data.to[1])
        verify(!recorder.crossed)
        verify(recorder.min < recorder.max)
    }

    function test_logRange_data() {
        return [
            { tag: "below one", from: [1, 10], to: [0, 0.5], expect: [1, 10] },
            { tag: "up past max", from: [1, 10], to: [100, 1000], expect: [100, 1000] },
            { tag: "down past min", from: [100, 1000], to: [1, 5], expect: [1, 5] },
            { tag: "crossed", from: [1, 10], to: [50, 20], expect: [50, 500] }
        ]
    }

    function test_logRange(data) {
        logAxis.max = 1e9; logAxis.min = data.from[0]; logAxis.max = data.from[1]
        ChartMath.setLogRange(logAxis, data.to[0], data.to[1])
        compare([logAxis.min, logAxis.max], data.expect)
    }

    function test_formatCount_data() {
        return [
            { tag: "12345", v: 12345, s: "1.2345e+4" },
            { tag: "zero", v: 0, s: "0.0000e+0" },
            { tag: "half", v: 0.5, s: "5.0000e-1" },
            { tag: "rounding", v: 123456789, s: "1.2346e+8" },
            { tag: "small", v: 1.5e-12, s: "1.5000e-12" }
        ]
    }

    function test_formatCount(data) {
        compare(ChartMath.formatCount(data.v), data.s)
    }

    function test_commitValue() {
        compare(ChartMath.commitValue("1,5e3", 7, 0, 1000), 1000)
        compare(ChartMath.commitValue("-3", 7, 0, 1000), 0)
        compare(ChartMath.commitValue("", 7, 0, 1000), 7)
        compare(ChartMath.commitValue(" 1 2,5x", 7, 0, 1000), 12.5)   // spaces dropped, garbage ignored
        compare(ChartMath.commitValue("-3e4", 7, 0, 0), -30000)        // equal bounds: no clamp
        compare(ChartMath.formatFixed(12.5, 0), "13")
        compare(ChartMath.formatFixed(2.345, 2), "2.35")
    }
}
