import QtQuick
import QtTest
import "qrc:/qml"

// The main window, the home page's toolbar and host box, and the settings page.
TestCase {
    id: test
    name: "Pages"
    when: windowShown
    visible: true
    width: 980
    height: 420

    Component { id: homeComponent; HomePage { width: 980; height: 420 } }
    Component { id: settingsComponent; SettingsPage { width: 980; height: 420 } }

    function init() { device.reset() }
    function make(component) { return createTemporaryObject(component, test) }

    function typeInto(item, text) {
        item.forceActiveFocus()
        item.selectAll()
        for (const ch of text)
            keyClick(ch)
    }

    function test_mainWindow() {
        const w = createTemporaryObject(Qt.createComponent("qrc:/qml/Main.qml"), test)
        compare(w.header.objectName, "titleBar")     // the style's frameless window
        compare([w.height, w.minimumHeight, w.maximumHeight], [460, 460, 460])
        compare(findChild(w.footer, "versionLabel").text, "USB CDC · ZRF · 0.1.0")
        device.lastError = "Connection refused"
        compare(findChild(w.footer, "errorLabel").text, "Connection refused")
        // Settings is pushed fresh at every opening; Back pops it.
        const stack = findChild(w.contentItem, "pageStack")
        stack.currentItem.openSettings()
        tryCompare(stack, "busy", false)
        const settings = stack.currentItem
        settings.forceActiveFocus()
        keyClick(Qt.Key_Escape)
        tryCompare(stack, "busy", false)
        compare(stack.depth, 1)
        stack.currentItem.openSettings()
        verify(stack.currentItem !== settings)
    }

    function test_toolbar_data() {
        const views = ["timeButton", "histogramButton", "calibrationButton", "settingsButton"]
        const port = { ports: [{ name: "COM3", label: "COM3" }], portName: "COM3" }
        return [
            { tag: "no port", set: {}, on: ["usbButton", "tcpButton", "cardsButton"], off: ["connectButton", ...views] },
            { tag: "port", set: port, on: ["connectButton", "cardsButton"], off: views },
            { tag: "connected", set: Object.assign({ connected: true }, port), on: ["connectButton", "cardsButton", ...views],
              off: ["usbButton", "tcpButton", "portBox"] },
            { tag: "sweep", set: Object.assign({ connected: true, calibrationRunning: true }, port), on: [],
              off: ["connectButton", "cardsButton", ...views] },
            { tag: "connecting", set: Object.assign({ connecting: true }, port), on: [], off: ["usbButton", "portBox", "connectButton"] },
            { tag: "scanning", set: { tcpScanning: true }, on: [], off: ["cardsButton", "tcpButton", "views"] }
        ]
    }
    function test_toolbar(data) {
        const page = make(homeComponent)
        Object.assign(device, data.set)
        for (const name of data.on.concat(data.off))
            compare(findChild(page, name).enabled, data.on.includes(name), name)
    }

    function test_hostBoxWhileTyping() {
        const page = make(homeComponent)
        Object.assign(device, { ports: [{ name: "COM3", label: "COM3" }], portName: "COM3", tcpHost: "10.0.0.5" })
        mouseClick(findChild(page, "tcpButton"))
        compare(device.calls, ["startTcpScan()"])
        const box = page.portBox
        compare(box.editText, "10.0.0.5")
        box.editText = "000.0.0.0"                  // isValidIpv4 itself: the SceneLogic cases
        verify(!findChild(page, "connectButton").enabled)
        // A host list update while the user types leaves the text alone; letters are refused.
        typeInto(box.contentItem, "192.168.001.010a ")
        device.tcpHosts = [{ name: "10.0.0.9", label: "10.0.0.9" }]
        compare(box.editText, "192.168.001.010")
        keyClick(Qt.Key_Return)
        compare(device.tcpHost, "192.168.1.10")
        mouseClick(findChild(page, "connectButton"))
        compare(device.calls[1], "connectToDevice(true)")
        // A device-side change while the box is not focused is shown and selected.
        page.forceActiveFocus()
        device.tcpHost = "10.0.0.9"
        compare(box.currentIndex, 0)
        // Back to USB keeps the typed host and re-selects the stored port.
        typeInto(box.contentItem, "10.0.0.78")
        mouseClick(findChild(page, "usbButton"))
        compare(device.tcpHost, "10.0.0.78")
        compare(device.calls[device.calls.length - 1], "stopTcpScan()")
        compare(box.displayText, "COM3")
    }

    // Only the view in sight is drawn; a disconnect falls back to the cards.
    function test_disconnectFallsBackToCards() {
        const page = make(homeComponent)
        const shown = () => ["cardsView", "timeView", "histogramView", "calibrationView"]
                            .filter(name => findChild(page, name).visible).join()
        device.connected = true
        compare(shown(), "cardsView")
        mouseClick(findChild(page, "histogramButton"))
        tryVerify(() => shown() === "histogramView")
        device.connected = false
        compare(page.currentView, 0)
        tryVerify(() => shown() === "cardsView")
    }

    function test_settingsFollowDeviceUnlessEdited() {
        Object.assign(device, { connected: true, dacVolts: Array(8).fill(0.35), periodMs: 250 })
        const page = make(settingsComponent)
        const box = i => findChild(page, "channelBox" + i)
        compare(box(0).displayText, "350 mV")
        box(2).forceActiveFocus()
        device.dacVolts = Array(8).fill(0.1)
        compare([box(0).value, box(2).value], [100, 350])
        keyClick(Qt.Key_Up)
        keyClick(Qt.Key_Up)
        // Each user step is one call in volts; device updates are never sent back.
        compare(device.calls, ["setDacVoltage(2,0.351)", "setDacVoltage(2,0.352)"])
        page.periodBox.forceActiveFocus()
        device.periodMs = 500
        compare(page.periodBox.value, 250)
        keyClick(Qt.Key_Up)
        mouseClick(findChild(page, "periodApply"))
        compare(device.calls[2], "applyPeriod(260)")
    }

    function test_settingsNetwork() {
        Object.assign(device, { connected: true, networkMode: "DHCP", ipAddress: "192.168.001.020",
                                netmask: "255.255.255.0" })
        const page = make(settingsComponent)
        const apply = findChild(page, "networkApply")
        compare(page.ipField.text, "192.168.1.20")
        verify(!page.ipField.enabled)
        verify(apply.enabled)                       // no gateway needed for automatic
        device.networkMode = "weird"                // anything but DHCP is static
        compare(page.modeBox.currentIndex, 0)
        verify(!apply.enabled)                      // static needs a gateway
        typeInto(page.ipField, "10.000.0.007")
        device.ipAddress = "10.9.9.9"
        compare(page.ipField.text, "10.000.0.007")  // typing wins over device updates
        keyClick(Qt.Key_Return)
        compare(page.ipField.text, "10.0.0.7")
        page.gatewayField.text = "10.0.0.001"
        mouseClick(apply)
        compare(device.calls, ["applyNetwork(false,10.0.0.7,255.255.255.0,10.0.0.1)"])
    }
}
