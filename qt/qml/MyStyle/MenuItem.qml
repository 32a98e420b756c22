import QtQuick
import QtQuick.Templates as T
import QtQuick.Controls.impl
import Theme

T.MenuItem {
    id: control

    readonly property color contentColor: !enabled ? Theme.palette.blockedTextColor
                                          : (down || highlighted) ? Theme.palette.hoveredTextColor
                                                                  : Theme.palette.idleTextColor

    implicitWidth: Math.max(implicitBackgroundWidth + leftInset + rightInset,
                            implicitContentWidth + leftPadding + rightPadding)
    implicitHeight: visible ? Math.max(implicitBackgroundHeight + topInset + bottomInset,
                                       implicitContentHeight + topPadding + bottomPadding,
                                       implicitIndicatorHeight + topPadding + bottomPadding) : 0

    padding: 6 * Theme.widthScale
    spacing: 6 * Theme.widthScale
    font.family: Theme.applicationFont.name
    font.pixelSize: Theme.textStyle.normalSize
    icon.width: Theme.textStyle.normalSize
    icon.height: Theme.textStyle.normalSize
    icon.color: contentColor

    contentItem: IconLabel {
        readonly property real arrowPadding: control.subMenu && control.arrow ? control.arrow.width + control.spacing : 0
        readonly property real indicatorPadding: control.checkable && control.indicator ? control.indicator.width + control.spacing : 0
        leftPadding: !control.mirrored ? indicatorPadding : arrowPadding
        rightPadding: control.mirrored ? indicatorPadding : arrowPadding

        spacing: control.spacing
        mirrored: control.mirrored
        display: control.display
        alignment: Qt.AlignLeft
        icon: control.icon
        text: control.text
        font: control.font
        color: control.contentColor
    }

    indicator: CheckIndicator {
        x: control.mirrored ? control.width - width - control.rightPadding : control.leftPadding
        y: control.topPadding + (control.availableHeight - height) / 2
        visible: control.checkable
        control: control
    }

    arrow: ColorImage {
        x: control.mirrored ? control.padding : control.width - width - control.padding
        y: control.topPadding + (control.availableHeight - height) / 2
        width: 20 * Theme.heightScale
        height: width
        visible: control.subMenu
        rotation: control.mirrored ? 90 : -90
        color: control.contentColor
        fillMode: Image.PreserveAspectFit
        source: "images/arrow_down.svg"
    }

    // A screen reader's press picks the entry as a click does.
    Accessible.onPressAction: {
        if (enabled)
            triggered()
    }

    background: Rectangle {
        implicitWidth: 200 * Theme.widthScale
        implicitHeight: 20 * Theme.heightScale
        x: 1
        y: 1
        width: control.width - 2
        height: control.height - 2
        color: Theme.palette.borderHoveredControlColor
        visible: control.down || control.highlighted
    }
}
