import QtQuick

CaptionButton {
    signal minimize()

    label: qsTr("Minimize")
    glyph: "minus"
    onClicked: minimize()
}
