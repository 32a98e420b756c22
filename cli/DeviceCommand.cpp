#include "DeviceCommand.h"

#include "DeviceSession.h"
#include "Output.h"

#include <QMetaObject>

#include <csignal>

DeviceCommand::DeviceCommand(DeviceSession &session, QObject *parent)
    : QObject(parent), m_session(session)
{
}

void DeviceCommand::start(const LinkTarget &link)
{
    m_session.setLinkTarget(link);
    connect(&m_session, &DeviceSession::linkClosed, this, &DeviceCommand::onLinkClosed);
    m_session.connectToDevice(link.overTcp(), [this](const Outcome &opened) {
        if (m_finished)
            return;
        if (!opened.ok()) {
            fail(opened.message);
            return;
        }
        run();
    });
}

void DeviceCommand::onLinkClosed(const Outcome &why)
{
    if (m_finished || why.ok())
        return;
    // The link ended under us: nothing more can be sent or finished.
    m_writing = false;
    fail(why.message);
}

void DeviceCommand::stop()
{
    m_stopping = true;
    if (!m_writing)
        conclude(stoppedCode());
}

void DeviceCommand::interrupt(int signal)
{
    if (m_finished)
        return;
    if (m_interrupted) {
        // Only a person presses Ctrl-C again. A closed terminal sends SIGHUP
        // twice, a service manager may repeat SIGTERM: the restore goes on.
        if (signal != SIGINT)
            return;
        m_leftAtOnce = true;
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
        m_error = message.isEmpty() ? deviceErrorText(DeviceError::LinkLost) : message;
    m_writing = false;
    conclude(exitcode::kDevice);
}

bool DeviceCommand::writeResult(const QByteArray &line)
{
    // Lines still come while the link closes (the reply that was on its
    // way); once the output has gone, nothing more.
    if (m_outputClosed || m_outputFailed)
        return false;
    switch (output::line(line)) {
    case output::Write::Ok:
        return true;
    case output::Write::Closed:
        // The reader has what it wanted (`| head`): not a failure.
        m_outputClosed = true;
        stop();
        return false;
    case output::Write::Failed:
        m_outputFailed = true;
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
    finishing();
    disconnect(&m_session, &DeviceSession::linkClosed, this, &DeviceCommand::onLinkClosed);
    const auto leave = [this, code] { emit finished(code); };
    if (atOnce) {
        // A close that waits for levels on their way is cut short by asking again.
        m_session.disconnectFromDevice();
        if (m_session.connected())
            m_session.disconnectFromDevice();
        leave();
        return;
    }
    // Closed once the reply on its way is in: on a pseudo-terminal it would
    // land in the next program that opens the port. From the event loop, so
    // no caller of ours is inside a session handler when the link goes.
    QMetaObject::invokeMethod(
        this, [this, leave] { m_session.disconnectFromDevice([leave](const Outcome &) { leave(); }); },
        Qt::QueuedConnection);
}

void DeviceCommand::withLevelsMv(const std::function<void(const QList<double> &)> &go)
{
    m_session.readLevelsMv([this, go](const Outcome &read, const DeviceSession::Levels &mv) {
        if (!read.ok())
            fail(read.message);
        else if (!stopping())
            go(QList<double>(mv.cbegin(), mv.cend()));
        else
            conclude(stoppedCode());
    });
}
