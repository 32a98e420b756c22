import QtQuick
import QtQuick.Templates as T
import Theme

Rectangle {
    id: indicator

    property T.Switch control
    readonly property bool isEnabled: control ? control.enabled : true
    readonly property bool isPressed: control ? control.pressed : false
    readonly property bool isChecked: control ? control.checked : false
    readonly property bool isHovered: control ? control.hovered : false

    implicitWidth: 50 * Theme.widthScale
    implicitHeight: 24 * Theme.heightScale
    radius: 10 * Theme.widthScale
    border.width: 2
    color: !isEnabled ? "transparent"
           : isPressed ? Theme.palette.borderHoveredControlColor
           : isChecked ? Theme.palette.borderPressedControlColor : "transparent"
    border.color: !isEnabled ? Theme.palette.borderDisableControlColor
                  : (isChecked && !isPressed) ? Theme.palette.borderIdleControlColor
                  : (isHovered && !isChecked && !isPressed) ? Theme.palette.borderHoveredControlColor
                  : Theme.palette.borderIdleControlColor

    Rectangle {
        objectName: "knob"
        readonly property real edge: 5 * Theme.widthScale
        width: indicator.height - 10 * Theme.widthScale
        height: width
        radius: indicator.radius - 5 * Theme.widthScale
        y: (indicator.height - height) / 2
        x: Math.max(edge, Math.min(indicator.width - width - edge,
                                   (indicator.control ? indicator.control.visualPosition : 0) * indicator.width - width / 2))
        color: !indicator.isEnabled ? Theme.palette.borderDisableControlColor
               : (indicator.isPressed || indicator.isChecked || indicator.isHovered) ? Theme.palette.borderHoveredControlColor
               : Theme.palette.borderIdleControlColor

        Behavior on x {
            enabled: !indicator.isPressed
            SmoothedAnimation { velocity: 200 }
        }
    }
}
