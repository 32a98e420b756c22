import QtQuick
import QtQuick.Controls
import QtQuick.Layouts
import Theme

// Asked before a save replaces files that exist: names each of them, and
// the save goes ahead only on Replace.
Popup {
    id: question
    objectName: "replaceQuestion"

    property var files: []
    property var onReplace: null

    function ask(existing, replace) {
        files = existing
        onReplace = replace
        open()
    }
    function replace() {
        const go = onReplace
        onReplace = null
        close()
        if (go)
            go()
    }
    function cancel() {
        onReplace = null
        close()
    }

    modal: true
    focus: true
    closePolicy: Popup.CloseOnEscape
    anchors.centerIn: parent
    width: Math.min(parent ? parent.width - 40 : 600, 620)
    padding: 16
    onClosed: onReplace = null

    background: Rectangle {
        color: Theme.palette.backgroundHoveredControlColor
        border.width: 1
        border.color: Theme.palette.borderHoveredControlColor
        radius: 5
    }
    Overlay.modal: Rectangle { color: "#99000000" }

    contentItem: ColumnLayout {
        spacing: 10

        Label {
            Layout.fillWidth: true
            text: question.files.length === 1 ? qsTr("Replace the existing file?")
                                              : qsTr("Replace %1 existing files?").arg(question.files.length)
            color: Theme.palette.hoveredTextColor
            font.pixelSize: Theme.textStyle.bigSize
        }
        Repeater {
            model: question.files
            Label {
                required property string modelData
                objectName: "replacedFile"
                Layout.fillWidth: true
                text: modelData
                elide: Text.ElideMiddle
                font.pixelSize: Theme.textStyle.smallSize
            }
        }
        Label {
            Layout.fillWidth: true
            text: question.files.length === 1 ? qsTr("Saving overwrites what it holds now.")
                                              : qsTr("Saving overwrites what they hold now.")
            font.pixelSize: Theme.textStyle.smallSize
        }
        RowLayout {
            Layout.alignment: Qt.AlignRight
            spacing: 10
            Button {
                objectName: "replaceButton"
                text: qsTr("Replace")
                onClicked: question.replace()
            }
            Button {
                objectName: "keepButton"
                text: qsTr("Cancel")
                onClicked: question.cancel()
            }
        }
    }
}
