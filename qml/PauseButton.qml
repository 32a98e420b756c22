import QtQuick
import QtQuick.Controls
import Theme

// Pause toggle placed over a chart's top-right corner, beside the export button.
Button {
    id: button

    // The key that presses it, shown in the tip ("" for none).
    property string keyText: ""
    readonly property string tip: checked ? qsTr("Resume") : qsTr("Pause")

    z: 2
    width: 40
    height: 40
    checkable: true
    checked: false
    hoverEnabled: true
    icon.source: "Images/pause.svg"
    icon.width: 20 * Theme.widthScale
    icon.height: 20 * Theme.heightScale

    Accessible.name: qsTr("Pause")
    Accessible.description: keyText !== "" ? qsTr("%1 (%2)").arg(qsTr("Hold the plot still; readings are still taken")).arg(keyText)
                                           : qsTr("Hold the plot still; readings are still taken")

    HoverTip {
        text: button.keyText !== "" ? qsTr("%1 (%2)").arg(button.tip).arg(button.keyText) : button.tip
    }
}
