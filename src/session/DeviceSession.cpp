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
    for (int i = 0; i < kChannelCount; ++i)
        m_counts.append(0.0);

    m_pollTimer.setTimerType(Qt::PreciseTimer);
    connect(&m_pollTimer, &QTimer::timeout, this, &DeviceSession::onPoll);

    m_portRefreshTimer.setInterval(kPortRefreshMs);
    connect(&m_portRefreshTimer, &QTimer::timeout, this, &DeviceSession::refreshPorts);
    m_portRefreshTimer.start();

    // Precise: a coarse timer near INT_MAX ms misreports its remaining time.
    m_countsFreshTimer.setSingleShot(true);
    m_countsFreshTimer.setTimerType(Qt::PreciseTimer);
    connect(&m_countsFreshTimer, &QTimer::timeout, this, [this] { setCountsLive(false); });

    // The parts' changes are the session's.
    connect(&m_levels, &LevelModel::shownChanged, this, &DeviceSession::dacVoltsChanged);
    connect(&m_levels, &LevelModel::knownChanged, this, &DeviceSession::dacLevelsKnownChanged);
    connect(&m_sweep, &CalibrationSweep::runningChanged, this, &DeviceSession::calibrationRunningChanged);
    connect(&m_sweep, &CalibrationSweep::progressChanged, this, &DeviceSession::calibrationProgressChanged);
    connect(&m_sweep, &CalibrationSweep::point, this, &DeviceSession::calibrationPoint);
    connect(&m_sweep, &CalibrationSweep::pointTaken, this, &DeviceSession::sweepPointTaken);
    connect(&m_sweep, &CalibrationSweep::succeeded, this, &DeviceSession::calibrationSucceeded);
    connect(&m_sweep, &CalibrationSweep::finished, this, &DeviceSession::calibrationFinished);
    connect(&m_network, &NetworkConfig::modeChanged, this, &DeviceSession::networkModeChanged);
    connect(&m_network, &NetworkConfig::ipAddressChanged, this, &DeviceSession::ipAddressChanged);
    connect(&m_network, &NetworkConfig::netmaskChanged, this, &DeviceSession::netmaskChanged);
    connect(&m_network, &NetworkConfig::gatewayChanged, this, &DeviceSession::gatewayChanged);
    connect(&m_network, &NetworkConfig::applyingChanged, this, &DeviceSession::networkApplyingChanged);

    attachPort(m_serialPort);
    attachPort(m_tcpPort);
    m_queue.onTimeout = [this](const RequestQueue::Request &) { report(Outcome(DeviceError::NoReply)); };
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

void DeviceSession::clearQueue()
{
    m_queue.clear();
    m_levels.queueCleared();
}

void DeviceSession::report(const Outcome &outcome)
{
    setLastError(outcome.message);
    emit errorOccurred(outcome);
}

// --- thresholds: the levels part, behind the guards that span the parts ------

void DeviceSession::setDacVoltage(int channel, double volts, Done done)
{
    const bool held = m_sweep.holdsLevels();
    if (!linkReady() || channel < 0 || channel >= kChannelCount || held) {
        OperationBook::refuse(done, !linkReady() ? DeviceError::NotConnected
                                    : held       ? DeviceError::Busy
                                                 : DeviceError::InvalidArgument);
        return;
    }
    m_levels.setLevel(channel, volts, std::move(done));
}

void DeviceSession::setAllDacVoltage(double volts, Done done)
{
    if (!linkReady() || m_sweep.holdsLevels()) {
        OperationBook::refuse(done, linkReady() ? DeviceError::Busy : DeviceError::NotConnected);
        return;
    }
    m_levels.setAll(volts, std::move(done));
}

void DeviceSession::refreshDacVolts(Done done)
{
    if (!linkReady()) {
        OperationBook::refuse(done, DeviceError::NotConnected);
        return;
    }
    m_levels.read(m_operations.begin(std::move(done)), 1);
}

// --- the calibration sweep -------------------------------------------------

