// Link management: serial and TCP transports, the opening exchange, errors
// and the clean-up when a link ends, and the serial port list.
#include "DeviceSession.h"

namespace {

const QChar kEllipsis(0x2026);
const QString kMiddleDot = QStringLiteral(" \u00B7 ");

QString serialErrorText(QSerialPort::SerialPortError error)
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

QString tcpErrorText(QAbstractSocket::SocketError error)
{
    switch (error) {
    case QAbstractSocket::ConnectionRefusedError: return QStringLiteral("Connection refused");
    case QAbstractSocket::RemoteHostClosedError: return QStringLiteral("Remote host closed the connection");
    case QAbstractSocket::HostNotFoundError: return QStringLiteral("Host not found");
    case QAbstractSocket::SocketAccessError: return QStringLiteral("TCP access denied");
    case QAbstractSocket::SocketResourceError: return QStringLiteral("TCP resource error");
    case QAbstractSocket::SocketTimeoutError: return QStringLiteral("TCP timeout");
    case QAbstractSocket::NetworkError: return QStringLiteral("Network error");
    case QAbstractSocket::AddressInUseError: return QStringLiteral("Address already in use");
    case QAbstractSocket::SocketAddressNotAvailableError: return QStringLiteral("TCP address not available");
    case QAbstractSocket::UnsupportedSocketOperationError: return QStringLiteral("TCP operation not supported");
    case QAbstractSocket::TemporaryError: return QStringLiteral("Temporary TCP error");
    default: return QStringLiteral("TCP error");
    }
}

} // namespace

void DeviceSession::connectToDevice(bool tcp)
{
    if (m_connected || m_connecting)
        return;
    if (tcp)
        connectTcp();
    else
        connectSerial();
}

void DeviceSession::connectSerial()
{
    if (m_portName.isEmpty()) {
        setLastError(QStringLiteral("No COM port selected"));
        return;
    }
    m_transport = 0;
    setLastError(QString());
    setConnecting(true);
    setStatusText(QStringLiteral("Opening ") + m_portName + kEllipsis);

    m_serial.setPortName(m_portName);
    m_serial.setBaudRate(QSerialPort::Baud115200, QSerialPort::AllDirections);
    m_serial.setDataBits(QSerialPort::Data8);
    m_serial.setParity(QSerialPort::NoParity);
    m_serial.setStopBits(QSerialPort::OneStop);
    m_serial.setFlowControl(QSerialPort::NoFlowControl);
    if (m_serial.open(QIODevice::ReadWrite)) {
        m_serial.setDataTerminalReady(true);
        m_serial.setRequestToSend(false);
        onOpened();
        return;
    }
    setConnecting(false);
    setLastError(serialErrorText(m_serial.error()));
    setStatusText(QStringLiteral("Disconnected"));
}

void DeviceSession::connectTcp()
{
    QString address;
    if (!parseIpv4(m_tcpHost, &address) || address == QLatin1String("0.0.0.0")) {
        setLastError(QStringLiteral("Invalid IP address"));
        return;
    }
    m_scanner.stop();
    m_transport = 1;
    setLastError(QString());
    setConnecting(true);
    setStatusText(QStringLiteral("Connecting ") + address + kEllipsis);

    m_suppressLinkEvents = true;
    m_socket.abort();
    const QHostAddress local = localBindFor(address);
    if (!local.isNull())
        m_socket.bind(local, 0);
    m_suppressLinkEvents = false;

    m_socket.connectToHost(QHostAddress(address), kTcpPort, QIODevice::ReadWrite);
    m_tcpConnectTimer.start();
}

void DeviceSession::onTcpConnected()
{
    if (!m_connecting || m_transport != 1)
        return;
    m_tcpConnectTimer.stop();
    onOpened();
}

void DeviceSession::onOpened()
{
    setConnecting(false);
    setConnectedState(true);
    setLastError(QString());
    setStatusText(QStringLiteral("Connected") + kMiddleDot + linkLabel());

    clearReceiveBuffer();
    clearQueue();
    setDacLevelsKnown(false);
    setCountsLive(false);
    m_linkId = linkIdentity();
    // Levels saved on another instrument are not this one's to put back.
    if (!m_savedLevelsLink.isEmpty() && m_savedLevelsLink != m_linkId) {
        m_savedDacLevels.clear();
        m_savedLevelsLink.clear();
    }

    m_portRefreshTimer.stop();
    m_scanner.stop();

    // An instrument still booting may miss this one; the rest of the
    // opening goes on without it.
    Pending period{zrf::kPeriodQuery, zrf::encodeFrame(zrf::kPeriodQuery, {}),
                   [this](bool ok, const QByteArray &payload) {
                       handlePeriodReadBack(ok, payload, false);
                       continueOpening();
                   }};
    period.expired = [this] { continueOpening(); };
    enqueuePending(std::move(period));
}

void DeviceSession::continueOpening()
{
    updatePollInterval();
    if (!m_savedLevelsLink.isEmpty()) {
        // A sweep was cut off on this very link: its mutes must not stay.
        m_savedLevelsLink.clear();
        m_restoreAfterInterruption = true;
        restoreSavedDacLevels();
    }
    refreshDacVolts();
    refreshNetwork();
    // A sweep or network change started meanwhile keeps holding the poll.
    if (!m_calibrationRunning && !m_networkApplying)
        m_pollTimer.start();
    refreshCounts();
}

QString DeviceSession::linkIdentity() const
{
    QString host;
    if (m_transport == 1)
        return parseIpv4(m_tcpHost, &host) ? QStringLiteral("tcp:") + host : QString();
    return QStringLiteral("serial:") + m_portName;
}

