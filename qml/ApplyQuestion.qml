import QtQuick
import QtQuick.Controls
import QtQuick.Layouts
import Theme

// Asked before the suggested thresholds are set: names each channel's level
// before and after (or that it keeps its level, and why), and the levels go
// out only on Apply. Enter or Space on a button presses it; Escape cancels.
Popup {
    id: question
    objectName: "applyQuestion"

    // One entry per channel: channel, before (its level now, text), after
    // (the suggested level, text; "" when it keeps its own) and reason.
    property var rows: []
    property var onApply: null

    function ask(list, apply) {
        rows = list
        onApply = apply
        open()
    }
    function apply() {
        const go = onApply
        onApply = null
        close()
        if (go)
            go()
    }
    function cancel() {
        onApply = null
        close()
    }

    parent: Overlay.overlay
    modal: true
    focus: true
    closePolicy: Popup.CloseOnEscape
    anchors.centerIn: parent
    width: Math.min(parent ? parent.width - 40 : 600, 620)
    padding: 16
    onClosed: onApply = null

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
            text: qsTr("Set the suggested thresholds?")
            color: Theme.palette.hoveredTextColor
            font.pixelSize: Theme.textStyle.bigSize
        }
        Repeater {
            model: question.rows
            Label {
                required property var modelData
                objectName: "levelChange"
                Layout.fillWidth: true
                text: modelData.after !== ""
                      ? qsTr("CH %1: %2 → %3").arg(modelData.channel).arg(modelData.before).arg(modelData.after)
                      : qsTr("CH %1: %2, kept (%3)").arg(modelData.channel).arg(modelData.before).arg(modelData.reason)
                color: modelData.after !== "" ? Theme.palette.hoveredTextColor : Theme.palette.idleTextColor
                elide: Text.ElideRight
                font.pixelSize: Theme.textStyle.smallSize
            }
        }
        Label {
            Layout.fillWidth: true
            wrapMode: Text.Wrap
            text: qsTr("The instrument stores each level set in its EEPROM.")
            font.pixelSize: Theme.textStyle.smallSize
        }
        RowLayout {
            Layout.alignment: Qt.AlignRight
            spacing: 10
            Button {
                objectName: "applyButton"
                // The keyboard's focus as the question opens.
                focus: true
                text: qsTr("Apply")
                onClicked: question.apply()
                Keys.onReturnPressed: question.apply()
                Keys.onEnterPressed: question.apply()
            }
            Button {
                objectName: "keepButton"
                text: qsTr("Cancel")
                onClicked: question.cancel()
                Keys.onReturnPressed: question.cancel()
                Keys.onEnterPressed: question.cancel()
            }
        }
    }
}
