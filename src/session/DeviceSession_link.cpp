// Link management: serial and TCP transports, the opening exchange, errors
// and the clean-up when a link ends, and the serial port list.
#include "DeviceSession.h"

#include <QEventLoop>

#include <utility>

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
    connectToDevice(tcp, Done());
}

void DeviceSession::connectToDevice(bool tcp, Done done)
{
    if (m_connected || m_connecting) {
        refuse(done, DeviceError::Busy);
        return;
    }
    finishOperation(std::exchange(m_openOp, 0), Outcome(DeviceError::LinkLost));
    m_openOp = beginOperation(std::move(done));
    if (tcp)
        connectTcp();
    else
        connectSerial();
}

void DeviceSession::failConnectAttempt(const QString &message)
{
    setConnecting(false);
    setLastError(message);
    setStatusText(QStringLiteral("Disconnected"));
    finishOperation(std::exchange(m_openOp, 0), Outcome(DeviceError::ConnectFailed, message));
}

void DeviceSession::connectSerial()
{
    if (m_portName.isEmpty()) {
        reportError(DeviceError::NoPortSelected);
        finishOperation(std::exchange(m_openOp, 0), Outcome(DeviceError::NoPortSelected));
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
    failConnectAttempt(serialErrorText(m_serial.error()));
}

void DeviceSession::connectTcp()
{
    QString address;
    if (!parseIpv4(m_tcpHost, &address) || address == QLatin1String("0.0.0.0")) {
        reportError(DeviceError::InvalidIpAddress);
        finishOperation(std::exchange(m_openOp, 0), Outcome(DeviceError::InvalidIpAddress));
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
    m_closing = false;
    m_linkId = linkIdentity();
    // Levels saved on another link are not this one's to put back.
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
                       takePeriodReply(ok, payload);
                       continueOpening();
                   }};
    period.expired = [this] { continueOpening(); };
    enqueuePending(std::move(period));
}

void DeviceSession::continueOpening()
{
    updatePollInterval();
    // A sweep cut off on this very link: its mutes must not stay, but what
    // answers here may be another unit, or this one set anew meanwhile. The
    // level read below decides.
    m_restoreAfterInterruption = !m_savedLevelsLink.isEmpty();
    m_savedLevelsLink.clear();
    readDacLevels(0, kLevelReadAttempts);
    refreshNetwork();
    // A sweep or network change started meanwhile keeps holding the poll.
    if (!m_calibrationRunning && !m_networkApplying)
        m_pollTimer.start();
    // The opening is over once its first count read is.
    enqueueCountQuery(false, 0);
    Pending &last = m_queue.last();
    const Completion read = last.done;
    last.done = [this, read](bool ok, const QByteArray &payload) {
        read(ok, payload);
        finishOpening();
    };
    last.expired = [this] { finishOpening(); };
}

void DeviceSession::finishOpening()
{
    finishOperation(std::exchange(m_openOp, 0), Outcome());
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
    // Levels not yet taken back stay for the next opening of this link,
    // with the sweep that muted the others.
    if (m_savedDacLevels.size() == kChannelCount)
        m_savedLevelsLink = m_linkId;
    m_restoreInFlight = false;
    m_restoreAfterInterruption = false;

    // An operator's level the instrument runs but has not stored: say so
    // rather than let it pass.
    Outcome why; // ok: the operator closed the link
    if (m_eepromWriteDue || m_eepromInFlight) {
        const QString text = deviceErrorText(DeviceError::ThresholdNotStored);
        why = Outcome(DeviceError::ThresholdNotStored,
                      m_operatorClose || m_lastError.isEmpty() ? text : m_lastError + kMiddleDot + text);
        reportError(why);
    } else if (!m_operatorClose) {
        why = Outcome(DeviceError::LinkLost,
                      m_lastError.isEmpty() ? deviceErrorText(DeviceError::LinkLost) : m_lastError);
    }
    m_operatorClose = false;
    const QList<quint64> unstored = m_eepromDueOps;
    m_eepromDueOps.clear();
    m_eepromTimer.stop();
    m_eepromWriteDue = false;
    m_eepromInFlight = false;
    m_closing = false;

    m_pollTimer.stop();
    m_commandTimer.stop();
    m_countsFreshTimer.stop();
    clearQueue();
    clearReceiveBuffer();
    setCountsLive(false);
    setDacLevelsKnown(false);

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

    // Callers hear of it last, with the session already closed.
    for (quint64 id : unstored)
        finishOperation(id, Outcome(DeviceError::ThresholdNotStored));
    const quint64 closeOp = std::exchange(m_closeOp, 0);
    finishAllOperations(Outcome(DeviceError::LinkLost, why.ok() ? deviceErrorText(DeviceError::LinkLost) : why.message));
    finishOperation(closeOp, why);
    emit linkClosed(why);
}

