import QtQuick

CaptionButton {
    signal normalize()

    glyph: "normal"
    onClicked: normalize()
}
