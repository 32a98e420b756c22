import QtQuick
import QtQuick.Controls
import QtQuick.Templates as T

// Tooltip that opens only after the pointer has rested on its parent control
// (any Control: its hovered property is read).
ToolTip {
    id: tip

    property int showDelay: 1000

    visible: false

    Timer {
        id: delayTimer
        interval: tip.showDelay
        onTriggered: tip.visible = true
    }

    Connections {
        target: tip.parent
        ignoreUnknownSignals: true
        function onHoveredChanged() {
            if ((tip.parent as T.Control).hovered) {
                delayTimer.restart()
            } else {
                delayTimer.stop()
                tip.visible = false
            }
        }
    }
}
