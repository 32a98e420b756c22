import QtQuick
import QtQuick.Controls
import MyStyle
import Theme

// Row of channel entries; a click on an entry's box shows or hides its series.
// While the chart is paused, a last entry says so. From the keyboard each
// entry is a check box: Tab reaches it, Space or Enter switches it.
Rectangle {
    id: legend

    property var datamodel: null
    property bool paused: false
    // An entry holds the keyboard's focus.
    readonly property bool focusInside: entryScope.activeFocus
    property color backgroundcolor: Qt.lighter(Theme.palette.backgroundHoveredControlColor, 1.2)
    property color bordercolor: Theme.palette.borderIdleControlColor

    signal visibilityChanged()

    width: entries.implicitWidth + Math.round(20 * Theme.widthScale)
    height: entries.implicitHeight + Math.round(16 * Theme.heightScale)
    color: backgroundcolor
    border.width: 1
    border.color: bordercolor
    radius: 10 * Theme.widthScale
    // A handler, unlike a mouse area, still sees the pointer over the entries.
    opacity: hover.hovered || focusInside ? 1 : 0.6
    Accessible.role: Accessible.Grouping
    Accessible.name: qsTr("Legend")
    Accessible.ignored: !visible
    Behavior on opacity { NumberAnimation { duration: 200 } }

    HoverHandler { id: hover }

    // Box clicks write the model; the owner re-reads the visibility from it.
    Connections {
        target: legend.datamodel
        function onDataChanged() { legend.visibilityChanged() }
    }

    // A focus scope around the entries: it has the active focus while one of them has.
    FocusScope {
        id: entryScope
        anchors.centerIn: parent
        width: entries.implicitWidth
        height: entries.implicitHeight

        Row {
            id: entries
            spacing: 10 * Theme.widthScale

            Repeater {
                model: legend.datamodel

                Row {
                    id: entry
                    required property int index
                    required property string seriesName
                    required property string seriesColor
                    required property bool seriesVisible
                    required property var model
                    objectName: "legendEntry" + index
                    spacing: 4 * Theme.widthScale
                    activeFocusOnTab: true

                    function toggle() { entry.model.seriesVisible = !entry.seriesVisible }

                    Keys.onPressed: (event) => {
                        if (event.key === Qt.Key_Space || event.key === Qt.Key_Return || event.key === Qt.Key_Enter) {
                            entry.toggle()
                            event.accepted = true
                        }
                    }

                    Accessible.role: Accessible.CheckBox
                    Accessible.name: seriesName
                    Accessible.description: qsTr("Show %1 in the plot").arg(seriesName)
                    Accessible.checkable: true
                    Accessible.checked: seriesVisible
                    Accessible.ignored: !visible
                    Accessible.onToggleAction: entry.toggle()
                    Accessible.onPressAction: entry.toggle()

                    Rectangle {
                        id: box
                        objectName: "legendBox"
                        readonly property bool hovered: boxArea.containsMouse
                        anchors.verticalCenter: parent.verticalCenter
                        width: Math.round(16 * Theme.widthScale)
                        height: width
                        radius: 4
                        color: Theme.palette.backgroundControlColor
                        border.width: 1
                        border.color: hovered ? Theme.palette.borderHoveredControlColor : Theme.palette.borderIdleControlColor

                        Rectangle {
                            anchors.centerIn: parent
                            visible: entry.seriesVisible
                            width: parent.width - (box.hovered ? 4 : 6)
                            height: width
                            radius: 2
                            color: Theme.palette.borderHoveredControlColor
                        }

                        MouseArea {
                            id: boxArea
                            anchors.fill: parent
                            hoverEnabled: true
                            // The legend hears of the change through the model.
                            onClicked: entry.toggle()
                        }

                        // The style's focus mark, around the whole entry.
                        Rectangle {
                            objectName: "focusMark"
                            readonly property real gap: 3
                            visible: entry.activeFocus
                            x: -gap
                            y: (box.height - entry.height) / 2 - gap
                            width: entry.width + 2 * gap
                            height: entry.height + 2 * gap
                            radius: 4 + gap
                            color: "transparent"
                            border.width: 2
                            border.color: Theme.palette.borderHoveredControlColor
                        }
                    }

                    Item {
                        anchors.verticalCenter: parent.verticalCenter
                        width: 16 * Theme.widthScale
                        height: 10 * Theme.heightScale
                        Rectangle {
                            anchors.verticalCenter: parent.verticalCenter
                            width: parent.width
                            height: 2
                            color: entry.seriesVisible ? entry.seriesColor : Qt.darker(entry.seriesColor, 1.5)
                        }
                    }

                    Text {
                        anchors.verticalCenter: parent.verticalCenter
                        text: entry.seriesName
                        color: entry.seriesVisible ? Theme.palette.idleTextColor : Theme.palette.blockedTextColor
                        font.family: Theme.applicationFont.name
                        font.pixelSize: Theme.textStyle.smallestSize
                    }
                }
            }

            Row {
                objectName: "pausedEntry"
                visible: legend.paused
                spacing: 4 * Theme.widthScale
                anchors.verticalCenter: parent.verticalCenter

                // Two bars: the usual pause sign.
                Row {
                    anchors.verticalCenter: parent.verticalCenter
                    spacing: 3
                    Repeater {
                        model: 2
                        Rectangle {
                            width: 3
                            height: Math.round(12 * Theme.heightScale)
                            color: Theme.palette.borderHoveredControlColor
                        }
                    }
                }

                Text {
                    anchors.verticalCenter: parent.verticalCenter
                    text: qsTr("Paused")
                    Accessible.role: Accessible.StaticText
                    Accessible.name: text
                    Accessible.ignored: !visible
                    color: Theme.palette.hoveredTextColor
                    font.family: Theme.applicationFont.name
                    font.pixelSize: Theme.textStyle.smallestSize
                }
            }
        }
    }
}
