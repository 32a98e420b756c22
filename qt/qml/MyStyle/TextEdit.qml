import QtQuick as Q
import Theme

Q.TextEdit {
    id: control

    color: !enabled ? Theme.palette.blockedTextColor
           : activeFocus ? Theme.palette.hoveredTextColor : Theme.palette.idleTextColor
    selectionColor: Theme.palette.borderIdleControlColor
    selectedTextColor: Theme.palette.hoveredTextColor
    font.family: Theme.applicationFont.name
    font.pixelSize: Theme.textStyle.normalSize
    cursorDelegate: TextCursor {}

    Q.Keys.onPressed: (event) => {
        if (event.key === Qt.Key_Escape || event.key === Qt.Key_Return || event.key === Qt.Key_Enter) {
            control.focus = false
            event.accepted = true
        }
    }

    Q.Rectangle {
        anchors.fill: parent
        anchors.margins: -5
        visible: control.activeFocus
        color: "transparent"
        radius: 5 * Theme.widthScale
        border.width: 1
        border.color: Theme.palette.borderHoveredControlColor
    }
}
