import QtQml

// Stand-in for what the cards view reads of the session (the tests change
// the channel count, which the real session keeps constant).
QtObject {
    property int channelCount: 8
    property var counts: []
    property bool connected: false
    property bool countsLive: false
    property int periodMs: 1000
}
