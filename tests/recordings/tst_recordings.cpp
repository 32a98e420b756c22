// Reading recordings back: the parser on good, bad and hostile files in any chunking; the loader on big files.

#include "../common/RecordingMaker.h"
#include "RecordingLoader.h"
#include "RecordingParser.h"

#include <QtTest>

#include <functional>
#include <limits>
#include <optional>

#include <sys/stat.h>

namespace {

const char *const kKindNames[] = {"NotOurFormat", "MissingColumns", "FieldCount", "BadValue",
                                  "TimeBack", "LineTooLong", "RepeatedHeader", "BadElapsed", "TruncatedLastLine"};

QByteArray header() { return readingrow::csvHeader(); }
QByteArray row(qint64 i) { return csvLine(sampleReading(i)); }

QList<Reading> readings(std::initializer_list<qint64> rows)
{
    QList<Reading> out;
    for (qint64 i : rows)
        out << sampleReading(i);
    return out;
}

// Every line of `text` but blank ones through `f`, each with its line end.
QByteArray mapLines(const QByteArray &text, const std::function<QByteArray(const QByteArray &)> &f)
{
    QByteArray out;
    for (const QByteArray &line : text.split('\n'))
        out += line.isEmpty() ? QByteArray() : f(line) + '\n';
    return out;
}

// Row `i` with field `field` (0 time ... 19 sweep) replaced.
QByteArray rowWith(qint64 i, int field, const QByteArray &value)
{
    QList<QByteArray> fields = row(i).chopped(1).split(',');
    fields[field] = value;
    return fields.join(',') + '\n';
}

// Every line of `text` without the fields at `columns`.
QByteArray withoutColumns(const QByteArray &text, QList<int> columns)
{
    std::sort(columns.rbegin(), columns.rend());
    return mapLines(text, [&columns](const QByteArray &line) {
        QList<QByteArray> fields = line.split(',');
        for (int c : std::as_const(columns))
            fields.removeAt(c);
        return fields.join(',');
    });
}

QString utc(qint64 i)
{
    return QDateTime::fromMSecsSinceEpoch(sampleReading(i).utcMs, QTimeZone::utc()).toUTC().toString(Qt::ISODateWithMs);
}

QByteArray utf16(const QByteArray &text, QStringConverter::Encoding e, bool bom)
{
    return QStringEncoder(e, bom ? QStringConverter::Flag::WriteBom : QStringConverter::Flag::Default)(QString::fromLatin1(text));
}

constexpr qint64 kBigRows = 400000;

// `content`, then if `hugeLine` a line of 1 GiB (a MiB at a time) and one more row.
bool writeFile(const QString &path, const QByteArray &content, bool hugeLine = false)
{
    QFile f(path);
    bool ok = f.open(QIODevice::WriteOnly | QIODevice::Truncate) && f.write(content) == content.size();
    const QByteArray block = QByteArray("1234567,").repeated(1 << 17);
    for (int i = 0; hugeLine && ok && i < 1024; ++i)
        ok = f.write(block) == block.size();
    return ok && (!hugeLine || f.write('\n' + row(1)) > 0) && f.flush();
}

// What one open delivered, checked as it arrives.
struct Received {
    explicit Received(RecordingLoader &loader)
    {
        QObject::connect(&loader, &RecordingLoader::readingsRead, [this, &loader](const RecordingBatch &b) {
            QCOMPARE(b.firstRow, rows - rowsBefore);
            QVERIFY(loader.progress() >= lastProgress);
            lastProgress = loader.progress();
            rows += b.readings.size();
            ++batches;
            partial += loader.progress() < 1.0;
            if (onBatch)
                onBatch(b);
        });
        QObject::connect(&loader, &RecordingLoader::finished, [this](const RecordingSummary &s) {
            summaries << s;
            rowsBefore = rows; // the next open counts from 0
            lastProgress = 0;
        });
    }
    qint64 rows = 0, rowsBefore = 0;
    int batches = 0, partial = 0; // partial: batches shown before the whole file was read
    double lastProgress = 0;
    QList<RecordingSummary> summaries;
    std::function<void(const RecordingBatch &)> onBatch;
};

// ASan holds freed memory in quarantine: resident memory says nothing there.
#ifndef __has_feature
#define __has_feature(x) 0 // GCC before 14
#endif
#if defined(__SANITIZE_ADDRESS__) || __has_feature(address_sanitizer)
constexpr bool kMemoryMeasurable = false;
#else
constexpr bool kMemoryMeasurable = true;
#endif

bool readingThreadsEnded(const RecordingLoader &loader) { return loader.findChildren<QThread *>().isEmpty(); }

// This process's resident set (VmRSS) or its peak since resetPeakRss (VmHWM), in KiB.
qint64 statusKiB(const char *field)
{
    QFile f(QStringLiteral("/proc/self/status"));
    const QString status = f.open(QIODevice::ReadOnly) ? QString::fromLatin1(f.readAll()) : QString();
    return QRegularExpression(QLatin1String(field) + QStringLiteral("\\s*(\\d+)")).match(status).captured(1).toLongLong();
}

bool resetPeakRss()
{
    QFile f(QStringLiteral("/proc/self/clear_refs"));
    return f.open(QIODevice::WriteOnly) && f.write("5") == 1;
}
} // namespace

