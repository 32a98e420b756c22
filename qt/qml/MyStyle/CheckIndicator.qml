import QtQuick
import QtQuick.Templates as T
import Theme

// Check box square, also used by checkable menu items.
Rectangle {
    id: indicator

    property T.AbstractButton control
    readonly property bool lit: control ? control.enabled && control.hovered : false

    implicitWidth: Math.round(20 * Theme.widthScale)
    implicitHeight: Math.round(20 * Theme.heightScale)
    radius: 4
    color: Theme.palette.backgroundControlColor
    border.width: 1
    border.color: !control || !control.enabled ? Theme.palette.borderDisableControlColor
                  : control.hovered ? Theme.palette.borderHoveredControlColor
                                    : Theme.palette.borderIdleControlColor

    Rectangle {
        objectName: "checkMark"
        anchors.centerIn: parent
        width: indicator.lit ? indicator.width - 4 : indicator.height - 6
        height: width
        radius: 2
        color: indicator.control && indicator.control.enabled ? Theme.palette.borderHoveredControlColor
                                                              : Theme.palette.borderIdleControlColor
        visible: indicator.control ? indicator.control.checked : false
    }
}
