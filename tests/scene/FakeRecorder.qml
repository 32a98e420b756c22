import QtQml

// Stand-in for the recorder as the scene sees it; calls go to `calls`.
QtObject {
    property bool recording: false
    property string filePath: ""
    property real rowCount: 0
    property date startedAt: new Date()
    property string message: ""
    property bool failed: false
    property real rowsWaiting: 0
    property real lagMs: 0
    property var calls: []

    function reset() {
        recording = failed = false
        filePath = message = ""
        rowCount = rowsWaiting = lagMs = 0
        calls = []
    }
    function start(file) {
        calls = calls.concat(["start(" + file + ")"])
        startedAt = new Date()
        recording = true
        return true
    }
    function stop() { calls = calls.concat(["stop()"]); recording = false }
}
