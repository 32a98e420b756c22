#pragma once

// One device command of the tool on the client's own session: opens the
// link, waits for the opening exchange, runs, and ends with an exit code.
// Every exchange is one of the session's operations, so its queue,
// time-outs, clamps, EEPROM writes and messages hold for scripts as they do
// for the operator; each operation reports its own outcome.

#include "Outcome.h"

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

// How to reach the instrument.
struct LinkChoice {
    enum class Kind { ClientsPort, Tcp, Serial };
    Kind kind = Kind::ClientsPort; // the serial port the client would pick
    QString target;                // host or port path
};

enum class RowFormat { Csv, JsonLines };

class DeviceCommand : public QObject
{
    Q_OBJECT
public:
    explicit DeviceCommand(DeviceSession &session, QObject *parent = nullptr);

    void start(const LinkChoice &link);
    // Ctrl-C, SIGTERM, SIGHUP or SIGQUIT (the signal's number). The first
    // winds the command down (a write under way is finished, a sweep puts
    // the levels back); a Ctrl-C after it leaves at once, other signals keep
    // winding down.
    void interrupt(int signal);

    // Levels in mV as the session knows them on this link; empty while unknown.
    static QList<double> knownLevelsMv(const DeviceSession &session);
    // The levels a sweep will put back, in mV: true with them when known;
    // otherwise they are read first and run() starts again (false).
    bool levelsOrReadThem(QList<double> *levelsMv);

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
