import QtQuick
import QtQuick.Controls
import Theme

// Counts/spectrum toggle placed over the sweep chart's top-right corner:
// checked, the plot shows counts per mV (the spectrum) instead of counts.
Button {
    id: button

    // The key that presses it, shown in the tip ("" for none).
    property string keyText: ""
    readonly property string tip: checked ? qsTr("Counts") : qsTr("Spectrum (counts per mV)")

    z: 2
    width: 40
    height: 40
    checkable: true
    checked: false
    hoverEnabled: true
    icon.source: "Images/spectrum.svg"
    icon.width: 20 * Theme.widthScale
    icon.height: 20 * Theme.heightScale

    Accessible.name: qsTr("Spectrum")
    Accessible.description: keyText !== "" ? qsTr("%1 (%2)").arg(qsTr("Counts per mV instead of counts")).arg(keyText)
                                           : qsTr("Counts per mV instead of counts")

    HoverTip {
        text: button.keyText !== "" ? qsTr("%1 (%2)").arg(button.tip).arg(button.keyText) : button.tip
    }
}
