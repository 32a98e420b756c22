import QtQuick
import QtQuick.Shapes
import Theme

// Progress ring with a caption and a "done" tick animation.
Item {
    id: root

    property real from: 0
    property real to: 100
    property real value: 0
    property real percentage: (value - from) * 100 / (to - from)
    property string text: ""
    property bool textVisible: true
    property int textFontSize: width / 20
    property color primaryColor: Theme.palette.backgroundHoveredControlColor
    property color secondaryColor: Theme.palette.borderHoveredControlColor
    property color textColor: Theme.palette.hoveredTextColor
    property color percentageColor: Theme.palette.idleTextColor
    property real lineWidth: width / 10
    property real done: 0
    property color doneColor: Theme.palette.doneColor
    property int doneSize: width * 0.4
    property int donelineWidth: lineWidth * 1.2

    readonly property real radius: Math.min(width, height) / 2
    readonly property real fraction: to !== from ? Math.max(0, Math.min(1, (value - from) / (to - from))) : 0

    property bool _tickArmed: true

    // For screen readers: a progress bar named by its caption, in whole
    // percent, so the glide of the ring is not told step by step.
    readonly property int accessibleValue: Math.round(fraction * 100)
    readonly property int accessibleMinimum: 0
    readonly property int accessibleMaximum: 100
    Accessible.role: Accessible.ProgressBar
    Accessible.name: text
    Accessible.ignored: !visible

    signal doneAnimationFinished()

    function start() {
        _tickArmed = true
        done = 0
    }

    function finish() {
        // A finished tick stays finished until start() re-arms it.
        if (!_tickArmed)
            return
        _tickArmed = false
        done = 1
    }

    function _baseState() {
        return textVisible ? "textIsVisible" : "textInvisible"
    }

    width: parent ? parent.width : 0
    height: width

    // Rising values glide, falling ones jump.
    Behavior on value {
        id: valueBehavior
        property bool rising: false
        onTargetValueChanged: rising = targetValue > root.value
        NumberAnimation { duration: valueBehavior.rising ? 200 : 0 }
    }

    Behavior on done {
        id: doneBehavior
        property bool rising: false
        onTargetValueChanged: {
            rising = targetValue > root.done
            if (!rising)
                pauseTimer.stop()
        }
        NumberAnimation {
            duration: doneBehavior.rising ? 500 : 0
            easing.type: Easing.InOutQuad
        }
    }

    Timer {
        id: pauseTimer
        interval: 500
        onTriggered: root.doneAnimationFinished()
    }

    Component.onCompleted: state = _baseState()
    onDoneChanged: {
        state = done > 0 ? "done" : _baseState()
        // The stroke has arrived: the pause before the signal starts now.
        if (doneBehavior.rising && done === doneBehavior.targetValue)
            pauseTimer.restart()
    }
    onTextVisibleChanged: state = _baseState()

    Shape {
        id: shape
        objectName: "shape"
        anchors.fill: parent
        layer.enabled: true
        layer.smooth: true
        layer.samples: 8
        antialiasing: true

        // The curve renderer keeps the arcs smooth at any size. Qt 6.4's
        // Shape has neither the property nor the renderer, and naming them
        // in a binding would stop the document from loading there.
        Component.onCompleted: {
            const property = "preferredRendererType"
            const curve = Shape["CurveRenderer"]
            if (shape[property] !== undefined && curve !== undefined)
                shape[property] = curve
        }

        readonly property real cx: root.width / 2
        readonly property real cy: root.height / 2
        readonly property real ringRadius: Math.max(0, root.radius - root.lineWidth / 2)
        readonly property real a: root.done < 0.5 ? 0.25 * root.doneSize * root.done / 0.5 : 0.25 * root.doneSize
        readonly property real b: root.done < 0.5 ? 0 : 0.6 * root.doneSize * (root.done - 0.5) / 0.5

        ShapePath {
            strokeColor: root.primaryColor
            strokeWidth: root.lineWidth
            fillColor: "transparent"
            capStyle: ShapePath.RoundCap
            joinStyle: ShapePath.RoundJoin
            PathAngleArc {
                centerX: shape.cx; centerY: shape.cy
                radiusX: shape.ringRadius; radiusY: shape.ringRadius
                startAngle: -90; sweepAngle: 360
            }
        }

        ShapePath {
            strokeColor: root.fraction > 0 ? root.secondaryColor : "transparent"
            strokeWidth: root.lineWidth
            fillColor: "transparent"
            capStyle: ShapePath.RoundCap
            joinStyle: ShapePath.RoundJoin
            PathAngleArc {
                centerX: shape.cx; centerY: shape.cy
                radiusX: shape.ringRadius; radiusY: shape.ringRadius
                startAngle: -90; sweepAngle: root.fraction * 360
            }
        }

        ShapePath {
            strokeColor: root.done > 0 ? root.doneColor : "transparent"
            strokeWidth: root.donelineWidth
            fillColor: "transparent"
            capStyle: ShapePath.RoundCap
            joinStyle: ShapePath.RoundJoin
            startX: shape.cx - 0.4 * root.doneSize
            startY: shape.cy + 0.1 * root.doneSize
            PathLine { relativeX: shape.a; relativeY: shape.a }
            PathLine { relativeX: shape.b; relativeY: -shape.b }
        }
    }

    Text {
        id: caption
        objectName: "caption"
        anchors.centerIn: parent
        width: root.width * 0.65
        height: root.height * 0.65
        text: root.text
        wrapMode: Text.Wrap
        clip: true
        font.family: Theme.applicationFont.name
        font.pixelSize: root.textFontSize
        color: root.textColor
        opacity: root.state === "textIsVisible" ? 1 : 0
        horizontalAlignment: Text.AlignHCenter
        verticalAlignment: Text.AlignVCenter
    }

    Text {
        id: percentageText
        objectName: "percentage"
        anchors.horizontalCenter: parent.horizontalCenter
        text: " " + Math.round(root.percentage) + "%"
        font.family: Theme.applicationFont.name
        font.pixelSize: root.state === "textInvisible" ? root.textFontSize : root.textFontSize * 0.8
        color: root.percentageColor
        opacity: root.state === "done" ? 0 : 1
    }

    states: [
        State {
            name: "textInvisible"
            PropertyChanges { target: percentageText; y: (root.height - percentageText.height) / 2 }
        },
        State {
            name: "textIsVisible"
            PropertyChanges { target: percentageText; y: root.height * 0.75 }
        },
        State {
            name: "done"
            PropertyChanges { target: percentageText; y: root.height * 0.75 }
        }
    ]

    transitions: Transition {
        NumberAnimation { target: percentageText; property: "y"; duration: 200 }
    }
}
