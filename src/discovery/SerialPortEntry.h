#pragma once

#include <QList>
#include <QString>
#include <QVariantList>
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

// Reads QSerialPortInfo::availablePorts(), after the ports named in
// TACHYRA_EXTRA_PORTS.
QList<SerialPortEntry> systemSerialPorts();

// Environment variable naming serial ports the system list misses (a
// simulator's pseudo-terminal, an unusual adapter): paths separated like PATH.
inline constexpr char kExtraPortsVariable[] = "TACHYRA_EXTRA_PORTS";

// The ports `paths` names that exist and that `listed` does not already hold
// (also not through a link), in the order named. Each entry's name is the path
// as given, which is what the serial port opens.
QList<SerialPortEntry> extraSerialPorts(const QString &paths, const QList<SerialPortEntry> &listed);

// The instrument's USB identity: STM32 virtual COM port.
bool isLikelyDevice(const SerialPortEntry &port);

// The port list as the scene shows it: name, label, description and whether
// it looks like the instrument, in the order found.
QVariantList portListEntries(const QList<SerialPortEntry> &ports);

// The port to select in `entries` while no link is open: `current` while it
// is there (or the first likely instrument when none is chosen), else the
// first likely instrument, else the first port, else none.
QString choosePort(const QVariantList &entries, const QString &current);
