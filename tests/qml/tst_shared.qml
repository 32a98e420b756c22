import QtQuick
import QtQuick.Controls
import QtTest
import QtCharts
import Theme
import "qrc:/qml"

Item {
    id: root
    width: 800
    height: 600

    Component { id: fieldComponent; PropertyTextField { width: 120; height: 40 } }
    Component { id: axisComponent; MyValueAxis {} }
    Component {
        id: tipButtonComponent
        Button {
            width: 80; height: 40; y: 200
            hoverEnabled: true
            property alias tip: tip
            HoverTip { id: tip; text: "tip" }
        }
    }
    Component {
        id: panelComponent
        ChartPanel {
            width: 400; height: 300
            showLogYButton: true
            MyValueAxis { id: ax; min: 0; max: 1 }
            MyLogAxis { id: lx }
            LineSeries { axisX: ax; axisY: lx; visible: false }
        }
    }

    TestCase {
        name: "SharedPieces"
        when: windowShown

        function commitText(field, text) {
            field.forceActiveFocus()
            field.selectAll()
            field.remove(0, field.length)
            if (text.length > 0)
                field.insert(0, text)
            keyClick(Qt.Key_Return)
        }

        function test_fieldClamps() {
            const f = createTemporaryObject(fieldComponent, root, { min_value: 0, max_value: 1000, value: 5 })
            compare(f.text, "5")
            commitText(f, "1,5e3")
            compare(f.value, 1000)
            compare(f.text, "1000")
            verify(!f.activeFocus)
            commitText(f, "-3")
            compare(f.value, 0)
        }

        function test_fieldEmptyKeepsValue() {
            const f = createTemporaryObject(fieldComponent, root, { min_value: 0, max_value: 1000, value: 42 })
            commitText(f, "")
            compare(f.value, 42)
            compare(f.text, "42")
        }

        function test_fieldEqualBoundsDoNotClamp() {
            const f = createTemporaryObject(fieldComponent, root)
            commitText(f, "-250")
            compare(f.value, -250)
            commitText(f, "7e6")
            compare(f.value, 7e6)
        }

        function test_fieldRoundsDisplayOnly() {
            const f = createTemporaryObject(fieldComponent, root, { min_value: 0, max_value: 100 })
            commitText(f, "12.5")
            compare(f.value, 12.5)
            compare(f.text, "13")
            f.decimals = 2
            f.value = 3.14159
            compare(f.text, "3.14")
        }

        function test_fieldEscapeCommitsAndRejectsLetters() {
            const f = createTemporaryObject(fieldComponent, root, { min_value: 0, max_value: 100, value: 1 })
            f.forceActiveFocus()
            f.selectAll()
            keyClick(Qt.Key_Delete)
            keyClick(Qt.Key_A)              // refused by the validator
            keyClick(Qt.Key_4)
            keyClick(Qt.Key_Escape)
            compare(f.value, 4)
            verify(!f.activeFocus)
        }

        function test_fieldLeavesTextWhileEditing() {
            const f = createTemporaryObject(fieldComponent, root, { value: 1 })
            f.forceActiveFocus()
            f.text = "9"
            f.value = 2                     // a device update must not overwrite the edit
            compare(f.text, "9")
            f.focus = false
            compare(f.value, 9)
        }

        function test_valueAxisTicks() {
            const a = createTemporaryObject(axisComponent, root, { min: 0, max: 1 })
            compare(a.labelsFont.pixelSize, Theme.textStyle.smallestSize)
            compare(a.desiredTickCount, 4)
            a.availableLength = 1000
            compare(a.desiredTickCount, 5)
            fuzzyCompare(a.tickInterval, 0.2, 1e-12)
            a.max = 1.15
            fuzzyCompare(a.tickInterval, 0.5, 1e-12)
            compare(a.tickType, ValueAxis.TicksDynamic)
            compare(a.tickAnchor, 0)
            compare(a.lineVisible, false)
            compare(a.labelsColor, Theme.palette.idleTextColor)
        }

        function test_hoverTipWaits() {
            const b = createTemporaryObject(tipButtonComponent, root)
            b.tip.showDelay = 200
            mouseMove(b, 10, 10)
            verify(b.hovered)
            wait(100)
            verify(!b.tip.visible)
            mouseMove(root, 700, 10)        // leaving early: the tip never opens
            wait(200)
            verify(!b.tip.visible)
            mouseMove(b, 10, 10)
            tryCompare(b.tip, "visible", true, 1000)
            mouseMove(root, 700, 10)
            compare(b.tip.opened, false)     // closing starts at once; the fade is the style's
            tryCompare(b.tip, "visible", false, 1000)
        }

        function test_chartPanel() {
            const p = createTemporaryObject(panelComponent, root)
            compare(p.color, Theme.palette.backgroundHoveredControlColor)
            compare(p.chart.legend.visible, false)
            compare(p.chart.count, 1)
            // Axes named by a series declared through the panel belong to the chart.
            const series = p.chart.series(0)
            compare(p.chart.axisX(series), series.axisX)
            compare(p.chart.axisY(series), series.axisY)
            compare(series.axisY.minorTickCount, 9)
            compare(p.logY, false)
            compare(p.logYButton.width, 40)
            mouseClick(p.logYButton)
            compare(p.logY, true)
            compare(p.logYButton.x + p.logYButton.width, p.width - 8)
            compare(p.logYButton.y, 8)
        }
    }
}
