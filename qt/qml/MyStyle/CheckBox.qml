import QtQuick
import QtQuick.Templates as T
import Theme

T.CheckBox {
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
        readonly property bool lit: control.enabled && control.hovered
        implicitWidth: Math.round(20 * Theme.widthScale)
        implicitHeight: implicitWidth
        x: control.text ? (control.mirrored ? control.width - width - control.rightPadding : control.leftPadding)
                        : control.leftPadding + (control.availableWidth - width) / 2
        y: control.topPadding + (control.availableHeight - height) / 2
        radius: 4
        color: Theme.palette.backgroundControlColor
        border.width: 1
        border.color: !control.enabled ? Theme.palette.borderDisableControlColor
                      : control.hovered ? Theme.palette.borderHoveredControlColor
                                        : Theme.palette.borderIdleControlColor

        Rectangle {
            objectName: "checkMark"
            anchors.centerIn: parent
            width: parent.width - (parent.lit ? 4 : 6)
            height: width
            radius: 2
            color: control.enabled ? Theme.palette.borderHoveredControlColor : Theme.palette.borderIdleControlColor
            visible: control.checkState !== Qt.Unchecked
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
