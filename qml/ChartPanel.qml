import QtQuick
import QtCharts
import Theme
import TachyraCharts
import "ChartMath.js" as ChartMath

// The frame every chart of the scene sits in. Children go into the chart;
// the log-Y button is shown on request and its state read through logY, and
// so is the export button, which reports clicks through exportClicked.
Rectangle {
    id: panel

    property alias chart: chartView
    default property alias chartData: chartView.data
    property bool showLogYButton: false
    readonly property alias logY: logYButton.checked
    property alias logYButton: logYButton
    property bool showExportButton: false
    property alias exportButton: exportButton

    signal exportClicked()

    // Range setters that never let min pass max between the two writes and
    // never hand an axis a range it cannot draw.
    function setLinearRange(axis, newMin, newMax) {
        const r = ChartScale.linearRange(newMin, newMax)
        ChartMath.applyRange(axis, r.min, r.max)
    }
    function setLogRange(axis, newMin, newMax) {
        const r = ChartScale.logRange(newMin, newMax)
        ChartMath.applyRange(axis, r.min, r.max)
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

    color: Theme.palette.backgroundHoveredControlColor
    border.width: 1
    border.color: Theme.palette.borderIdleControlColor
    radius: 10 * Theme.widthScale
    clip: true

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

    LogYButton {
        id: logYButton
        visible: panel.showLogYButton
        anchors.top: parent.top
        anchors.right: parent.right
        anchors.topMargin: 8
        anchors.rightMargin: 8
    }

    ExportButton {
        id: exportButton
        objectName: "exportButton"
        visible: panel.showExportButton
        anchors.top: parent.top
        anchors.right: panel.showLogYButton ? logYButton.left : parent.right
        anchors.topMargin: 8
        anchors.rightMargin: panel.showLogYButton ? 4 : 8
        onClicked: panel.exportClicked()
    }
}
