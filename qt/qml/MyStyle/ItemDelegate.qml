import QtQuick
import QtQuick.Templates as T
import QtQuick.Controls.impl
import Theme

// Takes the font of its surroundings (combo box entries get the box's font).
T.ItemDelegate {
    id: control

    implicitWidth: Math.max(implicitBackgroundWidth + leftInset + rightInset,
                            implicitContentWidth + leftPadding + rightPadding)
    implicitHeight: Math.max(implicitBackgroundHeight + topInset + bottomInset,
                             implicitContentHeight + topPadding + bottomPadding,
                             implicitIndicatorHeight + topPadding + bottomPadding)

    padding: 12
    spacing: 8
    icon.width: 24 * Theme.widthScale
    icon.height: 24 * Theme.heightScale
    icon.color: Theme.palette.hoveredTextColor

    contentItem: IconLabel {
        spacing: control.spacing
        mirrored: control.mirrored
        display: control.display
        alignment: control.display === IconLabel.IconOnly || control.display === IconLabel.TextUnderIcon
                   ? Qt.AlignCenter : Qt.AlignLeft
        icon: control.icon
        text: control.text
        font: control.font
        color: control.highlighted ? Theme.palette.hoveredTextColor : Theme.palette.idleTextColor
    }

    background: Rectangle {
        implicitWidth: 100 * Theme.widthScale
        implicitHeight: 40 * Theme.heightScale
        visible: control.down || control.highlighted || control.visualFocus
        color: Theme.palette.borderPressedControlColor
        border.width: 1
        border.color: Theme.palette.backgroundHoveredControlColor
    }
}
