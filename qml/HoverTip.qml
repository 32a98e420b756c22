import QtQuick
import QtQuick.Controls
import QtQuick.Templates as T

// Tooltip that opens only after the pointer has rested on its parent control
// (any Control: its hovered property is read), or after the control has held
// the keyboard's focus as long.
ToolTip {
    id: tip

    property int showDelay: 1000

    visible: false

    function follow() {
        const control = tip.parent as T.Control
        if (control.hovered || control.visualFocus) {
            if (!tip.visible)
                delayTimer.restart()
        } else {
            delayTimer.stop()
            tip.visible = false
        }
    }

    Timer {
        id: delayTimer
        interval: tip.showDelay
        onTriggered: tip.visible = true
    }

    Connections {
        target: tip.parent
        ignoreUnknownSignals: true
        function onHoveredChanged() { tip.follow() }
        function onVisualFocusChanged() { tip.follow() }
    }
}
