#include "Link.h"

#include "DeviceSession.h"
#include "EventThread.h"

#include <QTimer>

Link::Link(const LinkTarget &target, std::size_t capacity)
    : capacity(capacity), originNs(Reading::steadyNowNs()), label(target.target), m_target(target)
{
}

// The session is deleted in the Qt thread (close, or the thread's end), never here.
Link::~Link() = default;

void Link::open(const Done &done)
{
    m_session = new DeviceSession(EventThread::instance().context());
    attach();
    m_session->setLinkTarget(m_target);
    {
        const std::lock_guard<std::mutex> lock(mutex);
        label = m_target.kind == LinkTarget::Kind::Tcp ? m_session->tcpHost() : m_session->portName();
    }
    const auto self = shared_from_this();
    m_session->connectToDevice(m_target.overTcp(), [self, done](const Outcome &opened) {
        if (opened.ok()) {
            self->setState(State::Open);
        } else if (self->m_session) {
            // Nothing to keep of a session that never opened.
            self->m_session->deleteLater();
            self->m_session = nullptr;
            self->setState(State::Closed);
        }
        done(opened);
    });
}

void Link::reopen(const Done &done)
{
    if (!m_session || m_session->connected() || m_session->connecting() || m_closing) {
        done(m_session && m_session->connected() ? Outcome() : refusal());
        return;
    }
    setState(State::Opening);
    const auto self = shared_from_this();
    m_session->connectToDevice(m_target.overTcp(), [self, done](const Outcome &opened) {
        // A failed attempt leaves the link as lost, with this attempt's reason.
        self->setState(opened.ok() ? State::Open : State::Lost, opened.message);
        done(opened);
    });
}

void Link::close(const Done &done)
{
    DeviceSession *session = m_session;
    if (!session || m_closing) {
        if (!session)
            setState(State::Closed);
        if (done)
            done(Outcome());
        return;
    }
    m_closing = true;
    const auto self = shared_from_this();
    const auto finished = std::make_shared<bool>(false);
    const Done end = [self, session, done, finished](const Outcome &outcome) {
        if (*finished)
            return;
        *finished = true;
        self->m_session = nullptr;
        self->setState(State::Closed);
        // Not from inside the session's own handler.
        session->deleteLater();
        if (done)
            done(outcome);
    };
    if (!session->connected() && !session->connecting()) {
        end(Outcome());
        return;
    }
    // The held-back write's own time-out ends the close; this guards against
    // a transport that never reports back. Asked again, the session closes at once.
    QTimer::singleShot(2 * DeviceSession::kCommandTimeoutMs + 500, session, [session] {
        if (session->connected() || session->connecting())
            session->disconnectFromDevice();
    });
    session->disconnectFromDevice(end);
}

Outcome Link::refusal() const
{
    const std::lock_guard<std::mutex> lock(mutex);
    if (state == State::Lost)
        return Outcome(DeviceError::LinkLost, lostMessage);
    return Outcome(DeviceError::NotConnected);
}

void Link::startSweep(const std::shared_ptr<SweepRun> &run, const QList<int> &channels, int fromMv, int toMv, int stepMv,
                      const Done &done)
{
    DeviceSession *session = m_session;
    if (!session || !session->connected()) {
        done(refusal());
        return;
    }
    run->connections.append(QObject::connect(session, &DeviceSession::sweepPointTaken, session,
                                             [run](const SweepPoint &point) {
                                                 const std::lock_guard<std::mutex> lock(run->mutex);
                                                 run->points.push_back(point);
                                             }));
    // Asked to stop while the sweep still read the levels: it stops as it
    // begins, once it has queued its mutes (so the restore comes after them).
    run->connections.append(QObject::connect(session, &DeviceSession::calibrationRunningChanged, session,
                                             [session, run] {
                                                 if (run->stop && session->calibrationRunning())
                                                     QMetaObject::invokeMethod(session, [session] {
                                                         session->stopCalibration();
                                                     }, Qt::QueuedConnection);
                                             }));
    session->startCalibrationOf(channels, fromMv, toMv, stepMv, [run, done](const Outcome &outcome) {
        for (const QMetaObject::Connection &c : std::as_const(run->connections))
            QObject::disconnect(c);
        run->connections.clear();
        done(outcome);
    });
}

void Link::stopSweep(const std::shared_ptr<SweepRun> &run)
{
    run->stop = true;
    // Only a sweep of this caller's: another caller's was refused as Busy.
    if (m_session && m_session->calibrationRunning() && !run->connections.isEmpty())
        m_session->stopCalibration();
}

void Link::putBack(std::vector<Reading> &&readings)
{
    {
        const std::lock_guard<std::mutex> lock(mutex);
        buffer.insert(buffer.begin(), std::make_move_iterator(readings.begin()),
                      std::make_move_iterator(readings.end()));
    }
    readings.clear();
    changed.notify_all();
}

void Link::attach()
{
    // The session may outlive this object by a little (deleteLater).
    const std::weak_ptr<Link> weak = weak_from_this();
    QObject::connect(m_session, &DeviceSession::readingTaken, m_session, [weak](const Reading &reading) {
        if (const auto self = weak.lock())
            self->onReading(reading);
    });
    QObject::connect(m_session, &DeviceSession::errorOccurred, m_session, [weak](const Outcome &outcome) {
        if (const auto self = weak.lock())
            self->onError(outcome);
    });
    QObject::connect(m_session, &DeviceSession::linkClosed, m_session, [weak](const Outcome &why) {
        if (const auto self = weak.lock())
            self->onLinkClosed(why);
    });
}

void Link::onReading(const Reading &reading)
{
    {
        const std::lock_guard<std::mutex> lock(mutex);
        // Full: the oldest goes, and the next read says how many went.
        if (buffer.size() >= capacity) {
            buffer.pop_front();
            ++dropped;
        }
        buffer.push_back(reading);
        ++taken;
    }
    changed.notify_all();
}

void Link::onError(const Outcome &outcome)
{
    if (!outcome.timedOut() && outcome.error != DeviceError::BadCountReply)
        return; // an operation's own failure reaches its caller through its outcome
    {
        const std::lock_guard<std::mutex> lock(mutex);
        if (outcome.timedOut()) {
            ++timeOuts;
            takenAtTimeOut = taken;
            timeOutText = outcome.message;
        } else {
            ++badReplies;
            badReplyText = outcome.message;
        }
    }
    changed.notify_all();
}

void Link::onLinkClosed(const Outcome &why)
{
    if (m_closing)
        return; // close() sets the state itself
    if (why.ok())
        setState(State::Closed);
    else
        setState(State::Lost, why.message);
}

void Link::setState(State next, const QString &message)
{
    {
        const std::lock_guard<std::mutex> lock(mutex);
        // Closed is final.
        if (state == State::Closed)
            return;
        state = next;
        if (next == State::Lost)
            lostMessage = message.isEmpty() ? deviceErrorText(DeviceError::LinkLost) : message;
    }
    changed.notify_all();
}
