import QtQuick
import QtQuick.Controls
import QtQuick.Layouts
import MyStyle
import Theme
import TachyraInput
import "SceneLogic.js" as Logic

// A focus scope: a field that lets go of the focus leaves it on the page,
// where Escape goes back.
FocusScope {
    id: page
    objectName: "settingsPage"

    Accessible.role: Accessible.Pane
    Accessible.name: qsTr("Settings")

    readonly property int dacMaxMv: device.maxLevelMv
    readonly property bool networkEditable: device.connected && !device.networkApplying
    readonly property bool addressesEditable: networkEditable && modeBox.currentIndex === 0
    readonly property bool networkApplyEnabled: networkEditable
        && (modeBox.currentIndex === 1
            || (ipField.acceptableInput && maskField.acceptableInput && gatewayField.acceptableInput))

    property alias periodBox: periodBox
    property alias allBox: allBox
    property alias modeBox: modeBox
    property alias ipField: ipField
    property alias maskField: maskField
    property alias gatewayField: gatewayField
    property alias channelBoxes: channelRepeater

    signal back()

    function normalizeIp(ip) {
        return AddressText.normalizedKeep(ip)
    }

    function syncNetworkMode() {
        if (modeBox.popup.visible)
            return
        modeBox.currentIndex = device.networkMode === "DHCP" ? 1 : 0
    }

    function syncNetworkAddresses(force) {
        if (force || !ipField.activeFocus)
            ipField.text = AddressText.normalizedKeep(device.ipAddress)
        if (force || !maskField.activeFocus)
            maskField.text = AddressText.normalizedKeep(device.netmask)
        if (force || !gatewayField.activeFocus)
            gatewayField.text = AddressText.normalizedKeep(device.gateway)
    }

    // Typed text as a box value, rounded into the box's range. Text that is
    // no number (empty, "-", blanks) keeps the value the box had, so nothing
    // is sent for it and the box shows that value again.
    function boxValue(box, text, locale) {
        let n = NaN
        try {
            n = Number.fromLocaleString(locale, Logic.stripToNumber(text))
        } catch (notANumber) {
            n = NaN
        }
        return isFinite(n) ? Math.max(box.from, Math.min(box.to, Math.round(n))) : box.value
    }

    // A period above the box's usual top is still the instrument's: show it.
    function showPeriod() {
        periodBox.to = Math.max(device.maxPeriodMs, device.periodMs)
        periodBox.value = device.periodMs
    }

    function syncChannelBoxes() {
        const list = device.dacVolts
        for (let i = 0; i < channelRepeater.count; ++i) {
            const box = channelRepeater.itemAt(i).box
            if (!box.activeFocus && i < list.length)
                box.setFromDevice(Logic.voltsToMv(list[i]))
        }
    }

    function applyNetwork() {
        ipField.text = AddressText.normalizedKeep(ipField.text)
        maskField.text = AddressText.normalizedKeep(maskField.text)
        gatewayField.text = AddressText.normalizedKeep(gatewayField.text)
        device.applyNetwork(modeBox.currentIndex === 1, ipField.text, maskField.text, gatewayField.text)
    }

    focus: true
    Keys.onEscapePressed: page.back()

    Component.onCompleted: {
        syncNetworkMode()
        syncNetworkAddresses(true)
        // The focus comes onto its first control, without the focus mark,
        // so that a screen reader names the page and where the focus is.
        backButton.forceActiveFocus()
        // Levels not read yet on this link (a lost or spoilt read at
        // opening): asked again as the page opens, so the boxes need not
        // stay locked.
        if (device.connected && !device.dacLevelsKnown)
            device.refreshDacVolts()
    }

    // A click on empty space gives the focus back to the page, so Escape leaves it.
    MouseArea {
        anchors.fill: parent
        z: -1
        onPressed: (mouse) => {
            page.forceActiveFocus()
            mouse.accepted = false
        }
    }

    Connections {
        target: device
        function onPeriodMsChanged() {
            if (!periodBox.activeFocus)
                page.showPeriod()
        }
        function onDacVoltsChanged() { page.syncChannelBoxes() }
        function onDacLevelsKnownChanged() { page.syncChannelBoxes() }
        function onNetworkModeChanged() { page.syncNetworkMode() }
        function onIpAddressChanged() { page.syncNetworkAddresses(false) }
        function onNetmaskChanged() { page.syncNetworkAddresses(false) }
        function onGatewayChanged() { page.syncNetworkAddresses(false) }
    }

    // A level not read from this instrument yet is unknown: the box holds -1,
    // shows a dash and takes no input, so no step starts from a stale level.
    component MvBox: SpinBox {
        id: mvBox
        property bool known: true
        from: known ? 0 : -1
        to: device.maxLevelMv
        stepSize: 1
        editable: true
        wheelEnabled: true
        enabled: device.connected && known
        textFromValue: (value, locale) => value < 0 ? "\u2014"
                                                    : Number(value).toLocaleString(locale, "f", 0) + " mV"
        valueFromText: (text, locale) => page.boxValue(mvBox, text, locale)
        validator: RegularExpressionValidator { regularExpression: /^\s*-?[0-9.,\s]*\s*(mV)?\s*$/ }
    }

    component AddressField: TextField {
        Layout.preferredWidth: 140
        Layout.preferredHeight: 40
        Layout.fillWidth: true
        horizontalAlignment: TextInput.AlignHCenter
        leftPadding: 6 * Theme.widthScale
        rightPadding: 6 * Theme.widthScale
        // A full netmask must fit the narrow field.
        font.pixelSize: Theme.textStyle.smallSize
        validator: RegularExpressionValidator { regularExpression: AddressText.pattern }
        color: !enabled ? Theme.palette.blockedTextColor
               : !acceptableInput ? Theme.palette.linkTextColor
               : (hovered || activeFocus) ? Theme.palette.hoveredTextColor
               : Theme.palette.idleTextColor
        onEditingFinished: text = AddressText.normalizedKeep(text)
    }

    component FieldLabel: Label {
        color: enabled ? Theme.palette.idleTextColor : Theme.palette.blockedTextColor
        font.family: Theme.applicationFont.name
        font.pixelSize: Theme.textStyle.normalSize
        verticalAlignment: Text.AlignVCenter
    }

    ColumnLayout {
        anchors.fill: parent
        anchors.margins: 10
        spacing: 8

        RowLayout {
            Layout.fillWidth: true
            spacing: 8

            Button {
                id: backButton
                objectName: "backButton"
                Layout.preferredWidth: 40
                Layout.preferredHeight: 40
                hoverEnabled: true
                icon.source: "Images/arrow-left.svg"
                icon.width: 20 * Theme.widthScale
                icon.height: 20 * Theme.heightScale
                onClicked: page.back()
                Accessible.name: qsTr("Back")
                Accessible.description: qsTr("Back to the home page (Esc)")
                HoverTip { text: qsTr("Back (Esc)") }
            }

            Label {
                Layout.fillWidth: true
                text: qsTr("Settings")
                color: Theme.palette.hoveredTextColor
                font.family: Theme.applicationFont.name
                font.pixelSize: Theme.textStyle.normalSize
                verticalAlignment: Text.AlignVCenter
            }
        }

        Flickable {
            id: scroller
            // The clip stands 4 px off the content all round, so that the
            // focus mark of a control at its edge is seen whole.
            readonly property real markRoom: 4
            Layout.fillWidth: true
            Layout.fillHeight: true
            Layout.margins: 1 - markRoom
            topMargin: markRoom
            clip: true
            contentWidth: width
            contentHeight: body.implicitHeight + 16
            boundsBehavior: Flickable.StopAtBounds
            ScrollBar.vertical: ScrollBar { Accessible.name: qsTr("Scroll the settings") }

            ColumnLayout {
                id: body
                x: scroller.markRoom
                width: scroller.width - 2 * scroller.markRoom
                spacing: 12

                RowLayout {
                    Layout.fillWidth: true
                    spacing: 8
                    // The label names the row's group for a screen reader.
                    Accessible.role: Accessible.Grouping
                    Accessible.name: periodLabel.text

                    FieldLabel {
                        id: periodLabel
                        Layout.fillWidth: true
                        text: qsTr("Gate Period, ms")
                        enabled: true
                        Accessible.ignored: true
                    }
                    SpinBox {
                        id: periodBox
                        objectName: "periodBox"
                        Layout.preferredWidth: 140
                        from: device.minPeriodMs
                        to: device.maxPeriodMs
                        stepSize: 10
                        editable: true
                        enabled: device.connected
                        Component.onCompleted: page.showPeriod()
                        Accessible.name: qsTr("Gate period, ms")
                        textFromValue: (value, locale) => Number(value).toLocaleString(locale, "f", 0)
                        valueFromText: (text, locale) => page.boxValue(periodBox, text, locale)
                    }
                    Button {
                        objectName: "periodApply"
                        Layout.preferredHeight: 40
                        text: qsTr("Apply")
                        Accessible.name: qsTr("Apply gate period")
                        enabled: device.connected
                        onClicked: device.applyPeriod(periodBox.value)
                    }
                }

                RowLayout {
                    Layout.fillWidth: true
                    spacing: 8
                    Accessible.role: Accessible.Grouping
                    Accessible.name: thresholdsLabel.text

                    FieldLabel {
                        id: thresholdsLabel
                        Layout.fillWidth: true
                        text: qsTr("Comparator thresholds (All channels)")
                        elide: Text.ElideRight
                        enabled: true
                        Accessible.ignored: true
                    }
                    MvBox {
                        id: allBox
                        objectName: "allBox"
                        Layout.preferredWidth: 140
                        value: 0
                        Accessible.name: qsTr("Threshold of all channels, mV")
                    }
                    Button {
                        objectName: "setAllButton"
                        Layout.preferredHeight: 40
                        text: qsTr("Set all")
                        Accessible.description: qsTr("Set every channel's threshold to the value left of it")
                        enabled: device.connected
                        onClicked: device.setAllDacVoltage(Logic.mvToVolts(allBox.value))
                    }
                }

                GridLayout {
                    Layout.fillWidth: true
                    columns: 4
                    rowSpacing: 8
                    columnSpacing: 8

                    Repeater {
                        id: channelRepeater
                        model: device.channelCount

                        Rectangle {
                            id: cell
                            required property int index
                            property alias box: channelBox
                            Layout.fillWidth: true
                            Layout.preferredWidth: 1
                            implicitHeight: cellRow.implicitHeight + 16
                            color: Theme.palette.backgroundControlColor
                            border.width: 1
                            border.color: Theme.palette.borderIdleControlColor
                            radius: 5

                            RowLayout {
                                id: cellRow
                                anchors.fill: parent
                                anchors.margins: 8
                                spacing: 4

                                // The box's name says the channel.
                                FieldLabel {
                                    Layout.preferredWidth: 48
                                    text: qsTr("CH %1").arg(cell.index)
                                    font.pixelSize: Theme.textStyle.smallSize
                                    enabled: true
                                    Accessible.ignored: true
                                }
                                MvBox {
                                    id: channelBox
                                    objectName: "channelBox" + cell.index
                                    Layout.fillWidth: true
                                    Layout.minimumWidth: 60
                                    known: device.dacLevelsKnown
                                    Accessible.name: qsTr("CH %1 threshold, mV").arg(cell.index)
                                    // valueModified fires for user changes only, so device updates are not sent back.
                                    function setFromDevice(mv) {
                                        value = known ? mv : -1
                                    }
                                    Component.onCompleted: {
                                        const list = device.dacVolts
                                        setFromDevice(cell.index < list.length ? Logic.voltsToMv(list[cell.index]) : 0)
                                    }
                                    onValueModified: device.setDacVoltage(cell.index, Logic.mvToVolts(value))
                                }
                            }
                        }
                    }
                }

                ToolSeparator {
                    Layout.fillWidth: true
                    orientation: Qt.Horizontal
                    topPadding: 0
                    bottomPadding: 0
                    topInset: 0
                }

                RowLayout {
                    Layout.fillWidth: true
                    spacing: 8
                    Accessible.role: Accessible.Grouping
                    Accessible.name: networkLabel.text

                    Label {
                        id: networkLabel
                        Accessible.ignored: true
                        text: qsTr("Network")
                        color: Theme.palette.hoveredTextColor
                        font.family: Theme.applicationFont.name
                        font.pixelSize: Theme.textStyle.normalSize
                    }
                    ComboBox {
                        id: modeBox
                        objectName: "modeBox"
                        Layout.preferredWidth: 140
                        Layout.preferredHeight: 40
                        Layout.leftMargin: 1
                        model: [qsTr("Static"), qsTr("Auto")]
                        Accessible.name: qsTr("Network mode: %1").arg(displayText)
                        enabled: page.networkEditable
                        onActivated: (index) => {
                            if (index === 1)
                                page.syncNetworkAddresses(true)
                        }
                    }
                    FieldLabel { text: qsTr("IP:"); enabled: page.addressesEditable; Accessible.ignored: true }
                    AddressField { id: ipField; enabled: page.addressesEditable; objectName: "ipField"; placeholderText: qsTr("IP address")
                                    Accessible.name: qsTr("IP address") }
                    FieldLabel { text: qsTr("MSK:"); enabled: page.addressesEditable; Accessible.ignored: true }
                    AddressField { id: maskField; enabled: page.addressesEditable; objectName: "maskField"; placeholderText: qsTr("Netmask")
                                    Accessible.name: qsTr("Netmask") }
                    FieldLabel { text: qsTr("GW:"); enabled: page.addressesEditable; Accessible.ignored: true }
                    AddressField { id: gatewayField; enabled: page.addressesEditable; objectName: "gatewayField"; placeholderText: qsTr("Gateway")
                                    Accessible.name: qsTr("Gateway") }
                    Button {
                        objectName: "networkApply"
                        Layout.preferredHeight: 40
                        leftPadding: 10
                        rightPadding: 10
                        text: qsTr("Apply")
                        enabled: page.networkApplyEnabled
                        Accessible.name: qsTr("Apply network settings")
                        onClicked: page.applyNetwork()
                    }
                }
            }
        }
    }
}
