import QtQuick
import QtQuick.Templates as T
import QtQuick.Layouts
import Theme

// Common look of the title bar's caption buttons.
T.AbstractButton {
    id: control

    property string glyph: ""
    // What a screen reader calls the button.
    property string label: ""
    property color fillColor: Theme.palette.backgroundControlColor
    property color hoveredFillColor: Theme.palette.backgroundHoveredControlColor
    property color pressedFillColor: Theme.palette.backgroundControlColor

    implicitWidth: 40 * Theme.widthScale
    implicitHeight: 30 * Theme.heightScale
    Layout.fillHeight: true
    Layout.preferredWidth: implicitWidth
    hoverEnabled: true
    focusPolicy: Qt.NoFocus
    Accessible.name: label
    Accessible.ignored: !visible
    Accessible.onPressAction: clicked()

    background: Rectangle {
        color: control.down ? control.pressedFillColor
               : control.hovered ? control.hoveredFillColor : control.fillColor
        border.width: 1
        border.color: control.down ? Theme.palette.borderPressedControlColor
                      : control.hovered ? Theme.palette.borderHoveredControlColor
                                        : Theme.palette.borderIdleControlColor
    }

    contentItem: Item {
        Image {
            anchors.centerIn: parent
            source: "images/" + control.glyph + (control.hovered ? "_hovered" : "") + ".svg"
            scale: Theme.widthScale
        }
    }
}
