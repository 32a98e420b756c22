#pragma once

#include <QList>
#include <QString>
#include <functional>

class QSerialPortInfo;

// What the port list needs of one serial port, copied out of QSerialPortInfo
// so that tests can hand in made-up ports.
struct SerialPortEntry {
    QString name;
    QString description;
    QString manufacturer;
    bool hasVendorId = false;
    bool hasProductId = false;
    quint16 vendorId = 0;
    quint16 productId = 0;

    static SerialPortEntry fromInfo(const QSerialPortInfo &info);
};

using SerialPortSource = std::function<QList<SerialPortEntry>()>;

// Reads QSerialPortInfo::availablePorts().
QList<SerialPortEntry> systemSerialPorts();

// The instrument's USB identity: STM32 virtual COM port.
bool isLikelyDevice(const SerialPortEntry &port);