void DeviceSession::disconnectFromDevice()
{
    closeLinkFor(Done(), false);
}

void DeviceSession::disconnectFromDevice(Done done)
{
    closeLinkFor(std::move(done), true);
}

void DeviceSession::closeLinkFor(Done done, bool drain)
{
    if (m_closing) {
        // Asked again while a held-back write is out: close now.
        refuse(done, DeviceError::Busy);
        closeNow();
        return;
    }
    // A level taken but not stored yet goes to the EEPROM first (not while a
    // sweep's mutes are live: they must never be stored).
    const bool writeHeld = !m_calibrationRunning && (m_eepromWriteDue || m_eepromInFlight);
    if (linkReady() && (writeHeld || (drain && m_busy))) {
        m_closing = true;
        m_closeOp = beginOperation(std::move(done));
        m_pollTimer.stop();
        // Only the operator's levels and their write stay; the head on the
        // wire is answered first.
        for (qsizetype i = m_queue.size() - 1; i >= (m_busy ? 1 : 0); --i) {
            const Pending &p = m_queue.at(i);
            if (!p.keepOnClose)
                m_queue.removeAt(i);
        }
        if (writeHeld && m_eepromWriteDue && !m_eepromInFlight)
            writeEeprom();
        pumpQueue();
        return;
    }
    m_closeOp = beginOperation(std::move(done));
    closeNow();
}

void DeviceSession::closeNow()
{
    m_pollTimer.stop();
    m_commandTimer.stop();
    clearQueue();
    clearReceiveBuffer();
    closeTransports();
    m_suppressLinkEvents = true;
    m_operatorClose = true;
    onClosed();
    m_suppressLinkEvents = false;
}

void DeviceSession::closeBeforeExit()
{
    if (!m_connected && !m_connecting)
        return;
    QEventLoop loop;
    bool closed = false;
    disconnectFromDevice([&](const Outcome &) {
        closed = true;
        loop.quit();
    });
    if (closed)
        return;
    // The write's own time-out ends it; this only guards against a transport
    // that never reports back.
    QTimer::singleShot(2 * kCommandTimeoutMs, &loop, &QEventLoop::quit);
    loop.exec();
    if (m_connected)
        closeNow();
}

void DeviceSession::closeTransports()
{
    const bool suppressed = std::exchange(m_suppressLinkEvents, true);
    m_tcpConnectTimer.stop();
    if (m_socket.state() != QAbstractSocket::UnconnectedState)
        m_socket.abort();
    if (m_serial.isOpen())
        m_serial.close();
    m_suppressLinkEvents = suppressed;
}

void DeviceSession::loseLink(const QString &message)
{
    setLastError(message);
    closeTransports();
    m_suppressLinkEvents = true;
    onClosed();
    m_suppressLinkEvents = false;
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
        closeTransports();
        failConnectAttempt(tcpErrorText(error));
    } else if (m_connected) {
        loseLink(tcpErrorText(error));
    }
}

void DeviceSession::onTcpDisconnected()
{
    if (m_suppressLinkEvents || m_transport != 1)
        return;
    if (m_connecting) {
        m_tcpConnectTimer.stop();
        failConnectAttempt(QStringLiteral("TCP connection closed"));
    } else if (m_connected) {
        onClosed();
    }
}

void DeviceSession::onTcpConnectTimeout()
{
    if (!m_connecting || m_transport != 1)
        return;
    closeTransports();
    failConnectAttempt(QStringLiteral("TCP connect timeout"));
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
