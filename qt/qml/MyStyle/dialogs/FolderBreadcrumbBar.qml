import QtQuick
import QtQuick.Controls
import QtQuick.Controls.impl
import QtQuick.Dialogs.quickimpl as DialogsQuickImpl
import Theme

// The file dialog's path bar in the style: the toolkit's own draws it on a
// white ground that no palette colour reaches. Qt Quick Controls picks this
// file over the toolkit's for the MyStyle style (a file selector); a Qt
// whose dialog has no such bar leaves it unused.
DialogsQuickImpl.FolderBreadcrumbBar {
    id: control

    implicitWidth: Math.max(implicitBackgroundWidth + leftInset + rightInset,
                            implicitContentWidth + (upButton ? upButton.implicitWidth + upButtonSpacing : 0)
                            + leftPadding + rightPadding)
    implicitHeight: Math.max(implicitBackgroundHeight + topInset + bottomInset,
                             implicitContentHeight + topPadding + bottomPadding)
    upButtonSpacing: 8
    padding: 1

    background: Rectangle {
        color: Theme.palette.backgroundControlColor
        border.width: 1
        border.color: Theme.palette.borderIdleControlColor
        radius: 5
    }
    contentItem: ListView {
        currentIndex: control.currentIndex
        model: control.contentModel
        orientation: ListView.Horizontal
        snapMode: ListView.SnapToItem
        highlightMoveDuration: 0
        interactive: false
        clip: true
    }
    buttonDelegate: Button {
        required property int index
        required property string folderName

        text: folderName
        flat: true
        // As wide as the folder's name, not as a button of the tool bar.
        implicitWidth: implicitContentWidth + leftPadding + rightPadding
        leftPadding: 6
        rightPadding: 6
        font.pixelSize: Theme.textStyle.smallSize
    }
    separatorDelegate: IconImage {
        source: "qrc:/qt-project.org/imports/QtQuick/Dialogs/quickimpl/images/crumb-separator-icon-round.png"
        sourceSize: Qt.size(8, 8)
        width: 8
        height: control.contentItem.height
        y: (control.height - height) / 2
        color: Theme.palette.borderHoveredControlColor
    }
    upButton: ToolButton {
        x: control.leftPadding
        y: control.topPadding
        width: height
        height: control.availableHeight
        icon.source: "qrc:/qt-project.org/imports/QtQuick/Dialogs/quickimpl/images/up-icon-round.png"
        icon.width: 16
        icon.height: 16
        focusPolicy: Qt.TabFocus
    }
    textField: TextField {
        text: (control.dialog as DialogsQuickImpl.FileDialogImpl)?.selectedFile
              ?? (control.dialog as DialogsQuickImpl.FolderDialogImpl).currentFolder
    }
}
