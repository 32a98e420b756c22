import QtQuick
import QtTest
import "qrc:/qml"

// Settings page: device values never overwrite a focused box; calls it makes.
TestCase {
    id: test
    name: "SettingsPage"
    when: windowShown
    visible: true
    width: 980
    height: 420

    Component { id: pageComponent; SettingsPage { width: 980; height: 420 } }
    Component { id: spyComponent; SignalSpy {} }

    function init() {
        device.reset()
        device.connected = true
    }

    function make() {
        const p = createTemporaryObject(pageComponent, test)
        verify(p)
        return p
    }

    function box(page, i) {
        return findChild(page, "channelBox" + i)
    }

    function test_channel_boxes_follow_device_unless_focused() {
        device.dacVolts = [0.35, 0.35, 0.35, 0.35, 0.35, 0.35, 0.35, 0.35]
        const page = make()
        compare(box(page, 0).value, 350)
        compare(box(page, 0).displayText, "350 mV")
        box(page, 2).forceActiveFocus()
        device.dacVolts = [0.1, 0.1, 0.1, 0.1, 0.1, 0.1, 0.1, 0.1]
        compare(box(page, 0).value, 100)
        compare(box(page, 2).value, 350)
        compare(device.calls, [])   // device updates are not sent back

        // Each step of the user is one call, in volts.
        keyClick(Qt.Key_Up)
        keyClick(Qt.Key_Up)
        keyClick(Qt.Key_Up)
        compare(device.calls, ["setDacVoltage(2,0.351)", "setDacVoltage(2,0.352)", "setDacVoltage(2,0.353)"])
    }

    function test_period_box() {
        device.periodMs = 250
        const page = make()
        compare(page.periodBox.value, 250)
        device.periodMs = 300
        compare(page.periodBox.value, 300)
        page.periodBox.forceActiveFocus()
        device.periodMs = 500
        compare(page.periodBox.value, 300)
        keyClick(Qt.Key_Up)
        compare(page.periodBox.value, 310)
        mouseClick(findChild(page, "periodApply"))
        compare(device.calls, ["applyPeriod(310)"])
        page.periodBox.value = 0
        compare(page.periodBox.value, 1)
        page.periodBox.value = 70000
        compare(page.periodBox.value, 60000)
    }

    function test_set_all() {
        const page = make()
        page.allBox.value = 420
        mouseClick(findChild(page, "setAllButton"))
        compare(device.calls, ["setAllDacVoltage(0.42)"])
        device.dacVolts = [0.1, 0.1, 0.1, 0.1, 0.1, 0.1, 0.1, 0.1]
        compare(page.allBox.value, 420)
    }

    function test_network_mode_and_fields() {
        device.networkMode = "DHCP"
        device.ipAddress = "192.168.001.020"
        device.netmask = "255.255.255.0"
        device.gateway = "192.168.1.1"
        const page = make()
        compare(page.modeBox.currentIndex, 1)
        compare(page.ipField.text, "192.168.1.20")
        verify(!page.ipField.enabled)
        const apply = findChild(page, "networkApply")
        verify(apply.enabled)

        for (const mode of ["Static", "", "weird"]) {
            device.networkMode = "DHCP"
            device.networkMode = mode
            compare(page.modeBox.currentIndex, 0, mode)
        }
        verify(page.ipField.enabled)

        // An empty gateway blocks a static apply but not an automatic one.
        page.gatewayField.text = ""
        verify(!apply.enabled)
        page.modeBox.currentIndex = 1
        verify(apply.enabled)
        page.modeBox.currentIndex = 0

        // Typing in a field: device updates leave it alone; Enter normalises.
        page.ipField.forceActiveFocus()
        page.ipField.selectAll()
        for (const ch of "10.000.0.007")
            keyClick(ch)
        device.ipAddress = "10.9.9.9"
        compare(page.ipField.text, "10.000.0.007")
        compare(page.maskField.text, "255.255.255.0")
        keyClick(Qt.Key_Return)
        compare(page.ipField.text, "10.0.0.7")

        page.gatewayField.text = "10.0.0.001"
        verify(apply.enabled)
        mouseClick(apply)
        compare(device.calls, ["applyNetwork(false,10.0.0.7,255.255.255.0,10.0.0.1)"])

        device.networkApplying = true
        verify(!apply.enabled)
        verify(!page.modeBox.enabled)
        verify(!page.ipField.enabled)
    }

    function test_disconnected_and_escape() {
        const page = make()
        const back = spyComponent.createObject(test, { target: page, signalName: "back" })
        device.connected = false
        verify(!page.periodBox.enabled)
        verify(!box(page, 0).enabled)
        verify(!findChild(page, "networkApply").enabled)
        verify(findChild(page, "backButton").enabled)
        page.forceActiveFocus()
        keyClick(Qt.Key_Escape)
        compare(back.count, 1)
        mouseClick(findChild(page, "backButton"))
        compare(back.count, 2)
    }
}
