import QtQuick
import QtQuick.Templates as T
import Theme

T.SpinBox {
    id: control

    // The step buttons open up only while the box has focus.
    property real indicatorSize: activeFocus ? 30 * Theme.widthScale : 5 * Theme.widthScale
    Behavior on indicatorSize { NumberAnimation { duration: 200 } }

    implicitWidth: Math.max(implicitBackgroundWidth + leftInset + rightInset,
                            contentItem.implicitWidth + leftPadding + rightPadding)
    implicitHeight: Math.max(implicitContentHeight + topPadding + bottomPadding,
                             implicitBackgroundHeight,
                             up.implicitIndicatorHeight,
                             down.implicitIndicatorHeight)

    padding: 6 * Theme.widthScale
    leftPadding: padding + (down.indicator && down.indicator.visible ? down.indicator.width : 0)
    rightPadding: padding + (up.indicator && up.indicator.visible ? up.indicator.width : 0)

    font.family: Theme.applicationFont.name
    font.pixelSize: Theme.textStyle.normalSize

    // Out of sight, out of the accessibility tree. An editable box is its
    // text, which takes the focus: the screen reader is told of that.
    Accessible.ignored: !visible || editable

    FocusMark { shown: control.visualFocus }

    validator: IntValidator {
        locale: control.locale.name
        bottom: Math.min(control.from, control.to)
        top: Math.max(control.from, control.to)
    }

    contentItem: TextInput {
        z: 2
        text: control.displayText
        font: control.font
        color: Theme.palette.idleTextColor
        selectionColor: Theme.palette.borderIdleControlColor
        selectedTextColor: Theme.palette.hoveredTextColor
        horizontalAlignment: Qt.AlignHCenter
        verticalAlignment: Qt.AlignVCenter
        readOnly: !control.editable
        validator: control.validator
        inputMethodHints: control.inputMethodHints
        cursorDelegate: TextCursor {}
        // A spin button with the box's name, the text shown and the value.
        readonly property int accessibleValue: control.value
        readonly property int accessibleMinimum: control.from
        readonly property int accessibleMaximum: control.to
        Accessible.role: Accessible.SpinBox
        Accessible.name: control.Accessible.name
        Accessible.description: control.Accessible.description
        Accessible.ignored: !control.visible || !control.editable

        // Enter reaches the box first (it takes the typed value), then the
        // focus goes, unless it came from the keyboard: Tab goes on from here.
        Keys.onPressed: (event) => {
            if (event.key === Qt.Key_Escape) {
                control.focus = false
                event.accepted = true
            } else if ((event.key === Qt.Key_Return || event.key === Qt.Key_Enter) && !control.visualFocus) {
                Qt.callLater(() => { control.focus = false })
            }
        }
    }

    component StepIndicator: Rectangle {
        id: stepIndicator
        property T.SpinBox box
        property real size: 0
        property bool pressed: false
        property bool plus: false

        implicitWidth: size
        implicitHeight: size
        y: (box.height - height) / 2
        visible: box.activeFocus
        radius: 5
        color: pressed ? Theme.palette.backgroundHoveredControlColor : Theme.palette.backgroundControlColor
        border.width: 1
        border.color: !box.enabled ? Theme.palette.borderDisableControlColor
                      : pressed ? Theme.palette.borderPressedControlColor : Theme.palette.borderIdleControlColor

        Rectangle {
            anchors.centerIn: parent
            width: stepIndicator.width / 3
            height: 2
            color: stepIndicator.box.enabled ? Theme.palette.idleTextColor : Theme.palette.blockedTextColor
        }
        Rectangle {
            anchors.centerIn: parent
            width: 2
            height: stepIndicator.width / 3
            visible: stepIndicator.plus
            color: stepIndicator.box.enabled ? Theme.palette.idleTextColor : Theme.palette.blockedTextColor
        }
    }

    up.indicator: StepIndicator {
        x: control.mirrored ? 0 : control.width - width
        box: control
        size: control.indicatorSize
        plus: true
        pressed: control.up.pressed
    }

    down.indicator: StepIndicator {
        x: control.mirrored ? control.width - width : 0
        box: control
        size: control.indicatorSize
        pressed: control.down.pressed
    }

    background: Rectangle {
        implicitWidth: 140 * Theme.widthScale
        implicitHeight: 40 * Theme.heightScale
        color: Theme.palette.backgroundControlColor
    }
}
