import QtQuick
import QtQuick.Controls
import Theme

// Linear/logarithmic Y toggle placed over a chart's top-right corner.
Button {
    id: button

    // The key that presses it, shown in the tip ("" for none).
    property string keyText: ""
    readonly property string tip: checked ? qsTr("Linear Y") : qsTr("Log Y")

    z: 2
    width: 40
    height: 40
    checkable: true
    checked: false
    hoverEnabled: true
    icon.source: "Images/log-y.svg"
    icon.width: 20 * Theme.widthScale
    icon.height: 20 * Theme.heightScale

    Accessible.name: qsTr("Logarithmic Y axis")
    Accessible.description: keyText !== "" ? qsTr("%1 (%2)").arg(qsTr("Counts on a logarithmic scale")).arg(keyText)
                                           : qsTr("Counts on a logarithmic scale")

    HoverTip {
        text: button.keyText !== "" ? qsTr("%1 (%2)").arg(button.tip).arg(button.keyText) : button.tip
    }
}
