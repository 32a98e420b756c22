import QtQuick
import QtQuick.Controls
import QtQuick.Layouts
import MyStyle
import Theme

// Above the span bar while a recording is shown: which file, how far it is
// read (with Cancel), what reading it found, and the way back to the link.
Item {
    id: bar

    property var series: null
    readonly property bool loading: series !== null && series.fileLoading
    readonly property string fileName: series !== null ? series.filePath.replace(/^.*[\\/]/, "") : ""
    // The first problem met, with its line; the summary counts the rest.
    readonly property string firstProblem: series !== null && series.fileProblems.length > 0 ? series.fileProblems[0] : ""
    property alias cancelButton: cancelButton
    property alias closeButton: closeButton

    implicitHeight: 28
    Accessible.role: Accessible.StatusBar
    Accessible.name: qsTr("Recording shown")
    Accessible.ignored: !visible

    component BarButton: Button {
        scaleFactor: 0.6
        Layout.preferredHeight: 24
        Layout.preferredWidth: Math.max(40, implicitContentWidth + leftPadding + rightPadding)
        leftPadding: 8
        rightPadding: 8
        topPadding: 2
        bottomPadding: 2
        hoverEnabled: true
        Accessible.role: Accessible.Button
        Accessible.ignored: !visible
    }

    RowLayout {
        anchors.fill: parent
        anchors.leftMargin: 8
        anchors.rightMargin: 8
        spacing: 8

        Text {
            objectName: "fileText"
            Layout.fillWidth: true
            text: bar.series === null ? ""
                  : bar.loading ? qsTr("Reading %1: %2 rows").arg(bar.fileName).arg(Math.round(bar.series.fileRows))
                  : [qsTr("File %1.").arg(bar.fileName), bar.series.fileSummary, bar.firstProblem].filter(t => t !== "").join(" ")
            textFormat: Text.PlainText
            color: bar.firstProblem !== "" && !bar.loading ? Theme.palette.linkTextColor : Theme.palette.hoveredTextColor
            font.family: Theme.applicationFont.name
            font.pixelSize: Theme.textStyle.smallestSize
            elide: Text.ElideMiddle
            verticalAlignment: Text.AlignVCenter
            Accessible.role: Accessible.StaticText
            Accessible.name: text
            Accessible.ignored: !bar.visible
        }

        // How much of the file is read.
        Rectangle {
            id: progress
            objectName: "fileProgress"
            visible: bar.loading
            Layout.preferredWidth: 160
            Layout.preferredHeight: 8
            radius: 4
            color: Theme.palette.backgroundControlColor
            border.width: 1
            border.color: Theme.palette.borderIdleControlColor
            Accessible.role: Accessible.ProgressBar
            Accessible.name: qsTr("Reading the file")
            Accessible.ignored: !visible
            readonly property real value: bar.series !== null ? bar.series.fileProgress : 0

            Rectangle {
                width: parent.width * Math.max(0, Math.min(1, progress.value))
                height: parent.height
                radius: parent.radius
                color: Theme.palette.borderHoveredControlColor
            }
        }

        BarButton {
            id: cancelButton
            objectName: "cancelOpenButton"
            visible: bar.loading
            text: qsTr("Cancel")
            Accessible.name: qsTr("Stop reading the file")
            onClicked: bar.series.cancelFile()
        }

        BarButton {
            id: closeButton
            objectName: "closeFileButton"
            text: qsTr("Close")
            Accessible.name: qsTr("Close the file and show the live readings")
            onClicked: bar.series.closeFile()
        }
    }
}
