#pragma once

#include "LinkPort.h"

#include <QSerialPort>

// The instrument's USB virtual serial port: 115200 8N1, no flow control, DTR on.
class SerialLinkPort : public LinkPort
{
    Q_OBJECT
public:
    explicit SerialLinkPort(QObject *parent = nullptr);

    void open(const QString &portName) override;
    void close() override;
    void writeBytes(const QByteArray &bytes) override;

    static QString errorText(QSerialPort::SerialPortError error);

private:
    void onError(QSerialPort::SerialPortError error);

    QSerialPort m_serial;
    bool m_opening = false;
};
