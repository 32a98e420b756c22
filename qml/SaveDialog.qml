import QtQuick
import QtQuick.Dialogs
import TachyraFiles

// The scene's save dialog: proposes "<stem>-YYYYMMDD-HHMMSS.<suffix>" in the
// documents folder and hands the chosen file to the caller's function. An
// export also writes the table or picture beside the file named; every file
// the save would replace is named in one question of the app's own first.
FileDialog {
    id: dialog

    property var chosen: null
    property int writes: FileExport.NamedFile
    // Shown over the window the dialog belongs to.
    property ReplaceQuestion question: ReplaceQuestion {
        parent: dialog.parentWindow ? dialog.parentWindow.contentItem : null
    }

    fileMode: FileDialog.SaveFile
    // The question below covers the file named as well as those beside it.
    options: FileDialog.DontConfirmOverwrite
    acceptLabel: qsTr("Save")

    // `writes`: what a save to the chosen file writes (FileExport.NamedFile,
    // Picture, TableAndPicture).
    function ask(title, stem, suffix, filters, callback, writes) {
        dialog.title = title
        nameFilters = filters
        defaultSuffix = suffix
        currentFolder = FileExport.suggestedFolder()
        selectedFile = FileExport.suggestedFile(stem, suffix)
        dialog.writes = writes === undefined ? FileExport.NamedFile : writes
        chosen = callback
        open()
    }

    onAccepted: {
        const take = chosen
        chosen = null
        if (!take)
            return
        const file = selectedFile
        const replaced = FileExport.existingTargets(file, writes)
        if (replaced.length === 0)
            take(file)
        else
            question.ask(replaced, () => take(file))
    }
    onRejected: chosen = null
}
