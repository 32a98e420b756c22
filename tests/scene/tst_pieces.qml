import QtQuick
import QtQuick.Controls
import QtTest
import QtCharts
import Theme
import TachyraApp
import TachyraCharts
import "qrc:/qt/qml/TachyraApp/ChartMath.js" as ChartMath
import "qrc:/qt/qml/TachyraApp/SceneLogic.js" as Logic

// The shared scene pieces, the channel cards, the progress ring, ordered range writes on real axes.
Item {
    id: root
    width: 800
    height: 600

    Component { id: fieldComponent; PropertyTextField { width: 120; height: 40 } }
    Component {
        id: tipButtonComponent
        Button {
            width: 80; height: 40; y: 200; hoverEnabled: true
            property alias tip: tip
            HoverTip { id: tip; text: "tip"; showDelay: 200 }
        }
    }
    Component {
        id: panelComponent
        ChartPanel {
            width: 400; height: 300; showLogYButton: true
            MyValueAxis { id: ax; min: 0; max: 1 }
            MyLogAxis { id: lx }
            LineSeries { axisX: ax; axisY: lx; visible: false }
        }
    }
    Component { id: cardsComponent; CardsView { width: 800; height: 300 } }
    Component { id: ringComponent; CircularProgressBar { width: 200 } }

    TestCase {
        name: "Pieces"
        when: windowShown

        function init() { device.reset() }

        function test_fieldCommit_data() {
            return [
                { tag: "clamped up", min: 0, max: 1000, start: 5, text: "1,5e3", value: 1000, shown: "1000" },
                { tag: "clamped down", min: 0, max: 1000, start: 5, text: "-3", value: 0, shown: "0" },
                { tag: "emptied", min: 0, max: 1000, start: 42, text: "", value: 42, shown: "42" },
                { tag: "equal bounds", min: 0, max: 0, start: 1, text: "-250", value: -250, shown: "-250" },
                { tag: "rounded shown", min: 0, max: 100, start: 1, text: "12.5", value: 12.5, shown: "13" }
            ]
        }
        function test_fieldCommit(data) {
            const f = createTemporaryObject(fieldComponent, root,
                                            { min_value: data.min, max_value: data.max, value: data.start })
            f.forceActiveFocus()
            f.remove(0, f.length)
            f.insert(0, data.text)
            keyClick(Qt.Key_Return)
            compare([f.value, f.text, f.activeFocus], [data.value, data.shown, false])
        }

        function test_fieldWhileEditing() {
            const f = createTemporaryObject(fieldComponent, root, { max_value: 100, value: 1 })
            f.forceActiveFocus()
            f.selectAll()
            keyClick(Qt.Key_Delete)
            keyClick(Qt.Key_A)              // refused by the validator
            keyClick(Qt.Key_4)
            f.value = 2                     // a device update must not overwrite the edit
            compare(f.text, "4")
            keyClick(Qt.Key_Escape)         // Escape commits too
            compare(f.value, 4)
        }

        function test_hoverTipWaits() {
            const b = createTemporaryObject(tipButtonComponent, root)
            mouseMove(b, 10, 10)
            wait(100)
            mouseMove(root, 700, 10)        // leaving early: the tip never opens
            wait(200)
            verify(!b.tip.visible)
            mouseMove(b, 10, 10)
            tryCompare(b.tip, "visible", true, 1000)
            mouseMove(root, 700, 10)
            tryCompare(b.tip, "visible", false, 1000)
        }

        // Axes named by a series declared through the panel (as scripts/gallery does) belong to the chart.
        function test_chartPanel() {
            const chart = createTemporaryObject(panelComponent, root).chart
            const series = chart.series(0)
            compare([chart.axisX(series), chart.axisY(series)], [series.axisX, series.axisY])
        }

        // The cards shown and heard: the count held while focused, Space, all at once, live readings ending.
        function test_cards() {
            const view = createTemporaryObject(cardsComponent, root)
            const said = []
            view.announce.connect(text => said.push(text))
            const cards = findChildren(view, "card")
            const texts = () => findChildren(view, "value").map(v => v.text)
            const names = n => cards.slice(0, n).map(c => c.Accessible.name)
            compare([texts(), names(1)], [Array(8).fill("\u2014"), ["CH 0, no reading"]])
            device.counts = [12345, 0.5, 0, 123456789, 1.5e-12]   // shorter than the channel count
            device.connected = true
            compare(texts(), ["1.2345e+4", "5.0000e-1", "0.0000e+0", "1.2346e+8", "1.5000e-12",
                              "0.0000e+0", "0.0000e+0", "0.0000e+0"])
            // Connected but not from this link or not recent: dimmed and marked.
            const hints = () => findChildren(view, "staleHint").map(h => h.visible)
            const first = findChildren(view, "value")[0]
            compare([hints(), first.color], [Array(8).fill(true), Theme.palette.blockedTextColor])
            device.countsLive = true
            compare([hints(), first.color], [Array(8).fill(false), Theme.palette.hoveredTextColor])
            compare(names(5), ["CH 0, 12345 counts per gate", "CH 1, 0.5 counts per gate", "CH 2, 0 counts per gate",
                               "CH 3, 123457000 counts per gate", "CH 4, 1.5e-12 counts per gate"])
            view.visible = false                    // out of sight the values wait
            device.counts = [7, 7, 7, 7, 7, 7, 7, 7]
            compare(texts()[0], "1.2345e+4")
            view.visible = true
            compare(texts()[0], "7.0000e+0")
            cards[1].forceActiveFocus(Qt.TabFocusReason)
            device.counts = [1, 2, 3, 4, 5, 6, 7, 8]
            compare([names(2), cards[1].accessibleValue], [["CH 0, 1 counts per gate", "CH 1, 7 counts per gate"], 7])
            keyClick(Qt.Key_Space)
            compare([names(2), said], [["CH 0, 1 counts per gate", "CH 1, 7 counts per gate"], ["CH 1, 2 counts per gate"]])
            cards[2].forceActiveFocus(Qt.TabFocusReason)      // gone on: the card follows again
            compare([names(2), cards[1].accessibleValue], [["CH 0, 1 counts per gate", "CH 1, 2 counts per gate"], 2])
            Object.assign(device, { periodMs: 500 })
            view.perSecond = true
            view.readAll()
            compare(said[1], "Counts per second: CH 0, 2; CH 1, 4; CH 2, 6; CH 3, 8; CH 4, 10; CH 5, 12; CH 6, 14; CH 7, 16")
            device.countsLive = false
            device.counts = [9, 9, 9, 9, 9, 9, 9, 9]
            tryCompare(said, "length", 3)
            Object.assign(device, { countsLive: true, periodMs: 1000 })
            Object.assign(device, { countsLive: false, connected: false })
            wait(50)
            compare(said.slice(2), ["No reading"])
            device.channelCount = 4
            compare(texts().length, 4)
        }

        function findChildren(item, name) {
            let out = []
            for (const c of Array.from(item.children))
                out = out.concat(c.objectName === name ? [c] : findChildren(c, name))
            return out
        }

        SignalSpy { id: doneSpy; signalName: "doneAnimationFinished" }

        function test_ring() {
            const ring = createTemporaryObject(ringComponent, root)
            ring.value = 80
            verify(ring.value < 80)         // gliding up
            tryCompare(ring, "value", 80, 1000)
            compare(findChild(ring, "percentage").text, " 80%")
            ring.value = 10
            compare(ring.value, 10)         // straight down
            // Finished twice, it signals once.
            doneSpy.target = ring
            ring.finish()
            tryCompare(ring, "done", 1, 1000)
            compare(doneSpy.count, 0)       // the pause follows the stroke
            doneSpy.wait(1000)
            ring.finish()
            wait(1200)
            compare(doneSpy.count, 1)
            ring.start()                    // a new run arms it again
            compare(ring.done, 0)
            ring.finish()
            doneSpy.wait(2000)
        }

        // The status bar's run time past an hour; a hover tag that fits, and one that would cross the edge.
        function test_logic_data() {
            return [ { tag: "past an hour", got: () => Logic.formatElapsed(3723999), want: "1:02:03" },
                     { tag: "tag just fits", got: () => Logic.tagLeft(50, 40, 100, 10), want: 60 },
                     { tag: "tag would cross", got: () => Logic.tagLeft(60, 40, 100, 5, 5), want: 10 } ]
        }
        function test_logic(data) { compare(data.got(), data.want) }

        ValueAxis { id: valueAxis }
        LogValueAxis { id: logAxis; base: 10 }
        // Records whether min ever passed max between the two writes.
        QtObject {
            id: rangeProbe
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
            for (const axis of [data.log ? logAxis : valueAxis, rangeProbe]) {
                axis.max = 1e9
                axis.min = data.from[0]
                axis.max = data.from[1]
                rangeProbe.crossed = false
                ChartMath.applyRange(axis, r.min, r.max)
                compare([axis.min, axis.max], data.expect)
                verify(!rangeProbe.crossed)
            }
        }
    }
}
