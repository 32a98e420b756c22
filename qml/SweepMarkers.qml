import QtQuick
import Theme
import TachyraCharts
import "SceneLogic.js" as Logic

// The suggested threshold of each shown curve, over exactly the plot area:
// a line at the level in the curve's colour, a dot where the curve crosses
// it and a tag with the level at the top of the line (tags in rows so none
// hides another). In an exported picture too.
Item {
    id: markers
    objectName: "sweepMarkers"

    required property var chart
    required property SweepPoints points
    property var linLines: []
    property var logLines: []
    property bool logMode: false
    property var shownChannels: []
    // The colour of each channel's curve, indexed by channel.
    property var colors: []
    // What the places depend on besides the results: the axes' ranges.
    property var axes: []

    // One entry per marker: channel, level, colour, dot (x, y), tag (x, y, text).
    readonly property var model: {
        const list = []
        const plot = chart.plotArea
        const lines = logMode ? logLines : linLines
        void axes, points.spectrum
        for (const r of points.results) {
            if (!r.hasSuggestion || !shownChannels.includes(r.channel) || r.channel >= lines.length)
                continue
            const v = points.valueAt(r.channel, r.suggestedMv, logMode)
            const p = chart.mapToPosition(Qt.point(r.suggestedMv, isFinite(v) ? v : 0), lines[r.channel])
            const text = shownChannels.length > 1 ? qsTr("CH %1 · %2 mV").arg(r.channel).arg(r.levelMv)
                                                  : qsTr("%1 mV").arg(r.levelMv)
            list.push({ channel: r.channel, mv: r.levelMv, color: String(colors[r.channel] || Theme.palette.seriesColor),
                        x: p.x - plot.x, y: p.y - plot.y, dot: isFinite(v), text: text,
                        width: metrics.advanceWidth(text) + 10, height: metrics.height + 4 })
        }
        // Tags at the top, each beside its line (left of it near the right
        // edge), in rows where they would hide one another.
        const boxes = list.map(m => ({ x: Logic.tagLeft(m.x, m.width, plot.width, 3, 0), y: 4,
                                       width: m.width, height: m.height }))
        const tops = Logic.spreadTags(boxes, plot.height)
        for (let i = 0; i < list.length; ++i) {
            list[i].tagX = boxes[i].x
            list[i].tagY = tops[i]
        }
        return list
    }

    x: chart.plotArea.x
    y: chart.plotArea.y
    width: chart.plotArea.width
    height: chart.plotArea.height
    clip: true

    FontMetrics {
        id: metrics
        font.family: Theme.applicationFont.name
        font.pixelSize: Theme.textStyle.tinySize
    }

    // Lines and dots first, every tag above them.
    Repeater {
        model: markers.model

        Item {
            id: marker
            required property var modelData
            objectName: "marker" + modelData.channel
            anchors.fill: parent

            Rectangle {
                x: Math.round(marker.modelData.x)
                width: 1
                height: marker.height
                color: marker.modelData.color
                opacity: 0.7
            }
            Rectangle {
                visible: marker.modelData.dot
                x: marker.modelData.x - 5
                y: marker.modelData.y - 5
                width: 10
                height: 10
                radius: 5
                color: marker.modelData.color
                border.width: 1
                border.color: Theme.palette.hoveredTextColor
            }
        }
    }
    Repeater {
        model: markers.model

        Rectangle {
            id: tag
            required property var modelData
            objectName: "markerTag"
            x: modelData.tagX
            y: modelData.tagY
            width: modelData.width
            height: modelData.height
            radius: 3
            color: Theme.palette.backgroundControlColor
            border.width: 1
            border.color: modelData.color
            Text {
                anchors.centerIn: parent
                text: tag.modelData.text
                color: Theme.palette.hoveredTextColor
                font.family: Theme.applicationFont.name
                font.pixelSize: Theme.textStyle.tinySize
            }
        }
    }
}
