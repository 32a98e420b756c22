import QtQuick
import QtCharts
import Theme
import TachyraCharts
import "ChartMath.js" as ChartMath

// A chart in the scene's frame. Children go into the chart.
ChartFrame {
    id: panel

    property alias chart: chartView
    default property alias chartData: chartView.data

    // Range setters that never let min pass max between the two writes and
    // never hand an axis a range it cannot draw.
    function setLinearRange(axis, newMin, newMax) {
        const r = ChartScale.linearRange(newMin, newMax)
        applyRange(axis, r.min, r.max)
    }
    function setLogRange(axis, newMin, newMax) {
        const r = ChartScale.logRange(newMin, newMax)
        applyRange(axis, r.min, r.max)
    }
    // A range worked out in C++ already, written in an order that never
    // lets min pass max.
    function applyRange(axis, newMin, newMax) {
        ChartMath.applyRange(axis, newMin, newMax)
    }

    // Series declared through the panel reach the chart without their axes;
    // attach the axes each series names.
    Component.onCompleted: {
        for (let i = 0; i < chartView.count; ++i) {
            const series = chartView.series(i)
            if (series.axisX)
                chartView.setAxisX(series.axisX, series)
            if (series.axisY)
                chartView.setAxisY(series.axisY, series)
        }
    }

    ChartView {
        id: chartView
        anchors.fill: parent
        anchors.margins: 1
        antialiasing: true
        legend.visible: false
        backgroundColor: "transparent"
        backgroundRoundness: 10 * Theme.widthScale
        animationOptions: ChartView.NoAnimation
        dropShadowEnabled: false
        theme: ChartView.ChartThemeLight
    }
}