void DeviceSession::startCalibration(int channel, int fromMv, int toMv, int stepMv, Done done)
{
    startCalibrationOf(QList<int>{channel}, fromMv, toMv, stepMv, std::move(done));
}

void DeviceSession::startCalibrationOf(const QVariantList &channels, int fromMv, int toMv, int stepMv)
{
    QList<int> list;
    for (const QVariant &v : channels) {
        bool ok = false;
        const int ch = v.toInt(&ok);
        list.append(ok ? ch : -1); // refused below, as any channel out of range
    }
    startCalibrationOf(list, fromMv, toMv, stepMv, {});
}

void DeviceSession::startCalibrationOf(const QList<int> &channels, int fromMv, int toMv, int stepMv, Done done)
{
    // A network change ends with an EEPROM write: a sweep's mutes must not be live then.
    const bool busy = m_sweep.running() || m_sweep.starting() || m_network.applying();
    if (busy || !linkReady() || !CalibrationSweep::takes(channels, stepMv)) {
        OperationBook::refuse(done, !linkReady() ? DeviceError::NotConnected
                                    : busy       ? DeviceError::Busy
                                                 : DeviceError::InvalidArgument);
        return;
    }
    m_sweep.start(channels, fromMv, toMv, stepMv, std::move(done));
}

void DeviceSession::stopCalibration()
{
    m_sweep.stop();
}

// --- network settings --------------------------------------------------------

void DeviceSession::refreshNetwork(Done done)
{
    if (!linkReady()) {
        OperationBook::refuse(done, DeviceError::NotConnected);
        return;
    }
    m_network.read(m_operations.begin(std::move(done)));
}

void DeviceSession::applyNetwork(bool dhcp, const QString &ip, const QString &netmask, const QString &gateway,
                                 Done done)
{
    // The change ends with an EEPROM write, which stores every live level:
    // not while a sweep's may be live, or about to be.
    const bool busy = m_network.applying() || m_sweep.running() || m_sweep.starting() || m_sweep.hasSavedLevels()
        || m_levels.sweepLevelsLive();
    if (!linkReady() || busy) {
        OperationBook::refuse(done, linkReady() ? DeviceError::Busy : DeviceError::NotConnected);
        return;
    }
    m_network.apply(dhcp, ip, netmask, gateway, std::move(done));
}

// --- the typed face ------------------------------------------------------------

void DeviceSession::setLinkTarget(const LinkTarget &target)
{
    if (target.kind == LinkTarget::Kind::Tcp)
        setTcpHost(target.target);
    else if (target.kind == LinkTarget::Kind::Serial)
        setPortName(target.target);
}

void DeviceSession::connectTo(const LinkTarget &target, Done done)
{
    setLinkTarget(target);
    connectToDevice(target.overTcp(), std::move(done));
}

void DeviceSession::readLevelsMv(std::function<void(const Outcome &, const Levels &)> done)
{
    if (const auto known = m_levels.knownMv()) {
        done(Outcome(), *known);
        return;
    }
    refreshDacVolts([this, done = std::move(done)](const Outcome &read) { done(read, m_levels.shownMv()); });
}

void DeviceSession::setLevelMv(int channel, double mv, Done done)
{
    if (channel == kAllChannels)
        setAllDacVoltage(limits::voltsOfMv(mv), std::move(done));
    else
        setDacVoltage(channel, limits::voltsOfMv(mv), std::move(done));
}

void DeviceSession::setLevelsMv(const QList<std::pair<int, double>> &levels, const Done &done)
{
    if (levels.isEmpty()) {
        if (done)
            done(Outcome());
        return;
    }
    struct Tally {
        qsizetype left = 0;
        Outcome first;
    };
    const auto tally = std::make_shared<Tally>();
    tally->left = levels.size();
    for (const auto &[channel, mv] : levels) {
        setLevelMv(channel, mv, [tally, done](const Outcome &o) {
            if (!o.ok() && tally->first.ok())
                tally->first = o;
            if (--tally->left == 0 && done)
                done(tally->first);
        });
    }
}
