import QtQuick
import QtQuick.Controls
import QtQuick.Layouts
import Theme
import "ChartMath.js" as ChartMath

// Numeric field: commits on Enter or focus loss, clamps unless the bounds are equal.
TextField {
    id: field

    property real min_value: 0
    property real max_value: 0
    property real value: 0
    property int decimals: 0

    function formattedValue() {
        return ChartMath.formatFixed(value, decimals)
    }

    function commit() {
        value = ChartMath.commitValue(text, value, min_value, max_value)
        text = formattedValue()
        focus = false
    }

    implicitWidth: 40
    Layout.preferredWidth: 40
    Layout.fillWidth: true
    horizontalAlignment: TextInput.AlignHCenter
    hoverEnabled: true
    validator: RegularExpressionValidator {
        regularExpression: /^-?\d{1,}(?:[,.]\d*)?(?:[eE][+-]?\d+)?$/
    }

    Component.onCompleted: text = formattedValue()
    onValueChanged: {
        if (!activeFocus)
            text = formattedValue()
    }
    // Focus loss is the one commit point: Enter and Escape drop the focus too.
    onActiveFocusChanged: {
        if (!activeFocus)
            commit()
    }

    background: Rectangle {
        color: field.hovered ? Theme.palette.backgroundHoveredControlColor : "transparent"
        border.width: 1
        border.color: field.activeFocus ? Theme.palette.borderHoveredControlColor : "transparent"
        radius: 5 * Theme.widthScale
    }
}
