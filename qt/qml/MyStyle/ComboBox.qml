import QtQuick
import QtQuick.Templates as T
import QtQuick.Controls.impl
import Theme

T.ComboBox {
    id: control

    readonly property color frameColor: !enabled ? Theme.palette.borderDisableControlColor
                                        : activeFocus ? Theme.palette.borderHoveredControlColor
                                                      : Theme.palette.borderIdleControlColor
    readonly property bool opened: down || (popup && popup.visible)

    implicitWidth: Math.max(implicitBackgroundWidth + leftInset + rightInset,
                            implicitContentWidth + leftPadding + rightPadding)
    implicitHeight: Math.max(implicitBackgroundHeight + topInset + bottomInset,
                             implicitContentHeight + topPadding + bottomPadding,
                             implicitIndicatorHeight + topPadding + bottomPadding)

    leftPadding: padding + (!mirrored || !indicator || !indicator.visible ? 0 : indicator.width + spacing)
    rightPadding: padding + (mirrored || !indicator || !indicator.visible ? 0 : indicator.width + spacing)

    font.family: Theme.applicationFont.name
    font.pixelSize: Theme.textStyle.normalSize

    // Out of sight, out of the accessibility tree.
    Accessible.ignored: !visible

    FocusMark { shown: control.visualFocus }

    delegate: ItemDelegate {
        id: entry
        readonly property bool first: index === 0
        readonly property bool last: index === control.count - 1

        width: ListView.view ? ListView.view.width : control.width
        height: control.height
        text: control.textRole ? (Array.isArray(control.model) ? modelData[control.textRole] : model[control.textRole]) : modelData
        font.family: control.font.family
        font.pixelSize: control.font.pixelSize
        font.weight: control.currentIndex === index ? Font.ExtraBold : Font.Normal
        highlighted: control.highlightedIndex === index
        hoverEnabled: control.hoverEnabled

        // Rounded top corners on the first entry, bottom corners on the last.
        background: Item {
            visible: entry.down || entry.highlighted
            Rectangle {
                anchors.fill: parent
                radius: entry.first || entry.last ? 4 : 0
                color: Theme.palette.borderPressedControlColor
            }
            Rectangle {
                visible: entry.first !== entry.last
                width: parent.width
                height: parent.height / 2
                y: entry.first ? parent.height / 2 : 0
                color: Theme.palette.borderPressedControlColor
            }
        }
    }

    indicator: Item {
        x: control.mirrored ? 0 : control.width - width
        y: 0
        width: 30 * Theme.widthScale
        height: control.height

        Rectangle {
            x: control.mirrored ? parent.width - 1 : 0
            width: 1
            height: parent.height
            color: control.frameColor
        }
        ColorImage {
            anchors.centerIn: parent
            source: "images/arrow_down.svg"
            scale: Theme.widthScale
            color: control.enabled ? Theme.palette.hoveredTextColor : Theme.palette.blockedTextColor
            rotation: control.opened ? 180 : 0
            Behavior on rotation { NumberAnimation { duration: 200 } }
        }
    }

    contentItem: T.TextField {
        leftPadding: !control.mirrored ? 12 : control.editable && activeFocus ? 3 : 1
        rightPadding: control.mirrored ? 12 : control.editable && activeFocus ? 3 : 1
        topPadding: 6 - control.padding
        bottomPadding: 6 - control.padding

        text: control.editable ? control.editText : control.displayText

        enabled: control.editable
        autoScroll: control.editable
        readOnly: control.down
        inputMethodHints: control.inputMethodHints
        validator: control.validator
        selectByMouse: control.selectTextByMouse

        font: control.font
        color: !control.enabled ? Theme.palette.blockedTextColor
               : control.acceptableInput ? Theme.palette.idleTextColor : Theme.palette.linkTextColor
        selectionColor: Theme.palette.borderIdleControlColor
        selectedTextColor: Theme.palette.hoveredTextColor
        verticalAlignment: Text.AlignVCenter
        cursorDelegate: TextCursor {}
        // Only an editable box has a field of its own; it goes by the box's name.
        Accessible.ignored: !control.editable || !visible
        Accessible.name: control.Accessible.name
    }

    background: Rectangle {
        implicitWidth: 140
        implicitHeight: 40
        radius: 5
        border.width: 1
        border.color: control.frameColor
        color: !control.enabled ? Theme.palette.backgroundControlColor
               : control.opened ? Theme.palette.backgroundHoveredControlColor : "transparent"
    }

    popup: T.Popup {
        y: control.height + 2
        width: control.width
        height: Math.min(contentItem.implicitHeight + topPadding + bottomPadding,
                         control.Window.height - topMargin - bottomMargin)
        topMargin: 6
        bottomMargin: 6
        padding: 1

        contentItem: ListView {
            clip: true
            implicitHeight: contentHeight
            model: control.delegateModel
            currentIndex: control.highlightedIndex
            highlightMoveDuration: 0

            T.ScrollIndicator.vertical: ScrollIndicator {}
        }

        background: Rectangle {
            color: Theme.palette.backgroundHoveredControlColor
            border.width: 1
            border.color: Theme.palette.borderHoveredControlColor
            radius: 5
        }
    }
}
