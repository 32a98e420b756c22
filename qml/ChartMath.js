.pragma library

// The ordered axis write, the numeric fields' parsing and formatting, and the
// channel cards' number format. Pure functions: the documents bind to them.
// The range and tick arithmetic itself is ChartScale's (TachyraCharts).

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

// A count as a screen reader says it: plain digits, six significant ones at most.
function spokenCount(count) {
    const x = Number(count)
    return isFinite(x) ? String(Number(x.toPrecision(6))) : String(x)
}

// 12345 -> "1.2345e+4": four mantissa decimals, signed exponent without padding.
function formatCount(count) {
    const x = Number(count)
    if (!isFinite(x))
        return String(x)
    return x.toExponential(4)
}
