import QtQuick
import QtQuick as QQ
import QtQuick.Templates as T
import QtQuick.Layouts
import Theme

// Frameless window with its own title bar, caption buttons and resize grips.
T.ApplicationWindow {
    id: window

    property bool animationEnable: true
    property alias warning_icon: warningIcon
    property string warning_text: ""
    readonly property bool maximized: window.visibility === QQ.Window.Maximized
    readonly property real titleBarHeight: header ? header.height : 0

    signal versionClicked()
    signal warningClicked()

    function toggleMaximized() {
        if (window.maximized)
            window.showNormal()
        else
            window.showMaximized()
    }

    flags: Qt.Window | Qt.FramelessWindowHint
    color: Theme.palette.background
    title: qsTr("Application title")
    font.family: Theme.applicationFont.name

    background: Rectangle {
        color: Theme.palette.background
        border.width: 1
        border.color: Theme.palette.borderHoveredControlColor

        // No grips on the top edge: a press there belongs to the title bar.
        MouseArea {
            objectName: "gripLeft"
            x: 0; y: window.titleBarHeight
            width: 5; height: window.height - window.titleBarHeight - 10
            cursorShape: Qt.SizeHorCursor
            onPressed: window.startSystemResize(Qt.LeftEdge)
        }
        MouseArea {
            objectName: "gripRight"
            x: window.width - width; y: window.titleBarHeight
            width: 5; height: window.height - window.titleBarHeight - 10
            cursorShape: Qt.SizeHorCursor
            onPressed: window.startSystemResize(Qt.RightEdge)
        }
        MouseArea {
            objectName: "gripBottom"
            x: 10; y: window.height - height
            width: window.width - 20; height: 5
            cursorShape: Qt.SizeVerCursor
            onPressed: window.startSystemResize(Qt.BottomEdge)
        }
        MouseArea {
            objectName: "gripBottomLeft"
            x: 0; y: window.height - height
            width: 10; height: 10
            cursorShape: Qt.SizeBDiagCursor
            onPressed: window.startSystemResize(Qt.LeftEdge | Qt.BottomEdge)
        }
        MouseArea {
            objectName: "gripBottomRight"
            x: window.width - width; y: window.height - height
            width: 10; height: 10
            cursorShape: Qt.SizeFDiagCursor
            onPressed: window.startSystemResize(Qt.RightEdge | Qt.BottomEdge)
        }
    }

    header: Item {
        objectName: "titleBar"
        height: 32 * Theme.heightScale

        MouseArea {
            objectName: "dragArea"
            anchors.fill: parent
            onPressed: window.startSystemMove()
            onDoubleClicked: window.toggleMaximized()
        }

        Rectangle {
            anchors.fill: parent
            anchors.margins: 1
            color: Theme.palette.backgroundControlColor
            border.width: 1
            border.color: Theme.palette.borderIdleControlColor

            RowLayout {
                anchors.fill: parent
                anchors.leftMargin: 5
                spacing: -1

                Item {
                    id: logo
                    objectName: "logo"
                    Layout.preferredWidth: 46 * Theme.widthScale
                    Layout.preferredHeight: 24 * Theme.heightScale
                    Layout.alignment: Qt.AlignVCenter

                    Image {
                        id: orangeWave
                        anchors.verticalCenter: parent.verticalCenter
                        width: parent.width
                        height: 24 * Theme.heightScale
                        source: "images/Icon_orange.svg"
                        sourceSize.height: 48
                    }
                    Image {
                        id: blueWave
                        anchors.verticalCenter: parent.verticalCenter
                        width: parent.width
                        height: 12 * Theme.heightScale
                        source: "images/Icon_blue.svg"
                        sourceSize.height: 24
                    }

                    SequentialAnimation {
                        id: logoAnimation
                        running: window.animationEnable
                        loops: Animation.Infinite
                        NumberAnimation { target: blueWave; property: "height"; to: 0; duration: 500 }
                        NumberAnimation { target: orangeWave; property: "height"; to: 0; duration: 500 }
                        PauseAnimation { duration: 1000 }
                        NumberAnimation { target: blueWave; property: "height"; to: 12 * Theme.heightScale; duration: 500 }
                        NumberAnimation { target: orangeWave; property: "height"; to: 24 * Theme.heightScale; duration: 500 }
                        onRunningChanged: {
                            if (!running) {
                                blueWave.height = 12 * Theme.heightScale
                                orangeWave.height = 24 * Theme.heightScale
                            }
                        }
                    }
                }

                Text {
                    objectName: "titleText"
                    Layout.fillWidth: true
                    Layout.fillHeight: true
                    text: window.title
                    color: Theme.palette.hoveredTextColor
                    font.family: Theme.applicationFont.name
                    font.pixelSize: Theme.textStyle.normalSize
                    horizontalAlignment: Text.AlignHCenter
                    verticalAlignment: Text.AlignVCenter
                    elide: Text.ElideRight
                }

                Image {
                    id: warningIcon
                    objectName: "warningIcon"
                    Layout.preferredWidth: 16 * Theme.heightScale
                    Layout.preferredHeight: 16 * Theme.heightScale
                    Layout.alignment: Qt.AlignVCenter
                    source: "images/warning-icon.svg"
                    sourceSize.width: 32
                    sourceSize.height: 32
                    visible: false
                    opacity: 0.5

                    SequentialAnimation {
                        running: window.animationEnable && warningIcon.visible
                        loops: Animation.Infinite
                        NumberAnimation { target: warningIcon; property: "opacity"; from: 0.5; to: 1; duration: 1000 }
                        NumberAnimation { target: warningIcon; property: "opacity"; from: 1; to: 0.5; duration: 1000 }
                        onRunningChanged: if (!running) warningIcon.opacity = 0.5
                    }

                    MouseArea {
                        id: warningArea
                        anchors.fill: parent
                        hoverEnabled: true
                        onClicked: window.warningClicked()
                    }
                    ToolTip {
                        visible: warningArea.containsMouse && window.warning_text !== ""
                        delay: 500
                        timeout: 5000
                        text: window.warning_text
                    }
                }

                Text {
                    objectName: "versionText"
                    Layout.fillHeight: true
                    leftPadding: 10 * Theme.widthScale
                    rightPadding: 10 * Theme.widthScale
                    // The using window's own version property, if it declares one; read
                    // untyped, since this type cannot know it.
                    readonly property var owner: window
                    text: "v. " + (owner.version !== undefined ? owner.version : "---")
                    color: versionArea.containsMouse ? Qt.lighter(Theme.palette.blockedTextColor, 1.5)
                                                     : Theme.palette.blockedTextColor
                    font.family: Theme.applicationFont.name
                    font.pixelSize: Theme.textStyle.smallestSize
                    horizontalAlignment: Text.AlignRight
                    verticalAlignment: Text.AlignVCenter

                    MouseArea {
                        id: versionArea
                        anchors.fill: parent
                        hoverEnabled: true
                        onClicked: window.versionClicked()
                    }
                }

                ButtonMinimize {
                    objectName: "buttonMinimize"
                    onMinimize: window.showMinimized()
                }
                ButtonNormal {
                    objectName: "buttonNormal"
                    visible: window.maximized
                    onNormalize: window.showNormal()
                }
                ButtonMaximize {
                    objectName: "buttonMaximize"
                    visible: !window.maximized
                    onMaximize: window.showMaximized()
                }
                ButtonClose {
                    objectName: "buttonClose"
                    onClose: window.close()
                }
            }
        }
    }
}
