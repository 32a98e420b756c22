#include "SerialLinkPort.h"

namespace {
// What a link may hold unread; frames are cut out one chunk at a time, so an
// instrument that floods the link is held back by the kernel's buffers.
constexpr qint64 kMaxUnreadBytes = qint64(64) * 1024;
} // namespace

SerialLinkPort::SerialLinkPort(QObject *parent) : LinkPort(parent)
{
    m_serial.setReadBufferSize(kMaxUnreadBytes);
    connect(&m_serial, &QSerialPort::readyRead, this, [this] {
        const QByteArray bytes = m_serial.readAll();
        if (!bytes.isEmpty())
            emit bytesReceived(bytes);
    });
    connect(&m_serial, &QSerialPort::errorOccurred, this, &SerialLinkPort::onError);
}

QString SerialLinkPort::errorText(QSerialPort::SerialPortError error)
{
    switch (error) {
    case QSerialPort::DeviceNotFoundError: return QStringLiteral("COM port not found");
    case QSerialPort::PermissionError:
#ifdef Q_OS_LINUX
        // Linux serial ports belong to the dial-out group; say what opens them.
        return QStringLiteral("COM port access denied: join the dialout group and log in again, or install "
                              "the package's udev rule; another program may also hold the port");
#else
        return QStringLiteral("COM port access denied");
#endif
    case QSerialPort::OpenError: return QStringLiteral("Failed to open COM port");
    case QSerialPort::WriteError: return QStringLiteral("COM write error");
    case QSerialPort::ReadError: return QStringLiteral("COM read error");
    case QSerialPort::ResourceError: return QStringLiteral("COM port disconnected");
    case QSerialPort::UnsupportedOperationError: return QStringLiteral("COM operation not supported");
    case QSerialPort::TimeoutError: return QStringLiteral("COM timeout");
    case QSerialPort::NotOpenError: return QStringLiteral("COM port is not open");
    default: return QStringLiteral("COM error");
    }
}

void SerialLinkPort::open(const QString &portName)
{
    m_opening = true;
    m_serial.setPortName(portName);
    m_serial.setBaudRate(QSerialPort::Baud115200, QSerialPort::AllDirections);
    m_serial.setDataBits(QSerialPort::Data8);
    m_serial.setParity(QSerialPort::NoParity);
    m_serial.setStopBits(QSerialPort::OneStop);
    m_serial.setFlowControl(QSerialPort::NoFlowControl);
    const bool ok = m_serial.open(QIODevice::ReadWrite);
    if (ok) {
        // A pseudo-terminal refuses both; the port works all the same.
        m_serial.setDataTerminalReady(true);
        m_serial.setRequestToSend(false);
    }
    m_opening = false;
    if (ok)
        emit opened();
    else
        emit openFailed(errorText(m_serial.error()));
}

void SerialLinkPort::close()
{
    if (m_serial.isOpen())
        m_serial.close();
}

void SerialLinkPort::writeBytes(const QByteArray &bytes)
{
    m_serial.write(bytes);
    m_serial.flush();
}

void SerialLinkPort::onError(QSerialPort::SerialPortError error)
{
    // open() and clearError() report NoError; errors while opening are the opening's.
    if (error == QSerialPort::NoError || m_opening)
        return;
    // A port unplugged or taken away is gone; anything else is only a message.
    const bool fatal = error == QSerialPort::PermissionError || error == QSerialPort::ResourceError;
    if (fatal)
        close();
    emit communicationError(errorText(error), fatal);
}
