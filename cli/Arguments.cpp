#include "Arguments.h"

#include "LimitsText.h"

#include <QRegularExpression>

#include <cmath>

namespace arguments {

namespace {

QStringList s_negatives;

} // namespace

QStringList setAsideNegatives(const QStringList &args)
{
    static const QRegularExpression number(QStringLiteral("^-(\\d|\\.\\d)"));
    QStringList out;
    for (const QString &a : args) {
        if (number.match(a).hasMatch()) {
            out.append(QStringLiteral("\u0001%1").arg(s_negatives.size()));
            s_negatives.append(a);
        } else {
            out.append(a);
        }
    }
    return out;
}

QString restored(const QString &arg)
{
    if (arg.startsWith(QChar(1))) {
        bool ok = false;
        const int i = arg.mid(1).toInt(&ok);
        if (ok && i >= 0 && i < s_negatives.size())
            return s_negatives.at(i);
    }
    return arg;
}

QString value(const QCommandLineParser &p, const QString &option)
{
    return restored(p.value(option));
}

std::optional<qint64> wholeNumber(const QString &text, qint64 min, qint64 max)
{
    bool ok = false;
    const qint64 v = restored(text).trimmed().toLongLong(&ok, 10);
    if (!ok || v < min || v > max)
        return std::nullopt;
    return v;
}

std::optional<double> millivolts(const QString &text)
{
    bool ok = false;
    const double v = restored(text).trimmed().toDouble(&ok);
    if (!ok || !std::isfinite(v) || v < 0.0 || v > limits::kMaxLevelMv)
        return std::nullopt;
    return v + 0.0; // -0 is 0 V, not a negative zero on the wire
}

std::optional<RowFormat> rowFormat(const QCommandLineParser &p)
{
    const QString f = p.value(QStringLiteral("format"));
    if (f.isEmpty() || f == QLatin1String("csv"))
        return RowFormat::Csv;
    if (f == QLatin1String("jsonl"))
        return RowFormat::JsonLines;
    return std::nullopt;
}

QString shellQuoted(const QString &arg)
{
    static const QRegularExpression plain(QStringLiteral("^[A-Za-z0-9_./:=@%+,-]+$"));
    if (plain.match(arg).hasMatch())
        return arg;
    return QLatin1Char('\'') + QString(arg).replace(QLatin1String("'"), QLatin1String("'\\''")) + QLatin1Char('\'');
}

void addOption(QCommandLineParser &p, const char *name, const char *help, const char *value)
{
    const QString text = limits::filled(help);
    p.addOption(value ? QCommandLineOption(QLatin1String(name), text, QLatin1String(value))
                      : QCommandLineOption(QLatin1String(name), text));
}

void addFormatOption(QCommandLineParser &p)
{
    addOption(p, "format",
              "Output format: csv (with a header line, the default) or jsonl (one JSON object per line).",
              "csv|jsonl");
}

} // namespace arguments
