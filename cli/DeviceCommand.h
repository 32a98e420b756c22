#pragma once

// One device command of the tool on the client's own session: opens the
// link, waits for the opening exchange to read the gate period, runs, and
// ends with an exit code. Every exchange goes through the session, so its
// queue, time-outs, clamps and EEPROM writes hold for scripts as they do for
// the operator.

#include <QByteArray>
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
    // Ctrl-C or SIGTERM. The first winds the command down (a write under way
    // is finished, a sweep puts the levels back); the second leaves at once.
    void interrupt();

    // Levels in mV as the session knows them on this link; empty while unknown.
    static QList<double> knownLevelsMv(const DeviceSession &session);
    // A PERD? reply that carries a usable gate period.
    static bool periodReply(bool ok, const QByteArray &payload);

signals:
    void finished(int exitCode);

protected:
    // The opening exchange has had its PERD? reply (ok and payload as sent).
    virtual void ready(bool ok, const QByteArray &payload) = 0;
    virtual void replied(unsigned char command, bool ok, const QByteArray &payload);
    virtual void timedOut(unsigned char command);
    // A session message after the link opened. By default the first one is
    // kept as the command's failure and the command winds down.
    virtual void deviceError(const QString &message);
    // Winds down: leaves now, or once a write under way has ended.
    virtual void stop();
    // Exit code of a command wound down without an error.
    virtual int stoppedCode() const { return exitcode::kStopped; }

    // Marks a write to the instrument: until endWrite, an error or Ctrl-C
    // waits for it rather than leaving the instrument half set.
    void beginWrite() { m_writing = true; }
    // True when the command may go on; false when it has been wound down.
    bool endWrite();
    bool writing() const { return m_writing; }
    bool stopping() const { return m_stopping; }
    bool interrupted() const { return m_interrupted; }
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
    void onConnected();
    void checkConnectAttempt();
    void onLastError();
    void onRequestFinished(unsigned char command, bool ok, const QByteArray &payload);
    void onRequestTimedOut(unsigned char command);

    QString m_error;
    bool m_linkUp = false;
    bool m_ready = false;
    bool m_writing = false;
    bool m_stopping = false;
    bool m_interrupted = false;
    bool m_finished = false;
};
