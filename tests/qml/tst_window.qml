import QtQuick
import QtQuick.Controls
import QtTest
import Theme

Item {
    id: root

    Component {
        id: windowComponent
        ApplicationWindow {
            property string version: "9.9.9"
            width: 640
            height: 400
            visible: true
            title: "Frame"
        }
    }
    Component {
        id: plainWindowComponent
        ApplicationWindow { width: 400; height: 300; visible: true }
    }

    function findByName(item, name) {
        if (item.objectName === name)
            return item
        for (let i = 0; i < item.children.length; ++i) {
            const found = findByName(item.children[i], name)
            if (found)
                return found
        }
        return null
    }

    TestCase {
        name: "WindowFrame"
        when: windowShown

        function test_frame() {
            const w = createTemporaryObject(windowComponent, root)
            verify(w.flags & Qt.FramelessWindowHint)
            compare(w.color, Theme.palette.background)
            compare(w.background.border.color, Theme.palette.borderHoveredControlColor)
            compare(w.header.height, 32 * Theme.heightScale)
            compare(findByName(w.header, "versionText").text, "v. 9.9.9")
            compare(findByName(w.header, "titleText").text, "Frame")
            verify(!w.warning_icon.visible)
            // No resize grip reaches into the title bar.
            const left = findByName(w.background, "gripLeft")
            compare(left.y, w.header.height)
            compare(left.height, w.height - w.header.height - 10)
            compare(findByName(w.background, "gripBottomRight").width, 10)
        }

        function test_defaults() {
            const w = createTemporaryObject(plainWindowComponent, root)
            compare(w.title, "Application title")
            compare(findByName(w.header, "versionText").text, "v. ---")
            compare(w.animationEnable, true)
        }

        function test_doubleClickToggles() {
            const w = createTemporaryObject(windowComponent, root)
            waitForRendering(w.contentItem)
            const drag = findByName(w.header, "dragArea")
            verify(findByName(w.header, "buttonMaximize").visible)
            mouseDoubleClickSequence(drag, 200, 10)
            tryCompare(w, "maximized", true)
            verify(findByName(w.header, "buttonNormal").visible)
            verify(!findByName(w.header, "buttonMaximize").visible)
            mouseDoubleClickSequence(drag, 200, 10)
            tryCompare(w, "maximized", false)
            verify(findByName(w.header, "buttonMaximize").visible)
        }

        function test_closeButton() {
            const w = createTemporaryObject(windowComponent, root)
            const close = findByName(w.header, "buttonClose")
            compare(close.background.color, "#3f0808")
            mouseClick(close)
            tryCompare(w, "visible", false)
        }

        function test_animationOff() {
            const w = createTemporaryObject(windowComponent, root)
            w.warning_icon.visible = true
            w.animationEnable = false
            compare(w.warning_icon.opacity, 0.5)
            wait(300)
            compare(w.warning_icon.opacity, 0.5)
            const logo = findByName(w.header, "logo")
            compare(logo.children[0].height, 24 * Theme.heightScale)
            compare(logo.children[1].height, 12 * Theme.heightScale)
        }
    }
}
