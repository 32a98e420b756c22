import QtQuick
import QtQuick.Templates as T
import QtQuick.Window
import Theme

T.Menu {
    id: control

    implicitWidth: Math.max(implicitBackgroundWidth + leftInset + rightInset,
                            contentWidth + leftPadding + rightPadding)
    implicitHeight: Math.max(implicitBackgroundHeight + topInset + bottomInset,
                             contentHeight + topPadding + bottomPadding)

    margins: 0
    padding: 1
    overlap: 2

    delegate: MenuItem {}

    contentItem: ListView {
        implicitHeight: contentHeight
        model: control.contentModel
        interactive: Window.window ? contentHeight + control.topPadding + control.bottomPadding > control.height : false
        clip: true
        currentIndex: control.currentIndex

        T.ScrollIndicator.vertical: ScrollIndicator {}
    }

    background: Rectangle {
        implicitWidth: 200 * Theme.widthScale
        implicitHeight: 20 * Theme.heightScale
        color: Theme.palette.backgroundHoveredControlColor
        border.width: 1
        border.color: Theme.palette.borderHoveredControlColor
        radius: 5 * Theme.widthScale

        Rectangle {
            z: -1
            x: 2
            y: 2
            width: parent.width
            height: parent.height
            radius: parent.radius
            color: "black"
            opacity: 0.2
        }
    }
}
