import QtQuick
import QtQuick.Controls
import QtTest
import QtCharts
import Theme
import TachyraApp

// The shared scene pieces, the channel cards and the progress ring.
Item {
    id: root
    width: 800
    height: 600

    // Stand-in for the session object the cards view reads.
    property QtObject device: CardsDevice {}

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
            f.selectAll()
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

        function test_chartPanel() {
            const chart = createTemporaryObject(panelComponent, root).chart
            // Axes named by a series declared through the panel belong to the chart.
            const series = chart.series(0)
            compare([chart.axisX(series), chart.axisY(series)], [series.axisX, series.axisY])
        }

        function test_cards() {
            const view = createTemporaryObject(cardsComponent, root)
            const texts = () => findChildren(view, "value").map(v => v.text)
            compare(texts(), Array(8).fill("\u2014"))
            root.device.counts = [12345, 0.5, 0, 123456789, 1.5e-12]   // shorter than the channel count
            root.device.connected = true
            compare(texts(), ["1.2345e+4", "5.0000e-1", "0.0000e+0", "1.2346e+8", "1.5000e-12",
                              "0.0000e+0", "0.0000e+0", "0.0000e+0"])
            // Connected but not from this link or not recent: dimmed and marked.
            const hints = () => findChildren(view, "staleHint").map(h => h.visible)
            const first = findChildren(view, "value")[0]
            compare([hints(), first.color], [Array(8).fill(true), Theme.palette.blockedTextColor])
            root.device.countsLive = true
            compare([hints(), first.color], [Array(8).fill(false), Theme.palette.hoveredTextColor])
            view.visible = false                    // out of sight the values wait
            root.device.counts = [7, 7, 7, 7, 7, 7, 7, 7]
            compare(texts()[0], "1.2345e+4")
            view.visible = true
            compare(texts()[0], "7.0000e+0")
            root.device.channelCount = 4
            compare(texts().length, 4)
        }

        function findChildren(item, name) {
            let out = []
            for (const c of Array.from(item.children))
                out = out.concat(c.objectName === name ? [c] : findChildren(c, name))
            return out
        }

        function test_ringValue() {
            const ring = createTemporaryObject(ringComponent, root)
            ring.value = 80
            verify(ring.value < 80)         // gliding up
            tryCompare(ring, "value", 80, 1000)
            compare(findChild(ring, "percentage").text, " 80%")
            ring.value = 10
            compare(ring.value, 10)         // straight down
            const renderer = findChild(ring, "shape").preferredRendererType
            verify(renderer === undefined || renderer === 4)   // Shape.CurveRenderer, where Qt has it
        }

        SignalSpy { id: doneSpy; signalName: "doneAnimationFinished" }

        function test_ringFinishTwiceSignalsOnce() {
            const ring = createTemporaryObject(ringComponent, root, { textVisible: false })
            doneSpy.clear()
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
    }
}
