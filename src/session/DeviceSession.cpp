#include "DeviceSession.h"

#include "Ipv4.h"

#include <QSerialPortInfo>

DeviceSession::DeviceSession(QObject *parent) : DeviceSession(systemSerialPorts, systemNetInterfaces, parent) {}

DeviceSession::DeviceSession(SerialPortSource ports, NetInterfaceSource interfaces, QObject *parent)
    : ReadingSource(parent),
      m_statusText(QStringLiteral("Disconnected")),
      m_portSource(ports ? std::move(ports) : SerialPortSource(systemSerialPorts)),
      m_interfaceSource(interfaces ? std::move(interfaces) : NetInterfaceSource(systemNetInterfaces))
{
    // Front ends on other threads take these through queued connections.
    qRegisterMetaType<Reading>();
    qRegisterMetaType<SweepPoint>();
    qRegisterMetaType<Outcome>();

    m_counts.reserve(kChannelCount);
    m_dacVolts.reserve(kChannelCount);
    for (int i = 0; i < kChannelCount; ++i) {
        m_counts.append(0.0);
        m_dacVolts.append(0.0);
    }

    m_pollTimer.setTimerType(Qt::PreciseTimer);
    connect(&m_pollTimer, &QTimer::timeout, this, &DeviceSession::onPoll);

    m_portRefreshTimer.setInterval(kPortRefreshMs);
    connect(&m_portRefreshTimer, &QTimer::timeout, this, &DeviceSession::refreshPorts);
    m_portRefreshTimer.start();

    m_calibrationWaitTimer.setSingleShot(true);
    m_calibrationWaitTimer.setTimerType(Qt::PreciseTimer);
    connect(&m_calibrationWaitTimer, &QTimer::timeout, this, &DeviceSession::onCalibrationWait);

    // Precise: the hold-off is a promise to the EEPROM, not a hint.
    m_eepromTimer.setTimerType(Qt::PreciseTimer);
    m_eepromTimer.setSingleShot(true);
    m_eepromTimer.setInterval(kEepromHoldOffMs);
    connect(&m_eepromTimer, &QTimer::timeout, this, &DeviceSession::onEepromHoldOff);

    // Precise: a coarse timer near INT_MAX ms misreports its remaining time.
    m_countsFreshTimer.setSingleShot(true);
    m_countsFreshTimer.setTimerType(Qt::PreciseTimer);
    connect(&m_countsFreshTimer, &QTimer::timeout, this, [this] { setCountsLive(false); });

    attachPort(m_serialPort);
    attachPort(m_tcpPort);
    m_queue.onTimeout = [this](const Request &) { reportError(DeviceError::NoReply); };
    // A disconnect that waited for the last write to be answered.
    m_queue.onIdle = [this] {
        if (m_closing)
            closeNow();
    };

    m_scanner.setInterfaceSource(m_interfaceSource);
    connect(&m_scanner, &TcpLanScanner::hostsChanged, this, &DeviceSession::onScannerHostsChanged);
    connect(&m_scanner, &TcpLanScanner::scanningChanged, this, &DeviceSession::tcpScanningChanged);
    connect(&m_scanner, &TcpLanScanner::progressChanged, this, &DeviceSession::tcpScanProgressChanged);

    refreshPorts();
}

DeviceSession::~DeviceSession()
{
    // The transports may signal while they shut down; no handler may run on a
    // half-destroyed session.
    m_serialPort.disconnect(this);
    m_tcpPort.disconnect(this);
    if (m_testPort)
        m_testPort->disconnect(this);
    m_scanner.disconnect(this);
    m_queue.onIdle = nullptr;
    m_queue.onTimeout = nullptr;
    m_queue.clear();
    m_operations.clear();
}

void DeviceSession::attachPort(LinkPort &port)
{
    connect(&port, &LinkPort::opened, this, &DeviceSession::onOpened);
    connect(&port, &LinkPort::openFailed, this, &DeviceSession::failConnectAttempt);
    connect(&port, &LinkPort::bytesReceived, &m_queue, &RequestQueue::takeBytes);
    connect(&port, &LinkPort::disconnected, this, &DeviceSession::onClosed);
    connect(&port, &LinkPort::communicationError, this, &DeviceSession::onCommunicationError);
}

quint64 DeviceSession::beginOperation(Done done)
{
    if (!done)
        return 0;
    const quint64 id = ++m_nextOperation;
    m_operations.emplace(id, std::move(done));
    return id;
}

void DeviceSession::finishOperation(quint64 id, const Outcome &outcome)
{
    if (id == 0)
        return;
    // Taken out before it runs: it may start the caller's next operation.
    Done done = m_operations.take(id);
    if (done)
        done(outcome);
}

void DeviceSession::finishAllOperations(const Outcome &outcome)
{
    const QList<quint64> ids = m_operations.keys();
    for (quint64 id : ids)
        finishOperation(id, outcome);
}

void DeviceSession::refuse(const Done &done, DeviceError error)
{
    if (done)
        done(Outcome(error));
}

void DeviceSession::setSerialPortSource(SerialPortSource source)
{
    m_portSource = source ? std::move(source) : SerialPortSource(systemSerialPorts);
    refreshPorts();
}

void DeviceSession::setNetInterfaceSource(NetInterfaceSource source)
{
    m_interfaceSource = source ? std::move(source) : NetInterfaceSource(systemNetInterfaces);
    m_scanner.setInterfaceSource(m_interfaceSource);
}

bool DeviceSession::parseIpv4(const QString &text, QString *normalised)
{
    return ipv4::parseIpv4(text, normalised);
}

bool DeviceSession::isLikelyDevice(const QSerialPortInfo &info)
{
    return ::isLikelyDevice(SerialPortEntry::fromInfo(info));
}

QHostAddress DeviceSession::localBindFor(const QString &host) const
{
    return ::localBindFor(host, m_interfaceSource());
}

QString DeviceSession::linkLabel() const
{
    return onTcp() ? m_tcpHost : m_portName;
}

DeviceSession::Request DeviceSession::request(unsigned char cmd, const QByteArray &payload, Completion done,
                                              RequestQueue::Kind kind)
{
    Request r;
    r.command = cmd;
    r.payload = payload;
    r.done = std::move(done);
    r.kind = kind;
    // A stale answer of an earlier request must never pass for what the
    // instrument took or holds now. A count is the exception: it is timed on
    // arrival, and the answers before it tell what it was counted under, so
    // polling goes on after a lost reply.
    r.waitsForLate = cmd != zrf::kCountQuery;
    return r;
}

void DeviceSession::clearQueue()
{
    m_queue.clear();
    m_levelReadQueued = false;
}

void DeviceSession::reportError(const Outcome &outcome)
{
    setLastError(outcome.message);
    emit errorOccurred(outcome);
}
