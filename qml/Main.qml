import QtQuick
import QtQuick.Controls
import QtQuick.Layouts
import MyStyle
import Theme
import TachyraFiles
import "SceneLogic.js" as Logic

ApplicationWindow {
    id: window

    property string version: appVersion
    // A recording to show on the time view from the start (`tachyra-client FILE`).
    property url recordingToOpen

    width: 980
    height: 460
    minimumWidth: 800
    minimumHeight: 460
    maximumHeight: 460
    visible: true
    title: qsTr("Velmora")
    animationEnable: true
    // Colours for what the style does not draw: the toolkit's own file dialog.
    palette.window: Theme.palette.backgroundControlColor
    palette.light: Theme.palette.backgroundHoveredControlColor
    palette.midlight: Theme.palette.borderPressedControlColor
    palette.mid: Theme.palette.borderIdleControlColor
    palette.dark: Theme.palette.borderIdleControlColor
    palette.shadow: Theme.palette.background
    palette.base: Theme.palette.background
    palette.button: Theme.palette.backgroundHoveredControlColor
    palette.text: Theme.palette.idleTextColor
    palette.windowText: Theme.palette.idleTextColor
    palette.buttonText: Theme.palette.idleTextColor
    palette.highlight: Theme.palette.borderHoveredControlColor
    palette.highlightedText: Theme.palette.hoveredTextColor

    // The status bar's file note: the newest word from the recorder or an export.
    property string fileNote: ""
    property bool fileNoteFailed: false
    property real recordElapsedMs: 0

    Connections {
        target: recorder
        function onMessageChanged() {
            window.fileNote = recorder.message
            window.fileNoteFailed = recorder.failed
        }
    }
    Connections {
        target: FileExport
        function onFinished() {
            window.fileNote = FileExport.message
            window.fileNoteFailed = FileExport.failed
        }
    }
    Timer {
        interval: 1000
        repeat: true
        triggeredOnStart: true
        running: recorder.recording
        onTriggered: window.recordElapsedMs = Date.now() - recorder.startedAt.getTime()
    }

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
        // Not a level of its own for a screen reader; named for the moment
        // the focus rests on it (its control was disabled).
        Accessible.name: window.title
        Accessible.ignored: true
        initialItem: HomePage {
            id: home
            onOpenSettings: {
                if (stack.depth === 1)
                    stack.push(settingsPageComponent)
            }
            onShowHome: {
                if (stack.depth > 1)
                    stack.pop(null)
            }
            onAnnounce: (text) => announcer.say(text)
        }
    }

    Component.onCompleted: {
        if (String(recordingToOpen) !== "")
            home.openRecording(recordingToOpen)
    }

    // Says a text to a screen reader when asked: a notification that
    // shows for a moment, which screen readers read as it shows. It is in
    // the tree from the text on, so that its showing is told.
    Item {
        id: announcer
        objectName: "announcer"
        property string text: ""
        function say(message) {
            visible = false
            text = message
            visible = true
            hideAgain.restart()
        }
        width: 1
        height: 1
        visible: false
        Accessible.role: Accessible.Notification
        Accessible.name: text
        Accessible.ignored: text === ""
        Timer {
            id: hideAgain
            interval: 3000
            onTriggered: {
                announcer.visible = false
                announcer.text = ""
            }
        }
    }

    // The link's state told as it changes: the button pressed may have lost
    // the focus meanwhile, so a screen reader says nothing of it by itself.
    Connections {
        target: device
        function onConnectedChanged() {
            tellLink.restart()
        }
    }
    // After the change, once the status says it.
    Timer {
        id: tellLink
        interval: 0
        onTriggered: announcer.say(device.statusText)
    }

    // The usual window key; the title bar's buttons take no focus.
    Shortcut {
        sequence: "Ctrl+Q"
        onActivated: window.close()
    }

    footer: Item {
        objectName: "statusBar"
        height: 28 * Theme.heightScale
        Accessible.role: Accessible.StatusBar
        Accessible.name: qsTr("Status")

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
                Accessible.role: Accessible.StaticText
                Accessible.name: text
                Accessible.ignored: !visible
                Layout.maximumWidth: implicitWidth
                text: device.statusText
                textFormat: Text.PlainText
                color: device.connected ? Theme.palette.hoveredTextColor : Theme.palette.idleTextColor
                font.family: Theme.applicationFont.name
                font.pixelSize: Theme.textStyle.smallestSize
                elide: Text.ElideRight
            }

            Rectangle {
                objectName: "recordDivider"
                visible: recorder.recording
                Layout.preferredWidth: 1
                Layout.fillHeight: true
                Layout.topMargin: 6
                Layout.bottomMargin: 6
                color: Theme.palette.borderIdleControlColor
            }

            Rectangle {
                objectName: "recordMark"
                visible: recorder.recording
                Layout.preferredWidth: 8
                Layout.preferredHeight: 8
                radius: 4
                color: Theme.palette.linkTextColor
            }

            Text {
                objectName: "recordLabel"
                Accessible.role: Accessible.StaticText
                Accessible.name: text
                Accessible.ignored: !visible
                visible: recorder.recording
                text: qsTr("REC %1 · %2 rows").arg(Logic.formatElapsed(window.recordElapsedMs)).arg(recorder.rowCount)
                color: Theme.palette.hoveredTextColor
                font.family: Theme.applicationFont.name
                font.pixelSize: Theme.textStyle.smallestSize
            }

            // Only while the disk lags a second or more behind the readings.
            Text {
                objectName: "recordLagLabel"
                Accessible.role: Accessible.StaticText
                Accessible.name: text
                Accessible.ignored: !visible
                visible: recorder.recording && recorder.lagMs > 0
                text: qsTr("disk %1 s behind · %2 rows waiting").arg(Logic.wholeSeconds(recorder.lagMs)).arg(recorder.rowsWaiting)
                color: Theme.palette.linkTextColor
                font.family: Theme.applicationFont.name
                font.pixelSize: Theme.textStyle.smallestSize
            }

            Rectangle {
                objectName: "fileNoteDivider"
                visible: window.fileNote !== ""
                Layout.preferredWidth: 1
                Layout.fillHeight: true
                Layout.topMargin: 6
                Layout.bottomMargin: 6
                color: Theme.palette.borderIdleControlColor
            }

            Text {
                objectName: "fileNoteLabel"
                Accessible.role: Accessible.StaticText
                Accessible.name: text
                Accessible.ignored: !visible
                visible: window.fileNote !== ""
                Layout.fillWidth: true
                Layout.maximumWidth: implicitWidth
                text: window.fileNote
                textFormat: Text.PlainText
                color: window.fileNoteFailed ? Theme.palette.linkTextColor : Theme.palette.idleTextColor
                font.family: Theme.applicationFont.name
                font.pixelSize: Theme.textStyle.smallestSize
                elide: Text.ElideMiddle
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
                Accessible.role: Accessible.StaticText
                Accessible.name: text
                Accessible.ignored: !visible
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
                Accessible.role: Accessible.StaticText
                Accessible.name: text
                Accessible.ignored: !visible
                text: qsTr("USB CDC · ZRF · %1").arg(appVersion)
                color: Theme.palette.blockedTextColor
                font.family: Theme.applicationFont.name
                font.pixelSize: Theme.textStyle.tinySize
            }
        }
    }
}
