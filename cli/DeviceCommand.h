#pragma once

// One device command of the tool on the client's own session: opens the
// link, waits for the opening exchange, runs, and ends with an exit code.
// Every exchange is one of the session's operations, so its queue,
// time-outs, clamps, EEPROM writes and messages hold for scripts as they do
// for the operator; each operation reports its own outcome.

#include "LinkTarget.h"
#include "Outcome.h"

#include <functional>

#include <QList>
#include <QObject>
#include <QString>

class DeviceSession;

namespace exitcode {
constexpr int kOk = 0;
constexpr int kDevice = 1;      // the instrument or the link failed
constexpr int kUsage = 2;       // the command line is wrong
constexpr int kStopped = 130;   // Ctrl-C before the command was done
} // namespace exitcode

enum class RowFormat { Csv, JsonLines };

class DeviceCommand : public QObject
{
    Q_OBJECT
public:
    explicit DeviceCommand(DeviceSession &session, QObject *parent = nullptr);

    void start(const LinkTarget &link);
    // Ctrl-C, SIGTERM, SIGHUP or SIGQUIT (the signal's number). The first
    // winds the command down (a write under way is finished, a sweep puts
    // the levels back); a Ctrl-C after it leaves at once, other signals keep
    // winding down.
    void interrupt(int signal);

    // The levels a sweep will put back, in mV: `go` runs with them at once
    // when they are known on this link, else once they are read (a failed
    // read fails the command, one wound down meanwhile leaves).
    void withLevelsMv(const std::function<void(const QList<double> &levelsMv)> &go);

signals:
    void finished(int exitCode);

protected:
    // The link is open and the opening exchange is through.
    virtual void run() = 0;
    // Winds down: leaves now, or once a write under way has ended.
    virtual void stop();
    // Exit code of a command wound down without an error.
    virtual int stoppedCode() const { return exitcode::kStopped; }
    // The command ends, however: the last word on the output.
    virtual void finishing() {}

    // Marks a write to the instrument: until endWrite, an error or Ctrl-C
    // waits for it rather than leaving the instrument half set.
    void beginWrite() { m_writing = true; }
    // True when the command may go on; false when it has been wound down.
    bool endWrite();
    bool writing() const { return m_writing; }
    bool stopping() const { return m_stopping; }
    bool interrupted() const { return m_interrupted; }
    bool outputClosed() const { return m_outputClosed; }
    // Left at once on a second Ctrl-C: a write under way may be cut short.
    bool leftAtOnce() const { return m_leftAtOnce; }
    bool done() const { return m_finished; }

    // Leaves: exit 1 with the first failure if there was one, else `code`.
    void conclude(int code);
    void fail(const QString &message);
    // Writes one result line; a closed output winds the command down, a
    // failing one too, as a failure.
    bool writeResult(const QByteArray &line);

    DeviceSession &m_session;

private:
    // Closes the link (once the reply on its way is in, unless atOnce) and
    // reports the exit code.
    void finish(int code, bool atOnce = false);
    void onLinkClosed(const Outcome &why);

    QString m_error;
    bool m_writing = false;
    bool m_stopping = false;
    bool m_interrupted = false;
    bool m_leftAtOnce = false;
    bool m_outputClosed = false;
    bool m_outputFailed = false;
    bool m_finished = false;
};
