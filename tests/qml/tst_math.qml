import QtQuick
import QtTest
import QtCharts
import Theme
import TachyraCharts
import "qrc:/qt/qml/TachyraApp/ChartMath.js" as ChartMath

// The theme's text sizes and the ordered range writes on real axes.
TestCase {
    name: "ThemeAndChartMath"

    function test_textSizes_data() {
        return [
            { tag: "1920x1080", w: 1920, h: 1080, sizes: [39, 29, 24, 20, 15, 12, 9] },
            { tag: "1366x768", w: 1366, h: 768, sizes: [28, 21, 17, 14, 10, 8, 6] }
        ]
    }
    function test_textSizes(data) {
        const t = Theme.textSizesFor(data.w, data.h)
        compare([t.hugeSize, t.bigestSize, t.bigSize, t.normalSize, t.smallSize, t.smallestSize, t.tinySize],
                data.sizes)
        compare(Theme.scaledSize(10, 0.85), 9)      // half rounds up
        tryVerify(() => Theme.applicationFont.status === FontLoader.Ready, 2000)
    }

    ValueAxis { id: valueAxis }
    LogValueAxis { id: logAxis; base: 10 }
    // Records whether min ever passed max between the two writes.
    QtObject {
        id: recorder
        property real min: 0
        property real max: 1
        property bool crossed: false
        onMinChanged: if (min > max) crossed = true
        onMaxChanged: if (min > max) crossed = true
    }

    // A real axis refuses min > max, so a wrong write order also shows there.
    function test_ranges_data() {
        return [
            { tag: "crossed", from: [0, 1], to: [5, 3], expect: [5, 6] },
            { tag: "up past max", from: [0, 1], to: [20, 30], expect: [20, 30] },
            { tag: "down past min", from: [20, 30], to: [-10, -5], expect: [-10, -5] },
            { tag: "log below one", log: true, from: [1, 10], to: [0, 0.5], expect: [1, 10] },
            { tag: "log up", log: true, from: [1, 10], to: [100, 1000], expect: [100, 1000] },
            { tag: "log down", log: true, from: [100, 1000], to: [1, 5], expect: [1, 5] },
            { tag: "log crossed", log: true, from: [1, 10], to: [50, 20], expect: [50, 500] }
        ]
    }
    function test_ranges(data) {
        const r = data.log ? ChartScale.logRange(data.to[0], data.to[1])
                           : ChartScale.linearRange(data.to[0], data.to[1])
        for (const axis of [data.log ? logAxis : valueAxis, recorder]) {
            axis.max = 1e9
            axis.min = data.from[0]
            axis.max = data.from[1]
            recorder.crossed = false
            ChartMath.applyRange(axis, r.min, r.max)
            compare([axis.min, axis.max], data.expect)
            verify(!recorder.crossed)
        }
    }
}
