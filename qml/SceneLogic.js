.pragma library

// Pure logic of the home page, the settings page and the three chart views.
// The documents call these; the Quick tests call the same functions.

function indexOfName(list, name) {
    if (!list)
        return -1
    for (let i = 0; i < list.length; ++i) {
        const e = list[i]
        if (e && e.name === name)
            return i
    }
    return -1
}

// Toolbar enabling rules.
function transportEnabled(connected, chromeLocked) {
    return !connected && !chromeLocked
}

function connectEnabled(connected, chromeLocked, calibrationRunning, tcpMode, tcpAddressValid, portName) {
    if (chromeLocked || calibrationRunning)
        return false
    if (connected)
        return true
    return tcpMode ? tcpAddressValid : String(portName || "") !== ""
}

function cardsButtonEnabled(calibrationRunning, tcpScanning) {
    return !calibrationRunning && !tcpScanning
}

function viewButtonEnabled(connected, calibrationRunning, tcpScanning) {
    return connected && !calibrationRunning && !tcpScanning
}

// ---- Chart hover tags ----

// Left edge of a tag beside a line (or a marker of the given half width):
// gap px to its right, or to its left when it would cross the right edge
// (never left of 0).
function tagLeft(centreX, tagWidth, plotWidth, gap, halfWidth) {
    const half = halfWidth || 0
    const right = centreX + half + gap
    if (right + tagWidth <= plotWidth)
        return right
    return Math.max(0, centreX - half - gap - tagWidth)
}

// Clamps a centred tag so it stays within [0, limit].
function clampTag(centre, size, limit) {
    return Math.max(0, Math.min(limit - size, centre - size / 2))
}

// ---- Histogram view ----

function formatBarValue(v) {
    const x = Number(v)
    if (!isFinite(x))
        return "0"
    return String(Math.round(x))
}

// Top centre of bar i in chart coordinates; plot = {x, y, width, height}.
function barTop(i, v, channelCount, plot, logMode, axisMin, axisMax) {
    const n = Math.max(1, channelCount)
    const slot = plot.width / n
    const x = plot.x + (i + 0.5) * slot
    let frac
    if (logMode) {
        const vv = Math.max(v, axisMin)
        const lmin = Math.log(Math.max(axisMin, 1))
        const lmax = Math.log(Math.max(axisMax, axisMin * 10))
        frac = lmax > lmin ? (Math.log(vv) - lmin) / (lmax - lmin) : 0
    } else {
        frac = axisMax > axisMin ? (v - axisMin) / (axisMax - axisMin) : 0
    }
    if (!(frac >= 0))
        frac = 0
    frac = Math.min(1, frac)
    return { x: x, y: plot.y + plot.height * (1 - frac), slot: slot }
}

// ---- Calibration view ----

function sweepXRange(fromMv, toMv) {
    const lo = Math.min(fromMv, toMv)
    let hi = Math.max(fromMv, toMv)
    if (hi <= lo)
        hi = lo + 1
    return { min: lo, max: hi }
}

// Threshold offered by the plot's menu: whole mV within the DAC range.
function menuMv(valueMv, dacMaxMv) {
    const r = Math.round(valueMv)
    if (!(r >= 0))
        return 0
    return Math.min(dacMaxMv, r)
}

// Index of the point whose x is nearest to cursorX and strictly closer than
// limit px; the first of equally near points wins. -1 when none.
function snapIndex(pixelXs, cursorX, limit) {
    let best = -1
    let bestDist = limit
    for (let i = 0; i < pixelXs.length; ++i) {
        const d = Math.abs(pixelXs[i] - cursorX)
        if (d < bestDist) {
            best = i
            bestDist = d
        }
    }
    return best
}

// Tops for tags {x, y, width, height} (y: the top wanted) so that no two
// overlap: from the highest wanted down, each goes below any placed one it
// would cover; then, from the lowest up, any that ends past `limit` moves up
// above the one under it, none above 0.
function spreadTags(tags, limit) {
    const order = tags.map((t, i) => i).sort((a, b) => tags[a].y - tags[b].y)
    const tops = tags.map(t => t.y)
    const across = (a, b) => tags[a].x < tags[b].x + tags[b].width && tags[b].x < tags[a].x + tags[a].width
    const covers = (a, b) => across(a, b) && tops[a] < tops[b] + tags[b].height && tops[b] < tops[a] + tags[a].height
    for (let k = 0; k < order.length; ++k) {
        const i = order[k]
        for (let moved = true; moved;) {
            moved = false
            for (let j = 0; j < k; ++j) {
                if (covers(i, order[j])) {
                    tops[i] = tops[order[j]] + tags[order[j]].height + 1
                    moved = true
                }
            }
        }
    }
    for (let k = order.length - 1; k >= 0; --k) {
        const i = order[k]
        let top = limit - tags[i].height
        for (let j = k + 1; j < order.length; ++j) {
            if (across(i, order[j]))
                top = Math.min(top, tops[order[j]] - tags[i].height - 1)
        }
        tops[i] = Math.max(0, Math.min(tops[i], top))
    }
    return tops
}

// ---- Settings page ----

// Threshold box text: every character but digits, ".", "," and "-" removed.
function stripToNumber(text) {
    return String(text).replace(/[^0-9.,\-]/g, "")
}

// The scene's unit conversions, in one place (the ranges come from the
// session's constant properties): a level in whole mV, a level in volts as
// the session takes it, a count per second of its gate, whole seconds.
function voltsToMv(volts) {
    return Math.round(Number(volts) * 1000)
}

function mvToVolts(mv) {
    return mv / 1000.0
}

function ratePerSecond(count, periodMs) {
    return periodMs > 0 ? count * 1000 / periodMs : NaN
}

function wholeSeconds(ms) {
    return Math.floor(ms / 1000)
}

// Status bar: elapsed recording time as H:MM:SS.
function formatElapsed(ms) {
    const s = Math.max(0, wholeSeconds(ms))
    const two = n => (n < 10 ? "0" : "") + n
    return Math.floor(s / 3600) + ":" + two(Math.floor(s / 60) % 60) + ":" + two(s % 60)
}

// A count or a rate as a hover or bar tag shows it: counts whole; rates
// whole from 100 up, else to three figures.
function formatReading(v, perSecond) {
    const x = Number(v)
    if (!isFinite(x))
        return String(x)
    if (!perSecond || Math.abs(x) >= 100)
        return String(Math.round(x))
    return String(Number(x.toPrecision(3)))
}

// A figure of the statistics strip: "—" for none; whole numbers as they
// are; others to six figures, with an exponent beyond a million or below
// a thousandth.
function formatStat(v, whole) {
    const x = Number(v)
    if (!isFinite(x))
        return "\u2014"
    if (whole)
        return String(Math.round(x))
    const a = Math.abs(x)
    if (a >= 1e6 || (a > 0 && a < 1e-3))
        return x.toExponential(3)
    return String(Number(x.toPrecision(6)))
}
