import QtQuick
import QtQuick.Controls
import MyStyle
import Theme
import "SceneLogic.js" as Logic
import TachyraCharts
import TachyraFiles

// Counts of every channel against wall-clock time over the last 30 s.
Item {
    id: view

    Accessible.role: Accessible.Pane
    Accessible.name: qsTr("Counts vs time")
    Accessible.ignored: !visible

    readonly property int windowMs: 30000
    readonly property var seriesColors: ["#FF4300", "#0075B9", "#FFC000", "#7E3095",
                                         "#6CBF00", "#FF0000", "#009CC3", "#FF8000"]
    readonly property bool logMode: frame.logY
    readonly property alias plot: plot
    readonly property alias legendModel: legendModel
    readonly property alias hitModel: hitModel
    property alias logYButton: frame.logYButton
    property alias pauseButton: frame.pauseButton
    property alias exportButton: frame.exportButton
    readonly property bool overlayShown: device.connected && plot.hasData
    // Readings have stopped coming on this link: the lines are dimmed and say so.
    readonly property bool stale: overlayShown && !device.countsLive
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
                              text: String(Math.round(hits[j].value)), seriesColor: String(hits[j].color) })
        }
    }

    // One file name for both: the window as .csv, the plot as .png beside it.
    function exportWindow() {
        saveDialog.ask(qsTr("Export time window"), "counts-window", "csv",
                       [qsTr("CSV table and PNG picture (*.csv *.png)")], saveWindow, FileExport.TableAndPicture)
    }
    function saveWindow(file) {
        FileExport.saveChart(file, plot, picture, Theme.palette.backgroundHoveredControlColor)
    }

    Component.onCompleted: {
        for (let i = 0; i < device.channelCount; ++i)
            legendModel.append({ seriesName: qsTr("CH %1").arg(i), seriesColor: seriesColors[i % 8], seriesVisible: true })
    }

    ListModel { id: legendModel }
    ListModel { id: hitModel }

    SaveDialog { id: saveDialog; objectName: "exportDialog" }

    ChartFrame {
        id: frame
        anchors.fill: parent
        showLogYButton: true
        showExportButton: true
        showPauseButton: true
        current: view.onScreen
        exportButton.tip: qsTr("Export window…")
        exportButton.enabled: plot.hasData && !FileExport.busy
        onExportClicked: view.exportWindow()

        // What an export pictures: the plot and its legend, not the buttons.
        Item {
            id: picture
            anchors.fill: parent

            TracePlot {
                id: plot
                objectName: "tracePlot"
                anchors.fill: parent
                Accessible.role: Accessible.Chart
                Accessible.name: qsTr("Counts of every channel over the last 30 s")
                Accessible.ignored: !visible
                anchors.margins: 1
                source: readingSource
                channelCount: device.channelCount
                windowMs: view.windowMs
                colors: view.seriesColors
                logarithmic: view.logMode
                paused: frame.paused
                opacity: view.stale ? 0.5 : 1
                // Off screen it only records; it is drawn again when shown.
                active: view.onScreen
                plotColor: Theme.palette.backgroundHoveredControlColor
                gridColor: Theme.palette.blockedTextColor
                minorGridColor: Qt.darker(Theme.palette.blockedTextColor, 1.5)
                labelColor: Theme.palette.idleTextColor
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
                visible: view.overlayShown && !FileExport.busy

                MouseArea {
                    id: hoverArea
                    anchors.fill: parent
                    hoverEnabled: true
                    acceptedButtons: Qt.NoButton
                    onEntered: view.updateHits(mouseX)
                    onPositionChanged: (mouse) => view.updateHits(mouse.x)
                    onExited: hitModel.clear()
                }

                Rectangle {
                    visible: hoverArea.containsMouse
                    x: overlay.cursorX
                    width: 1
                    height: overlay.height
                    color: Theme.palette.blockedTextColor
                }

                Repeater {
                    model: hoverArea.containsMouse ? hitModel : null

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
                paused: plot.paused
                onVisibilityChanged: plot.channelVisible = view.legendVisibility()
            }
        }
    }
}

