import QtQml

// Stand-in for the session as the scene sees it: properties set by tests, method calls logged.
QtObject {
    property int channelCount: 8            // the cards tests change it
    readonly property real dacMaxVolts: 1
    readonly property int minPeriodMs: 1
    readonly property int maxPeriodMs: 60000
    readonly property int maxLevelMv: 1000
    property bool connected: false
    property bool connecting: false
    property var ports: []
    property string portName: ""
    property var tcpHosts: []
    property string tcpHost: ""
    property bool tcpScanning: false
    property real tcpScanProgress: 0
    property string lastError: ""
    property string statusText: "Disconnected"
    property var counts: zeros()
    property var dacVolts: zeros()
    property int periodMs: 1000
    property bool calibrationRunning: false
    property real calibrationProgress: 0
    property string networkMode: ""
    property string ipAddress: ""
    property string netmask: ""
    property string gateway: ""
    property bool networkApplying: false
    property bool dacLevelsKnown: true
    property bool countsLive: false
    property var calls: []

    signal calibrationPoint(real thresholdMv, real counts)
    signal calibrationSucceeded()
    signal calibrationFinished()

    function zeros() { return [0, 0, 0, 0, 0, 0, 0, 0] }
    function log(...call) { calls = calls.concat([call[0] + "(" + call.slice(1).join(",") + ")"]) }

    // Back to a fresh session, with the call log emptied.
    function reset() {
        connected = connecting = tcpScanning = calibrationRunning = networkApplying = countsLive = false
        dacLevelsKnown = true
        ports = tcpHosts = calls = []
        portName = tcpHost = lastError = networkMode = ipAddress = netmask = gateway = ""
        statusText = "Disconnected"
        counts = dacVolts = zeros()
        periodMs = 1000
        channelCount = 8
    }

    // A test must never start a real LAN scan: calls are only recorded.
    function refreshPorts() { log("refreshPorts") }
    function refreshCounts() { log("refreshCounts") }
    function refreshNetwork() { log("refreshNetwork") }
    function startTcpScan() { log("startTcpScan") }
    function stopTcpScan() { log("stopTcpScan") }
    function connectToDevice(tcp) { log("connectToDevice", tcp === true) }
    function disconnectFromDevice() { log("disconnectFromDevice") }
    function applyPeriod(ms) { log("applyPeriod", ms) }
    function setDacVoltage(channel, volts) { log("setDacVoltage", channel, volts) }
    function setAllDacVoltage(volts) { log("setAllDacVoltage", volts) }
    function refreshDacVolts() { log("refreshDacVolts") }
    function applyNetwork(dhcp, ip, mask, gw) { log("applyNetwork", dhcp, ip, mask, gw) }
    function startCalibration(ch, from, to, step) { log("startCalibration", ch, from, to, step) }
    function startCalibrationOf(channels, from, to, step) { log("startCalibrationOf", "[" + channels + "]", from, to, step) }
    function stopCalibration() { log("stopCalibration"); calibrationRunning = false }   // ends the run
}
