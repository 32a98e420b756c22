import QtQuick
import QtQuick.Controls
import QtQuick.Layouts
import MyStyle
import Theme

// An icon button of the toolbar. Its tip is its name for screen readers;
// its keys press it from anywhere in the window while it is enabled, and
// the first of them is shown in the tip. A key also gives the button the
// focus, so Tab goes on from there (into the view a view's key showed).
Button {
    id: barButton
    property string tip: ""
    property string help: ""
    property var keys: []
    // Before a key presses the button (a view's key brings the home page to the front).
    signal keyUsed()
    readonly property string keyText: keys.length > 0 ? keys[0] : ""
    Layout.preferredWidth: 40
    Layout.preferredHeight: 40
    hoverEnabled: true
    icon.width: 20 * Theme.widthScale
    icon.height: 20 * Theme.heightScale
    Accessible.name: tip
    Accessible.description: keyText !== "" ? qsTr("%1 (%2)").arg(help).arg(keyText) : help
    HoverTip { text: barButton.keyText !== "" ? qsTr("%1 (%2)").arg(barButton.tip).arg(barButton.keyText) : barButton.tip }
    Shortcut {
        sequences: barButton.keys
        enabled: barButton.keys.length > 0 && barButton.enabled
        onActivated: {
            barButton.keyUsed()
            barButton.forceActiveFocus(Qt.ShortcutFocusReason)
            barButton.clicked()
        }
    }
}
