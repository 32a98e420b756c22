import QtQuick
import QtTest
import "qrc:/qml/SceneLogic.js" as Logic

// The pure functions behind the pages and the views.
TestCase {
    name: "SceneLogic"

    // The home box trims and rewrites; the settings fields keep text they cannot read.
    function test_normalizeIp_data() {
        return [
            { tag: "leading zeros", input: "010.001.000.009", home: "10.1.0.9", keep: "10.1.0.9" },
            { tag: "padded", input: "  192.168.001.010 ", home: "192.168.1.10", keep: "192.168.1.10" },
            { tag: "lenient digits", input: "12ab.1.2.3", home: "12.1.2.3" },
            { tag: "three pieces", input: " 1.2.3 ", home: "1.2.3", keep: " 1.2.3 " },
            { tag: "out of range", input: " 1.2.3.256", home: "1.2.3.256", keep: " 1.2.3.256" }
        ]
    }
    function test_normalizeIp(data) {
        compare(Logic.normalizeIp(data.input), data.home)
        if (data.keep !== undefined)
            compare(Logic.normalizeIpKeep(data.input), data.keep)
    }

    function test_isValidIpv4_data() {
        return [
            { input: "0.0.0.0", valid: false }, { input: "000.0.0.0", valid: false },
            { input: "10.0.0.1", valid: true }, { input: "192.168.001.010", valid: true },
            { input: "", valid: false }, { input: "192.168.", valid: false },
            { input: "1.2.3.300", valid: false }, { input: "1.2.3.4.5", valid: false }
        ].map(row => Object.assign({ tag: row.input || "empty" }, row))
    }
    function test_isValidIpv4(data) {
        compare(Logic.isValidIpv4(data.input), data.valid)
    }

    function test_interpolate_data() {
        const pts = [{ x: 0, y: 0 }, { x: 10, y: 100 }, { x: 10, y: 50 }, { x: 20, y: 70 }]
        return [
            { tag: "empty", pts: [], t: 0, y: NaN }, { tag: "before", pts: pts, t: -1, y: NaN },
            { tag: "after", pts: pts, t: 21, y: NaN }, { tag: "single", pts: [{ x: 5, y: 7 }], t: 5, y: 7 },
            { tag: "inside", pts: pts, t: 2.5, y: 25 }, { tag: "shared x: first wins", pts: pts, t: 10, y: 100 },
            { tag: "second segment", pts: pts, t: 15, y: 60 },
            { tag: "vertical", pts: [{ x: 3, y: 1 }, { x: 3, y: 9 }], t: 3, y: 9 }
        ]
    }
    function test_interpolate(data) {
        compare(Logic.interpolate(data.pts, data.t), data.y)
    }

    function test_spreadTags() {
        const hits = [{ py: 50 }, { py: 10 }, { py: 12 }, { py: 20 }, { py: 100 }]
        Logic.spreadTags(hits, 16)
        compare(hits.map(h => h.py), [10, 26, 42, 58, 100])
    }

    // The running extent must give what a full scan of the same points gives.
    function test_trackExtentMatchesScan() {
        const t = Logic.newTrack()
        let seed = 7
        const rnd = () => (seed = (seed * 1103515245 + 12345) % 2147483648) / 2147483648
        for (let x = 0; x < 2000; ++x) {
            Logic.trackPush(t, x * 50, Math.floor(rnd() * 1000))
            Logic.trackPrune(t, x * 50 - 30000)
            compare(Logic.extentOfTracks([t]), Logic.extentOf([t.pts]))
        }
        Logic.trackClear(t)
        compare(Logic.extentOfTracks([t]), null)
        compare(Logic.extentOfTracks([t, Logic.newTrack()]), null)
    }
}
