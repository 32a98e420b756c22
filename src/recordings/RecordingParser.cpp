#include "RecordingParser.h"

#include "ReadingRow.h"

#include <QByteArray>
#include <QCoreApplication>
#include <QDateTime>
#include <QStringList>
#include <QTimeZone>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstring>
#include <limits>
#include <optional>

namespace {

QString tr(const char *text) { return QCoreApplication::translate("RecordingParser", text); }

bool isDigit(char c) { return c >= '0' && c <= '9'; }

// `n` digits at `p` as a number, or -1.
int digits(const char *p, int n)
{
    int v = 0;
    for (int i = 0; i < n; ++i) {
        if (!isDigit(p[i]))
            return -1;
        v = v * 10 + (p[i] - '0');
    }
    return v;
}

// Days from 1970-01-01 to a date of the proleptic Gregorian calendar.
qint64 daysFromCivil(int y, int m, int d)
{
    y -= m <= 2 ? 1 : 0;
    const qint64 era = (y >= 0 ? y : y - 399) / 400;
    const int yoe = int(y - era * 400);
    const int doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const int doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + doe - 719468;
}

bool leapYear(int y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; }

// "2026-12-07T04:38:19.123Z" (the fraction of any length up to 9 digits and
// optional; "+01:00" for the Z) as ms since the epoch. Years 1 to 9999: the
// ones the writer can write back.
bool parseUtcMs(const char *p, const char *end, qint64 *ms)
{
    if (end - p < 20 || p[4] != '-' || p[7] != '-' || (p[10] != 'T' && p[10] != ' ') || p[13] != ':'
        || p[16] != ':')
        return false;
    const int year = digits(p, 4);
    const int month = digits(p + 5, 2);
    const int day = digits(p + 8, 2);
    const int hour = digits(p + 11, 2);
    const int minute = digits(p + 14, 2);
    const int second = digits(p + 17, 2);
    static constexpr int kMonthDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    if (year < 1 || month < 1 || month > 12 || day < 1 || hour < 0 || hour > 23 || minute < 0 || minute > 59
        || second < 0 || second > 59)
        return false;
    if (day > kMonthDays[month - 1] + (month == 2 && leapYear(year) ? 1 : 0))
        return false;
    p += 19;
    int millis = 0;
    if (p < end && *p == '.') {
        ++p;
        int n = 0;
        while (p < end && isDigit(*p) && n < 9) {
            if (n < 3)
                millis = millis * 10 + (*p - '0');
            ++n;
            ++p;
        }
        if (n == 0)
            return false;
        for (int i = n; i < 3; ++i)
            millis *= 10;
    }
    qint64 offsetMin = 0;
    if (p < end && (*p == 'Z' || *p == 'z')) {
        ++p;
    } else if (end - p == 6 && (*p == '+' || *p == '-') && p[3] == ':') {
        const int oh = digits(p + 1, 2);
        const int om = digits(p + 4, 2);
        if (oh < 0 || oh > 23 || om < 0 || om > 59)
            return false;
        offsetMin = qint64(*p == '-' ? -1 : 1) * (oh * 60 + om);
        p += 6;
    } else {
        return false; // no zone: not a UTC time
    }
    if (p != end)
        return false;
    const qint64 seconds = daysFromCivil(year, month, day) * 86400 + qint64(hour) * 3600 + qint64(minute) * 60
        + second - offsetMin * 60;
    *ms = seconds * 1000 + millis;
    // An offset must not carry the time out of the years the writer writes.
    constexpr qint64 kFirstMs = -62135596800000; // 0001-01-01T00:00:00.000Z
    constexpr qint64 kLastMs = 253402300799999;  // 9999-12-31T23:59:59.999Z
    return *ms >= kFirstMs && *ms <= kLastMs;
}

// How a field read: a number out of range is told apart, so that the
// message can say so.
enum class Parsed { Ok, Bad, OutOfRange };

// Decimal seconds ("12.345", "-0.5", "7") as ns, exact to the ns; longer
// fractions are cut. Out of range beyond what ns in 64 bits hold.
Parsed parseSecondsNs(const char *p, const char *end, qint64 *ns)
{
    constexpr qint64 kMaxWhole = std::numeric_limits<qint64>::max() / 1000000000;
    const bool negative = p < end && *p == '-';
    if (negative)
        ++p;
    qint64 whole = 0;
    int wholeDigits = 0;
    bool tooBig = false;
    for (; p < end && isDigit(*p); ++p, ++wholeDigits) {
        if (!tooBig)
            whole = whole * 10 + (*p - '0');
        tooBig = tooBig || whole > kMaxWhole;
    }
    qint64 fraction = 0;
    int fractionDigits = 0;
    if (p < end && *p == '.') {
        for (++p; p < end && isDigit(*p); ++p, ++fractionDigits) {
            if (fractionDigits < 9)
                fraction = fraction * 10 + (*p - '0');
        }
    }
    if (p != end || wholeDigits + fractionDigits == 0)
        return Parsed::Bad;
    for (int i = fractionDigits; i < 9; ++i)
        fraction *= 10;
    if (tooBig || (whole == kMaxWhole && fraction > std::numeric_limits<qint64>::max() % 1000000000))
        return Parsed::OutOfRange;
    *ns = (whole * 1000000000 + fraction) * (negative ? -1 : 1);
    return Parsed::Ok;
}

template<typename T>
Parsed parseNumber(const char *p, const char *end, T *value)
{
    const auto [ptr, ec] = std::from_chars(p, end, *value);
    if (ptr != end || (ec != std::errc() && ec != std::errc::result_out_of_range))
        return Parsed::Bad;
    return ec == std::errc() ? Parsed::Ok : Parsed::OutOfRange;
}

// The whole field as a double, as formatDouble writes it ("nan", "-inf",
// "-0", "5e-324"). Every NaN reads as the one NaN that "nan" stands for.
Parsed parseDouble(const char *p, const char *end, double *value)
{
    const Parsed got = parseNumber(p, end, value);
    if (got == Parsed::Ok && std::isnan(*value))
        *value = std::numeric_limits<double>::quiet_NaN();
    return got;
}

// A field as it stands in a message: quoted, at most 40 characters, bytes
// outside printable ASCII as \xNN.
QString quoted(const char *p, const char *end)
{
    constexpr qsizetype kShown = 40;
    QString out(QLatin1Char('"'));
    const qsizetype n = std::min<qsizetype>(end - p, kShown);
    for (qsizetype i = 0; i < n; ++i) {
        const auto c = static_cast<unsigned char>(p[i]);
        if (c >= 0x20 && c < 0x7f)
            out += QLatin1Char(char(c));
        else
            out += QStringLiteral("\\x%1").arg(uint(c), 2, 16, QLatin1Char('0'));
    }
    if (end - p > kShown)
        out += QChar(0x2026);
    out += QLatin1Char('"');
    return out;
}

QString utcText(qint64 ms)
{
    return QDateTime::fromMSecsSinceEpoch(ms, QTimeZone::utc()).toUTC().toString(Qt::ISODateWithMs);
}

const QList<QByteArray> &columnNames()
{
    static const QList<QByteArray> names = readingrow::csvHeader().trimmed().split(',');
    return names;
}

// Control bytes other than tab and CR: not text.
bool looksBinary(const char *p, const char *end)
{
    return std::any_of(p, end, [](char c) {
        const auto u = static_cast<unsigned char>(c);
        return (u < 0x20 && u != '\t' && u != '\r') || u == 0x7f;
    });
}

QString bareCr() { return tr("its lines end in a bare CR (old Mac style), not LF or CR LF."); }

} // namespace