class TestRecordings : public QObject
{
    Q_OBJECT
private slots:
    // Files that are not a recording, bad rows (the good ones around kept), and good files, in any chunking.
    void files_data()
    {
        QTest::addColumn<QByteArray>("file");
        QTest::addColumn<QList<Reading>>("kept");
        QTest::addColumn<QStringList>("problems");
        QTest::addColumn<qint64>("skipped");

        const auto notOurs = [](const char *name, const QByteArray &file, const QString &why) {
            QTest::newRow(name) << file << QList<Reading>() << QStringList{"NotOurFormat Line 1: not a recording: " + why}
                                << qint64(0);
        };
        notOurs("0 bytes", QByteArray(), "the file is empty.");
        notOurs("only a byte order mark", "\xef\xbb\xbf", "the file is empty.");
        notOurs("PNG", QByteArray("\x89PNG\r\n\x1a\n\0\0\0\rIHDR", 16),
                "the file holds binary data or text that is not UTF-8.");
        notOurs("binary", QByteArray("\x7f" "ELF\x02\x01\x01\0\0\0\0\0\0\0\0\0\x03\0>\0", 20),
                "the file holds binary data, not text.");
        notOurs("Latin-1 text", "Z\xe4hlung;Wert\n", "the file holds binary data or text that is not UTF-8.");
        notOurs("64 KiB of NUL", QByteArray(70000, '\0'), "the file holds binary data, not text.");
        notOurs("first line over 64 KiB", QByteArray(70000, 'a') + '\n' + row(20),
                "the first line is longer than 64 KiB.");
        notOurs("blank first line", '\n' + header() + row(20),
                "the first line is empty; a recording starts with its column names.");
        notOurs("bare CR line ends", header().replace('\n', '\r') + row(20).replace('\n', '\r'),
                "its lines end in a bare CR (old Mac style), not LF or CR LF.");
        notOurs("JSON lines", readingrow::jsonLine(sampleReading(20), 1.0),
                "the file holds JSON lines (as tachyra-cli counts --format jsonl writes), not CSV.");
        notOurs("calibration sweep", readingrow::sweepCsvHeader() + "0,12.5,300,2026-12-07T04:38:19.123Z\n",
                "it is a calibration sweep (columns channel,threshold_mv,count,time_utc).");
        notOurs("another CSV", "date;value\n2026-12-07;3\n",
                "a CSV file of other columns, whose first line is \"date;value\".");
        notOurs("one of our names only", "time_utc,value\n2026-12-07T04:38:19.123Z,3\n",
                "a CSV file of other columns, whose first line is \"time_utc,value\".");
        notOurs("text", "Dear operator\n", "its first line is \"Dear operator\", not the column names of a recording.");

        const QByteArray full = header() + row(20) + row(21);
        const auto lacking = [](const char *columns, bool readable) {
            return QStringList{QStringLiteral("MissingColumns Line 1: the header lacks these columns: %1; %2 without them.")
                                   .arg(QLatin1String(columns), readable ? "the rows are read" : "no rows can be read")};
        };
        QList<Reading> noLevelsNoSweep = readings({20, 21});
        for (Reading &r : noLevelsNoSweep) {
            r.thresholdsMv = {};
            r.levelsKnown = false;
            r.sweep = false;
        }
        QTest::newRow("header lacks a level and sweep")
            << withoutColumns(full, {14, 19}) << noLevelsNoSweep << lacking("threshold_mv_ch3, sweep", true) << qint64(0);
        // Without elapsed_s the time since the first row stands in, at most the largest ns count.
        QList<Reading> noElapsed = readings({20, 21});
        noElapsed[0].monotonicNs = 0;
        noElapsed[1].monotonicNs = (noElapsed[1].utcMs - noElapsed[0].utcMs) * 1000000;
        QTest::newRow("header lacks elapsed_s: time since the first row")
            << withoutColumns(full, {1}) << noElapsed << lacking("elapsed_s", true) << qint64(0);
        noElapsed[0].utcMs = QDateTime(QDate(1700, 1, 1), QTime(0, 0), QTimeZone::utc()).toMSecsSinceEpoch();
        noElapsed[1].monotonicNs = std::numeric_limits<qint64>::max() / 1000000 * 1000000;
        QTest::newRow("header lacks elapsed_s, rows 300 years apart")
            << withoutColumns(header() + csvLine(noElapsed[0]) + row(21), {1}) << noElapsed << lacking("elapsed_s", true)
            << qint64(0);
        QTest::newRow("header lacks all counts")
            << withoutColumns(full, {3, 4, 5, 6, 7, 8, 9, 10}) << QList<Reading>() << lacking("count_ch0..7", false) << qint64(0);
        QTest::newRow("header lacks the time and a count")
            << withoutColumns(full, {0, 7}) << QList<Reading>() << lacking("time_utc, count_ch4", false) << qint64(0);

        // One bad line 3 between good lines 2 and 4.
        const auto badRow = [](const char *name, const QByteArray &line, const QString &problem) {
            QTest::newRow(name) << header() + row(20) + line + row(22) << readings({20, 22})
                                << QStringList{problem} << qint64(1);
        };
        const auto fields = [](int n) { return QStringLiteral("FieldCount Line 3: the header has 20 fields, this row %1.").arg(n); };
        badRow("19 fields", rowWith(21, 19, "").replace(",\n", "\n"), fields(19));
        badRow("23 fields", rowWith(21, 19, "0,1,2,3"), fields(23));
        badRow("blank-ish line", " \n", fields(1));
        // Field `field` of line 3 set to `value`: `why`, then the value quoted.
        const auto badField = [&badRow](const char *name, int field, const QByteArray &value, const char *why) {
            badRow(name, rowWith(21, field, value), QStringLiteral("BadValue Line 3: %1 \"%2\".").arg(why, value));
        };
        const char *const notTime = "time_utc is not a UTC time like 2026-12-07T04:38:19.123Z:";
        badField("count not a number", 6, "12x", "count_ch3 is not a number:");
        badRow("count empty", rowWith(21, 3, ""), "BadValue Line 3: count_ch0 is empty.");
        badRow("count with a NUL", rowWith(21, 3, QByteArray("1\0", 2)),
               "BadValue Line 3: count_ch0 is not a number: \"1\\x00\".");
        badField("count beyond a double", 10, "1e999", "count_ch7 is a number outside the range of a double:");
        badField("level below a double", 11, "-1e-400", "threshold_mv_ch0 is a number outside the range of a double:");
        badField("count with a plus", 4, "+5", "count_ch1 is not a number:");
        badField("level not a number", 12, "abc", "threshold_mv_ch1 is not a number:");
        badRow("decimal comma in a level", rowWith(21, 12, "1,5"), fields(21));
        badRow("level missing among levels", rowWith(21, 13, ""),
               "BadValue Line 3: threshold_mv_ch2 is empty while other levels are given.");
        badField("time without zone", 0, "2026-12-07T04:38:19.123", notTime);
        badField("time on 31 April", 0, "2026-04-31T04:38:19.123Z", notTime);
        badField("offset before year 1", 0, "0001-01-01T00:30:00.000+01:00", notTime);
        badField("29 February of 2026", 0, "2026-02-29T04:38:19.123Z", notTime);
        badField("29 February of 1900", 0, "1900-02-29T04:38:19.123Z", notTime);
        badField("hour 24", 0, "2026-12-07T24:00:00.000Z", notTime);
        badField("period not whole", 2, "50.5", "period_ms is not a whole number:");
        badField("period beyond an int", 2, "99999999999",
                 "period_ms is a whole number out of range (-2147483648 to 2147483647):");
        badRow("header again (files joined)", header(),
               "RepeatedHeader Line 3: the header line again, as where two recordings are joined; it is skipped.");
        // elapsed_s is in no figure: the row stays, timed on from the last one by time_utc.
        QList<Reading> timed = readings({20, 21, 22});
        timed[1].monotonicNs = timed[0].monotonicNs + (timed[1].utcMs - timed[0].utcMs) * 1000000;
        for (const auto &[value, why] : {std::pair{"1e3", "not a number of seconds"},
                                         std::pair{"9223372037.000", "out of range (at most 9223372036 s either way)"}})
            QTest::addRow("elapsed_s %s", value) << header() + row(20) + rowWith(21, 1, value) + row(22) << timed
                << QStringList{QStringLiteral("BadElapsed Line 3: elapsed_s is %1: \"%2\"; the row is kept, timed "
                                              "from time_utc.").arg(why, value)} << qint64(0);
        badField("sweep 2", 19, "2", "sweep is not 0 or 1:");
        badRow("over 64 KiB", QByteArray(70000, '7') + '\n', "LineTooLong Line 3: the line is longer than 64 KiB and is skipped.");
        QTest::newRow("time going back")
            << header() + row(20) + row(22) + row(21) + row(23) << readings({20, 22, 23}) << QStringList{
            QStringLiteral("TimeBack Line 4: time_utc %1 is earlier than the last row read (%2); the row is left out.")
                .arg(utc(21), utc(22))} << qint64(1);

        // A recording cut by a power loss: a note, no error, nothing skipped.
        const auto cutRow = [](const char *name, const QByteArray &tail, const QString &how) {
            QTest::newRow(name) << header() + row(20) + row(21) + tail << readings({20, 21})
                                << QStringList{QStringLiteral("TruncatedLastLine Line 4: the last line has no line end and "
                                                              "%1, as a recording cut short leaves it; it is left out.").arg(how)}
                                << qint64(0);
        };
        const QByteArray cut = row(22).left(50);
        cutRow("last line cut in a field", cut, QStringLiteral("only %1 of 20 fields").arg(cut.count(',') + 1));
        cutRow("last line cut before the sweep flag", row(22).chopped(2), QStringLiteral("its last field is cut short"));
        cutRow("NUL-filled tail after a crash", QByteArray(4096, '\0'), QStringLiteral("only 1 of 20 fields"));

        // What the recorder writes reads back as the same Reading, bit for bit.
        const auto written = [](const char *name, const QList<Reading> &rows) {
            QByteArray file = header();
            for (const Reading &r : rows)
                file += csvLine(r);
            QTest::newRow(name) << file << rows << QStringList() << qint64(0);
        };
        constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
        constexpr double kInf = std::numeric_limits<double>::infinity();
        constexpr double kMax = std::numeric_limits<double>::max();
        constexpr double kTiny = std::numeric_limits<double>::denorm_min();
        const auto with = [](std::array<double, 8> counts, std::optional<std::array<double, 8>> levels = {}) {
            Reading r = sampleReading(40);
            r.counts = counts;
            r.levelsKnown = levels.has_value();
            r.thresholdsMv = levels.value_or(std::array<double, 8>{});
            return r;
        };
        written("NaN, infinities, -0", {with({kNaN, kInf, -kInf, -0.0, 0.0, 2, 1, -1})});
        written("extremes", {with({1e308, 5e-324, kMax, -kMax, kTiny, 2.2250738585072014e-308, 0.1, 1e21})});
        written("shortest forms",
                {with({123456789012345680.0, 1e-7, 0.30000000000000004, 1.0 / 3.0, 9007199254740993.0, 100, 1e16, 12.5})});
        written("levels unknown vs known, hard levels",
                {with({1, 2, 3, 4, 5, 6, 7, 8}),
                 with({1, 2, 3, 4, 5, 6, 7, 8}, std::array<double, 8>{0.0, -0.0, kNaN, kInf, 0.123, 1e-3, -250.5, 5e-324})});
        Reading sweep = sampleReading(41);
        sweep.sweep = true;
        Reading longer = sampleReading(42);
        longer.periodMs = 1000;
        Reading negative = sampleReading(43);
        negative.periodMs = -7;
        written("sweep 0/1, period changes", {sampleReading(40), sweep, longer, negative});
        Reading before1970 = sampleReading(0);
        before1970.utcMs = -1;
        before1970.monotonicNs = -1500000000; // before the recording's start
        Reading year9999 = sampleReading(1);
        year9999.utcMs = 253402300799999; // 9999-12-31T23:59:59.999Z
        year9999.monotonicNs = 31536000123000000; // a year in, to the ms
        Reading leapDay2000 = sampleReading(2), leapDay2024 = sampleReading(3);
        leapDay2000.utcMs = 951782400000; // 2000-02-29T00:00:00.000Z
        leapDay2024.utcMs = 1709251199999; // 2024-02-29T23:59:59.999Z
        written("times from 1969 to 9999, leap days", {before1970, leapDay2000, leapDay2024, sampleReading(0), year9999});

        // The same rows in every form a recording may take on its way.
        const QByteArray plain = sampleRecording(13); // levels unknown, then known; a sweep row
        const auto good = [](const char *name, const QByteArray &file) {
            QTest::newRow(name) << file << readings({0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12}) << QStringList() << qint64(0);
        };
        good("as written", plain);
        good("CRLF", QByteArray(plain).replace("\n", "\r\n"));
        good("UTF-8 byte order mark", "\xef\xbb\xbf" + plain);
        good("UTF-16LE with mark", utf16(plain, QStringConverter::Utf16LE, true));
        good("UTF-16BE with mark", utf16(plain, QStringConverter::Utf16BE, true));
        good("UTF-16LE without mark", utf16(plain, QStringConverter::Utf16LE, false));
        good("UTF-16LE CRLF", utf16(QByteArray(plain).replace("\n", "\r\n"), QStringConverter::Utf16LE, true));
        good("no line end after the last row", plain.chopped(1));
        good("blank lines", QByteArray(plain).replace(row(3), row(3) + "\n\r\n") + "\n\n");
        // Known columns in any order, others ignored (another build's export, a hand-edited file).
        good("columns reordered, one more", mapLines(plain, [](const QByteArray &line) {
                 const QList<QByteArray> f = line.split(',');
                 return f.last() + ',' + f.mid(0, f.size() - 1).join(',') + (line.startsWith("time_utc") ? ",note" : ",x");
             }));
        // Times another program may write for the same instants.
        good("times with an offset from UTC", mapLines(plain, [](const QByteArray &line) {
                 QList<QByteArray> f = line.split(',');
                 const QDateTime t = QDateTime::fromString(QString::fromLatin1(f[0]), Qt::ISODateWithMs);
                 f[0] = t.isValid() ? t.toOffsetFromUtc(-5400).toString(Qt::ISODateWithMs).toLatin1() : f[0];
                 return f.join(',');
             }));
        good("times to the microsecond", QByteArray(plain).replace("Z,", "456Z,"));
        QList<Reading> fewDigits = readings({20, 21});
        fewDigits[0].utcMs = 1796618299100;
        fewDigits[1].utcMs = 1796618299120;
        QTest::newRow("times to the tenth, to the hundredth")
            << header() + rowWith(20, 0, "2026-12-07T04:38:19.1Z") + rowWith(21, 0, "2026-12-07T04:38:19.12Z")
            << fewDigits << QStringList() << qint64(0);
    }
    void files()
    {
        QFETCH(QByteArray, file);
        QFETCH(QList<Reading>, kept);
        QFETCH(QStringList, problems);
        QFETCH(qint64, skipped);
        for (const qsizetype chunk : {1, 7, 4096, 0}) { // 0: all at once
            RecordingParser parser;
            QList<Reading> got;
            const qsizetype step = chunk > 0 ? chunk : std::max<qsizetype>(file.size(), 1);
            for (qsizetype at = 0; at < file.size(); at += step)
                parser.feed(file.constData() + at, std::min(step, file.size() - at), &got);
            parser.finish(&got);
            QStringList said; // "<kind> Line N: message"
            for (const RecordingProblem &p : parser.problems())
                said << QString::fromLatin1(kKindNames[p.kind]) + QLatin1Char(' ') + p.text();
            QCOMPARE(said, problems);
            QCOMPARE(got, kept);
            QCOMPARE(parser.linesSkipped(), skipped);
            QCOMPARE(parser.rejected(), kept.isEmpty() && problems.constFirst().contains(QLatin1String("Line 1:")));
        }
    }

