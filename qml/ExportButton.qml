import QtQuick
import QtQuick.Controls
import Theme

// Export button placed over a chart's top-right corner, beside the log-Y button.
Button {
    id: button

    property string tip: qsTr("Export…")

    z: 2
    width: 40
    height: 40
    hoverEnabled: true
    icon.source: "Images/export.svg"
    icon.width: 20 * Theme.widthScale
    icon.height: 20 * Theme.heightScale

    HoverTip {
        text: button.tip
    }
}