QString RecordingProblem::text() const
{
    return QCoreApplication::translate("RecordingParser", "Line %1: %2").arg(line).arg(message);
}

RecordingParser::RecordingParser(qsizetype maxLineBytes) : m_maxLineBytes(std::max<qsizetype>(maxLineBytes, 1))
{
    m_fields.reserve(64);
}

template<typename Message>
void RecordingParser::problem(RecordingProblem::Kind kind, qint64 line, Message message)
{
    ++m_counts[kind];
    if (kind == RecordingProblem::FieldCount || kind == RecordingProblem::BadValue
        || kind == RecordingProblem::TimeBack || kind == RecordingProblem::LineTooLong
        || kind == RecordingProblem::RepeatedHeader)
        ++m_skipped;
    if (kind != RecordingProblem::TruncatedLastLine) {
        if (m_errorsKept >= kMaxProblemsKept)
            return;
        ++m_errorsKept;
    }
    // Messages are made only for the problems kept: a file of a million bad
    // rows costs no more than a good one.
    m_problems.append(RecordingProblem{kind, line, message()});
}

void RecordingParser::feed(const char *data, qsizetype size, QList<Reading> *out)
{
    if (size <= 0 || m_finished || m_stage == Stage::Rejected)
        return;
    if (m_stage == Stage::Sniff) {
        // The first four bytes tell a byte order mark or UTF-16 without one.
        const int take = int(std::min<qsizetype>(size, qsizetype(sizeof m_start) - m_startSize));
        std::memcpy(m_start + m_startSize, data, size_t(take));
        m_startSize += take;
        data += take;
        size -= take;
        if (m_startSize < int(sizeof m_start))
            return;
        startText(out);
    }
    feedText(data, size, out);
}

