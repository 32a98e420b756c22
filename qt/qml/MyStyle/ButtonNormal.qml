import QtQuick

CaptionButton {
    signal normalize()

    label: qsTr("Restore")
    glyph: "normal"
    onClicked: normalize()
}
