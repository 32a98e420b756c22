#include "FileStats.h"

#include "Output.h"
#include "RecordingParser.h"
#include "RunningStats.h"
#include "StatsRow.h"

#include <QFile>

int printFileStats(const QString &path, RowFormat format)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        output::message(QStringLiteral("cannot open %1: %2").arg(path, file.errorString()));
        return exitcode::kDevice;
    }
    RecordingParser parser;
    RunningStats stats;
    QList<Reading> readings;
    QByteArray chunk(1 << 20, Qt::Uninitialized);
    const auto take = [&] {
        for (const Reading &r : std::as_const(readings))
            stats.add(r);
        readings.clear();
    };
    while (!parser.rejected()) {
        const qint64 n = file.read(chunk.data(), chunk.size());
        if (n < 0) {
            output::message(QStringLiteral("cannot read %1: %2").arg(path, file.errorString()));
            return exitcode::kDevice;
        }
        if (n == 0)
            break;
        parser.feed(chunk.constData(), n, &readings);
        take();
    }
    parser.finish(&readings);
    take();
    for (const RecordingProblem &p : parser.problems())
        output::message(p.text());
    if (parser.rejected())
        return exitcode::kDevice;
    if (parser.linesSkipped() > 0)
        output::message(QStringLiteral("%1 rows read, %2 lines skipped").arg(parser.rowsRead()).arg(parser.linesSkipped()));

    // A reader gone away (`| head`) is not a failure.
    if (output::line(statsrow::table(stats, format == RowFormat::Csv)) == output::Write::Failed) {
        output::message(QStringLiteral("cannot write the statistics: %1").arg(output::lastWriteError()));
        return exitcode::kDevice;
    }
    return exitcode::kOk;
}
