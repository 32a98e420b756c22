import QtQuick
import Theme

// Blinking text cursor of the style: a colour cycle instead of a visibility toggle.
Rectangle {
    width: 2
    // The parent is the text item that owns this cursor.
    visible: parent ? parent["cursorVisible"] === true : false

    SequentialAnimation on color {
        loops: Animation.Infinite
        ColorAnimation { from: "transparent"; to: Theme.palette.borderHoveredControlColor; duration: 500 }
        ColorAnimation { from: Theme.palette.borderHoveredControlColor; to: "transparent"; duration: 500 }
    }
}
