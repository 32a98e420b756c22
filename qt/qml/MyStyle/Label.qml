import QtQuick
import QtQuick.Templates as T
import Theme

T.Label {
    color: enabled ? Theme.palette.idleTextColor : Theme.palette.blockedTextColor
    linkColor: Theme.palette.linkTextColor
    font.family: Theme.applicationFont.name
    font.pixelSize: Theme.textStyle.normalSize
    elide: Text.ElideRight

    // Out of sight, out of the accessibility tree.
    Accessible.ignored: !visible
}
