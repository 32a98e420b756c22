import QtQuick
import QtQuick.Templates as T
import QtQuick.Controls.impl
import Theme

T.Button {
    id: control

    property real scaleFactor: 1
    readonly property color contentColor: !enabled ? Theme.palette.blockedTextColor
                                          : hovered ? Theme.palette.hoveredTextColor
                                                    : Theme.palette.idleTextColor

    implicitWidth: Math.max(implicitBackgroundWidth + leftInset + rightInset,
                            implicitContentWidth + leftPadding + rightPadding)
    implicitHeight: Math.max(implicitBackgroundHeight + topInset + bottomInset,
                             implicitContentHeight + topPadding + bottomPadding)

    padding: 6
    leftPadding: 4
    rightPadding: 4
    spacing: 5 * Theme.widthScale

    font.family: Theme.applicationFont.name
    font.pixelSize: Theme.textStyle.normalSize * scaleFactor
    icon.width: 24 * scaleFactor
    icon.height: 24 * scaleFactor
    icon.color: contentColor

    // Named by its text unless told otherwise; out of sight, out of the
    // accessibility tree.
    Accessible.name: text
    Accessible.ignored: !visible
    // A screen reader's press is a click: Qt 6.4 itself would only flip
    // `checked` of a checkable button, without its click.
    Accessible.onPressAction: control.accessibleClick()
    Accessible.onToggleAction: control.accessibleClick()

    function accessibleClick() {
        if (!enabled)
            return
        // As a click: a checked button of an exclusive group stays checked.
        const exclusive = autoExclusive || (T.ButtonGroup.group !== null && T.ButtonGroup.group.exclusive)
        if (checkable && !(checked && exclusive))
            toggle()
        clicked()
    }

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

    background: Rectangle {
        implicitWidth: 100 * Theme.widthScale
        implicitHeight: 40 * Theme.heightScale
        visible: !control.flat
        radius: 5
        border.width: 1
        border.color: !control.enabled ? Theme.palette.borderDisableControlColor
                      : control.down ? Theme.palette.borderPressedControlColor
                      : (control.hovered || control.checked) ? Theme.palette.borderHoveredControlColor
                                                             : Theme.palette.borderIdleControlColor
        color: control.enabled && (control.hovered || control.checked)
               ? Theme.palette.backgroundHoveredControlColor : Theme.palette.backgroundControlColor
    }
}
