// Link management: serial and TCP transports, the opening exchange, errors
// and the clean-up when a link ends, and the serial port list.
#include "DeviceSession.h"

#include <QEventLoop>

#include <utility>

namespace {

const QChar kEllipsis(0x2026);
const QString kMiddleDot = QStringLiteral(" \u00B7 ");

} // namespace

void DeviceSession::connectToDevice(bool tcp, Done done)
{
    if (m_connected || m_connecting) {
        OperationBook::refuse(done, DeviceError::Busy);
        return;
    }
    m_operations.finish(std::exchange(m_openOp, 0), Outcome(DeviceError::LinkLost));
    m_openOp = m_operations.begin(std::move(done));
    m_testPortTcp = tcp;
    if (!tcp) {
        if (m_portName.isEmpty()) {
            report(Outcome(DeviceError::NoPortSelected));
            m_operations.finish(std::exchange(m_openOp, 0), Outcome(DeviceError::NoPortSelected));
            return;
        }
        setStatusText(QStringLiteral("Opening ") + m_portName + kEllipsis);
        openPort(m_testPort ? *m_testPort : m_serialPort, m_portName);
        return;
    }
    QString address;
    if (!parseIpv4(m_tcpHost, &address) || address == QLatin1String("0.0.0.0")) {
        report(Outcome(DeviceError::InvalidIpAddress));
        m_operations.finish(std::exchange(m_openOp, 0), Outcome(DeviceError::InvalidIpAddress));
        return;
    }
    m_scanner.stop();
    setStatusText(QStringLiteral("Connecting ") + address + kEllipsis);
    m_tcpPort.setLocalAddress(localBindFor(address));
    openPort(m_testPort ? *m_testPort : m_tcpPort, address);
}

void DeviceSession::openPort(LinkPort &port, const QString &target)
{
    m_port = &port;
    setLastError(QString());
    setConnecting(true);
    port.open(target);
}

void DeviceSession::failConnectAttempt(const QString &message)
{
    setConnecting(false);
    setLastError(message);
    setStatusText(QStringLiteral("Disconnected"));
    m_operations.finish(std::exchange(m_openOp, 0), Outcome(DeviceError::ConnectFailed, message));
}

void DeviceSession::onOpened()
{
    setConnecting(false);
    setConnectedState(true);
    setLastError(QString());
    setStatusText(QStringLiteral("Connected") + kMiddleDot + linkLabel());

    clearQueue();
    m_queue.setPort(m_port);
    m_levels.forget();
    setCountsLive(false);
    m_closing = false;
    m_linkId = linkIdentity();
    // Nothing is known of what this instrument runs, nor of its period.
    m_levels.linkOpened(m_sweep.linkOpened());
    m_periodInForce = 0;

    m_portRefreshTimer.stop();
    m_scanner.stop();

    // An instrument still booting may miss this one; the rest of the
    // opening goes on without it.
    Request period = request(zrf::kPeriodQuery, {}, [this](bool ok, const QByteArray &payload) {
        takePeriodReply(ok, payload);
        continueOpening();
    });
    period.expired = [this] { continueOpening(); };
    m_queue.push(std::move(period));
}

void DeviceSession::continueOpening()
{
    gateMayChange();
    // A sweep cut off on this very link: its mutes must not stay, but what
    // answers here may be another unit, or this one set anew meanwhile. The
    // level read below decides; a close that comes meanwhile still lets it
    // put the levels back.
    const bool resume = m_sweep.resumeAfterInterruption();
    m_levels.read(0, kLevelReadAttempts, resume ? RequestQueue::Kind::Kept : RequestQueue::Kind::Plain);
    refreshNetwork();
    m_polling = true;
    pollingMayChange();
    // The opening is over once its first count read is.
    enqueueCountQuery(false, 0, [this] { finishOpening(); });
}

void DeviceSession::finishOpening()
{
    m_operations.finish(std::exchange(m_openOp, 0), Outcome());
}

QString DeviceSession::linkIdentity() const
{
    QString host;
    if (onTcp())
        return parseIpv4(m_tcpHost, &host) ? QStringLiteral("tcp:") + host : QString();
    return QStringLiteral("serial:") + m_portName;
}

