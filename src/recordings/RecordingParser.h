#pragma once

// Reads the CSV of a recording (readingrow::csvHeader and csvRow: the
// recorder, `tachyra-cli counts`, a window export) back into Readings. Pure:
// no file, no event loop. Bytes come in chunks of any size and give the same
// readings and problems however they are cut.

#include "Reading.h"

#include <QList>
#include <QString>

#include <array>
#include <string>
#include <vector>

// One thing wrong with a recording, at a line (1 is the header).
struct RecordingProblem {
    enum Kind {
        NotOurFormat,      // the first line is not a recording's header: nothing is read
        MissingColumns,    // the header lacks columns; with no time or counts nothing is read
        FieldCount,        // a row with more or fewer fields than the header
        BadValue,          // a field that does not parse (the column is named)
        TimeBack,          // a row earlier than the last row read
        LineTooLong,       // a line over RecordingParser::kMaxLineBytes
        RepeatedHeader,    // the header line again (recordings joined): skipped
        BadElapsed,        // elapsed_s does not parse: the row is kept, timed from time_utc
        TruncatedLastLine, // a note: the last line has no line end and is cut short
    };
    static constexpr int kKinds = TruncatedLastLine + 1;

    Kind kind = NotOurFormat;
    qint64 line = 0;
    QString message; // without the line number

    bool isNote() const { return kind == TruncatedLastLine; }
    // "Line 12: count_ch3 is not a number: "12x"."
    QString text() const;

    friend bool operator==(const RecordingProblem &a, const RecordingProblem &b)
    {
        return a.kind == b.kind && a.line == b.line && a.message == b.message;
    }
};

class RecordingParser
{
public:
    // Longest line held; the rest of a longer one is skipped unread.
    static constexpr qsizetype kMaxLineBytes = qsizetype(64) * 1024;
    // Problems kept with their message; all of them are counted by kind.
    static constexpr int kMaxProblemsKept = 1000;

    enum class Encoding { Utf8, Utf16LE, Utf16BE };

    // `maxLineBytes` below kMaxLineBytes lets a fuzzer reach the over-long
    // line with small inputs.
    explicit RecordingParser(qsizetype maxLineBytes = kMaxLineBytes);

    // Takes the next `size` bytes and appends the good rows they complete to
    // `out`. Ignored once the file is rejected.
    void feed(const char *data, qsizetype size, QList<Reading> *out);
    // The end of the input: reads a last line that has no line end.
    void finish(QList<Reading> *out);

    // Not a recording (or no rows can be read): further input is ignored.
    bool rejected() const { return m_stage == Stage::Rejected; }
    bool finished() const { return m_finished; }
    Encoding encoding() const { return m_encoding; }

    qint64 rowsRead() const { return m_rows; }
    // Lines left out for an error (blank lines are not counted).
    qint64 linesSkipped() const { return m_skipped; }
    // Complete lines seen, the header included.
    qint64 lines() const { return m_line - 1; }
    // The first kMaxProblemsKept errors in line order, then the note on a
    // cut last line if there is one.
    const QList<RecordingProblem> &problems() const { return m_problems; }
    qint64 problemCount(RecordingProblem::Kind kind) const { return m_counts[kind]; }
    bool truncatedLastLine() const { return m_counts[RecordingProblem::TruncatedLastLine] > 0; }

private:
    enum class Stage { Sniff, Header, Rows, Rejected };
    // What a field of a row holds: its header name, by column.
    enum Role : unsigned char {
        Ignored,
        Time,
        Elapsed,
        Period,
        Count0,
        Level0 = Count0 + Reading::kChannels,
        Sweep = Level0 + Reading::kChannels,
        kRoles
    };
    struct Field {
        const char *begin = nullptr;
        const char *end = nullptr;
    };

    void startText(QList<Reading> *out);
    void feedText(const char *data, qsizetype size, QList<Reading> *out);
    void line(const char *data, qsizetype size, bool ended, QList<Reading> *out);
    void lineTooLong(const char *head);
    QString lineLimitText() const;
    void header(const char *data, qsizetype size);
    void reject(const QString &why);
    void row(const char *data, qsizetype size, bool ended, QList<Reading> *out);
    template<typename Message>
    void problem(RecordingProblem::Kind kind, qint64 line, Message message);

    qsizetype m_maxLineBytes = kMaxLineBytes;
    Stage m_stage = Stage::Sniff;
    Encoding m_encoding = Encoding::Utf8;
    bool m_finished = false;
    unsigned char m_start[4] = {};
    int m_startSize = 0;
    int m_oddByte = -1; // a UTF-16 code unit's first byte, waiting for its second
    std::string m_decoded;
    std::string m_carry; // the start of a line not yet ended
    bool m_skipping = false; // inside an over-long line
    bool m_sawText = false;
    qint64 m_line = 1; // the line being read

    std::string m_header; // the header line, to know it again among the rows
    std::vector<Role> m_roles;
    bool m_hasColumn[kRoles] = {};
    bool m_allLevels = false;
    std::vector<Field> m_fields;
    bool m_haveLast = false;
    qint64 m_lastUtcMs = 0;
    qint64 m_lastMonotonicNs = 0;
    qint64 m_firstUtcMs = 0;

    qint64 m_rows = 0;
    qint64 m_skipped = 0;
    QList<RecordingProblem> m_problems;
    int m_errorsKept = 0;
    std::array<qint64, RecordingProblem::kKinds> m_counts{};
};