void RecordingParser::finish(QList<Reading> *out)
{
    if (m_finished)
        return;
    if (m_stage == Stage::Sniff)
        startText(out);
    m_finished = true;
    if (m_stage == Stage::Rejected)
        return;
    // A lone last byte of UTF-16 (m_oddByte) is part of a cut last line and
    // goes with it.
    if (m_skipping) {
        m_skipping = false;
    } else if (!m_carry.empty()) {
        line(m_carry.data(), qsizetype(m_carry.size()), false, out);
        m_carry.clear();
    }
    if (m_stage == Stage::Header) {
        reject(m_sawText ? tr("the first line is empty; a recording starts with its column names.")
                         : tr("the file is empty."));
    }
}

void RecordingParser::startText(QList<Reading> *out)
{
    const unsigned char *s = m_start;
    const int n = m_startSize;
    int bom = 0;
    if (n >= 3 && s[0] == 0xef && s[1] == 0xbb && s[2] == 0xbf) {
        bom = 3;
    } else if (n >= 2 && s[0] == 0xff && s[1] == 0xfe) {
        m_encoding = Encoding::Utf16LE;
        bom = 2;
    } else if (n >= 2 && s[0] == 0xfe && s[1] == 0xff) {
        m_encoding = Encoding::Utf16BE;
        bom = 2;
    } else if (n == 4 && s[0] != 0 && s[1] == 0 && s[2] != 0 && s[3] == 0) {
        m_encoding = Encoding::Utf16LE;
    } else if (n == 4 && s[0] == 0 && s[1] != 0 && s[2] == 0 && s[3] != 0) {
        m_encoding = Encoding::Utf16BE;
    }
    m_stage = Stage::Header;
    feedText(reinterpret_cast<const char *>(s) + bom, n - bom, out);
}

void RecordingParser::feedText(const char *data, qsizetype size, QList<Reading> *out)
{
    if (size <= 0)
        return;
    if (m_encoding != Encoding::Utf8) {
        // The format is ASCII: each UTF-16 code unit below 0x80 is that
        // byte, anything else a '?' that no field accepts.
        m_decoded.clear();
        m_decoded.reserve(size_t(size / 2 + 1));
        const bool little = m_encoding == Encoding::Utf16LE;
        for (qsizetype i = 0; i < size; ++i) {
            const auto b = static_cast<unsigned char>(data[i]);
            if (m_oddByte < 0) {
                m_oddByte = b;
                continue;
            }
            const unsigned unit = little ? unsigned(m_oddByte) | (unsigned(b) << 8) : (unsigned(m_oddByte) << 8) | b;
            m_oddByte = -1;
            m_decoded += unit < 0x80 ? char(unit) : '?';
        }
        data = m_decoded.data();
        size = qsizetype(m_decoded.size());
    }
    m_sawText = m_sawText || size > 0;

    const char *p = data;
    const char *const end = data + size;
    while (p < end && m_stage != Stage::Rejected) {
        const auto *nl = static_cast<const char *>(std::memchr(p, '\n', size_t(end - p)));
        const char *lineEnd = nl ? nl : end;
        if (m_skipping) {
            if (!nl)
                return;
            m_skipping = false;
        } else if (m_carry.empty() && nl && lineEnd - p <= m_maxLineBytes) {
            line(p, lineEnd - p, true, out); // the whole line in this chunk: read in place
        } else {
            const qsizetype room = m_maxLineBytes - qsizetype(m_carry.size());
            if (lineEnd - p > room) {
                m_carry.append(p, size_t(room));
                lineTooLong(m_carry.data());
                m_carry.clear();
                m_skipping = !nl;
            } else {
                m_carry.append(p, size_t(lineEnd - p));
                if (nl) {
                    line(m_carry.data(), qsizetype(m_carry.size()), true, out);
                    m_carry.clear();
                }
            }
        }
        // A rejected first line is not counted: it may have been cut at the limit.
        if (!nl || m_stage == Stage::Rejected)
            return;
        ++m_line;
        p = nl + 1;
    }
}

