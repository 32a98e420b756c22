import QtQuick
import QtTest
import Theme
import TachyraApp

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
    Component { id: signalSpy; SignalSpy {} }
    readonly property var port: ({ ports: [{ name: "COM3", label: "COM3" }], portName: "COM3" })

    function init() {
        device.reset()
        recorder.reset()
        // Keys reach only the active window; a save dialog may be one of its own (Qt 6.8).
        test.Window.window.requestActivate()
        tryVerify(() => test.Window.window.active)
    }
    function make(component) { return createTemporaryObject(component, test) }

    function typeInto(item, text) {
        item.forceActiveFocus()
        item.selectAll()
        keyClick(Qt.Key_Delete)
        for (const ch of text)
            keyClick(ch)
    }

    // Settings is pushed fresh at every opening; Escape pops it (first: a file dialog may keep the key focus).
    // Record asks for a file for the recorder, which alone says whether one runs; the status bar shows it.
    function test_mainWindow() {
        device.connected = true
        const w = createTemporaryObject(Qt.createComponent("qrc:/qt/qml/TachyraApp/Main.qml"), test)
        compare([w.height, w.minimumHeight, w.maximumHeight], [460, 460, 460])
        compare(findChild(w.footer, "versionLabel").text, "USB CDC · ZRF · " + appVersion)
        device.lastError = "Connection refused"
        compare(findChild(w.footer, "errorLabel").text, device.lastError)
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
        stack.pop()
        tryCompare(stack, "busy", false)
        const page = findChild(w.contentItem, "homePage")
        const button = findChild(page, "recordButton"), dialog = findChild(page, "recordDialog")
        mouseClick(button)
        tryCompare(dialog, "visible", true)
        verify(!button.checked && /\/counts-\d{8}-\d{6}\.csv$/.test(String(dialog.selectedFile)), dialog.selectedFile)
        dialog.reject()
        mouseClick(button)
        tryCompare(dialog, "visible", true)
        dialog.accept()
        compare([recorder.calls, button.checked], [["start(" + dialog.selectedFile + ")"], true])
        const label = findChild(w.footer, "recordLabel"), note = findChild(w.footer, "fileNoteLabel")
        const lag = findChild(w.footer, "recordLagLabel")
        recorder.rowCount = 1234
        compare([label.visible, label.text, lag.visible], [true, "REC 0:00:00 · 1234 rows", false])
        Object.assign(recorder, { lagMs: 3700, rowsWaiting: 74 })   // a disk that lags shows by how much
        compare([lag.visible, lag.text], [true, "disk 3 s behind · 74 rows waiting"])
        mouseClick(button)
        compare([recorder.calls[1], button.checked, label.visible, lag.visible, note.visible], ["stop()", false, false, false, false])
        Object.assign(recorder, { failed: true, message: "Recording stopped: /x.csv: No space left on device" })
        compare([note.visible, note.text, note.color], [true, recorder.message, Theme.palette.linkTextColor])
    }

    function test_toolbar_data() {
        const views = ["timeButton", "histogramButton", "calibrationButton", "settingsButton"]
        return [
            { tag: "no port", set: {}, on: ["usbButton", "tcpButton", "cardsButton", "openButton"], off: ["connectButton", "recordButton", ...views] },
            { tag: "port", set: port, on: ["connectButton", "cardsButton"], off: ["recordButton", ...views] },
            { tag: "connected", set: Object.assign({ connected: true }, port), on: ["connectButton", "recordButton", "cardsButton", ...views],
              off: ["usbButton", "tcpButton", "portBox"] },
            { tag: "sweep", set: Object.assign({ connected: true, calibrationRunning: true }, port), on: ["recordButton"],
              off: ["connectButton", "cardsButton", "openButton", ...views] },
            { tag: "connecting", set: Object.assign({ connecting: true }, port), on: [],
              off: ["usbButton", "portBox", "connectButton", "recordButton"] },
            { tag: "scanning", set: { tcpScanning: true }, on: [], off: ["cardsButton", "tcpButton", "openButton", "views"] },
            { tag: "recording, link gone", set: port, recording: true, on: ["recordButton"], off: views }
        ]
    }
    function test_toolbar(data) {
        const page = make(homeComponent)
        Object.assign(device, data.set)
        recorder.recording = !!data.recording
        for (const name of data.on.concat(data.off))
            compare(findChild(page, name).enabled, data.on.includes(name), name)
    }

    // A key presses its button while enabled, from a field too; a view's key focuses its button.
    function test_keys_data() {
        const linked = Object.assign({ connected: true }, port)
        return [
            { tag: "connect", set: port, key: "Ctrl+K", calls: ["connectToDevice(false)"], view: 0 },
            { tag: "connect typed host", set: port, tcp: "10.0.0.5", key: "Ctrl+K",
              calls: ["startTcpScan()", "connectToDevice(true)"], view: 0 },
            { tag: "disconnect", set: linked, key: "Ctrl+K", calls: ["disconnectFromDevice()"], view: 0 },
            { tag: "no view without a link", set: port, key: "Ctrl+3", calls: [], view: 0 },
            { tag: "time", set: linked, key: "Ctrl+2", calls: [], view: 1, focus: "timeButton" },
            { tag: "bars", set: linked, key: "Ctrl+3", calls: [], view: 2, focus: "histogramButton" },
            { tag: "calibration", set: linked, key: "Ctrl+4", calls: [], view: 3, focus: "calibrationButton" },
            { tag: "no view during a sweep", set: Object.assign({ calibrationRunning: true }, linked), key: "Ctrl+2",
              calls: [], view: 0 },
            { tag: "settings", set: linked, key: "Ctrl+5", calls: [], view: 0, settings: 1 },
            { tag: "settings, comma", set: linked, key: "Ctrl+,", calls: [], view: 0, settings: 1 }
        ]
    }
    function test_keys(data) {
        const page = make(homeComponent)
        const settings = createTemporaryObject(signalSpy, test, { target: page, signalName: "openSettings" })
        Object.assign(device, data.set)
        if (data.tcp) {
            findChild(page, "tcpButton").toggle()
            typeInto(page.portBox.contentItem, data.tcp)
        }
        keySequence(data.key)
        compare([device.calls, page.currentView, settings.count, device.tcpHost], [data.calls, data.view, data.settings || 0, data.tcp || ""])
        if (data.focus)
            verify(findChild(page, data.focus).visualFocus)
    }

    // The toolbar's per-second switch puts the cards, the time plot and the bars per second.
    function test_perSecondSwitch() {
        const page = make(homeComponent)
        const button = findChild(page, "perSecondButton")
        const views = ["cardsView", "timeView", "histogramView"].map(name => findChild(page, name))
        mouseClick(button)
        compare(views.map(v => v.perSecond).concat([page.perSecond]), [true, true, true, true])
        mouseClick(button)
        compare(views.map(v => v.perSecond), [false, false, false])
    }

    // A recording opens the time view without a link and keeps it; closed, the cards come back.
    function test_recordingOnTheTimeView() {
        const page = make(homeComponent)
        const time = findChild(page, "timeView")
        time.openRecording(scratchDir + "/recording.csv")
        compare([page.currentView, findChild(page, "timeButton").enabled], [1, true])
        tryCompare(time.series, "fileLoading", false)
        time.series.closeFile()
        compare([page.currentView, findChild(page, "timeButton").enabled], [0, false])

        device.connected = true
        time.openRecording(scratchDir + "/recording.csv")
        device.connected = false
        compare(page.currentView, 1)
        keySequence("Ctrl+O")
        tryCompare(time.openDialog, "visible", true)
        time.openDialog.reject()
        time.series.closeFile()
        compare(page.currentView, 0)
    }

    function test_hostBoxWhileTyping() {
        const page = make(homeComponent)
        Object.assign(device, port, { tcpHost: "10.0.0.5" })
        mouseClick(findChild(page, "tcpButton"))
        const box = page.portBox
        compare(box.editText, device.tcpHost)
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
        compare([device.tcpHost, device.calls.slice(-1)[0], box.displayText], ["10.0.0.78", "stopTcpScan()", "COM3"])
    }

    function test_settingsFollowDeviceUnlessEdited() {
        Object.assign(device, { connected: true, dacVolts: Array(8).fill(0.35), periodMs: 250 })
        const page = make(settingsComponent)
        const box = i => findChild(page, "channelBox" + i)
        box(2).forceActiveFocus()
        device.dacVolts = Array(8).fill(0.1)
        compare([box(0).value, box(2).value], [100, 350])
        keyClick(Qt.Key_Up)
        mouseWheel(box(2), box(2).width / 2, box(2).height / 2, 0, 120)
        // Each user step (keys, wheel) is one call in volts; device updates are never sent back.
        compare(device.calls, ["setDacVoltage(2,0.351)", "setDacVoltage(2,0.352)"])
        page.periodBox.forceActiveFocus()
        device.periodMs = 500                       // not taken while focused either
        keyClick(Qt.Key_Up)
        mouseClick(findChild(page, "periodApply"))
        compare(device.calls[2], "applyPeriod(260)")
    }

    // Text that is no number keeps the box's value and sends nothing; a fraction is rounded.
    function test_settingsBoxCommits_data() {
        const rows = []
        for (const box of ["channelBox2", "allBox", "periodBox"]) {
            for (const text of ["", "-", "   ", "2.5"]) {
                const kept = text !== "2.5"
                const value = kept ? 350 : box === "periodBox" ? 25 : 3   // the period box takes digits only
                const calls = { channelBox2: kept ? [] : ["setDacVoltage(2,0.003)"],
                                allBox: ["setAllDacVoltage(" + value / 1000 + ")"],
                                periodBox: ["applyPeriod(" + value + ")"] }[box]
                rows.push({ tag: box + " '" + text + "'", box: box, text: text, value: value, calls: calls })
            }
        }
        return rows
    }
    function test_settingsBoxCommits(data) {
        Object.assign(device, { connected: true, dacVolts: Array(8).fill(0.35), periodMs: 350 })
        const page = make(settingsComponent)
        page.allBox.value = 350
        const box = findChild(page, data.box)
        typeInto(box.contentItem, data.text)
        keyClick(Qt.Key_Return)
        verify(box.value === data.value && box.displayText.startsWith(String(data.value)), box.displayText)
        const button = { allBox: "setAllButton", periodBox: "periodApply" }[data.box]
        if (button)
            mouseClick(findChild(page, button))
        compare(device.calls, data.calls)
    }

    // Unread levels show a dash, closed to input, and are asked for; a period past the top shows.
    function test_settingsShowOnlyTheInstrumentsState() {
        Object.assign(device, { connected: true, dacVolts: Array(8).fill(0.35), dacLevelsKnown: false,
                                periodMs: 100000 })
        const page = make(settingsComponent)
        compare(device.calls, ["refreshDacVolts()"])
        device.calls = []
        const box = findChild(page, "channelBox1")
        compare([box.displayText, box.enabled], ["\u2014", false])
        mouseWheel(box, box.width / 2, box.height / 2, 0, 120)
        device.dacLevelsKnown = true
        compare([box.displayText, box.enabled], ["350 mV", true])
        compare(page.periodBox.value, 100000)
        device.periodMs = 2147483647
        mouseClick(findChild(page, "periodApply"))
        compare(device.calls, ["applyPeriod(2147483647)"])
    }

    function test_settingsNetwork() {
        Object.assign(device, { connected: true, networkMode: "DHCP", ipAddress: "192.168.001.020",
                                netmask: "255.255.255.0" })
        const page = make(settingsComponent)
        const apply = findChild(page, "networkApply")
        // DHCP needs no gateway; anything else is static, which does.
        compare([page.ipField.text, page.ipField.enabled, apply.enabled], ["192.168.1.20", false, true])
        device.networkMode = "weird"
        compare([page.modeBox.currentIndex, apply.enabled], [0, false])
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
