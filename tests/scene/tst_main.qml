import QtQuick
import QtTest

// The window, its status bar and the page stack.
TestCase {
    id: test
    name: "MainWindow"
    when: windowShown

    function init() {
        device.reset()
    }

    function makeWindow() {
        const component = Qt.createComponent("qrc:/qml/Main.qml")
        compare(component.status, Component.Ready, component.errorString())
        const w = createTemporaryObject(component, test)
        verify(w)
        return w
    }

    function test_window_and_status_bar() {
        const w = makeWindow()
        // The style's frameless window, not a stock one.
        compare(w.header.objectName, "titleBar")
        compare(w.title, "Velmora")
        compare(w.version, "0.1.0")
        compare(w.height, 460)
        compare(w.minimumHeight, 460)
        compare(w.maximumHeight, 460)
        compare(w.minimumWidth, 800)
        compare(findChild(w.footer, "versionLabel").text, "USB CDC · ZRF · 0.1.0")
        const status = findChild(w.footer, "statusLabel")
        const error = findChild(w.footer, "errorLabel")
        compare(status.text, "Disconnected")
        verify(!error.visible)
        verify(!findChild(w.footer, "errorDivider").visible)
        device.lastError = "Connection refused"
        verify(error.visible)
        compare(error.text, "Connection refused")
        device.connected = true
        compare(String(status.color), "#ffffff")
    }

    function test_settings_page_push_and_pop() {
        const w = makeWindow()
        const stack = findChild(w.contentItem, "pageStack")
        verify(stack)
        const home = stack.currentItem
        compare(home.objectName, "homePage")
        home.openSettings()
        compare(stack.depth, 2)
        tryCompare(stack, "busy", false)
        const settings = stack.currentItem
        compare(settings.objectName, "settingsPage")
        settings.back()
        compare(stack.depth, 1)
        tryCompare(stack, "busy", false)
        // A fresh page at every opening.
        home.openSettings()
        tryCompare(stack, "busy", false)
        verify(stack.currentItem !== settings)
    }
}
