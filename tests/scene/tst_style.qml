import QtQuick
import QtQuick.Controls
import QtTest
import Theme

// The MyStyle controls in their states, and the frameless window.
Item {
    id: root
    width: 800
    height: 600

    Button { id: button; objectName: "button"; x: 10; y: 10; text: "Go"; hoverEnabled: true }
    ComboBox {
        id: combo
        objectName: "combo"
        x: 400; y: 10; width: 160; editable: true; model: ["10", "20", "30"]
        validator: IntValidator { bottom: 0; top: 100 }
    }
    TextField { id: textField; objectName: "textField"; x: 10; y: 200; width: 200 }
    SpinBox { id: spinBox; objectName: "spinBox"; x: 250; y: 200; from: 0; to: 100; value: 5; editable: true }
    Switch { id: toggle; objectName: "switch"; x: 10; y: 260; text: "Switch" }
    Component { id: signalSpy; SignalSpy {} }
    Component { id: popupComponent; Popup { width: 50; height: 50 } }
    Component {
        id: windowComponent
        ApplicationWindow { property string version: "9.9.9"; width: 640; height: 400; visible: true; title: "Frame" }
    }
    Component { id: plainWindowComponent; ApplicationWindow { visible: true } }

    TestCase {
        name: "Style"
        when: windowShown

        function test_styleIsMyStyle() {
            tryVerify(() => Theme.applicationFont.status === FontLoader.Ready, 2000)
            compare(button.font.family, Theme.applicationFont.name)
            compare(Theme.scaledSize(10, 0.85), 9)      // half rounds up
            // Types the style does not define come from Basic and still work.
            const popup = createTemporaryObject(popupComponent, root)
            popup.open()
            tryCompare(popup, "opened", true)
        }

        function test_comboInvalidText() {
            combo.editText = "abc"
            compare(combo.contentItem.color, Theme.palette.linkTextColor)
            combo.editText = "20"
            compare(combo.contentItem.color, Theme.palette.idleTextColor)
        }

        // The focus mark shows for focus from the keyboard only, on every control of the style.
        function test_focusMark_data() {
            const rows = []
            const reasons = { "Tab": Qt.TabFocusReason, "Shift+Tab": Qt.BacktabFocusReason,
                              "shortcut": Qt.ShortcutFocusReason, "click": Qt.MouseFocusReason }
            for (const c of [button, combo, textField, spinBox, toggle])
                for (const [name, reason] of Object.entries(reasons))
                    rows.push({ tag: c.objectName + ", " + name, control: c, reason: reason,
                                shown: reason !== Qt.MouseFocusReason })
            return rows
        }
        function test_focusMark(data) {
            data.control.forceActiveFocus(data.reason)
            const mark = findChild(data.control, "focusMark")
            compare(mark.visible, data.shown)
            root.forceActiveFocus()
            verify(!mark.visible)
        }

        // Return or Enter takes the value; only keyboard focus stays (Tab goes on); Escape lets go.
        function test_enterAndEscape_data() {
            const rows = []
            for (const [c, signal] of [[textField, "accepted"], [spinBox, "valueModified"]])
                for (const [how, reason, key] of [["Tab, Return", Qt.TabFocusReason, Qt.Key_Return],
                                                  ["Tab, Enter", Qt.TabFocusReason, Qt.Key_Enter],
                                                  ["mouse, Return", Qt.MouseFocusReason, Qt.Key_Return],
                                                  ["other, Enter", Qt.OtherFocusReason, Qt.Key_Enter]])
                    rows.push({ tag: c.objectName + ", " + how, control: c, signal: signal, reason: reason, key: key,
                                kept: reason === Qt.TabFocusReason })
            return rows
        }
        function test_enterAndEscape(data) {
            textField.text = ""
            spinBox.value = 5
            const spy = signalSpy.createObject(root, { target: data.control, signalName: data.signal })
            data.control.forceActiveFocus(data.reason)
            const cursor = Array.from(textField.children).find(c => c.input !== undefined) || { visible: false }
            compare(cursor.visible, data.control === textField)
            keyClick(Qt.Key_End)
            keyClick(Qt.Key_7)
            keyClick(data.key)
            wait(50)
            compare([data.control.activeFocus, spy.count, textField.text, spinBox.value],
                    [data.kept, 1, data.control === textField ? "7" : "", data.control === spinBox ? 57 : 5])
            keyClick(Qt.Key_Escape)
            verify(!data.control.activeFocus && !cursor.visible)
            spy.target = null             // its handler would outlive it
            spy.destroy()
        }

        function test_window() {
            const w = createTemporaryObject(windowComponent, root)
            verify(w.flags & Qt.FramelessWindowHint)
            compare(findChild(w.header, "titleText").text, "Frame")
            compare(findChild(w.header, "versionText").text, "v. 9.9.9")
            compare(findChild(createTemporaryObject(plainWindowComponent, root).header, "versionText").text, "v. ---")
            mouseClick(findChild(w.header, "buttonClose"))
            tryCompare(w, "visible", false)
        }
    }
}
