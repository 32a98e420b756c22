import QtQuick

CaptionButton {
    signal minimize()

    glyph: "minus"
    onClicked: minimize()
}
