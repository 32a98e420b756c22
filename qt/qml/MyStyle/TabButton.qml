import QtQuick
import QtQuick.Templates as T
import QtQuick.Controls.impl
import Theme

T.TabButton {
    id: control

    readonly property color contentColor: !enabled ? Theme.palette.blockedTextColor
                                          : (down || checked || hovered) ? Theme.palette.hoveredTextColor
                                                                         : Theme.palette.idleTextColor

    implicitWidth: Math.max(implicitBackgroundWidth + leftInset + rightInset,
                            implicitContentWidth + leftPadding + rightPadding)
    implicitHeight: Math.max(implicitBackgroundHeight + topInset + bottomInset,
                             implicitContentHeight + topPadding + bottomPadding)

    padding: 6
    spacing: 6
    icon.width: 24
    icon.height: 24
    icon.color: contentColor
    font.family: Theme.applicationFont.name
    font.pixelSize: Theme.textStyle.normalSize

    // Named by its text unless told otherwise; out of sight, out of the
    // accessibility tree.
    Accessible.name: text
    Accessible.ignored: !visible

    FocusMark { shown: control.visualFocus }

    contentItem: IconLabel {
        spacing: control.spacing
        mirrored: control.mirrored
        display: control.display
        icon: control.icon
        text: control.text
        font: control.font
        color: control.contentColor
    }

    background: Item {
        implicitHeight: 40
        Rectangle {
            width: parent.width - 2
            height: parent.height
            color: "transparent"
            radius: 5
            border.width: 1
            border.color: (control.checked || control.hovered) && control.enabled
                          ? Theme.palette.borderHoveredControlColor : Theme.palette.borderIdleControlColor
        }
    }
}
