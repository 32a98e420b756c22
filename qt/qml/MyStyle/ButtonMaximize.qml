import QtQuick

CaptionButton {
    signal maximize()

    label: qsTr("Maximize")
    glyph: "maximize"
    onClicked: maximize()
}
