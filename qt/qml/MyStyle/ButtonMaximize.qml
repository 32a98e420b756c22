import QtQuick

CaptionButton {
    signal maximize()

    glyph: "maximize"
    onClicked: maximize()
}
