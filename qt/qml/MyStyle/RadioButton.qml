import QtQuick
import QtQuick.Templates as T
import Theme

T.RadioButton {
    id: control

    implicitWidth: Math.max(implicitBackgroundWidth + leftInset + rightInset,
                            implicitContentWidth + leftPadding + rightPadding)
    implicitHeight: Math.max(implicitBackgroundHeight + topInset + bottomInset,
                             implicitContentHeight + topPadding + bottomPadding,
                             implicitIndicatorHeight + topPadding + bottomPadding)

    hoverEnabled: true
    padding: 4
    spacing: 5
    font.family: Theme.applicationFont.name
    font.pixelSize: Theme.textStyle.normalSize

    // Named by its text unless told otherwise; out of sight, out of the
    // accessibility tree.
    Accessible.name: text
    Accessible.ignored: !visible

    FocusMark { shown: control.visualFocus }

    indicator: Rectangle {
        implicitWidth: 20
        implicitHeight: 20
        x: control.text ? (control.mirrored ? control.width - width - control.rightPadding : control.leftPadding)
                        : control.leftPadding + (control.availableWidth - width) / 2
        y: control.topPadding + (control.availableHeight - height) / 2
        radius: width / 2
        color: Theme.palette.backgroundControlColor
        border.width: 1
        border.color: !control.enabled ? Theme.palette.borderDisableControlColor
                      : control.hovered ? Theme.palette.borderHoveredControlColor
                                        : Theme.palette.borderIdleControlColor

        Rectangle {
            objectName: "dot"
            anchors.centerIn: parent
            width: control.enabled && control.hovered ? 16 : 14
            height: width
            radius: width / 2
            color: control.enabled ? Theme.palette.borderHoveredControlColor : Theme.palette.borderIdleControlColor
            visible: control.checked
        }
    }

    contentItem: Text {
        leftPadding: control.indicator && !control.mirrored ? control.indicator.width + control.spacing : 0
        rightPadding: control.indicator && control.mirrored ? control.indicator.width + control.spacing : 0
        text: control.text
        font: control.font
        color: !control.enabled ? Theme.palette.blockedTextColor
               : control.hovered ? Theme.palette.hoveredTextColor : Theme.palette.idleTextColor
        elide: Text.ElideRight
        verticalAlignment: Text.AlignVCenter
    }
}
