import QtQuick
import QtQuick.Templates as T
import QtQuick.Controls.impl
import Theme

// A button without a frame until it is hovered or pressed (the file
// dialog's up button, tool bars).
T.ToolButton {
    id: control

    readonly property color contentColor: !enabled ? Theme.palette.blockedTextColor
                                          : hovered ? Theme.palette.hoveredTextColor
                                                    : Theme.palette.idleTextColor

    implicitWidth: Math.max(implicitBackgroundWidth + leftInset + rightInset,
                            implicitContentWidth + leftPadding + rightPadding)
    implicitHeight: Math.max(implicitBackgroundHeight + topInset + bottomInset,
                             implicitContentHeight + topPadding + bottomPadding)

    padding: 6
    spacing: 5
    flat: true
    font.family: Theme.applicationFont.name
    font.pixelSize: Theme.textStyle.normalSize
    icon.width: 20
    icon.height: 20
    icon.color: contentColor

    contentItem: IconLabel {
        spacing: control.spacing
        mirrored: control.mirrored
        display: control.display
        icon: control.icon
        text: control.text
        font: control.font
        color: control.contentColor
    }

    background: Rectangle {
        implicitWidth: 32
        implicitHeight: 32
        radius: 5
        visible: !control.flat || control.hovered || control.down || control.checked || control.visualFocus
        border.width: 1
        border.color: control.down ? Theme.palette.borderPressedControlColor
                      : (control.hovered || control.visualFocus) ? Theme.palette.borderHoveredControlColor
                                                                 : Theme.palette.borderIdleControlColor
        color: Theme.palette.backgroundHoveredControlColor
    }
}
