import QtQuick
import QtTest
import "qrc:/qml/SceneLogic.js" as Logic

// The pure functions behind the home page, the settings page and the views.
TestCase {
    name: "SceneLogic"

    function test_normalizeIp_home_data() {
        return [
            { tag: "leading zeros", input: "010.001.000.009", expected: "10.1.0.9" },
            { tag: "padded", input: "  192.168.001.010 ", expected: "192.168.1.10" },
            { tag: "lenient digits", input: "12ab.1.2.3", expected: "12.1.2.3" },
            { tag: "three pieces", input: " 1.2.3 ", expected: "1.2.3" },
            { tag: "empty piece", input: "1..2.3", expected: "1..2.3" },
            { tag: "out of range", input: "1.2.3.256", expected: "1.2.3.256" },
            { tag: "negative", input: "1.2.-3.4", expected: "1.2.-3.4" },
            { tag: "empty", input: "", expected: "" },
        ]
    }
    function test_normalizeIp_home(data) {
        compare(Logic.normalizeIp(data.input), data.expected)
    }

    function test_normalizeIp_settings_keeps_untrimmed_text() {
        compare(Logic.normalizeIpKeep("192.168.001.020"), "192.168.1.20")
        compare(Logic.normalizeIpKeep(" 10.0.0.1 "), "10.0.0.1")
        compare(Logic.normalizeIpKeep(" 1.2.3 "), " 1.2.3 ")
        compare(Logic.normalizeIpKeep(" 1.2.3.999"), " 1.2.3.999")
    }

    function test_isValidIpv4_data() {
        return [
            { tag: "all zero", input: "0.0.0.0", valid: false },
            { tag: "all zero padded", input: "000.0.0.0", valid: false },
            { tag: "private", input: "10.0.0.1", valid: true },
            { tag: "leading zeros", input: "192.168.001.010", valid: true },
            { tag: "empty", input: "", valid: false },
            { tag: "partial", input: "192.168.", valid: false },
            // The lenient normaliser reads "4x" as 4; the box validator refuses the x.
            { tag: "trailing letters", input: "1.2.3.4x", valid: true },
            { tag: "too large", input: "1.2.3.300", valid: false },
            { tag: "five pieces", input: "1.2.3.4.5", valid: false },
        ]
    }
    function test_isValidIpv4(data) {
        compare(Logic.isValidIpv4(data.input), data.valid)
    }



    function test_pruneFront_keeps_one_point_before_edge() {
        const pts = [{ x: 0, y: 1 }, { x: 10, y: 2 }, { x: 20, y: 3 }, { x: 30, y: 4 }]
        compare(Logic.pruneFront(pts, 25), 2)
        compare(pts.length, 2)
        compare(pts[0].x, 20)
        // The second point exactly at the edge is not older: nothing goes.
        compare(Logic.pruneFront(pts, 30), 0)
        const one = [{ x: 0, y: 1 }]
        compare(Logic.pruneFront(one, 1000), 0)
        compare(one.length, 1)
    }

    function test_time_ranges() {
        const flat = [[{ x: 0, y: 5000 }, { x: 1, y: 5000 }], [{ x: 0, y: 5000 }]]
        const r = Logic.linearRangeFor(Logic.extentOf(flat))
        fuzzyCompare(r.min, 4999.85, 1e-9)
        compare(r.max, 5001)
        const wide = Logic.linearRangeFor({ min: 100, max: 1100 })
        compare(wide.min, 0)
        compare(wide.max, 1250)
        compare(Logic.extentOf([[], []]), null)
        compare(Logic.linearRangeFor(null), { min: 0, max: 1 })
        compare(Logic.logRangeFor(null), { min: 1, max: 10 })
        const lg = Logic.logRangeFor({ min: 0.5, max: 100 })
        compare(lg.min, 1)
        fuzzyCompare(lg.max, 115, 1e-9)
    }

    function test_interpolate() {
        const pts = [{ x: 0, y: 0 }, { x: 10, y: 100 }, { x: 10, y: 50 }, { x: 20, y: 70 }]
        verify(isNaN(Logic.interpolate([], 0)))
        verify(isNaN(Logic.interpolate(pts, -1)))
        verify(isNaN(Logic.interpolate(pts, 21)))
        compare(Logic.interpolate([{ x: 5, y: 7 }], 5), 7)
        compare(Logic.interpolate(pts, 2.5), 25)
        // First matching segment wins at a shared x.
        compare(Logic.interpolate(pts, 10), 100)
        compare(Logic.interpolate(pts, 15), 60)
        // A vertical segment gives its end value.
        compare(Logic.interpolate([{ x: 3, y: 1 }, { x: 3, y: 9 }], 3), 9)
    }

    function test_spreadTags() {
        const hits = [{ py: 50 }, { py: 10 }, { py: 12 }, { py: 20 }, { py: 100 }]
        Logic.spreadTags(hits, 16)
        compare(hits.map(h => h.py), [10, 26, 42, 58, 100])
    }

    function test_tag_placement() {
        compare(Logic.tagLeft(100, 40, 300, 8), 108)
        compare(Logic.tagLeft(280, 40, 300, 8), 232)
        compare(Logic.tagLeft(20, 40, 50, 8), 0)
        // Beside a 10-px dot: 10 px off its edge.
        compare(Logic.tagLeft(100, 40, 300, 10, 5), 115)
        compare(Logic.tagLeft(290, 40, 300, 10, 5), 235)
        compare(Logic.clampTag(195, 20, 200), 180)
        compare(Logic.clampTag(2, 20, 200), 0)
    }


    function test_histogram_values() {
        const u = Logic.histogramUpdate([0.2, "x", Infinity], 8)
        compare(u.values, [0.2, 0, 0, 0, 0, 0, 0, 0])
        compare(Logic.formatBarValue(NaN), "0")
        compare(Logic.formatBarValue(2.5), "3")
    }

    function test_barTop_both_modes() {
        const plot = { x: 10, y: 20, width: 800, height: 200 }
        let p = Logic.barTop(0, 0, 8, plot, false, 0, 2160)
        compare(p.x, 60)
        compare(p.y, 220)
        p = Logic.barTop(2, 2000, 8, plot, false, 0, 2160)
        fuzzyCompare(p.y, 20 + 200 * (1 - 2000 / 2160), 1e-9)
        // Log mode: zero is raised to the axis minimum, height 0.
        p = Logic.barTop(0, 0, 8, plot, true, 1, 2700)
        compare(p.y, 220)
        p = Logic.barTop(1, 50, 8, plot, true, 1, 2700)
        fuzzyCompare(p.y, 20 + 200 * (1 - Math.log(50) / Math.log(2700)), 1e-9)
        // Beyond the axis maximum the bar stops at the plot top.
        compare(Logic.barTop(3, 5000, 8, plot, false, 0, 2160).y, 20)
        compare(Logic.barTop(3, 1e9, 8, plot, true, 1, 2700).y, 20)
    }

    function test_sweep_helpers() {
        compare(Logic.sweepXRange(600, 200), { min: 200, max: 600 })
        compare(Logic.sweepXRange(300, 300), { min: 300, max: 301 })
        compare(Logic.menuMv(-3, 1000), 0)
        compare(Logic.menuMv(1004, 1000), 1000)
        compare(Logic.menuMv(412.4, 1000), 412)
        compare(Logic.snapIndex([0, 20, 40], 33, 14), 2)
        compare(Logic.snapIndex([0, 20, 40], 30, 14), 1) // a tie keeps the first
        compare(Logic.snapIndex([0, 20, 40], 54, 14), -1) // 14 px is too far
        compare(Logic.snapIndex([], 5, 14), -1)
    }

    function test_sweepScale_only_grows() {
        const seen = { yMin: NaN, yMax: NaN, logMin: NaN, logMax: NaN }
        let r = Logic.sweepScale(seen, 0)
        compare(r.linMin, 0)
        compare(r.linMax, 1)
        compare(r.log, null)
        r = Logic.sweepScale(seen, 100)
        compare(r.linMax, 115)
        compare(r.log, { min: 100, max: 115 })
        r = Logic.sweepScale(seen, 50)
        compare(r.linMax, 115)
        compare(r.log.min, 50)
        compare(Logic.sweepScale(seen, NaN), null)
        compare(Logic.sweepScale(seen, -1), null)
    }

    function test_threshold_text() {
        compare(Logic.stripToNumber("350 mV"), "350")
        compare(Logic.stripToNumber("1,000 mV"), "1,000")
        compare(Logic.voltsToMv(0.3505), 351)
    }
}
