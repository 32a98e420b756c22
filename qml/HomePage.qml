import QtQuick
import QtQuick.Controls
import QtQuick.Layouts
import MyStyle
import Theme
import TachyraInput
import "SceneLogic.js" as Logic

// A focus scope: a field that lets go of the focus leaves it on the page.
FocusScope {
    id: page
    objectName: "homePage"

    readonly property bool tcpMode: tcpButton.checked
    readonly property bool tcpAddressValid: AddressText.isHost(portBox.editText)
    readonly property bool chromeLocked: device.tcpScanning || device.connecting
    readonly property int currentView: views.currentIndex
    // The cards, the time plot and the bars in counts per second (each count
    // over its own gate period) instead of counts per gate.
    readonly property bool perSecond: perSecondButton.checked
    property alias portBox: portBox
    // What the host box should show in TCP mode. The combo box replaces its
    // edit text whenever its model or current entry changes, so the text is
    // kept here and put back after each such change.
    property string hostText: ""

    signal openSettings()
    // Something for a screen reader to say now.
    signal announce(string text)
    // A view's key was pressed while another page is in front.
    signal showHome()

    function selectPortInBox() {
        if (tcpMode)
            return
        portBox.currentIndex = Logic.indexOfName(device.ports, device.portName)
    }

    function selectTcpInBox() {
        if (!tcpMode)
            return
        const keep = device.tcpHost
        portBox.currentIndex = Logic.indexOfName(device.tcpHosts, keep)
        // Someone typing in the box is not overwritten.
        if (!portBox.activeFocus)
            hostText = keep
        portBox.editText = hostText
    }

    function setBoxText(text) {
        hostText = text
        portBox.editText = text
    }

    function commitTypedHost() {
        if (!tcpMode)
            return
        setBoxText(AddressText.normalized(portBox.editText))
        device.tcpHost = hostText
    }

    // A recording on the time view keeps that view open without a link.
    readonly property bool fileViewed: timePage.series.fileShown && views.currentIndex === 1

    // Shows a recording (dropped, or named at the start) on the time view.
    function openRecording(file) {
        timePage.openRecording(file)
    }

    function showView(index) {
        const buttons = [cardsButton, timeButton, histogramButton, calibrationButton]
        buttons[index].checked = true
        views.currentIndex = index
    }

    Connections {
        target: device
        function onPortsChanged() { page.selectPortInBox() }
        function onPortNameChanged() { page.selectPortInBox() }
        function onTcpHostsChanged() { page.selectTcpInBox() }
        function onTcpHostChanged() { page.selectTcpInBox() }
        function onConnectedChanged() {
            if (!device.connected && views.currentIndex !== 0 && !page.fileViewed)
                page.showView(0)
        }
    }

    // The focus starts on the first control, so that a screen reader starts
    // there too (and not on the page stack around it).
    Component.onCompleted: {
        selectPortInBox()
        usbButton.forceActiveFocus()
    }

    // Record: a file chosen now, the rows written by the recorder from then on.
    function toggleRecording() {
        if (recorder.recording) {
            recorder.stop()
            return
        }
        saveDialog.ask(qsTr("Record counts to a file"), "counts", "csv", [qsTr("CSV files (*.csv)")], file => {
            if (device.connected)
                recorder.start(file)
        })
    }

    SaveDialog { id: saveDialog; objectName: "recordDialog" }

    // A file dropped on the window opens as the open button would.
    DropArea {
        objectName: "fileDrop"
        anchors.fill: parent
        enabled: openButton.enabled
        onEntered: (drag) => drag.accepted = drag.hasUrls
        onDropped: (drop) => {
            if (drop.hasUrls)
                page.openRecording(drop.urls[0])
        }
    }

    ButtonGroup { id: transportGroup; exclusive: true }
    ButtonGroup { id: viewGroup; exclusive: true }

    ColumnLayout {
        anchors.fill: parent
        anchors.margins: 10
        spacing: 8

        RowLayout {
            objectName: "toolbar"
            Layout.fillWidth: true
            spacing: 8
            Accessible.role: Accessible.ToolBar
            Accessible.name: qsTr("Toolbar")
            Accessible.ignored: !visible

            // One choice of two for a screen reader.
            RowLayout {
                spacing: 8
                Accessible.role: Accessible.Grouping
                Accessible.name: qsTr("Link")
                Accessible.ignored: !visible

                ToolbarButton {
                    id: usbButton
                    objectName: "usbButton"
                    checkable: true
                    checked: true
                    ButtonGroup.group: transportGroup
                    icon.source: "Images/usb.svg"
                    tip: qsTr("USB")
                    help: qsTr("Link over the instrument's USB serial port")
                    enabled: Logic.transportEnabled(device.connected, page.chromeLocked)
                    readonly property int accessibleRole: Accessible.RadioButton
                    Accessible.checkable: true
                    Accessible.checked: checked
                }

                ToolbarButton {
                    id: tcpButton
                    objectName: "tcpButton"
                    checkable: true
                    ButtonGroup.group: transportGroup
                    icon.source: "Images/ethernet.svg"
                    tip: device.tcpScanning ? qsTr("Scanning LAN…") : qsTr("TCP")
                    help: qsTr("Link over the network; picking it scans the local network for instruments")
                    Accessible.name: qsTr("TCP")
                    readonly property int accessibleRole: Accessible.RadioButton
                    Accessible.checkable: true
                    Accessible.checked: checked
                    enabled: Logic.transportEnabled(device.connected, page.chromeLocked)
                    onCheckedChanged: {
                        if (checked) {
                            page.setBoxText(device.tcpHost)
                            device.startTcpScan()
                        } else {
                            device.tcpHost = page.hostText
                            device.stopTcpScan()
                            page.selectPortInBox()
                        }
                    }
                }
            }

            ComboBox {
                id: portBox
                objectName: "portBox"
                Layout.preferredWidth: 320
                Layout.preferredHeight: 40
                enabled: Logic.transportEnabled(device.connected, page.chromeLocked)
                model: page.tcpMode ? device.tcpHosts : device.ports
                textRole: "label"
                editable: page.tcpMode
                selectTextByMouse: page.tcpMode
                validator: page.tcpMode ? ipValidator : null
                // Qt Quick's combo box shows no entries to a screen reader: the
                // one chosen goes in the name (typed text has a field of its own).
                Accessible.name: page.tcpMode ? qsTr("Instrument address") : qsTr("Serial port: %1").arg(displayText)
                Accessible.description: page.tcpMode ? qsTr("IPv4 address of the instrument: type it or pick a found one")
                                                     : qsTr("Serial port of the instrument")
                displayText: page.tcpMode ? editText
                             : (device.portName !== "" ? currentText : qsTr("No COM ports"))

                RegularExpressionValidator {
                    id: ipValidator
                    regularExpression: AddressText.pattern
                }

                onActivated: (index) => {
                    if (page.tcpMode) {
                        const hosts = device.tcpHosts
                        if (index >= 0 && index < hosts.length) {
                            page.hostText = hosts[index].name
                            device.tcpHost = hosts[index].name
                        }
                        return
                    }
                    const ports = device.ports
                    if (index >= 0 && index < ports.length)
                        device.portName = ports[index].name
                }
                onModelChanged: {
                    if (page.tcpMode)
                        page.selectTcpInBox()
                    else
                        page.selectPortInBox()
                }
                onAccepted: page.commitTypedHost()
                onActiveFocusChanged: {
                    if (!activeFocus)
                        page.commitTypedHost()
                }

                Connections {
                    target: portBox.contentItem
                    ignoreUnknownSignals: true
                    function onTextEdited() {
                        if (page.tcpMode)
                            page.hostText = (portBox.contentItem as TextInput).text
                    }
                }
            }

            ToolbarButton {
                id: connectButton
                objectName: "connectButton"
                icon.source: device.connected ? "Images/unplug.svg" : "Images/plug.svg"
                tip: device.connected ? qsTr("Disconnect") : qsTr("Connect")
                help: device.connected ? qsTr("Close the link to the instrument")
                                       : qsTr("Open the link to the instrument in the box")
                keys: ["Ctrl+K"]
                enabled: Logic.connectEnabled(device.connected, page.chromeLocked, device.calibrationRunning,
                                              page.tcpMode, page.tcpAddressValid, device.portName)
                onClicked: {
                    if (device.connected) {
                        device.disconnectFromDevice()
                        return
                    }
                    if (page.tcpMode) {
                        page.setBoxText(AddressText.normalized(portBox.editText))
                        device.tcpHost = page.hostText
                    }
                    device.connectToDevice(page.tcpMode)
                }
            }

            ToolbarButton {
                id: recordButton
                objectName: "recordButton"
                checkable: true
                checked: recorder.recording
                icon.source: "Images/record.svg"
                tip: qsTr("Record counts to a file")
                help: qsTr("Write every reading to a CSV file until pressed again")
                keys: ["Ctrl+R"]
                Accessible.name: qsTr("Record")
                enabled: device.connected || recorder.recording
                onClicked: {
                    // The recorder alone says whether a recording runs.
                    checked = Qt.binding(() => recorder.recording)
                    page.toggleRecording()
                }
            }

            ToolbarButton {
                id: openButton
                objectName: "openButton"
                icon.source: "Images/open.svg"
                tip: qsTr("Open a recording")
                help: qsTr("Show a recorded file on the time view, with or without an instrument")
                keys: ["Ctrl+O"]
                onKeyUsed: page.showHome()
                enabled: !device.calibrationRunning && !device.tcpScanning
                onClicked: timePage.askForRecording()
            }

            Item { Layout.fillWidth: true }

            ToolbarButton {
                id: perSecondButton
                objectName: "perSecondButton"
                checkable: true
                icon.source: "Images/per-second.svg"
                tip: checked ? qsTr("Counts per gate") : qsTr("Counts per second")
                Accessible.name: qsTr("Counts per second")
                Accessible.checkable: true
                Accessible.checked: checked
            }

            ToolbarButton {
                id: cardsButton
                objectName: "cardsButton"
                checkable: true
                checked: true
                ButtonGroup.group: viewGroup
                icon.source: "Images/cards.svg"
                tip: qsTr("Cards")
                help: qsTr("Show the latest count of each channel")
                keys: ["Ctrl+1"]
                onKeyUsed: page.showHome()
                enabled: Logic.cardsButtonEnabled(device.calibrationRunning, device.tcpScanning)
                onClicked: page.showView(0)
            }

            ToolbarButton {
                id: timeButton
                objectName: "timeButton"
                checkable: true
                ButtonGroup.group: viewGroup
                icon.source: "Images/cps-time.svg"
                tip: qsTr("Counts vs time")
                help: qsTr("Show the counts over time as lines")
                keys: ["Ctrl+2"]
                onKeyUsed: page.showHome()
                enabled: Logic.viewButtonEnabled(device.connected || timePage.series.fileShown, device.calibrationRunning,
                                                 device.tcpScanning)
                onClicked: page.showView(1)
            }

            ToolbarButton {
                id: histogramButton
                objectName: "histogramButton"
                checkable: true
                ButtonGroup.group: viewGroup
                icon.source: "Images/histogram.svg"
                tip: qsTr("Bar chart")
                help: qsTr("Show the latest counts as bars")
                keys: ["Ctrl+3"]
                onKeyUsed: page.showHome()
                enabled: Logic.viewButtonEnabled(device.connected, device.calibrationRunning, device.tcpScanning)
                onClicked: page.showView(2)
            }

            ToolbarButton {
                id: calibrationButton
                objectName: "calibrationButton"
                checkable: true
                ButtonGroup.group: viewGroup
                icon.source: "Images/calibrate.svg"
                tip: qsTr("Calibration")
                help: qsTr("Sweep a channel's threshold and take a new one from the plot")
                keys: ["Ctrl+4"]
                onKeyUsed: page.showHome()
                enabled: Logic.viewButtonEnabled(device.connected, device.calibrationRunning, device.tcpScanning)
                onClicked: page.showView(3)
            }

            ToolbarButton {
                id: settingsButton
                objectName: "settingsButton"
                icon.source: "Images/settings.svg"
                tip: qsTr("Settings")
                help: qsTr("Gate period, thresholds and the instrument's network settings")
                keys: ["Ctrl+5", "Ctrl+,"]
                enabled: Logic.viewButtonEnabled(device.connected, device.calibrationRunning, device.tcpScanning)
                onClicked: page.openSettings()
            }
        }

        Item {
            id: viewArea
            Layout.fillWidth: true
            Layout.fillHeight: true

            SwipeView {
                id: views
                objectName: "views"
                anchors.fill: parent
                interactive: false
                clip: true
                enabled: !device.tcpScanning
                // Not a stop of its own for Tab: the controls of its pages are.
                focusPolicy: Qt.NoFocus
                activeFocusOnTab: false
                Accessible.name: qsTr("Views")
                Accessible.ignored: !visible
                opacity: device.tcpScanning ? 0.2 : 1

                // A page outside the view is hidden, so that the scene graph
                // does not walk it at every frame; all pages keep their data.
                readonly property real shownX: (contentItem as ListView).contentX
                function inView(page) {
                    return page.x + page.width > shownX && page.x < shownX + width
                }

                CardsView {
                    id: cardsPage
                    objectName: "cardsView"
                    visible: views.inView(cardsPage)
                    perSecond: page.perSecond
                    onAnnounce: (text) => page.announce(text)
                }
                TimeView {
                    id: timePage
                    objectName: "timeView"
                    visible: views.inView(timePage)
                    perSecond: page.perSecond
                    onFileOpened: page.showView(1)
                    // Without a link the view is left with the file.
                    onFileClosed: if (!device.connected && views.currentIndex === 1) page.showView(0)
                }
                HistogramView {
                    id: histogramPage
                    objectName: "histogramView"
                    visible: views.inView(histogramPage)
                    perSecond: page.perSecond
                }
                CalibrationView { id: calibrationPage; objectName: "calibrationView"; visible: views.inView(calibrationPage) }
            }

            CircularProgressBar {
                objectName: "scanRing"
                anchors.centerIn: parent
                width: Math.max(0, Math.min(viewArea.width, viewArea.height) - 80 * Theme.widthScale)
                height: width
                visible: device.tcpScanning
                value: device.tcpScanProgress
                text: qsTr("Scanning TCP/IP addresses")
                textVisible: true
                textFontSize: Theme.textStyle.normalSize
            }
        }
    }
}
