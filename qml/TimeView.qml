import QtQuick
import QtQuick.Controls
import QtQuick.Dialogs
import MyStyle
import Theme
import "SceneLogic.js" as Logic
import TachyraCharts
import TachyraFiles

// Counts of every channel against wall-clock time over any span of the
// link's history: the last 30 s at first; the bar under the plot picks the
// span, dragging (or the wheel) pans back, Ctrl+wheel zooms, Live follows
// the newest reading again.
Item {
    id: view

    Accessible.role: Accessible.Pane
    Accessible.name: qsTr("Counts vs time")
    Accessible.ignored: !visible

    // Counts per second instead of per gate (the window's switch).
    property bool perSecond: false
    readonly property var seriesColors: Theme.palette.channelColors
    readonly property bool logMode: frame.logY
    // The readings shown (span, hold, file, statistics, export) and their drawing.
    readonly property alias series: series
    readonly property alias plot: plot
    readonly property alias legendModel: legendModel
    readonly property alias hitModel: hitModel
    property alias logYButton: frame.logYButton
    property alias pauseButton: frame.pauseButton
    property alias exportButton: frame.exportButton
    readonly property alias spanBar: spanBar
    readonly property alias statsStrip: statsStrip
    readonly property bool overlayShown: (device.connected || series.fileShown) && series.hasData
    // Readings have stopped coming on this link: the lines are dimmed and say so.
    readonly property bool stale: overlayShown && !series.fileShown && !device.countsLive
    readonly property alias fileBar: fileBar
    readonly property alias openDialog: openDialog

    signal fileOpened()
    signal fileClosed()
    readonly property bool onScreen: SwipeView.view ? SwipeView.isCurrentItem : true

    // Which channels the legend shows.
    function legendVisibility() {
        const on = []
        for (let i = 0; i < legendModel.count; ++i)
            on.push(legendModel.get(i).seriesVisible)
        return on
    }

    // Hover read-out at plot x: one tag per visible channel that has a value there.
    function updateHits(x) {
        overlay.cursorX = Math.max(0, Math.min(plot.plotArea.width, x))
        hitModel.clear()
        const hits = plot.hitsAt(overlay.cursorX, 16)
        for (let j = 0; j < hits.length; ++j) {
            hitModel.append({ py: hits[j].py, cursorX: overlay.cursorX,
                              text: Logic.formatReading(hits[j].value, view.perSecond),
                              seriesColor: String(hits[j].color) })
        }
    }

    // One file name for both: the span shown as .csv, the plot as .png beside it.
    function exportWindow() {
        saveDialog.ask(qsTr("Export the span shown"), "counts-span", "csv",
                       [qsTr("CSV table and PNG picture (*.csv *.png)")], saveWindow, FileExport.TableAndPicture)
    }
    // A recording instead of the link, until Live (or Close) leaves it.
    function askForRecording() {
        openDialog.currentFolder = FileExport.suggestedFolder()
        openDialog.open()
    }
    function openRecording(file) {
        series.openFile(file)
        fileOpened()
    }

    function saveWindow(file) {
        FileExport.saveChart(file, series, picture, Theme.palette.backgroundHoveredControlColor)
    }

    Component.onCompleted: {
        for (let i = 0; i < device.channelCount; ++i)
            legendModel.append({ seriesName: qsTr("CH %1").arg(i), seriesColor: seriesColors[i % 8], seriesVisible: true })
    }

    ListModel { id: legendModel }
    ListModel { id: hitModel }

    SaveDialog { id: saveDialog; objectName: "exportDialog" }

    FileDialog {
        id: openDialog
        objectName: "openDialog"
        title: qsTr("Open a recording")
        fileMode: FileDialog.OpenFile
        nameFilters: [qsTr("CSV files (*.csv)"), qsTr("All files (*)")]
        onAccepted: view.openRecording(selectedFile)
    }

    TraceSeries {
        id: series
        source: readingSource
        channelCount: device.channelCount
        // Worked out while the strip shows them.
        statsEnabled: statsStrip.visible && view.onScreen
        onFileChanged: {
            if (!series.fileShown)
                view.fileClosed()
        }
    }

    ChartFrame {
        id: frame
        anchors.fill: parent
        showLogYButton: true
        showExportButton: true
        showPauseButton: true
        current: view.onScreen
        // The series says whether it is held; the button shows it and sets it.
        pauseButton.checked: series.paused
        exportButton.tip: qsTr("Export span…")
        exportButton.enabled: series.hasData && !FileExport.busy
        onExportClicked: view.exportWindow()

        // What an export pictures: the plot, its legend and the statistics
        // when shown; not the buttons.
        Item {
            id: picture
            anchors.left: parent.left
            anchors.right: parent.right
            anchors.top: parent.top
            anchors.bottom: fileBar.visible ? fileBar.top : spanBar.top

            TracePlot {
                id: plot
                objectName: "tracePlot"
                anchors.left: parent.left
                anchors.right: parent.right
                anchors.top: parent.top
                anchors.bottom: statsStrip.visible ? statsStrip.top : parent.bottom
                Accessible.ignored: !visible
                anchors.margins: 1
                series: series
                colors: view.seriesColors
                logarithmic: view.logMode
                perSecond: view.perSecond
                opacity: view.stale ? 0.5 : 1
                // Off screen it only records; it is drawn again when shown.
                active: view.onScreen
                plotColor: Theme.palette.backgroundHoveredControlColor
                gridColor: Theme.palette.blockedTextColor
                minorGridColor: Qt.darker(Theme.palette.blockedTextColor, 1.5)
                labelColor: Theme.palette.idleTextColor
                Accessible.role: Accessible.Chart
                Accessible.name: view.perSecond ? qsTr("Counts per second of every channel over time")
                                                : qsTr("Counts of every channel over time")
                labelFont: Qt.font({ family: Theme.applicationFont.name, pixelSize: Theme.textStyle.smallestSize,
                                     hintingPreference: Font.PreferNoHinting })
                topMargin: 10
                bottomMargin: 4
                leftMargin: 4
                rightMargin: 8
            }

            Item {
                id: overlay
                objectName: "timeOverlay"
                property real cursorX: 0
                z: 1
                x: plot.x + plot.plotArea.x
                y: plot.y + plot.plotArea.y
                width: plot.plotArea.width
                height: plot.plotArea.height
                clip: true
                // Hidden while a picture is taken.
                visible: series.hasData && !FileExport.busy

                // Drag or wheel: back and forth in time; Ctrl+wheel: zoom
                // around the pointer. Hovering reads the lines off.
                MouseArea {
                    id: hoverArea
                    objectName: "plotArea"
                    property real lastX: 0
                    anchors.fill: parent
                    hoverEnabled: true
                    acceptedButtons: Qt.LeftButton
                    cursorShape: pressed ? Qt.ClosedHandCursor : Qt.ArrowCursor
                    onEntered: view.updateHits(mouseX)
                    onPressed: (mouse) => lastX = mouse.x
                    onPositionChanged: (mouse) => {
                        if (pressed) {
                            plot.pan(lastX - mouse.x)
                            lastX = mouse.x
                        }
                        view.updateHits(mouse.x)
                    }
                    onExited: hitModel.clear()
                    onWheel: (wheel) => {
                        const steps = (wheel.angleDelta.y !== 0 ? wheel.angleDelta.y : wheel.angleDelta.x) / 120
                        if (wheel.modifiers & Qt.ControlModifier)
                            plot.zoomAt(wheel.x, Math.pow(0.8, steps))
                        else
                            plot.pan(-steps * width / 10)
                        view.updateHits(wheel.x)
                    }
                }

                Rectangle {
                    visible: hoverArea.containsMouse && view.overlayShown
                    x: overlay.cursorX
                    width: 1
                    height: overlay.height
                    color: Theme.palette.blockedTextColor
                }

                Repeater {
                    model: hoverArea.containsMouse && view.overlayShown ? hitModel : null

                    // Placed against the overlay, which is the tags' parent.
                    Rectangle {
                        required property real py
                        required property real cursorX
                        required property string text
                        required property string seriesColor
                        width: tagText.implicitWidth + 10
                        height: tagText.implicitHeight + 4
                        x: Logic.tagLeft(cursorX, width, parent.width, 8)
                        y: Logic.clampTag(py, height, parent.height)
                        radius: 3
                        color: Theme.palette.backgroundControlColor
                        border.width: 1
                        border.color: seriesColor

                        Text {
                            id: tagText
                            anchors.centerIn: parent
                            text: parent.text
                            color: Theme.palette.hoveredTextColor
                            font.family: Theme.applicationFont.name
                            font.pixelSize: Theme.textStyle.tinySize
                        }
                    }
                }
            }

            StaleHint {
                visible: view.stale
                z: 1
                x: plot.x + plot.plotArea.x + 6
                y: plot.y + plot.plotArea.y + 4
            }

            ChartLegend {
                id: legend
                objectName: "legend"
                // Centred unless that reaches the buttons; shrunk if even the
                // room left of them is too narrow.
                readonly property real room: frame.buttonsLeft - 16
                z: 2
                transformOrigin: Item.TopLeft
                scale: Math.min(1, room / width)
                x: Math.max(8, Math.min((frame.width - width) / 2, room + 8 - width * scale))
                y: 9
                visible: legendModel.count > 0
                datamodel: legendModel
                paused: series.paused
                onVisibilityChanged: plot.channelVisible = view.legendVisibility()
            }

            StatsStrip {
                id: statsStrip
                objectName: "statsStrip"
                anchors.left: parent.left
                anchors.right: parent.right
                anchors.bottom: parent.bottom
                anchors.leftMargin: 8
                anchors.rightMargin: 8
                visible: spanBar.statsShown
                stats: series.spanStats
                colors: view.seriesColors
                visibility: plot.channelVisible
            }
        }

        RecordingBar {
            id: fileBar
            objectName: "fileBar"
            anchors.left: parent.left
            anchors.right: parent.right
            anchors.bottom: spanBar.top
            visible: series.fileShown
            series: series
        }

        TimeSpanBar {
            id: spanBar
            objectName: "spanBar"
            anchors.left: parent.left
            anchors.right: parent.right
            anchors.bottom: parent.bottom
            anchors.bottomMargin: 4
            series: series
        }
    }

    // The pause button sets the series' hold and follows it back (a pan
    // holds it too, Live lets go).
    Connections {
        target: frame.pauseButton
        function onCheckedChanged() {
            series.paused = frame.pauseButton.checked
            frame.pauseButton.checked = Qt.binding(() => series.paused)
        }
    }
}

