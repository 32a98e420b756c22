pragma Singleton
import QtQuick
import QtQuick.Window

// Colours, text sizes, screen scale factors and the font of the whole scene.
QtObject {
    id: theme

    readonly property FontLoader applicationFont: FontLoader { source: "Leelawadee.ttf" }

    // Logical size of the primary screen; the singleton is not in a window.
    readonly property real screenWidth: Screen.width
    readonly property real screenHeight: Screen.height

    readonly property real baseWidth: 1960
    readonly property real baseHeight: 1080
    readonly property real widthScale: screenWidth / baseWidth
    readonly property real heightScale: screenHeight / baseHeight
    readonly property real fontScale: Math.min(widthScale, heightScale)

    // Pixel size for a base size at a scale: nearest whole pixel, halves up.
    function scaledSize(base, scale) {
        return Math.floor(base * scale + 0.5)
    }

    // The text-size table for any screen, so it can be checked without one.
    function textSizesFor(width, height) {
        const s = Math.min(width / baseWidth, height / baseHeight)
        return {
            hugeSize: scaledSize(40, s),
            bigestSize: scaledSize(30, s),
            bigSize: scaledSize(25, s),
            normalSize: scaledSize(20, s),
            smallSize: scaledSize(15, s),
            smallestSize: scaledSize(12, s),
            tinySize: scaledSize(9, s)
        }
    }

    component TextStyle: QtObject {
        property real scale: 1
        readonly property int hugeSize: Math.floor(40 * scale + 0.5)
        readonly property int bigestSize: Math.floor(30 * scale + 0.5)
        readonly property int bigSize: Math.floor(25 * scale + 0.5)
        readonly property int normalSize: Math.floor(20 * scale + 0.5)
        readonly property int smallSize: Math.floor(15 * scale + 0.5)
        readonly property int smallestSize: Math.floor(12 * scale + 0.5)
        readonly property int tinySize: Math.floor(9 * scale + 0.5)
    }

    component Palette: QtObject {
        readonly property color background: "#1E1E1E"
        readonly property color idleTextColor: "#CCCCCC"
        readonly property color hoveredTextColor: "#FFFFFF"
        readonly property color blockedTextColor: "#666666"
        readonly property color linkTextColor: "#F16321"

        property color backgroundControlColor: "#1E1E1E"
        property color backgroundHoveredControlColor: "#2C2C2C"
        property color borderIdleControlColor: "#722D0E"
        property color borderHoveredControlColor: "#F16321"
        property color borderPressedControlColor: "#ba501f"
        property color borderDisableControlColor: "#5d250b"

        // The channels' lines and tags, channel i taking entry i mod 8; the
        // first is also the colour of a chart of one series (the bars, the
        // sweep), the second the progress ring's tick.
        readonly property var channelColors: ["#FF4300", "#0075B9", "#FFC000", "#7E3095",
                                              "#6CBF00", "#FF0000", "#009CC3", "#FF8000"]
        readonly property color seriesColor: channelColors[0]
        readonly property color doneColor: channelColors[1]
    }

    readonly property TextStyle textStyle: TextStyle { scale: theme.fontScale }
    readonly property Palette palette: Palette {}
}
