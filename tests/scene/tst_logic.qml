import QtQuick
import QtTest
import "qrc:/qt/qml/TachyraApp/SceneLogic.js" as Logic

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
}
