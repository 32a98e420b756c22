#include "ServeCommand.h"

#include "DeviceSession.h"
#include "Limits.h"

#include <QMetaObject>

ServeCommand::ServeCommand(DeviceSession &session, const Options &options, QObject *parent)
    : QObject(parent), m_session(session), m_options(options), m_metrics(options.instrument)
{
    m_retry.setSingleShot(true);
    connect(&m_retry, &QTimer::timeout, this, &ServeCommand::open);
}

ServeCommand::~ServeCommand()
{
    // The HTTP threads stop before the metrics they read go.
    m_endpoint.stop();
}

void ServeCommand::start(const LinkTarget &link)
{
    m_link = link;
    QString error;
    if (!m_endpoint.start(m_options.listen, m_metrics.collectable(), &error)) {
        emit message(error);
        finish(exitcode::kDevice);
        return;
    }
    MetricsEndpoint::Address shown = m_options.listen;
    shown.port = m_endpoint.port();
    emit message(QStringLiteral("serving http://%1/metrics for %2").arg(shown.hostPort(), m_link.target));

    m_session.setLinkTarget(link);
    connect(&m_session, &DeviceSession::readingTaken, this, &ServeCommand::onReading);
    connect(&m_session, &DeviceSession::errorOccurred, this, &ServeCommand::onError);
    connect(&m_session, &DeviceSession::linkClosed, this, &ServeCommand::onLinkClosed);
    connect(&m_session, &DeviceSession::periodMsChanged, this, &ServeCommand::publishState);
    connect(&m_session, &DeviceSession::dacVoltsChanged, this, &ServeCommand::publishState);
    connect(&m_session, &DeviceSession::dacLevelsKnownChanged, this, &ServeCommand::publishState);
    open();
}

void ServeCommand::open()
{
    if (m_state == State::Stopping || m_state == State::Done)
        return;
    m_state = State::Opening;
    m_readingsThisLink = 0;
    m_silentTimeouts = 0;
    m_session.connectToDevice(m_link.overTcp(), [this](const Outcome &outcome) { onOpened(outcome); });
}

void ServeCommand::onOpened(const Outcome &outcome)
{
    if (m_state != State::Opening)
        return;
    if (!outcome.ok()) {
        m_metrics.countConnectFailure();
        // Said once per reason (the output drops repeats), not per attempt.
        emit message(QStringLiteral("cannot open %1: %2; trying again, backing off up to %3 s")
                         .arg(m_link.target, outcome.message)
                         .arg(limits::secondsOfMs(kMaxRetryMs)));
        m_state = State::Waiting;
        retryLater();
        return;
    }
    // The opening is over even when the instrument answered nothing: an
    // open port with a silent instrument behind it is no link either.
    if (m_readingsThisLink == 0) {
        m_metrics.countConnectFailure();
        emit message(QStringLiteral("%1 opened but sent no counts; trying again, backing off up to %2 s")
                         .arg(m_link.target)
                         .arg(limits::secondsOfMs(kMaxRetryMs)));
        reopen();
        return;
    }
    enterUp();
}

void ServeCommand::enterUp()
{
    m_state = State::Up;
    m_retryMs = kFirstRetryMs;
    m_silentTimeouts = 0;
    m_metrics.setLinkUp(true);
    publishState();
    emit message(m_everUp ? QStringLiteral("link to %1 open again").arg(m_link.target)
                          : QStringLiteral("link to %1 open").arg(m_link.target));
    m_everUp = true;
}

void ServeCommand::leaveUp()
{
    m_metrics.setLinkUp(false);
}

void ServeCommand::publishState()
{
    if (m_state != State::Up)
        return;
    m_metrics.setPeriodMs(m_session.periodMs());
    m_metrics.setLevels(m_session.levelsVolts());
}

void ServeCommand::onReading(const Reading &reading)
{
    if (m_state == State::Stopping || m_state == State::Done)
        return;
    m_metrics.takeReading(reading);
    ++m_readingsThisLink;
    m_silentTimeouts = 0;
}

void ServeCommand::onError(const Outcome &outcome)
{
    if (!outcome.timedOut() || m_state == State::Done)
        return;
    m_metrics.countReplyTimeout();
    if (m_state != State::Up || ++m_silentTimeouts < kSilentTimeouts)
        return;
    // The port or socket may stay open while the instrument hangs or was
    // swapped: a fresh opening is the way back.
    m_metrics.countLinkLoss();
    emit message(QStringLiteral("%1 answered none of %2 requests in a row; opening the link again")
                     .arg(m_link.target)
                     .arg(kSilentTimeouts));
    leaveUp();
    reopen();
}

void ServeCommand::onLinkClosed(const Outcome &why)
{
    if (m_state != State::Up)
        return; // an opening that failed, or a close of our own
    m_metrics.countLinkLoss();
    emit message(QStringLiteral("link to %1 lost: %2; opening it again").arg(m_link.target, why.message));
    leaveUp();
    m_state = State::Waiting;
    retryLater();
}

void ServeCommand::reopen()
{
    m_state = State::Closing;
    QMetaObject::invokeMethod(
        this,
        [this] {
            if (m_state != State::Closing)
                return;
            m_session.disconnectFromDevice([this](const Outcome &) {
                if (m_state != State::Closing)
                    return;
                m_state = State::Waiting;
                retryLater();
            });
        },
        Qt::QueuedConnection);
}

void ServeCommand::retryLater()
{
    m_retry.start(m_retryMs);
    m_retryMs = qMin(2 * m_retryMs, kMaxRetryMs);
}

void ServeCommand::interrupt()
{
    if (m_state == State::Done)
        return;
    if (m_state == State::Stopping) {
        emit message(QStringLiteral("stopped at once"));
        m_session.disconnectFromDevice();
        finish(exitcode::kStopped);
        return;
    }
    m_state = State::Stopping;
    m_retry.stop();
    leaveUp();
    if (!m_session.connected() && !m_session.connecting()) {
        finish(exitcode::kOk);
        return;
    }
    // Closed once the reply on its way is in (see DeviceCommand::finish).
    QMetaObject::invokeMethod(
        this,
        [this] {
            m_session.disconnectFromDevice([this](const Outcome &) {
                if (m_state == State::Stopping)
                    finish(exitcode::kOk);
            });
        },
        Qt::QueuedConnection);
}

void ServeCommand::finish(int code)
{
    if (m_state == State::Done)
        return;
    m_state = State::Done;
    m_retry.stop();
    m_endpoint.stop();
    QMetaObject::invokeMethod(this, [this, code] { emit finished(code); }, Qt::QueuedConnection);
}