void DeviceSession::onClosed()
{
    m_sweep.endWithLink();
    // A level on the wire when the link went: taken or not, nobody can tell.
    if (const RequestQueue::Request *sent = m_queue.onTheWire(); sent && sent->command == zrf::kSdac) {
        QList<double> v;
        if (zrf::unpackDoubles(sent->payload, &v) && v.size() == 2)
            m_levels.note(int(v[0]), v[1],
                          sent->kind == RequestQueue::Kind::Sweep ? LevelModel::Kind::Sweep : LevelModel::Kind::Operator,
                          false);
    }
    // Levels not yet taken back stay for the next opening of this link,
    // with the sweep that muted the others.
    m_sweep.keepForNextOpening();

    // An operator's level the instrument runs, or may run, but has not
    // stored: say so rather than let it pass, to each of its callers.
    QList<quint64> unstored = m_eeprom.unstored();
    bool levelOnItsWay = false;
    m_queue.holds([&](const RequestQueue::Request &r) {
        if (r.kind == RequestQueue::Kind::OperatorLevel) {
            levelOnItsWay = true;
            if (r.callers)
                unstored += *r.callers;
        }
        return false;
    });
    Outcome why; // ok: the operator closed the link
    if (m_eeprom.owed() || levelOnItsWay) {
        const QString text = deviceErrorText(DeviceError::ThresholdNotStored);
        why = Outcome(DeviceError::ThresholdNotStored,
                      m_operatorClose || m_lastError.isEmpty() ? text : m_lastError + kMiddleDot + text);
        report(why);
    } else if (!m_operatorClose) {
        why = Outcome(DeviceError::LinkLost,
                      m_lastError.isEmpty() ? deviceErrorText(DeviceError::LinkLost) : m_lastError);
    } else if (m_levels.sweepLevelsLive() || m_sweep.hasSavedLevels()) {
        // Closed with a sweep's levels perhaps still live: they go back when
        // this link opens again.
        why = Outcome(DeviceError::LevelsNotRestored);
        report(why);
    }
    m_operatorClose = false;
    m_eeprom.reset();
    m_closing = false;
    m_polling = false;

    m_pollTimer.stop();
    m_countsFreshTimer.stop();
    m_queue.setPort(nullptr);
    clearQueue();
    setCountsLive(false);
    m_levels.forget();

    setConnecting(false);
    setConnectedState(false);

    m_network.clear();

    setStatusText(QStringLiteral("Disconnected"));

    if (!m_portRefreshTimer.isActive())
        m_portRefreshTimer.start();
    refreshPorts();

    // Whoever follows the link hears first, so that a caller told of the
    // loss finds the link lost; the callers last, the closer at the very end.
    emit linkClosed(why);
    for (quint64 id : std::as_const(unstored))
        m_operations.finish(id, Outcome(DeviceError::ThresholdNotStored));
    const Done close = m_operations.take(std::exchange(m_closeOp, 0));
    m_operations.finishAll(Outcome(DeviceError::LinkLost, why.ok() ? deviceErrorText(DeviceError::LinkLost) : why.message));
    if (close)
        close(why);
}

void DeviceSession::closeLinkFor(Done done, bool drain)
{
    if (m_closing) {
        // Asked again while the close waits: close now.
        OperationBook::refuse(done, DeviceError::Busy);
        closeNow();
        return;
    }
    if (!linkReady()) {
        m_closeOp = m_operations.begin(std::move(done));
        closeNow();
        return;
    }
    // A sweep's levels never stay behind a close: it ends, and the
    // operator's levels go back first.
    m_sweep.stop();
    // Levels on their way, levels going back and their EEPROM write are
    // sent first, and (asked for) the reply on the wire is waited for.
    const bool owed = m_eeprom.owed() || m_queue.holds([](const RequestQueue::Request &r) {
        return r.kind == RequestQueue::Kind::OperatorLevel || r.kind == RequestQueue::Kind::Kept;
    });
    m_closeOp = m_operations.begin(std::move(done));
    if (!owed && !(drain && m_queue.busy())) {
        closeNow();
        return;
    }
    m_closing = true;
    pollingMayChange();
    m_queue.dropWaiting([](const RequestQueue::Request &r) {
        return r.kind != RequestQueue::Kind::OperatorLevel && r.kind != RequestQueue::Kind::Kept;
    });
    m_eeprom.writeIfDue();
    if (m_queue.idle())
        closeNow();
}

void DeviceSession::closeNow()
{
    m_queue.setPort(nullptr);
    m_port->close();
    m_operatorClose = true;
    onClosed();
}

void DeviceSession::closeBeforeExit()
{
    if (!m_connected && !m_connecting)
        return;
    QEventLoop loop;
    bool closed = false;
    // A close already under way is waited for, not cut short.
    const QMetaObject::Connection ended = connect(this, &ReadingSource::linkClosed, &loop, [&] {
        closed = true;
        loop.quit();
    });
    if (!m_closing)
        disconnectFromDevice([](const Outcome &) {});
    if (closed) {
        disconnect(ended);
        return;
    }
    // Each request's own time-out moves the close on; this only cuts off a
    // transport that stops reporting back altogether.
    QTimer guard;
    guard.setSingleShot(true);
    guard.setInterval(2 * kCommandTimeoutMs);
    QObject::connect(&guard, &QTimer::timeout, &loop, &QEventLoop::quit);
    const QMetaObject::Connection progress = QObject::connect(m_port, &LinkPort::bytesReceived, &guard,
                                                              qOverload<>(&QTimer::start));
    guard.start();
    loop.exec();
    QObject::disconnect(progress);
    disconnect(ended);
    if (m_connected || m_connecting)
        closeNow();
}

void DeviceSession::onCommunicationError(const QString &message, bool fatal)
{
    setLastError(message);
    if (fatal && m_connected)
        onClosed();
}

void DeviceSession::refreshPorts()
{
    const QVariantList list = portListEntries(m_portSource());
    if (list != m_ports) {
        m_ports = list;
        emit portsChanged();
    }
    if (!m_connected)
        setPortName(choosePort(m_ports, m_portName));
}
