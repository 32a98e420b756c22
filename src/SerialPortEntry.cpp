#include "SerialPortEntry.h"

#include <QSerialPortInfo>

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
    QList<SerialPortEntry> result;
    const auto all = QSerialPortInfo::availablePorts();
    result.reserve(all.size());
    for (const QSerialPortInfo &info : all)
        result.append(SerialPortEntry::fromInfo(info));
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
