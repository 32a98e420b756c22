#include "DeviceCommand.h"

#include "DeviceSession.h"
#include "Output.h"
#include "ReadingRow.h"

#include <QMetaObject>

#include <cmath>

DeviceCommand::DeviceCommand(DeviceSession &session, QObject *parent)
    : QObject(parent), m_session(session)
{
}

void DeviceCommand::start(const LinkChoice &link)
{
    connect(&m_session, &DeviceSession::connectedChanged, this, &DeviceCommand::onConnected);
    connect(&m_session, &DeviceSession::lastErrorChanged, this, &DeviceCommand::onLastError);
    connect(&m_session, &DeviceSession::requestFinished, this, &DeviceCommand::onRequestFinished);
    connect(&m_session, &DeviceSession::requestTimedOut, this, &DeviceCommand::onRequestTimedOut);
    // A failed attempt clears `connecting` before it sets its message.
    connect(&m_session, &DeviceSession::connectingChanged, this, &DeviceCommand::checkConnectAttempt,
            Qt::QueuedConnection);

    if (link.kind == LinkChoice::Kind::Tcp)
        m_session.setTcpHost(link.target);
    else if (link.kind == LinkChoice::Kind::Serial)
        m_session.setPortName(link.target);
    m_session.connectToDevice(link.kind == LinkChoice::Kind::Tcp);
    checkConnectAttempt();
}

void DeviceCommand::checkConnectAttempt()
{
    if (m_finished || m_linkUp || m_session.connecting() || m_session.connected())
        return;
    const QString why = m_session.lastError();
    fail(why.isEmpty() ? QStringLiteral("Disconnected") : why);
}

void DeviceCommand::onConnected()
{
    if (m_session.connected()) {
        m_linkUp = true;
        return;
    }
    if (!m_linkUp)
        return;
    // The link ended under us: nothing more can be sent or finished.
    m_writing = false;
    const QString why = m_session.lastError();
    fail(why.isEmpty() ? QStringLiteral("Disconnected") : why);
}

void DeviceCommand::onLastError()
{
    const QString text = m_session.lastError();
    // Messages of a connect attempt are judged by its outcome; empty is a reset.
    if (text.isEmpty() || !m_linkUp)
        return;
    deviceError(text);
}

void DeviceCommand::onRequestFinished(unsigned char command, bool ok, const QByteArray &payload)
{
    if (!m_ready && command == zrf::kPeriodQuery) {
        m_ready = true;
        ready(ok, payload);
        return;
    }
    replied(command, ok, payload);
}

void DeviceCommand::onRequestTimedOut(unsigned char command)
{
    timedOut(command);
}

void DeviceCommand::replied(unsigned char, bool, const QByteArray &) {}

void DeviceCommand::timedOut(unsigned char) {}

void DeviceCommand::deviceError(const QString &message)
{
    if (m_error.isEmpty())
        m_error = message;
    stop();
}

void DeviceCommand::stop()
{
    m_stopping = true;
    if (!m_writing)
        conclude(stoppedCode());
}

void DeviceCommand::interrupt()
{
    if (m_finished)
        return;
    if (m_interrupted) {
        output::message(QStringLiteral("stopped at once"));
        finish(exitcode::kStopped, true);
        return;
    }
    m_interrupted = true;
    if (m_writing)
        output::message(QStringLiteral("finishing the change under way (Ctrl-C again to leave at once)"));
    stop();
}

bool DeviceCommand::endWrite()
{
    m_writing = false;
    if (m_stopping || !m_error.isEmpty()) {
        conclude(stoppedCode());
        return false;
    }
    return true;
}

void DeviceCommand::conclude(int code)
{
    if (m_finished)
        return;
    if (!m_error.isEmpty()) {
        output::message(m_error);
        code = exitcode::kDevice;
    }
    finish(code);
}

void DeviceCommand::fail(const QString &message)
{
    if (m_error.isEmpty())
        m_error = message;
    m_writing = false;
    conclude(exitcode::kDevice);
}

bool DeviceCommand::writeResult(const QByteArray &line)
{
    if (m_finished)
        return false;
    switch (output::line(line)) {
    case output::Write::Ok:
        return true;
    case output::Write::Closed:
        stop();
        return false;
    case output::Write::Failed:
        if (m_error.isEmpty())
            m_error = QStringLiteral("cannot write the output: ") + output::lastWriteError();
        stop();
        return false;
    }
    return false;
}

void DeviceCommand::finish(int code, bool atOnce)
{
    if (m_finished)
        return;
    m_finished = true;
    output::endProgress();
    // Nothing the session does from here on concerns the command.
    m_session.disconnect(this);
    const auto close = [this, code] {
        m_session.disconnect(this);
        m_session.disconnectFromDevice();
        emit finished(code);
    };
    if (atOnce) {
        close();
        return;
    }
    if (!m_session.connected() || !m_session.busy()) {
        QMetaObject::invokeMethod(this, close, Qt::QueuedConnection);
        return;
    }
    // A reply still on its way would land in the next program that opens
    // the port (a pseudo-terminal keeps it): close once it is in, or given
    // up, before the queue sends anything else.
    connect(&m_session, &DeviceSession::requestFinished, this, close);
    connect(&m_session, &DeviceSession::requestTimedOut, this, close);
    connect(&m_session, &DeviceSession::connectedChanged, this, close);
}

QList<double> DeviceCommand::knownLevelsMv(const DeviceSession &session)
{
    if (!session.dacLevelsKnown())
        return {};
    return readingrow::levelsMv(session.dacVolts());
}

bool DeviceCommand::periodReply(bool ok, const QByteArray &payload)
{
    QList<double> values;
    if (!ok || !zrf::unpackDoubles(payload, &values) || values.isEmpty())
        return false;
    // The session takes the first value, truncated, when it is at least 1.
    const double first = values.constFirst();
    return std::isfinite(first) && first >= 1.0 && first < 2147483648.0;
}
