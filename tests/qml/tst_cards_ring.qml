import QtQuick
import QtTest
import Theme
import "qrc:/qml"

Item {
    id: root
    width: 800
    height: 600

    // Stand-in for the session object the cards view reads.
    property QtObject device: QtObject {
        property int channelCount: 8
        property var counts: []
        property bool connected: false
    }

    Component { id: cardsComponent; CardsView { width: 800; height: 300 } }
    Component { id: ringComponent; CircularProgressBar { width: 200 } }

    function findByName(item, name) {
        for (let i = 0; i < item.children.length; ++i) {
            const c = item.children[i]
            if (c.objectName === name)
                return c
            const found = findByName(c, name)
            if (found)
                return found
        }
        return null
    }

    function cards(view) {
        const grid = view.children[0]
        const list = []
        for (let i = 0; i < grid.children.length; ++i)
            if (grid.children[i].channel !== undefined)
                list.push(grid.children[i])
        return list.sort((a, b) => a.channel - b.channel)
    }

    TestCase {
        name: "CardsAndRing"
        when: windowShown

        function init() {
            root.device.channelCount = 8
            root.device.counts = []
            root.device.connected = false
        }

        function test_cardsDisconnected() {
            const view = createTemporaryObject(cardsComponent, root)
            const list = cards(view)
            compare(list.length, 8)
            for (let i = 0; i < 8; ++i) {
                compare(findByName(list[i], "title").text, "CH " + i)
                const value = findByName(list[i], "value")
                compare(value.text, "\u2014")
                compare(value.color, Theme.palette.blockedTextColor)
                compare(list[i].border.color, Theme.palette.borderIdleControlColor)
            }
            // Two rows of four, filling the view.
            compare(list[4].x, list[0].x)
            verify(list[4].y > list[0].y + list[0].height)
            compare(list[3].y, list[0].y)
        }

        function test_cardsLiveWithShortCounts() {
            const view = createTemporaryObject(cardsComponent, root)
            root.device.counts = [12345, 0.5, 0]
            root.device.connected = true
            const list = cards(view)
            const texts = list.map(c => findByName(c, "value").text)
            compare(texts, ["1.2345e+4", "5.0000e-1", "0.0000e+0", "0.0000e+0", "0.0000e+0",
                            "0.0000e+0", "0.0000e+0", "0.0000e+0"])
            compare(list[0].border.color, Theme.palette.borderHoveredControlColor)
            compare(findByName(list[7], "value").color, Theme.palette.hoveredTextColor)
            compare(findByName(list[0], "unit").text, "counts / gate")
        }

        function test_cardsFollowChannelCount() {
            const view = createTemporaryObject(cardsComponent, root)
            root.device.channelCount = 4
            compare(cards(view).length, 4)
        }

        function test_ringPercentageText() {
            const ring = createTemporaryObject(ringComponent, root)
            compare(ring.height, 200)
            compare(ring.textFontSize, 10)
            ring.value = 42.6
            tryCompare(ring, "value", 42.6, 1000)
            compare(findByName(ring, "percentage").text, " 43%")
            ring.from = 0; ring.to = 200
            compare(findByName(ring, "percentage").text, " 21%")
        }

        function test_ringValueRisesAndJumps() {
            const ring = createTemporaryObject(ringComponent, root)
            ring.value = 80
            verify(ring.value < 80)         // gliding up
            tryCompare(ring, "value", 80, 1000)
            ring.value = 10
            compare(ring.value, 10)         // straight down
        }

        function test_ringStates() {
            const ring = createTemporaryObject(ringComponent, root, { text: "Scanning" })
            const pct = findByName(ring, "percentage")
            const caption = findByName(ring, "caption")
            compare(ring.state, "textIsVisible")
            compare(pct.font.pixelSize, 8)
            compare(caption.opacity, 1)
            tryCompare(pct, "y", 150)
            ring.textVisible = false
            compare(ring.state, "textInvisible")
            compare(pct.font.pixelSize, 10)
            compare(caption.opacity, 0)
            tryCompare(pct, "y", (200 - pct.height) / 2)
            ring.finish()
            tryCompare(ring, "state", "done")
            compare(pct.opacity, 0)
            ring.textVisible = true        // the caption flag wins over done
            compare(ring.state, "textIsVisible")
        }

        SignalSpy { id: doneSpy; signalName: "doneAnimationFinished" }

        function test_ringTickOnce() {
            const ring = createTemporaryObject(ringComponent, root, { textVisible: false })
            compare(ring.state, "textInvisible")
            doneSpy.clear()
            doneSpy.target = ring
            ring.finish()
            verify(ring.done < 1)
            wait(300)
            compare(doneSpy.count, 0)
            tryCompare(ring, "done", 1, 1000)
            compare(doneSpy.count, 0)       // the pause follows the stroke
            doneSpy.wait(1000)
            ring.finish()
            wait(1200)
            compare(doneSpy.count, 1)
            ring.start()
            compare(ring.done, 0)
            compare(ring.state, "textInvisible")
            ring.finish()
            doneSpy.wait(2000)
            compare(doneSpy.count, 2)
        }

        function test_ringStartCancelsPendingSignal() {
            const ring = createTemporaryObject(ringComponent, root)
            doneSpy.clear()
            doneSpy.target = ring
            ring.finish()
            tryCompare(ring, "done", 1, 1000)
            ring.start()
            wait(800)
            compare(doneSpy.count, 0)
        }
    }
}
