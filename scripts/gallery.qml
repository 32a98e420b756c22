import QtQuick
import QtQuick.Controls
import QtQuick.Layouts
import QtCharts
import QtTest
import Theme
import TachyraApp

// Gallery of the styled controls, the cards and the shared chart pieces,
// grabbed to PNG files by scripts/gallery.
Rectangle {
    id: root
    width: 1400
    height: 960
    color: Theme.palette.background

    property QtObject device: QtObject {
        property int channelCount: 8
        property var counts: [12345, 0.5, 0, 987654321, 42, 1.5e-3, 7]
        property bool connected: true
    }

    GridLayout {
        id: controls
        x: 20; y: 20
        columns: 4
        columnSpacing: 24
        rowSpacing: 14

        Button { text: "Button" }
        Button { id: hoverButton; text: "Hovered"; hoverEnabled: true }
        Button { text: "Checked"; checkable: true; checked: true }
        Button { text: "Disabled"; enabled: false; checkable: true; checked: true }

        Button { icon.source: "qrc:/qt/qml/TachyraApp/Images/usb.svg"; text: "USB" }
        Button { icon.source: "qrc:/qt/qml/TachyraApp/Images/plug.svg"; implicitWidth: 40; implicitHeight: 40 }
        Button { icon.source: "qrc:/qt/qml/TachyraApp/Images/settings.svg"; flat: true; implicitWidth: 40; implicitHeight: 40 }
        BusyIndicator { running: true }

        CheckBox { text: "Check box" }
        CheckBox { text: "Checked"; checked: true }
        CheckBox { text: "Disabled"; checked: true; enabled: false }
        RadioButton { text: "Radio"; checked: true }

        ComboBox { model: ["COM3 - STM32", "COM4"]; implicitWidth: 220 }
        ComboBox { editable: true; model: ["abc"]; implicitWidth: 220; validator: IntValidator {} }
        ComboBox { model: ["Disabled"]; enabled: false; implicitWidth: 220 }
        Switch { text: "Switch on"; checked: true }

        TextField { placeholderText: "Host address" }
        TextField { text: "192.168.1.20" }
        SpinBox { from: 1; to: 60000; value: 1000; editable: true }
        Switch { text: "Switch off" }

        Label { text: "Label" }
        Label { text: "Disabled label"; enabled: false }
        ToolSeparator {}
        PropertyTextField { value: 12.5; min_value: 0; max_value: 1000; Layout.preferredWidth: 120 }

        TabBar {
            Layout.columnSpan: 4
            TabButton { text: "USB"; width: 120 }
            TabButton { text: "TCP"; width: 120 }
            TabButton { text: "Off"; width: 120; enabled: false }
        }
        Rectangle {
            Layout.columnSpan: 4
            implicitWidth: 600; implicitHeight: 40
            color: "transparent"
            Row {
                spacing: 16
                Repeater {
                    model: ["usb", "ethernet", "plug", "unplug", "cards", "cps-time", "histogram",
                            "calibrate", "settings", "arrow-left", "log-y",
                            "circle-circle-right-24px", "circle-square-24px"]
                    Image {
                        required property string modelData
                        width: 24; height: 24
                        source: "qrc:/qt/qml/TachyraApp/Images/" + modelData + ".svg"
                        sourceSize: Qt.size(48, 48)
                    }
                }
            }
        }
    }

    CardsView {
        x: 20; y: 470
        width: 860; height: 220
    }

    Row {
        x: 20; y: 710
        spacing: 20
        CircularProgressBar { width: 200; value: 42.6; text: "Scanning TCP/IP addresses"; textFontSize: Theme.textStyle.smallSize }
        CircularProgressBar { id: doneRing; width: 200; value: 100; textVisible: false; textFontSize: Theme.textStyle.bigSize }
        CircularProgressBar { width: 200; value: 70; textVisible: false; textFontSize: Theme.textStyle.bigSize }
    }

    ChartPanel {
        id: panel
        x: 900; y: 20
        width: 480; height: 420
        showLogYButton: true
        chart.margins { top: 10; bottom: 4; left: 4; right: 8 }
        MyValueAxis { id: xAxis; min: 0; max: 1000; labelFormat: "%.4g"; availableLength: panel.chart.plotArea.width }
        MyValueAxis { id: yAxis; min: 0; max: 1.15; labelFormat: "%.4g"; availableLength: panel.chart.plotArea.height }
        LineSeries {
            axisX: xAxis; axisY: yAxis
            color: "#FF4300"; width: 2; pointsVisible: true
            XYPoint { x: 0; y: 0.1 } XYPoint { x: 200; y: 0.4 } XYPoint { x: 400; y: 1.05 }
            XYPoint { x: 600; y: 0.7 } XYPoint { x: 800; y: 0.3 } XYPoint { x: 1000; y: 0.2 }
        }
    }

    ChartPanel {
        x: 900; y: 460
        width: 480; height: 230
        chart.margins { top: 10; bottom: 4; left: 4; right: 8 }
        MyDateTimeAxis { id: tAxis; min: new Date(2026, 0, 1, 12, 0, 0); max: new Date(2026, 0, 1, 12, 0, 30) }
        MyLogAxis { id: logAxis; min: 1; max: 1e5 }
        LineSeries {
            axisX: tAxis; axisY: logAxis
            color: "#149CD0"; width: 2
            XYPoint { x: new Date(2026, 0, 1, 12, 0, 0).getTime(); y: 10 }
            XYPoint { x: new Date(2026, 0, 1, 12, 0, 15).getTime(); y: 3000 }
            XYPoint { x: new Date(2026, 0, 1, 12, 0, 30).getTime(); y: 800 }
        }
    }

    Component {
        id: frameComponent
        ApplicationWindow {
            property string version: appVersion
            width: 900; height: 240
            visible: true
            title: "Tachyra Client"
            animationEnable: false
            warning_text: "Warning"
            Component.onCompleted: warning_icon.visible = true
            Menu {
                id: menu
                MenuItem { text: "Set threshold" }
                MenuItem { text: "Checkable"; checkable: true; checked: true }
                MenuItem { text: "Disabled"; enabled: false }
            }
            Component.onDestruction: menu.close()
            function openMenu() { menu.popup(20, 20) }
        }
    }

    TestCase {
        name: "Gallery"
        when: windowShown

        function test_grab() {
            doneRing.finish()
            mouseMove(hoverButton, 5, 5)
            wait(1500)
            grabImage(root).save(galleryPath)
            const w = createTemporaryObject(frameComponent, root)
            w.openMenu()
            wait(800)
            const frame = grabImage(w.contentItem.parent)
            frame.save(galleryPath.replace(/\.png$/, "-window.png"))
        }
    }
}
