import QtQuick
import QtQuick.Controls
import QtTest
import Theme

Item {
    id: root
    width: 800
    height: 600

    Button { id: button; x: 10; y: 10; text: "Go"; hoverEnabled: true }
    Button { id: disabledButton; x: 10; y: 60; text: "Off"; enabled: false; checkable: true; checked: true }
    Button { id: checkedButton; x: 10; y: 110; text: "On"; checkable: true; checked: true }
    CheckBox { id: checkBox; x: 200; y: 10; text: "Check" }
    RadioButton { id: radio; x: 200; y: 60; text: "Radio" }
    ComboBox {
        id: combo
        x: 400; y: 10; width: 160
        editable: true
        model: ["10", "20", "30"]
        validator: IntValidator { bottom: 0; top: 100 }
    }
    ComboBox { id: disabledCombo; x: 400; y: 60; width: 160; enabled: false; model: ["a"] }
    TextField { id: textField; x: 10; y: 200; width: 200 }
    SpinBox { id: spinBox; x: 250; y: 200; from: 0; to: 100; value: 5; editable: true }
    Switch { id: toggle; x: 10; y: 260; text: "Switch" }
    Label { id: label; x: 10; y: 320; text: "Label" }
    TabBar {
        id: tabBar
        x: 200; y: 320
        TabButton { text: "A" }
        TabButton { text: "B" }
    }
    Component { id: stackComponent; StackView { width: 100; height: 100 } }
    Component { id: pageComponent; Rectangle { color: "red" } }
    Component { id: popupComponent; Popup { width: 50; height: 50 } }

    TestCase {
        name: "Style"
        when: windowShown

        function test_styleIsMyStyle() {
            // scaleFactor exists only on this style's button; Basic has none.
            compare(button.scaleFactor, 1)
            compare(label.color, Theme.palette.idleTextColor)
            compare(label.font.pixelSize, Theme.textStyle.normalSize)
            compare(button.font.family, Theme.applicationFont.name)
        }

        function test_buttonStates() {
            compare(button.background.border.color, Theme.palette.borderIdleControlColor)
            compare(button.background.color, Theme.palette.backgroundControlColor)
            compare(button.leftPadding, 4)
            compare(button.background.radius, 5)
            // Disabled wins over checked.
            compare(disabledButton.background.border.color, Theme.palette.borderDisableControlColor)
            compare(disabledButton.contentColor, Theme.palette.blockedTextColor)
            compare(disabledButton.icon.color, Theme.palette.blockedTextColor)
            compare(disabledButton.background.color, Theme.palette.backgroundControlColor)
            compare(checkedButton.background.color, Theme.palette.backgroundHoveredControlColor)
            compare(checkedButton.background.border.color, Theme.palette.borderHoveredControlColor)
            mouseMove(button, 5, 5)
            tryCompare(button, "hovered", true)
            compare(button.contentColor, Theme.palette.hoveredTextColor)
            compare(button.background.color, Theme.palette.backgroundHoveredControlColor)
            mousePress(button, 5, 5)
            compare(button.background.border.color, Theme.palette.borderPressedControlColor)
            mouseRelease(button, 5, 5)
            button.flat = true
            verify(!button.background.visible)
            button.flat = false
            mouseMove(root, 790, 590)
        }

        function test_checkBoxMark() {
            const mark = checkBox.indicator.children[0]
            verify(!mark.visible)
            checkBox.checked = true
            verify(mark.visible)
            compare(mark.color, Theme.palette.borderHoveredControlColor)
            compare(mark.width, checkBox.indicator.width - 6)
            mouseMove(checkBox, 5, 5)
            tryCompare(checkBox, "hovered", true)
            compare(mark.width, checkBox.indicator.width - 4)
            compare(checkBox.indicator.border.color, Theme.palette.borderHoveredControlColor)
            checkBox.enabled = false
            compare(mark.color, Theme.palette.borderIdleControlColor)
            compare(checkBox.indicator.border.color, Theme.palette.borderDisableControlColor)
            checkBox.enabled = true
            mouseMove(root, 790, 590)
        }

        function test_radioDot() {
            radio.checked = true
            const dot = radio.indicator.children[0]
            compare(dot.width, 14)
            compare(radio.indicator.width, 20)
        }

        function test_comboBoxColours() {
            compare(combo.contentItem.color, Theme.palette.idleTextColor)
            combo.editText = "abc"
            compare(combo.acceptableInput, false)
            compare(combo.contentItem.color, Theme.palette.linkTextColor)
            combo.editText = "20"
            compare(combo.contentItem.color, Theme.palette.idleTextColor)
            compare(disabledCombo.contentItem.color, Theme.palette.blockedTextColor)
            compare(disabledCombo.background.border.color, Theme.palette.borderDisableControlColor)
            compare(disabledCombo.background.color, Theme.palette.backgroundControlColor)
            compare(combo.background.color, Qt.rgba(0, 0, 0, 0))
            combo.popup.open()
            tryCompare(combo.popup, "opened", true)
            compare(combo.background.color, Theme.palette.backgroundHoveredControlColor)
            compare(combo.popup.y, combo.height + 2)
            tryCompare(combo.indicator.children[1], "rotation", 180)
            combo.popup.close()
            tryCompare(combo.popup, "visible", false)
        }

        function test_textFieldKeysDropFocus_data() {
            return [ { tag: "return", key: Qt.Key_Return }, { tag: "escape", key: Qt.Key_Escape },
                     { tag: "enter", key: Qt.Key_Enter } ]
        }

        function test_textFieldKeysDropFocus(data) {
            textField.forceActiveFocus()
            verify(textField.cursorVisible)
            compare(textField.background.border.width, 1)
            compare(textField.color, Theme.palette.hoveredTextColor)
            keyClick(Qt.Key_5)
            keyClick(data.key)
            verify(!textField.activeFocus)
            compare(textField.background.color, Qt.rgba(0, 0, 0, 0))
            compare(textField.color, Theme.palette.idleTextColor)
        }

        function test_spinBoxEnterTakesValue() {
            spinBox.value = 5
            spinBox.contentItem.forceActiveFocus()
            verify(spinBox.activeFocus)
            verify(spinBox.up.indicator.visible)
            spinBox.contentItem.selectAll()
            keyClick(Qt.Key_4)
            keyClick(Qt.Key_2)
            keyClick(Qt.Key_Return)
            compare(spinBox.value, 42)
            tryCompare(spinBox, "activeFocus", false)
            verify(!spinBox.up.indicator.visible)
        }

        function test_switchColours() {
            const ind = toggle.indicator
            compare(ind.color, Qt.rgba(0, 0, 0, 0))
            toggle.checked = true
            compare(ind.color, Theme.palette.borderPressedControlColor)
            compare(ind.border.color, Theme.palette.borderIdleControlColor)
            toggle.enabled = false
            compare(ind.border.color, Theme.palette.borderDisableControlColor)
            compare(ind.children[0].color, Theme.palette.borderDisableControlColor)
            compare(toggle.contentItem.opacity, 0.2)
            toggle.enabled = true
        }

        function test_tabButtons() {
            const first = tabBar.itemAt(0)
            const second = tabBar.itemAt(1)
            verify(first.checked)
            compare(first.contentColor, Theme.palette.hoveredTextColor)
            compare(second.contentColor, Theme.palette.idleTextColor)
            compare(first.background.children[0].border.color, Theme.palette.borderHoveredControlColor)
            compare(second.background.children[0].border.color, Theme.palette.borderIdleControlColor)
        }

        // Types the style does not define come from Basic and still work.
        function test_fallbackTypes() {
            const stack = createTemporaryObject(stackComponent, root)
            verify(stack)
            stack.push(pageComponent)
            compare(stack.depth, 1)
            stack.push(pageComponent)
            compare(stack.depth, 2)
            const popup = createTemporaryObject(popupComponent, root)
            verify(popup)
            popup.open()
            tryCompare(popup, "opened", true)
            popup.close()
        }
    }
}
