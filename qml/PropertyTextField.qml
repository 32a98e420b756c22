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
    // Focus that came from the keyboard: Enter leaves it here.
    readonly property bool keyboardEdit: activeFocus && (focusReason === Qt.TabFocusReason
                                                         || focusReason === Qt.BacktabFocusReason
                                                         || focusReason === Qt.ShortcutFocusReason)

    function formattedValue() {
        return ChartMath.formatFixed(value, decimals)
    }

    // Takes the typed text as the value and shows it as the field formats it.
    function take() {
        value = ChartMath.commitValue(text, value, min_value, max_value)
        text = formattedValue()
    }

    function commit() {
        take()
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
    // Focus loss is the commit point: Enter and Escape drop the focus too. A
    // field reached from the keyboard keeps it on Enter and takes the value then.
    onActiveFocusChanged: {
        if (!activeFocus)
            commit()
    }
    onAccepted: {
        if (keyboardEdit)
            take()
    }

    background: Rectangle {
        color: field.hovered ? Theme.palette.backgroundHoveredControlColor : "transparent"
        border.width: 1
        border.color: field.activeFocus ? Theme.palette.borderHoveredControlColor : "transparent"
        radius: 5 * Theme.widthScale
    }
}
