import QtQuick
import QtQuick as QQ
import Theme

// Blinking text cursor of the style: a colour cycle instead of a visibility toggle.
Rectangle {
    width: 2
    // The parent is the text item that owns this cursor: a TextInput or a TextEdit.
    readonly property QQ.TextInput input: parent as QQ.TextInput
    readonly property QQ.TextEdit edit: parent as QQ.TextEdit
    visible: input ? input.cursorVisible : edit ? edit.cursorVisible : false

    SequentialAnimation on color {
        loops: Animation.Infinite
        ColorAnimation { from: "transparent"; to: Theme.palette.borderHoveredControlColor; duration: 500 }
        ColorAnimation { from: Theme.palette.borderHoveredControlColor; to: "transparent"; duration: 500 }
    }
}
