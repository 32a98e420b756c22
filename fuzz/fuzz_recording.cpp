// RecordingParser takes any file: whole and in chunks (byte by byte or of
// random sizes) it gives the same readings and problems; problems stay bounded and in line
// order, the counts add up, kept rows never go back in time, and every
// reading written again with readingrow::csvRow reads back the same.
#include "FuzzCheck.h"
#include "ReadingRow.h"
#include "RecordingParser.h"

#include <QDateTime>

#include <cstdint>
#include <cstring>

namespace {

// A line limit a small input can pass, so over-long lines are reached too.
constexpr qsizetype kLineLimit = 300;

struct Result {
    QList<Reading> readings;
    QList<RecordingProblem> problems;
    std::array<qint64, RecordingProblem::kKinds> counts{};
    qint64 skipped = 0;
    qint64 rows = 0;
    qint64 lines = 0;
    bool rejected = false;
    bool truncated = false;
};

template<typename NextChunk>
Result parse(const char *data, qsizetype size, NextChunk nextChunk)
{
    RecordingParser parser(kLineLimit);
    Result r;
    for (qsizetype at = 0; at < size;) {
        const qsizetype n = std::min(nextChunk(), size - at);
        parser.feed(data + at, n, &r.readings);
        at += n;
    }
    parser.finish(&r.readings);
    parser.finish(&r.readings); // a second end changes nothing
    r.problems = parser.problems();
    for (int k = 0; k < RecordingProblem::kKinds; ++k)
        r.counts[size_t(k)] = parser.problemCount(RecordingProblem::Kind(k));
    r.skipped = parser.linesSkipped();
    r.rows = parser.rowsRead();
    r.lines = parser.lines();
    r.rejected = parser.rejected();
    r.truncated = parser.truncatedLastLine();
    return r;
}

bool same(const Result &a, const Result &b)
{
    return a.readings == b.readings && a.problems == b.problems && a.counts == b.counts && a.skipped == b.skipped
        && a.rows == b.rows && a.lines == b.lines && a.rejected == b.rejected && a.truncated == b.truncated;
}

void checkResult(const Result &r)
{
    FUZZ_CHECK(r.rows == r.readings.size());
    FUZZ_CHECK(r.problems.size() <= RecordingParser::kMaxProblemsKept + 1);
    qint64 total = 0;
    for (qint64 c : r.counts)
        total += c;
    FUZZ_CHECK(total >= r.problems.size());
    FUZZ_CHECK(r.skipped == r.counts[RecordingProblem::FieldCount] + r.counts[RecordingProblem::BadValue]
                                + r.counts[RecordingProblem::TimeBack] + r.counts[RecordingProblem::LineTooLong]
                                + r.counts[RecordingProblem::RepeatedHeader]);
    FUZZ_CHECK(r.counts[RecordingProblem::BadElapsed] <= r.rows); // a row kept for each
    FUZZ_CHECK(r.counts[RecordingProblem::NotOurFormat] <= 1 && r.counts[RecordingProblem::MissingColumns] <= 1);
    FUZZ_CHECK(r.counts[RecordingProblem::TruncatedLastLine] <= 1);
    FUZZ_CHECK(r.truncated == (r.counts[RecordingProblem::TruncatedLastLine] == 1));
    if (r.counts[RecordingProblem::NotOurFormat] == 1) {
        FUZZ_CHECK(r.rejected && r.readings.isEmpty() && r.problems.size() == 1);
        FUZZ_CHECK(r.problems.constFirst().kind == RecordingProblem::NotOurFormat);
    }
    if (r.rejected)
        FUZZ_CHECK(r.readings.isEmpty());
    // Strictly increasing lines: one problem per line at most; the note last.
    qint64 last = 0;
    for (qsizetype i = 0; i < r.problems.size(); ++i) {
        const RecordingProblem &p = r.problems.at(i);
        FUZZ_CHECK(p.line > last && p.line <= r.lines + 1);
        FUZZ_CHECK(!p.message.isEmpty());
        FUZZ_CHECK(!p.isNote() || i == r.problems.size() - 1);
        FUZZ_CHECK((p.kind == RecordingProblem::NotOurFormat || p.kind == RecordingProblem::MissingColumns)
                   == (p.line == 1));
        last = p.line;
    }
    for (qsizetype i = 1; i < r.readings.size(); ++i)
        FUZZ_CHECK(r.readings.at(i).utcMs >= r.readings.at(i - 1).utcMs);
}

// Written again as the recorder writes it, a reading reads back the same
// (its monotonic time only to the ms the row keeps, so it is left out).
void checkWrittenAgain(Reading r)
{
    if (!r.levelsKnown)
        FUZZ_CHECK(r.thresholdsMv == (std::array<double, Reading::kChannels>{}));
    const QByteArray text = readingrow::csvHeader() + readingrow::csvRow(r, 0);
    RecordingParser again;
    QList<Reading> back;
    again.feed(text.constData(), text.size(), &back);
    again.finish(&back);
    FUZZ_CHECK(again.problems().isEmpty());
    FUZZ_CHECK(back.size() == 1);
    r.monotonicNs = 0;
    FUZZ_CHECK(back.constFirst() == r);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const auto *bytes = reinterpret_cast<const char *>(data);
    const auto n = qsizetype(size);

    const Result whole = parse(bytes, n, [n] { return std::max<qsizetype>(n, 1); });
    checkResult(whole);
    // Chunk sizes from the input's own hash, so the same input is cut the
    // same way: one input in four byte by byte, the others mostly in small
    // pieces and now and then a long one.
    uint64_t state = 1469598103934665603ULL;
    for (size_t i = 0; i < size; ++i)
        state = (state ^ data[i]) * 1099511628211ULL;
    const bool byteByByte = state % 4 == 0;
    const auto next = [&state, byteByByte] {
        if (byteByByte)
            return qsizetype(1);
        state ^= state << 13;
        state ^= state >> 7;
        state ^= state << 17;
        return qsizetype(state % 9 == 0 ? 1 + state % 700 : 1 + state % 13);
    };
    FUZZ_CHECK(same(parse(bytes, n, next), whole));

    for (qsizetype i = 0; i < std::min<qsizetype>(whole.readings.size(), 4); ++i)
        checkWrittenAgain(whole.readings.at(i));
    return 0;
}
