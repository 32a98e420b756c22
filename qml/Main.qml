import QtQuick
import QtQuick.Controls
import QtQuick.Layouts
import MyStyle
import Theme

ApplicationWindow {
    id: window

    property string version: appVersion

    width: 980
    height: 460
    minimumWidth: 800
    minimumHeight: 460
    maximumHeight: 460
    visible: true
    title: qsTr("Velmora")
    animationEnable: true

    Component {
        id: settingsPageComponent
        SettingsPage {
            onBack: {
                if (StackView.view.depth > 1)
                    StackView.view.pop()
            }
        }
    }

    StackView {
        id: stack
        objectName: "pageStack"
        anchors.fill: parent
        clip: true
        initialItem: HomePage {
            onOpenSettings: stack.push(settingsPageComponent)
        }
    }

    footer: Item {
        objectName: "statusBar"
        height: 28 * Theme.heightScale

        Rectangle {
            anchors.fill: parent
            anchors.margins: 1
            color: Theme.palette.backgroundControlColor
            border.width: 1
            border.color: Theme.palette.borderIdleControlColor
        }

        RowLayout {
            anchors.fill: parent
            anchors.leftMargin: 12 * Theme.widthScale
            anchors.rightMargin: 12 * Theme.widthScale
            anchors.topMargin: 1
            anchors.bottomMargin: 1
            spacing: 12 * Theme.widthScale

            Text {
                objectName: "statusLabel"
                Layout.maximumWidth: implicitWidth
                text: device.statusText
                textFormat: Text.PlainText
                color: device.connected ? Theme.palette.hoveredTextColor : Theme.palette.idleTextColor
                font.family: Theme.applicationFont.name
                font.pixelSize: Theme.textStyle.smallestSize
                elide: Text.ElideRight
            }

            Rectangle {
                objectName: "errorDivider"
                visible: device.lastError !== ""
                Layout.preferredWidth: 1
                Layout.fillHeight: true
                Layout.topMargin: 6
                Layout.bottomMargin: 6
                color: Theme.palette.borderIdleControlColor
            }

            Text {
                objectName: "errorLabel"
                visible: device.lastError !== ""
                Layout.fillWidth: true
                text: device.lastError
                textFormat: Text.PlainText
                color: Theme.palette.linkTextColor
                font.family: Theme.applicationFont.name
                font.pixelSize: Theme.textStyle.smallestSize
                elide: Text.ElideRight
            }

            Item {
                visible: device.lastError === ""
                Layout.fillWidth: true
            }

            Text {
                objectName: "versionLabel"
                text: qsTr("USB CDC · ZRF · %1").arg(appVersion)
                color: Theme.palette.blockedTextColor
                font.family: Theme.applicationFont.name
                font.pixelSize: Theme.textStyle.tinySize
            }
        }
    }
}