void RecordingParser::lineTooLong(const char *head)
{
    if (m_stage == Stage::Header) {
        const char *end = head + m_maxLineBytes;
        if (looksBinary(head, end))
            reject(tr("the file holds binary data, not text."));
        else if (std::find(head, end, '\r') != end)
            reject(bareCr());
        else
            reject(tr("the first line is longer than %1.").arg(lineLimitText()));
        return;
    }
    problem(RecordingProblem::LineTooLong, m_line,
            [this] { return tr("the line is longer than %1 and is skipped.").arg(lineLimitText()); });
}

QString RecordingParser::lineLimitText() const
{
    return m_maxLineBytes % 1024 == 0 ? tr("%1 KiB").arg(m_maxLineBytes / 1024) : tr("%1 bytes").arg(m_maxLineBytes);
}

void RecordingParser::line(const char *data, qsizetype size, bool ended, QList<Reading> *out)
{
    if (size > 0 && data[size - 1] == '\r')
        --size;
    if (m_stage == Stage::Header) {
        header(data, size);
        return;
    }
    if (size == 0)
        return; // a blank line holds nothing to skip
    if (size_t(size) == m_header.size() && std::memcmp(data, m_header.data(), m_header.size()) == 0) {
        problem(RecordingProblem::RepeatedHeader, m_line, [] {
            return tr("the header line again, as where two recordings are joined; it is skipped.");
        });
        return;
    }
    row(data, size, ended, out);
}

void RecordingParser::reject(const QString &why)
{
    m_stage = Stage::Rejected;
    problem(RecordingProblem::NotOurFormat, 1, [&why] { return tr("not a recording: %1").arg(why); });
}

void RecordingParser::header(const char *data, qsizetype size)
{
    const char *end = data + size;
    const QByteArray text = QByteArray::fromRawData(data, size);
    if (size == 0)
        return reject(tr("the first line is empty; a recording starts with its column names."));
    if (looksBinary(data, end))
        return reject(tr("the file holds binary data, not text."));
    if (text.contains('\r'))
        return reject(bareCr());
    if (QString::fromUtf8(text).contains(QChar::ReplacementCharacter))
        return reject(tr("the file holds binary data or text that is not UTF-8."));
    if (text.startsWith('{') || text.startsWith('[')) {
        return reject(text.startsWith("{\"time_utc\"")
                          ? tr("the file holds JSON lines (as tachyra-cli counts --format jsonl writes), not CSV.")
                          : tr("the file holds JSON, not CSV."));
    }
    if (text == readingrow::sweepCsvHeader().trimmed())
        return reject(tr("it is a calibration sweep (columns channel,threshold_mv,count,time_utc)."));

    const QList<QByteArray> &names = columnNames();
    const QList<QByteArray> fields = text.split(',');
    m_roles.assign(size_t(fields.size()), Ignored);
    std::fill(std::begin(m_hasColumn), std::end(m_hasColumn), false);
    // Known columns by name, in any order; others are left alone.
    for (qsizetype i = 0; i < fields.size(); ++i) {
        const qsizetype at = names.indexOf(fields.at(i));
        if (at < 0)
            continue;
        const auto role = Role(at + Time);
        if (!m_hasColumn[role]) {
            m_hasColumn[role] = true;
            m_roles[size_t(i)] = role;
        }
    }
    bool allCounts = true;
    for (int ch = 0; ch < Reading::kChannels; ++ch)
        allCounts = allCounts && m_hasColumn[Count0 + ch];
    // Two names of ours make it a recording that lacks columns; one could be
    // any file with a time column.
    if (std::count(std::begin(m_hasColumn), std::end(m_hasColumn), true) < 2) {
        const QString first = quoted(data, end);
        return reject(text.contains(',') || text.contains(';') || text.contains('\t')
                          ? tr("a CSV file of other columns, whose first line is %1.").arg(first)
                          : tr("its first line is %1, not the column names of a recording.").arg(first));
    }
    m_allLevels = true;
    for (int ch = 0; ch < Reading::kChannels; ++ch)
        m_allLevels = m_allLevels && m_hasColumn[Level0 + ch];

    QStringList missing;
    for (int role = Time; role < kRoles; ++role) {
        if (m_hasColumn[role])
            continue;
        const bool group = role >= Count0 && role < Sweep;
        const int first = role < Level0 ? Count0 : Level0;
        const bool wholeGroupMissing = group && std::none_of(m_hasColumn + first, m_hasColumn + first + Reading::kChannels, [](bool b) { return b; });
        if (wholeGroupMissing) {
            // All eight gone: named once.
            if (role == first)
                missing << QString::fromLatin1(names.at(role - Time).chopped(1)) + QStringLiteral("0..7");
            continue;
        }
        missing << QString::fromLatin1(names.at(role - Time));
    }
    if (!missing.isEmpty()) {
        const bool readable = m_hasColumn[Time] && allCounts;
        problem(RecordingProblem::MissingColumns, 1, [&] {
            return (readable ? tr("the header lacks these columns: %1; the rows are read without them.")
                             : tr("the header lacks these columns: %1; no rows can be read without them."))
                .arg(missing.join(QStringLiteral(", ")));
        });
        if (!readable) {
            m_stage = Stage::Rejected;
            return;
        }
    }
    m_header.assign(data, size_t(size));
    m_stage = Stage::Rows;
}

