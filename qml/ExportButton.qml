import QtQuick
import QtQuick.Controls
import Theme

// Export button placed over a chart's top-right corner, beside the log-Y button.
Button {
    id: button

    property string tip: qsTr("Export…")
    // The key that presses it, shown in the tip ("" for none).
    property string keyText: ""

    z: 2
    width: 40
    height: 40
    hoverEnabled: true
    icon.source: "Images/export.svg"
    icon.width: 20 * Theme.widthScale
    icon.height: 20 * Theme.heightScale

    Accessible.name: tip
    Accessible.description: keyText !== "" ? qsTr("%1 (%2)").arg(qsTr("Save what the chart shows")).arg(keyText)
                                           : qsTr("Save what the chart shows")

    HoverTip {
        text: button.keyText !== "" ? qsTr("%1 (%2)").arg(button.tip).arg(button.keyText) : button.tip
    }
}