void DeviceSession::onClosed()
{
    m_calibrationWaitTimer.stop();
    if (m_calibrationRunning) {
        m_calibrationRunning = false;
        emit calibrationRunningChanged();
        emit calibrationFinished();
    }
    // Levels not yet taken back stay for the next opening of this link.
    if (m_savedDacLevels.size() == kChannelCount)
        m_savedLevelsLink = m_linkId;
    m_restoreInFlight = false;

    m_pollTimer.stop();
    m_commandTimer.stop();
    m_eepromTimer.stop();
    m_eepromWriteDue = false;
    m_countsFreshTimer.stop();
    clearQueue();
    clearReceiveBuffer();
    setCountsLive(false);

    setConnecting(false);
    setConnectedState(false);

    setNetworkMode(QString());
    setIpAddress(QString());
    setGateway(QString());
    setNetmask(QString());

    if (m_networkApplying) {
        m_networkApplying = false;
        emit networkApplyingChanged();
    }

    setStatusText(QStringLiteral("Disconnected"));

    if (!m_portRefreshTimer.isActive())
        m_portRefreshTimer.start();
    refreshPorts();
}

void DeviceSession::disconnectFromDevice()
{
    m_pollTimer.stop();
    m_commandTimer.stop();
    clearQueue();
    clearReceiveBuffer();

    m_suppressLinkEvents = true;
    m_tcpConnectTimer.stop();
    if (m_socket.state() != QAbstractSocket::UnconnectedState)
        m_socket.abort();
    if (m_serial.isOpen())
        m_serial.close();
    onClosed();
    m_suppressLinkEvents = false;
}

void DeviceSession::closeLink()
{
    m_tcpConnectTimer.stop();
    if (m_socket.state() != QAbstractSocket::UnconnectedState)
        m_socket.abort();
    if (m_serial.isOpen())
        m_serial.close();
}

void DeviceSession::onTcpError()
{
    if (m_suppressLinkEvents || m_transport != 1)
        return;
    const QAbstractSocket::SocketError error = m_socket.error();
    if (error == QAbstractSocket::RemoteHostClosedError && !m_connected && !m_connecting)
        return;
    m_tcpConnectTimer.stop();
    if (m_connecting) {
        m_suppressLinkEvents = true;
        closeLink();
        m_suppressLinkEvents = false;
        setConnecting(false);
        setLastError(tcpErrorText(error));
        setStatusText(QStringLiteral("Disconnected"));
    } else if (m_connected) {
        setLastError(tcpErrorText(error));
        m_suppressLinkEvents = true;
        closeLink();
        onClosed();
        m_suppressLinkEvents = false;
    }
}

void DeviceSession::onTcpDisconnected()
{
    if (m_suppressLinkEvents || m_transport != 1)
        return;
    if (m_connecting) {
        m_tcpConnectTimer.stop();
        setConnecting(false);
        setLastError(QStringLiteral("TCP connection closed"));
        setStatusText(QStringLiteral("Disconnected"));
    } else if (m_connected) {
        onClosed();
    }
}

void DeviceSession::onTcpConnectTimeout()
{
    if (!m_connecting || m_transport != 1)
        return;
    m_suppressLinkEvents = true;
    m_tcpConnectTimer.stop();
    if (m_socket.state() != QAbstractSocket::UnconnectedState)
        m_socket.abort();
    if (m_serial.isOpen())
        m_serial.close();
    m_suppressLinkEvents = false;
    setConnecting(false);
    setLastError(QStringLiteral("TCP connect timeout"));
    setStatusText(QStringLiteral("Disconnected"));
}

void DeviceSession::onSerialError(QSerialPort::SerialPortError error)
{
    if (error == QSerialPort::NoError)
        return;
    setLastError(serialErrorText(error));
    setConnecting(false);
    if (error == QSerialPort::PermissionError || error == QSerialPort::ResourceError) {
        if (m_serial.isOpen())
            m_serial.close();
        if (m_connected)
            onClosed();
    }
}

void DeviceSession::refreshPorts()
{
    QVariantList list;
    QString firstPreferred;
    const QList<SerialPortEntry> found = m_portSource();
    list.reserve(found.size());
    for (const SerialPortEntry &port : found) {
        const bool preferred = ::isLikelyDevice(port);
        if (preferred && firstPreferred.isEmpty())
            firstPreferred = port.name;
        QVariantMap entry;
        entry.insert(QStringLiteral("name"), port.name);
        entry.insert(QStringLiteral("label"),
                     port.description.isEmpty()
                         ? port.name
                         : port.name + QStringLiteral(" \u2014 ") + port.description);
        entry.insert(QStringLiteral("description"), port.description);
        entry.insert(QStringLiteral("preferred"), preferred);
        list.append(entry);
    }
    if (list != m_ports) {
        m_ports = list;
        emit portsChanged();
    }
    if (m_connected)
        return;

    bool present = false;
    for (const QVariant &v : std::as_const(m_ports)) {
        if (v.toMap().value(QStringLiteral("name")).toString() == m_portName) {
            present = true;
            break;
        }
    }
    if (present) {
        if (m_portName.isEmpty() && !firstPreferred.isEmpty())
            setPortName(firstPreferred);
    } else if (!firstPreferred.isEmpty()) {
        setPortName(firstPreferred);
    } else if (m_ports.isEmpty()) {
        setPortName(QString());
    } else {
        setPortName(m_ports.constFirst().toMap().value(QStringLiteral("name")).toString());
    }
}
