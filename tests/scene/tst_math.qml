import QtQuick
import QtTest
import QtCharts
import TachyraCharts
import "qrc:/qt/qml/TachyraApp/ChartMath.js" as ChartMath

// The ordered range writes on real axes.
TestCase {
    name: "ThemeAndChartMath"

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
