#include "SerialPortEntry.h"

#include <QDir>
#include <QFileInfo>
#include <QSerialPortInfo>
#include <QSet>

SerialPortEntry SerialPortEntry::fromInfo(const QSerialPortInfo &info)
{
    SerialPortEntry e;
    e.name = info.portName();
    e.description = info.description();
    e.manufacturer = info.manufacturer();
    e.hasVendorId = info.hasVendorIdentifier();
    e.hasProductId = info.hasProductIdentifier();
    e.vendorId = info.vendorIdentifier();
    e.productId = info.productIdentifier();
    return e;
}

QList<SerialPortEntry> systemSerialPorts()
{
    QList<SerialPortEntry> listed;
    const auto all = QSerialPortInfo::availablePorts();
    listed.reserve(all.size());
    for (const QSerialPortInfo &info : all)
        listed.append(SerialPortEntry::fromInfo(info));
    // Named ports first: whoever names one means it, unless the instrument
    // itself is plugged in (the preferred port still wins the selection).
    return extraSerialPorts(qEnvironmentVariable(kExtraPortsVariable), listed) + listed;
}

QList<SerialPortEntry> extraSerialPorts(const QString &paths, const QList<SerialPortEntry> &listed)
{
    QSet<QString> taken;
    for (const SerialPortEntry &port : listed) {
        taken.insert(port.name);
        taken.insert(QStringLiteral("/dev/") + port.name);
    }
    QList<SerialPortEntry> result;
    for (const QString &path : paths.split(QDir::listSeparator(), Qt::SkipEmptyParts)) {
        const QString real = QFileInfo(path).canonicalFilePath(); // empty when missing
        if (real.isEmpty() || taken.contains(path) || taken.contains(real))
            continue;
        taken.insert(path);
        taken.insert(real);
        SerialPortEntry e;
        e.name = path;
        e.description = QStringLiteral("named in ") + QLatin1String(kExtraPortsVariable);
        result.append(e);
    }
    return result;
}

bool isLikelyDevice(const SerialPortEntry &port)
{
    if (port.hasVendorId && port.hasProductId && port.vendorId == 0x0483 && port.productId == 0x5740)
        return true;
    return port.description.contains(QLatin1String("STM32"), Qt::CaseInsensitive)
        || port.description.contains(QLatin1String("Virtual ComPort"), Qt::CaseInsensitive)
        || port.manufacturer.contains(QLatin1String("STMicroelectronics"), Qt::CaseInsensitive);
}

QVariantList portListEntries(const QList<SerialPortEntry> &ports)
{
    QVariantList list;
    list.reserve(ports.size());
    for (const SerialPortEntry &port : ports) {
        QVariantMap entry;
        entry.insert(QStringLiteral("name"), port.name);
        entry.insert(QStringLiteral("label"), port.description.isEmpty()
                                                  ? port.name
                                                  : port.name + QStringLiteral(" \u2014 ") + port.description);
        entry.insert(QStringLiteral("description"), port.description);
        entry.insert(QStringLiteral("preferred"), isLikelyDevice(port));
        list.append(entry);
    }
    return list;
}

QString choosePort(const QVariantList &entries, const QString &current)
{
    QString firstPreferred;
    bool present = false;
    for (const QVariant &v : entries) {
        const QVariantMap entry = v.toMap();
        const QString name = entry.value(QStringLiteral("name")).toString();
        if (firstPreferred.isEmpty() && entry.value(QStringLiteral("preferred")).toBool())
            firstPreferred = name;
        present = present || name == current;
    }
    if (present)
        return current.isEmpty() && !firstPreferred.isEmpty() ? firstPreferred : current;
    if (!firstPreferred.isEmpty())
        return firstPreferred;
    return entries.isEmpty() ? QString() : entries.constFirst().toMap().value(QStringLiteral("name")).toString();
}
