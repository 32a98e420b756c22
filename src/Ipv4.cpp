#include "Ipv4.h"

#include <QStringList>

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
