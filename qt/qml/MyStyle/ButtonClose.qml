import QtQuick

CaptionButton {
    signal close()

    label: qsTr("Close")
    glyph: "close"
    fillColor: "#3F0808"
    hoveredFillColor: "#B10A0A"
    pressedFillColor: "#8C0808"
    onClicked: {
        console.debug("clicked button close")
        close()
    }
}
