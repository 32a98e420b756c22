import QtQuick
import Theme

// Said wherever a count is shown while no recent reading of this link backs it.
Text {
    objectName: "staleHint"
    text: qsTr("no reading")
    textFormat: Text.PlainText
    color: Theme.palette.linkTextColor
    font.family: Theme.applicationFont.name
    font.pixelSize: Theme.textStyle.smallestSize
}
