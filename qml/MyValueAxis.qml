import QtQuick
import QtCharts
import Theme
import TachyraCharts

// Linear axis with nice-number ticks anchored at zero.
ValueAxis {
    id: axis

    // Length of the plot along this axis in pixels; sets how many ticks fit.
    property real availableLength: 0
    readonly property int desiredTickCount: ChartScale.desiredTickCount(availableLength, labelsFont.pixelSize)

    titleText: ""
    titleFont: Qt.font({ family: Theme.applicationFont.name, pixelSize: Theme.textStyle.normalSize,
                         hintingPreference: Font.PreferNoHinting })
    lineVisible: false
    gridVisible: true
    minorGridVisible: true
    color: Theme.palette.blockedTextColor
    gridLineColor: Theme.palette.blockedTextColor
    minorGridLineColor: Qt.darker(Theme.palette.blockedTextColor, 1.5)
    labelsColor: Theme.palette.idleTextColor
    labelsFont: Qt.font({ family: Theme.applicationFont.name, pixelSize: Theme.textStyle.smallestSize,
                          hintingPreference: Font.PreferNoHinting })

    minorTickCount: 1
    tickType: ValueAxis.TicksDynamic
    tickAnchor: 0
    tickInterval: ChartScale.tickInterval(min, max, desiredTickCount)
}
