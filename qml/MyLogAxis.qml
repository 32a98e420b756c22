import QtQuick
import QtCharts
import Theme
import TachyraCharts

LogValueAxis {
    // 10, unless the range spans so many decades that its labels would not fit.
    base: ChartScale.logBase(min, max)
    min: 1
    max: 10
    minorTickCount: 9
    labelFormat: "%.4g"

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
}
