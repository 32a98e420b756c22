import QtQuick
import QtQuick.Templates as T
import Theme

T.ToolSeparator {
    id: control

    implicitWidth: Math.max(implicitBackgroundWidth + leftInset + rightInset,
                            implicitContentWidth + leftPadding + rightPadding)
    implicitHeight: Math.max(implicitBackgroundHeight + topInset + bottomInset,
                             implicitContentHeight + topPadding + bottomPadding)

    padding: vertical ? 6 : 2
    verticalPadding: vertical ? 2 : 6

    contentItem: Rectangle {
        implicitWidth: control.vertical ? 1 : 30 * Theme.widthScale
        implicitHeight: control.vertical ? 30 * Theme.widthScale : 1
        color: Theme.palette.idleTextColor
    }

    // Out of sight, out of the accessibility tree.
    Accessible.ignored: !visible
}