    // The first 1000 messages kept, all counted, and the cut last line still noted.
    void problemsAreCapped()
    {
        const QByteArray file = header() + rowWith(20, 3, "bad").repeated(3000) + row(20) + "2026-12";
        RecordingParser parser;
        QList<Reading> out;
        parser.feed(file.constData(), file.size(), &out);
        parser.finish(&out);
        QCOMPARE(out, readings({20}));
        QCOMPARE(parser.problems().size(), RecordingParser::kMaxProblemsKept + 1);
        QCOMPARE(parser.problems().at(999).line, 1001);
        QCOMPARE(parser.problems().constLast().kind, RecordingProblem::TruncatedLastLine);
        QCOMPARE(parser.problems().constLast().line, 3003);
        QCOMPARE(parser.problemCount(RecordingProblem::BadValue), 3000);
        QCOMPARE(parser.linesSkipped(), 3000);
        QVERIFY(parser.truncatedLastLine());
        QCOMPARE(parser.lines(), 3002);
    }

    void initTestCase()
    {
        QVERIFY(m_dir.isValid());
        m_big = m_dir.filePath(QStringLiteral("big.csv"));
        QVERIFY(writeFile(m_big, sampleRecording(kBigRows)));
    }

    // To a slow receiver: rows in order, in batches while the file is read, never within open(); no hang on a FIFO
    // or a device; not a recording: no further than the first chunk. Memory a few batches, even for a 1 GiB line.
    void summaries_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QByteArray>("content"); // the file written first, unless null
        QTest::addColumn<qint64>("rows");
        QTest::addColumn<QString>("text");
        QTest::newRow("400,000 rows") << "big.csv" << QByteArray() << kBigRows << "Rows read: 400,000.";
        QTest::newRow("missing") << "missing.csv" << QByteArray() << qint64(0) << "Cannot open %1: no such file.";
        QTest::newRow("folder") << "." << QByteArray() << qint64(0) << "Cannot open %1: not a regular file.";
        QTest::newRow("FIFO") << "fifo" << QByteArray() << qint64(0) << "Cannot open %1: not a regular file.";
        QTest::newRow("/dev/zero") << "/dev/zero" << QByteArray() << qint64(0) << "Cannot open %1: not a regular file.";
        QTest::newRow("0 bytes") << "empty.csv" << QByteArray("") << qint64(0) << "Line 1: not a recording: the file is empty.";
        QTest::newRow("binary") << "binary.bin" << QByteArray(8 << 20, '\x01') << qint64(0)
                                << "Line 1: not a recording: the file holds binary data, not text.";
        QTest::newRow("bad rows") << "bad.csv" << header() + row(0) + "x\n" + row(1) + "2026-12-07T04:38" << qint64(2)
                                  << "Rows read: 2. Lines skipped: 1. The last line was cut short and is left out.";
        QTest::newRow("a line of 1 GiB") << "huge.csv" << header() + row(0) << qint64(2) << "Rows read: 2. Lines skipped: 1.";
    }
    void summaries()
    {
        QFETCH(QString, name);
        QFETCH(QByteArray, content);
        QFETCH(qint64, rows);
        QFETCH(QString, text);
        const QString path = name.startsWith('/') ? name : m_dir.filePath(name);
        if (name == QLatin1String("fifo"))
            QVERIFY(::mkfifo(QFile::encodeName(path).constData(), 0600) == 0 || QFileInfo::exists(path));
        const bool huge = name == QLatin1String("huge.csv");
        QVERIFY(content.isNull() || writeFile(path, content, huge));
        RecordingLoader loader;
        Received got(loader);
        QSignalSpy progress(&loader, &RecordingLoader::progressChanged);
        qint64 misplaced = 0;
        got.onBatch = [&misplaced](const RecordingBatch &b) {
            for (qsizetype i = 0; i < b.readings.size(); ++i)
                misplaced += b.readings.at(i) != sampleReading(b.firstRow + i);
            QThread::msleep(20);
        };
        const qint64 before = statusKiB("VmRSS:");
        const bool measurable = kMemoryMeasurable && resetPeakRss();
        loader.open(QUrl::fromLocalFile(path));
        QVERIFY(loader.loading() && got.summaries.isEmpty());
        QTRY_COMPARE_WITH_TIMEOUT(got.summaries.size(), 1, 120000);
        const qint64 grewKiB = statusKiB("VmHWM:") - before;
        const qint64 size = QFileInfo(path).size();
        if (huge)
            QFile::remove(path);
        QVERIFY2(!measurable || grewKiB < (rows == kBigRows ? 32 : 16) * 1024,
                 qPrintable(QStringLiteral("peak RSS grew by %1 KiB").arg(grewKiB)));
        RecordingSummary s = got.summaries.constFirst();
        QCOMPARE(s.text(), text.contains(QLatin1String("%1")) ? text.arg(path) : text);
        QCOMPARE(loader.summaryText(), s.text());
        QVERIFY(got.rows == rows && s.rows == rows && misplaced == 0 && !loader.loading());
        QVERIFY(!s.rejected || s.bytesRead == std::min(RecordingLoader::kChunkBytes, size));
        if (rows > 0) {
            QVERIFY(s.bytesRead == size && s.fileSize == size && loader.progress() == 1.0);
            QVERIFY(progress.size() >= got.batches);
            QVERIFY2(rows < kBigRows || got.partial >= 3, "the rows come in batches while the file is read");
        }
        if (rows == 2) {
            QCOMPARE(s.problems.size(), huge ? 1 : 2);
            QCOMPARE(s.problems.at(0).line, 3);
            QCOMPARE(s.problems.at(0).kind, huge ? RecordingProblem::LineTooLong : RecordingProblem::FieldCount);
            QCOMPARE(s.problemCounts[s.problems.at(0).kind], 1);
            s.error = QStringLiteral("Input/output error"); // a read error after the first bytes: the file did open
            QCOMPARE(s.text(), text + QStringLiteral(" Reading stopped: Input/output error."));
        }
    }

    // Cancel or another open: `finished` (cancelled) before the call returns, the reading thread gone.
    void cancelStopsAtOnce_data()
    {
        QTest::addColumn<int>("how");
        QTest::newRow("between batches") << 0;
        QTest::newRow("from a batch handler") << 1;
        QTest::newRow("by opening another file") << 2;
    }
    void cancelStopsAtOnce()
    {
        QFETCH(int, how);
        const QString small = m_dir.filePath(QStringLiteral("small.csv"));
        QVERIFY(writeFile(small, sampleRecording(5)));
        RecordingLoader loader;
        Received got(loader);
        bool cancelled = false;
        int batchesAfter = 0;
        QList<Reading> readings;
        const auto cancel = [&] {
            cancelled = true;
            how == 2 ? loader.openFile(small) : loader.cancel();
            QCOMPARE(got.summaries.size(), 1);
        };
        got.onBatch = [&](const RecordingBatch &b) {
            readings += b.readings;
            batchesAfter += cancelled && how != 2;
            if (how == 1 && !cancelled)
                cancel();
        };
        loader.openFile(m_big);
        QTRY_VERIFY(got.batches > 0);
        const qint64 fromBig = got.rows;
        if (how != 1)
            cancel();
        QVERIFY(got.summaries.constFirst().cancelled);
        QCOMPARE(got.summaries.constFirst().rows, fromBig);
        QVERIFY(fromBig < kBigRows);
        if (how == 2) {
            QCOMPARE(loader.filePath(), small);
            QTRY_COMPARE(got.summaries.size(), 2);
            const RecordingSummary s = got.summaries.at(1);
            QVERIFY(!s.cancelled && s.filePath == small && s.rows == 5);
            QCOMPARE(readings.size(), fromBig + 5);
            QCOMPARE(readings.mid(fromBig), readings.mid(0, 5)); // rows 0..4 of the same series
            QTRY_VERIFY(readingThreadsEnded(loader));
            return;
        }
        QVERIFY(!loader.loading());
        QVERIFY(loader.summaryText().endsWith(QLatin1String("Cancelled.")));
        QTRY_VERIFY(readingThreadsEnded(loader));
        QTest::qWait(100);
        QCOMPARE(batchesAfter, 0);
        loader.cancel(); // nothing under way: no second `finished`
        QCOMPARE(got.summaries.size(), 1);
    }

private:
    QTemporaryDir m_dir;
    QString m_big;
};

QTEST_GUILESS_MAIN(TestRecordings)
#include "tst_recordings.moc"