void RecordingParser::row(const char *data, qsizetype size, bool ended, QList<Reading> *out)
{
    const char *const end = data + size;
    const qsizetype columns = qsizetype(m_roles.size());
    m_fields.clear();
    const char *p = data;
    while (true) {
        const auto *comma = static_cast<const char *>(std::memchr(p, ',', size_t(end - p)));
        if (qsizetype(m_fields.size()) == columns) {
            // One too many already: count the rest for the message.
            const qsizetype n = columns + 1 + std::count(p, end, ',');
            problem(RecordingProblem::FieldCount, m_line, [&] {
                return tr("the header has %1 fields, this row %2.").arg(columns).arg(n);
            });
            return;
        }
        m_fields.push_back({p, comma ? comma : end});
        if (!comma)
            break;
        p = comma + 1;
    }
    const qsizetype n = qsizetype(m_fields.size());
    if (n < columns) {
        if (!ended) {
            problem(RecordingProblem::TruncatedLastLine, m_line, [&] {
                return tr("the last line has no line end and only %1 of %2 fields, as a recording cut short "
                          "leaves it; it is left out.")
                    .arg(n)
                    .arg(columns);
            });
            return;
        }
        problem(RecordingProblem::FieldCount, m_line, [&] {
            return tr("the header has %1 fields, this row %2.").arg(columns).arg(n);
        });
        return;
    }

    Reading r;
    int levelsGiven = 0;
    qsizetype firstEmptyLevel = -1;
    std::optional<Field> badElapsed; // unusable: the row is kept, the problem named last
    Parsed elapsedRead = Parsed::Ok;
    for (qsizetype i = 0; i < n; ++i) {
        const Field f = m_fields[size_t(i)];
        const Role role = m_roles[size_t(i)];
        Parsed got = Parsed::Ok;
        QString (*why)(const Field &, Role, Parsed) = nullptr;
        switch (role) {
        case Ignored:
            break;
        case Time:
            got = parseUtcMs(f.begin, f.end, &r.utcMs) ? Parsed::Ok : Parsed::Bad;
            why = [](const Field &f, Role, Parsed) {
                return tr("time_utc is not a UTC time like 2026-12-07T04:38:19.123Z: %1.").arg(quoted(f.begin, f.end));
            };
            break;
        case Elapsed:
            got = parseSecondsNs(f.begin, f.end, &r.monotonicNs);
            // Statistics and plots go by time_utc: the row stays (unless
            // this is the cut last field of the last line).
            if (got != Parsed::Ok && (ended || i < n - 1)) {
                badElapsed = f;
                elapsedRead = got;
                got = Parsed::Ok;
            }
            break;
        case Period:
            got = parseNumber(f.begin, f.end, &r.periodMs);
            why = [](const Field &f, Role, Parsed got) {
                return got == Parsed::OutOfRange
                    ? tr("period_ms is a whole number out of range (%1 to %2): %3.")
                          .arg(std::numeric_limits<int>::min())
                          .arg(std::numeric_limits<int>::max())
                          .arg(quoted(f.begin, f.end))
                    : tr("period_ms is not a whole number: %1.").arg(quoted(f.begin, f.end));
            };
            break;
        case Sweep:
            got = f.end - f.begin == 1 && (*f.begin == '0' || *f.begin == '1') ? Parsed::Ok : Parsed::Bad;
            r.sweep = got == Parsed::Ok && *f.begin == '1';
            why = [](const Field &f, Role, Parsed) { return tr("sweep is not 0 or 1: %1.").arg(quoted(f.begin, f.end)); };
            break;
        default:
            if (role >= Level0 && f.begin == f.end) {
                if (firstEmptyLevel < 0)
                    firstEmptyLevel = i;
                break;
            }
            if (role >= Level0) {
                got = parseDouble(f.begin, f.end, &r.thresholdsMv[size_t(role - Level0)]);
                ++levelsGiven;
            } else {
                got = parseDouble(f.begin, f.end, &r.counts[size_t(role - Count0)]);
            }
            why = [](const Field &f, Role role, Parsed got) {
                const QString name = QString::fromLatin1(columnNames().at(role - Time));
                if (f.begin == f.end)
                    return tr("%1 is empty.").arg(name);
                return (got == Parsed::OutOfRange ? tr("%1 is a number outside the range of a double: %2.")
                                                  : tr("%1 is not a number: %2."))
                    .arg(name, quoted(f.begin, f.end));
            };
            break;
        }
        if (got == Parsed::Ok)
            continue;
        // The last field of an unended last line was cut in its writing.
        if (!ended && i == n - 1) {
            problem(RecordingProblem::TruncatedLastLine, m_line, [&] {
                return tr("the last line has no line end and its last field is cut short, as a recording "
                          "cut short leaves it; it is left out.");
            });
            return;
        }
        problem(RecordingProblem::BadValue, m_line, [&] { return why ? why(f, role, got) : QString(); });
        return;
    }
    if (m_allLevels && levelsGiven > 0 && firstEmptyLevel >= 0) {
        const Role role = m_roles[size_t(firstEmptyLevel)];
        problem(RecordingProblem::BadValue, m_line, [&] {
            return tr("%1 is empty while other levels are given.")
                .arg(QString::fromLatin1(columnNames().at(role - Time)));
        });
        return;
    }
    if (!m_allLevels)
        r.thresholdsMv = {};
    r.levelsKnown = m_allLevels && levelsGiven == Reading::kChannels;
    if (m_haveLast && r.utcMs < m_lastUtcMs) {
        problem(RecordingProblem::TimeBack, m_line, [&] {
            return tr("time_utc %1 is earlier than the last row read (%2); the row is left out.")
                .arg(utcText(r.utcMs), utcText(m_lastUtcMs));
        });
        return;
    }
    if (!m_haveLast)
        m_firstUtcMs = r.utcMs;
    // Past 292 years of ns the elapsed time stops at its limit.
    constexpr qint64 kMaxMs = std::numeric_limits<qint64>::max() / 1000000;
    constexpr qint64 kMaxNs = std::numeric_limits<qint64>::max();
    if (!m_hasColumn[Elapsed]) {
        // Rows never go back, so this is >= 0.
        r.monotonicNs = std::min(r.utcMs - m_firstUtcMs, kMaxMs) * 1000000;
    } else if (badElapsed) {
        // On from the last row by the time between them (never back).
        const qint64 stepNs = m_haveLast ? std::min(r.utcMs - m_lastUtcMs, kMaxMs) * 1000000 : 0;
        if (__builtin_add_overflow(m_lastMonotonicNs, stepNs, &r.monotonicNs))
            r.monotonicNs = kMaxNs;
        const Field f = *badElapsed;
        problem(RecordingProblem::BadElapsed, m_line, [&] {
            return (elapsedRead == Parsed::OutOfRange
                        ? tr("elapsed_s is out of range (at most %1 s either way): %2; the row is kept, timed "
                             "from time_utc.").arg(kMaxNs / 1000000000)
                        : tr("elapsed_s is not a number of seconds: %1; the row is kept, timed from time_utc."))
                .arg(quoted(f.begin, f.end));
        });
    }
    m_haveLast = true;
    m_lastUtcMs = r.utcMs;
    m_lastMonotonicNs = r.monotonicNs;
    ++m_rows;
    out->append(r);
}
