import QtQuick
import QtQuick.Templates as T
import Theme

T.ScrollBar {
    id: control

    implicitWidth: Math.max(implicitBackgroundWidth + leftInset + rightInset,
                            implicitContentWidth + leftPadding + rightPadding)
    implicitHeight: Math.max(implicitBackgroundHeight + topInset + bottomInset,
                             implicitContentHeight + topPadding + bottomPadding)

    padding: 2
    visible: policy !== T.ScrollBar.AlwaysOff
    minimumSize: orientation === Qt.Horizontal ? height / width : width / height

    contentItem: Rectangle {
        implicitWidth: control.interactive ? 6 : 2
        implicitHeight: control.interactive ? 6 : 2
        radius: Math.min(width, height) / 2
        color: control.pressed ? Theme.palette.borderHoveredControlColor : Theme.palette.borderIdleControlColor
        opacity: 0.0

        states: State {
            name: "active"
            when: control.policy === T.ScrollBar.AlwaysOn || (control.active && control.size < 1.0)
            PropertyChanges { target: control.contentItem; opacity: 0.75 }
        }

        transitions: Transition {
            from: "active"
            SequentialAnimation {
                PauseAnimation { duration: 450 }
                NumberAnimation { target: control.contentItem; property: "opacity"; duration: 200; to: 0.0 }
            }
        }
    }

    background: Rectangle {
        radius: Math.min(width, height) / 2
        color: Theme.palette.backgroundControlColor
        border.width: 1
        border.color: Theme.palette.borderIdleControlColor
        opacity: control.contentItem.opacity
    }
}
