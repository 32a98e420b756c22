.pragma library

// Arithmetic shared by the chart axes, the range setters, the numeric fields
// and the channel cards. Pure functions: the documents bind to them.

function isPositiveFinite(x) {
    return typeof x === "number" && isFinite(x) && x > 0
}

// Nice number near x: 1, 2, 5 or 10 times a power of ten.
function niceNumber(x, rounded) {
    if (!isPositiveFinite(x))
        return 1
    const exponent = Math.floor(Math.log(x) / Math.LN10)
    const power = Math.pow(10, exponent)
    const fraction = x / power
    let nice
    if (rounded)
        nice = fraction < 1.5 ? 1 : fraction < 3 ? 2 : fraction < 7 ? 5 : 10
    else
        nice = fraction <= 1 ? 1 : fraction <= 2 ? 2 : fraction <= 5 ? 5 : 10
    return nice * power
}

// How many ticks fit along an axis of the given length with labels of this size.
function desiredTickCount(availableLength, labelPixelSize) {
    if (!(availableLength > 0))
        return 4
    const labelPx = Math.max(labelPixelSize * 2.6, 20)
    return Math.min(5, Math.max(3, Math.floor(availableLength / labelPx)))
}

function tickInterval(min, max, desiredCount) {
    const range = max - min
    if (!isPositiveFinite(range))
        return 1
    const mRange = niceNumber(range, false)
    const ticks = Math.max(desiredCount, 2)
    const interval = niceNumber(mRange / ticks, true)
    return interval > 0 ? interval : mRange
}

// Assign an axis range so that min never exceeds max between the two writes.
function applyRange(axis, newMin, newMax) {
    if (newMin < axis.max) {
        axis.min = newMin
        axis.max = newMax
    } else {
        axis.max = newMax
        axis.min = newMin
    }
}

function linearRange(newMin, newMax) {
    if (!(newMax > newMin))
        newMax = newMin + 1
    return { min: newMin, max: newMax }
}

function logRange(newMin, newMax) {
    if (!(newMin >= 1))
        newMin = 1
    if (!(newMax > newMin))
        newMax = newMin * 10
    return { min: newMin, max: newMax }
}

function setLinearRange(axis, newMin, newMax) {
    const r = linearRange(newMin, newMax)
    applyRange(axis, r.min, r.max)
}

function setLogRange(axis, newMin, newMax) {
    const r = logRange(newMin, newMax)
    applyRange(axis, r.min, r.max)
}

// Numeric field input: lenient leading-number parse after dropping white space
// and taking the first comma as decimal point. NaN when there is no number.
function parseNumber(text) {
    const cleaned = String(text).replace(/\s+/g, "").replace(",", ".")
    return parseFloat(cleaned)
}

// The value a numeric field commits for its text; bounds apply unless equal.
function commitValue(text, oldValue, minValue, maxValue) {
    const parsed = parseNumber(text)
    if (isNaN(parsed))
        return oldValue
    if (minValue !== maxValue)
        return Math.min(Math.max(parsed, minValue), maxValue)
    return parsed
}

function formatFixed(value, decimals) {
    if (decimals > 0)
        return Number(value).toFixed(decimals)
    return String(Math.floor(Number(value) + 0.5))
}

// 12345 -> "1.2345e+4": four mantissa decimals, signed exponent without padding.
function formatCount(count) {
    const x = Number(count)
    if (!isFinite(x))
        return String(x)
    return x.toExponential(4)
}
