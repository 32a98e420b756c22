#include "Ipv4.h"

#include <QStringList>

#include <algorithm>

namespace ipv4 {

bool parseIpv4(const QString &text, QString *normalised)
{
    const QStringList parts = text.trimmed().split(QLatin1Char('.'), Qt::KeepEmptyParts);
    if (parts.size() != 4)
        return false;
    int values[4];
    for (int i = 0; i < 4; ++i) {
        bool ok = false;
        const int v = parts.at(i).toInt(&ok, 10);
        if (!ok || v < 0 || v > 255)
            return false;
        values[i] = v;
    }
    if (normalised) {
        *normalised = QStringLiteral("%1.%2.%3.%4")
                          .arg(values[0]).arg(values[1]).arg(values[2]).arg(values[3]);
    }
    return true;
}

namespace {

// A piece's leading number, as a script's parseInt reads it; -1 when there is none.
qint64 leadingNumber(const QString &piece)
{
    qsizetype i = 0;
    while (i < piece.size() && piece.at(i).isSpace())
        ++i;
    bool negative = false;
    if (i < piece.size() && (piece.at(i) == u'+' || piece.at(i) == u'-'))
        negative = piece.at(i++) == u'-';
    qint64 value = -1;
    for (; i < piece.size() && piece.at(i) >= u'0' && piece.at(i) <= u'9'; ++i)
        value = std::min<qint64>(qMax<qint64>(value, 0) * 10 + (piece.at(i).unicode() - u'0'), 1000);
    return value >= 0 && negative && value > 0 ? 1000 : value; // below 0 is out of range too
}

} // namespace

QString normalizeLenient(const QString &text, const QString &fallback)
{
    const QStringList pieces = text.trimmed().split(QLatin1Char('.'), Qt::KeepEmptyParts);
    if (pieces.size() != 4)
        return fallback;
    QStringList out;
    for (const QString &piece : pieces) {
        const qint64 v = leadingNumber(piece);
        if (v < 0 || v > 255)
            return fallback;
        out.append(QString::number(v));
    }
    return out.join(QLatin1Char('.'));
}

bool isHostAddress(const QString &text)
{
    const QString plain = normalizeLenient(text, QString());
    return !plain.isEmpty() && plain != QLatin1String("0.0.0.0");
}

QString cleanHost(const QString &text)
{
    QString s = text.trimmed();
    const qsizetype colon = s.indexOf(QLatin1Char(':'));
    if (colon >= 0)
        s = s.left(colon).trimmed();
    QString normalised;
    if (parseIpv4(s, &normalised))
        s = normalised;
    return s;
}

} // namespace ipv4
