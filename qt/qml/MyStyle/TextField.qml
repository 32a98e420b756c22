import QtQuick
import QtQuick.Templates as T
import QtQuick.Controls.impl
import Theme

T.TextField {
    id: control

    // Focus that came from the keyboard (Tab, Shift+Tab or a shortcut).
    readonly property bool keyboardFocus: activeFocus && (focusReason === Qt.TabFocusReason
                                                          || focusReason === Qt.BacktabFocusReason
                                                          || focusReason === Qt.ShortcutFocusReason)
    readonly property color textColor: !enabled ? Theme.palette.blockedTextColor
                                       : (hovered || activeFocus) ? Theme.palette.hoveredTextColor
                                                                  : Theme.palette.idleTextColor

    implicitWidth: implicitBackgroundWidth + leftInset + rightInset
                   || Math.max(contentWidth, placeholder.implicitWidth) + leftPadding + rightPadding
    implicitHeight: Math.max(implicitBackgroundHeight + topInset + bottomInset,
                             contentHeight + topPadding + bottomPadding,
                             placeholder.implicitHeight + topPadding + bottomPadding)

    padding: 6 * Theme.widthScale
    leftPadding: 10 * Theme.widthScale
    hoverEnabled: true

    color: textColor
    selectionColor: Theme.palette.borderIdleControlColor
    selectedTextColor: Theme.palette.hoveredTextColor
    placeholderTextColor: Theme.palette.blockedTextColor
    verticalAlignment: TextInput.AlignVCenter
    font.family: Theme.applicationFont.name
    font.pixelSize: Theme.textStyle.normalSize
    cursorDelegate: TextCursor {}

    // Enter, Return and Escape end the edit by dropping the focus. A field
    // reached from the keyboard keeps it on Enter, so Tab goes on from there.
    Keys.onPressed: (event) => {
        if (event.key === Qt.Key_Escape || event.key === Qt.Key_Return || event.key === Qt.Key_Enter) {
            if (event.key !== Qt.Key_Escape && control.acceptableInput)
                control.accepted()
            if (event.key !== Qt.Key_Escape && control.keyboardFocus)
                control.editingFinished()
            else
                control.focus = false
            event.accepted = true
        }
    }

    // Out of sight, out of the accessibility tree.
    Accessible.ignored: !visible

    FocusMark { shown: control.keyboardFocus }

    PlaceholderText {
        id: placeholder
        x: control.leftPadding
        y: control.topPadding
        width: control.activeFocus ? 10 : control.width - (control.leftPadding + control.rightPadding)
        height: control.height - (control.topPadding + control.bottomPadding)

        text: control.placeholderText
        font.family: control.font.family
        font.pixelSize: control.activeFocus ? Theme.textStyle.smallestSize : Theme.textStyle.normalSize
        color: control.placeholderTextColor
        verticalAlignment: control.verticalAlignment
        visible: !control.length && !control.preeditText
                 && (!control.activeFocus || control.horizontalAlignment !== Qt.AlignHCenter)
        elide: Text.ElideRight
        renderType: control.renderType
    }

    background: Rectangle {
        implicitWidth: 200 * Theme.widthScale
        implicitHeight: 40 * Theme.heightScale
        radius: 5 * Theme.widthScale
        color: control.cursorVisible ? Theme.palette.background : "transparent"
        border.width: control.cursorVisible ? 1 : 0
        border.color: Theme.palette.borderHoveredControlColor

        Rectangle {
            objectName: "underline"
            visible: !control.cursorVisible
            anchors.left: parent.left
            anchors.right: parent.right
            anchors.bottom: parent.bottom
            anchors.bottomMargin: 2
            height: 1
            color: Qt.darker(control.textColor, 2)
        }
    }
}
