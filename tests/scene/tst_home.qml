import QtQuick
import QtTest
import "qrc:/qml"

// Home page toolbar rules, the port/host box and the view switcher.
TestCase {
    id: test
    name: "HomePage"
    when: windowShown
    visible: true
    width: 980
    height: 420

    Component {
        id: homeComponent
        HomePage { width: 980; height: 420 }
    }

    function init() {
        device.reset()
    }

    function makePage() {
        const page = createTemporaryObject(homeComponent, test)
        verify(page)
        return page
    }

    function button(page, name) {
        const b = findChild(page, name)
        verify(b, name)
        return b
    }

    function typeText(text) {
        for (let i = 0; i < text.length; ++i)
            keyClick(text[i])
    }

    function test_toolbar_enabling() {
        const page = makePage()
        const connectButton = button(page, "connectButton")
        const viewNames = ["timeButton", "histogramButton", "calibrationButton", "settingsButton"]

        // USB mode without a port: nothing to connect to.
        verify(!connectButton.enabled)
        compare(page.portBox.displayText, "No COM ports")
        device.ports = [{ name: "COM3", label: "COM3 STM32", description: "", preferred: true }]
        device.portName = "COM3"
        verify(connectButton.enabled)
        compare(page.portBox.currentIndex, 0)
        compare(page.portBox.displayText, "COM3 STM32")
        verify(button(page, "cardsButton").enabled)
        for (const n of viewNames)
            verify(!button(page, n).enabled, n)

        device.connected = true
        verify(!button(page, "usbButton").enabled)
        verify(!button(page, "tcpButton").enabled)
        verify(!page.portBox.enabled)
        verify(connectButton.enabled)
        for (const n of viewNames)
            verify(button(page, n).enabled, n)

        // A sweep pins the user to the current view.
        device.calibrationRunning = true
        verify(!connectButton.enabled)
        verify(!button(page, "cardsButton").enabled)
        for (const n of viewNames)
            verify(!button(page, n).enabled, n)

        device.calibrationRunning = false
        device.connected = false
        device.connecting = true
        verify(!button(page, "usbButton").enabled)
        verify(!page.portBox.enabled)
        verify(!connectButton.enabled)

        device.connecting = false
        device.tcpScanning = true
        const views = findChild(page, "views")
        compare(views.opacity, 0.2)
        verify(!views.enabled)
        verify(findChild(page, "scanRing").visible)
        verify(!button(page, "cardsButton").enabled)
        verify(!button(page, "tcpButton").enabled)
        device.tcpScanning = false
        compare(views.opacity, 1)
        verify(!findChild(page, "scanRing").visible)
    }

    function test_port_list_loses_selection() {
        const page = makePage()
        device.ports = [{ name: "COM3", label: "COM3" }, { name: "COM7", label: "COM7" }]
        device.portName = "COM7"
        compare(page.portBox.currentIndex, 1)
        device.ports = [{ name: "COM3", label: "COM3" }]
        compare(page.portBox.currentIndex, -1)
        compare(page.portBox.displayText, "")
    }

    function test_tcp_switch_typing_and_back() {
        const page = makePage()
        device.ports = [{ name: "COM3", label: "COM3" }]
        device.portName = "COM3"
        device.tcpHost = "10.0.0.5"
        mouseClick(button(page, "tcpButton"))
        verify(page.tcpMode)
        compare(device.calls, ["startTcpScan()"])
        compare(page.portBox.editText, "10.0.0.5")
        verify(page.tcpAddressValid)
        verify(button(page, "connectButton").enabled)

        // The user types; a host list update meanwhile leaves the text alone.
        page.portBox.contentItem.forceActiveFocus()
        page.portBox.contentItem.selectAll()
        typeText("192.168.001.010")
        compare(page.portBox.editText, "192.168.001.010")
        device.tcpHosts = [{ name: "10.0.0.9", label: "10.0.0.9" }]
        compare(page.portBox.editText, "192.168.001.010")
        // The validator refuses letters and blanks.
        keyClick(Qt.Key_A)
        keyClick(Qt.Key_Space)
        compare(page.portBox.editText, "192.168.001.010")

        keyClick(Qt.Key_Return)
        compare(device.tcpHost, "192.168.1.10")
        compare(page.portBox.editText, "192.168.1.10")

        // Picking a scanned host while the box has focus shows and stores it.
        page.portBox.activated(0)
        compare(device.tcpHost, "10.0.0.9")
        compare(page.portBox.editText, "10.0.0.9")
        page.portBox.contentItem.selectAll()
        typeText("192.168.1.10")

        // A device-side change while the box is not focused is shown.
        page.forceActiveFocus()
        device.tcpHost = "10.0.0.9"
        compare(page.portBox.editText, "10.0.0.9")
        compare(page.portBox.currentIndex, 0)

        // Back to USB keeps the typed host and re-selects the stored port.
        page.portBox.contentItem.forceActiveFocus()
        page.portBox.contentItem.selectAll()
        typeText("10.0.0.77")
        page.forceActiveFocus()
        compare(device.tcpHost, "10.0.0.77")
        device.tcpHost = "10.0.0.9"
        page.portBox.contentItem.forceActiveFocus()
        page.portBox.contentItem.selectAll()
        typeText("10.0.0.78")
        mouseClick(button(page, "usbButton"))
        verify(!page.tcpMode)
        compare(device.tcpHost, "10.0.0.78")
        compare(device.calls[device.calls.length - 1], "stopTcpScan()")
        compare(page.portBox.currentIndex, 0)
        compare(page.portBox.displayText, "COM3")
    }

    function test_tcp_address_validity_gates_connect() {
        const page = makePage()
        mouseClick(button(page, "tcpButton"))
        const connectButton = button(page, "connectButton")
        for (const bad of ["", "0.0.0.0", "000.0.0.0", "192.168."]) {
            page.portBox.editText = bad
            verify(!connectButton.enabled, bad)
        }
        page.portBox.editText = "010.000.000.001"
        verify(connectButton.enabled)
        mouseClick(connectButton)
        compare(device.tcpHost, "10.0.0.1")
        compare(device.calls[device.calls.length - 1], "connectToDevice(true)")
    }

    function test_connect_button_actions() {
        const page = makePage()
        device.ports = [{ name: "COM3", label: "COM3" }]
        device.portName = "COM3"
        mouseClick(button(page, "connectButton"))
        compare(device.calls, ["connectToDevice(false)"])
        device.connected = true
        compare(button(page, "connectButton").icon.source.toString().split("/").pop(), "unplug.svg")
        mouseClick(button(page, "connectButton"))
        compare(device.calls[1], "disconnectFromDevice()")
    }

    function test_disconnect_falls_back_to_cards() {
        const page = makePage()
        const opened = signalSpy.createObject(test, { target: page, signalName: "openSettings" })
        device.connected = true
        mouseClick(button(page, "histogramButton"))
        compare(page.currentView, 2)
        mouseClick(button(page, "settingsButton"))
        compare(opened.count, 1)
        device.connected = false
        compare(page.currentView, 0)
        verify(button(page, "cardsButton").checked)
        verify(!button(page, "histogramButton").checked)
    }

    Component {
        id: signalSpy
        SignalSpy {}
    }
}
