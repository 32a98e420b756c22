import QtQuick
import QtQuick.Dialogs
import TachyraFiles

// The scene's save dialog: proposes "<stem>-YYYYMMDD-HHMMSS.<suffix>" in the
// documents folder and hands the chosen file to the caller's function.
FileDialog {
    id: dialog

    property var chosen: null

    fileMode: FileDialog.SaveFile
    acceptLabel: qsTr("Save")

    function ask(title, stem, suffix, filters, callback) {
        dialog.title = title
        nameFilters = filters
        defaultSuffix = suffix
        currentFolder = FileExport.suggestedFolder()
        selectedFile = FileExport.suggestedFile(stem, suffix)
        chosen = callback
        open()
    }

    onAccepted: {
        const take = chosen
        chosen = null
        if (take)
            take(selectedFile)
    }
    onRejected: chosen = null
}
