import QtQuick
import QtQuick.Templates as T
import Theme

T.ToolTip {
    id: control

    x: parent ? (parent.width - implicitWidth) / 2 : 0
    y: -implicitHeight - 3

    implicitWidth: Math.max(implicitBackgroundWidth + leftInset + rightInset,
                            contentWidth + leftPadding + rightPadding)
    implicitHeight: Math.max(implicitBackgroundHeight + topInset + bottomInset,
                             contentHeight + topPadding + bottomPadding)

    margins: 6
    topPadding: 6
    bottomPadding: 6
    leftPadding: 12
    rightPadding: 12

    font.family: Theme.applicationFont.name
    font.pixelSize: Theme.textStyle.smallSize

    closePolicy: T.Popup.CloseOnEscape | T.Popup.CloseOnPressOutsideParent | T.Popup.CloseOnReleaseOutsideParent

    enter: Transition {
        NumberAnimation { property: "opacity"; from: 0.0; to: 1.0; easing.type: Easing.OutQuad; duration: 500 }
    }
    exit: Transition {
        NumberAnimation { property: "opacity"; from: 1.0; to: 0.0; easing.type: Easing.InQuad; duration: 500 }
    }

    contentItem: Text {
        text: control.text
        font: control.font
        wrapMode: Text.Wrap
        color: Theme.palette.idleTextColor
    }

    background: Rectangle {
        color: Theme.palette.backgroundHoveredControlColor
        border.width: 1
        border.color: Theme.palette.borderHoveredControlColor
        radius: 5
    }
}
