import QtQuick
import QtQuick.Controls
import Theme

// Pause toggle placed over a chart's top-right corner, beside the export button.
Button {
    id: button

    z: 2
    width: 40
    height: 40
    checkable: true
    checked: false
    hoverEnabled: true
    icon.source: "Images/pause.svg"
    icon.width: 20 * Theme.widthScale
    icon.height: 20 * Theme.heightScale

    HoverTip {
        text: button.checked ? qsTr("Resume") : qsTr("Pause")
    }
}
