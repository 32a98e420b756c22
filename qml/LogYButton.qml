import QtQuick
import QtQuick.Controls
import Theme

// Linear/logarithmic Y toggle placed over a chart's top-right corner.
Button {
    id: button

    z: 2
    width: 40
    height: 40
    checkable: true
    checked: false
    hoverEnabled: true
    icon.source: "Images/log-y.svg"
    icon.width: 20 * Theme.widthScale
    icon.height: 20 * Theme.heightScale

    HoverTip {
        text: button.checked ? qsTr("Linear Y") : qsTr("Log Y")
    }
}
