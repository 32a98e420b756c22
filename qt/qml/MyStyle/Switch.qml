import QtQuick
import QtQuick.Templates as T
import Theme

// Takes the font of its surroundings.
T.Switch {
    id: control

    implicitWidth: Math.max(implicitBackgroundWidth + leftInset + rightInset,
                            implicitContentWidth + leftPadding + rightPadding)
    implicitHeight: Math.max(implicitBackgroundHeight + topInset + bottomInset,
                             implicitContentHeight + topPadding + bottomPadding,
                             implicitIndicatorHeight + topPadding + bottomPadding)

    padding: 5 * Theme.widthScale
    spacing: 8 * Theme.widthScale

    // Named by its text unless told otherwise; out of sight, out of the
    // accessibility tree.
    Accessible.name: text
    Accessible.ignored: !visible

    FocusMark { shown: control.visualFocus }

    indicator: SwitchIndicator {
        x: control.text ? (control.mirrored ? control.width - width - control.rightPadding : control.leftPadding)
                        : control.leftPadding + (control.availableWidth - width) / 2
        y: control.topPadding + (control.availableHeight - height) / 2
        control: control
    }

    contentItem: Text {
        leftPadding: control.indicator && !control.mirrored ? control.indicator.width + control.spacing : 0
        rightPadding: control.indicator && control.mirrored ? control.indicator.width + control.spacing : 0
        text: control.text
        font: control.font
        color: Theme.palette.idleTextColor
        opacity: control.enabled ? 1 : 0.2
        elide: Text.ElideRight
        verticalAlignment: Text.AlignVCenter
    }
}
