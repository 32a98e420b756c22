#pragma once

// `serve`: the instrument's readings as Prometheus metrics. Keeps the link
// to one instrument open on the client's session (which polls at the gate
// period by itself), feeds every reading, time-out and link change into
// InstrumentMetrics, and serves them over HTTP until Ctrl-C or SIGTERM.
//
// A link that ends, or goes silent for kSilentTimeouts requests in a row,
// is opened again after a back-off from kFirstRetryMs doubling up to
// kMaxRetryMs; so is one that cannot be opened, from the start on. The
// exporter keeps running for an instrument that is off: Prometheus then
// sees tachyra_link_up 0 (an alert can say which instrument) instead of a
// vanished target, and a service manager has nothing to restart.

#include "DeviceCommand.h"
#include "InstrumentMetrics.h"
#include "MetricsEndpoint.h"

#include <QObject>
#include <QString>
#include <QTimer>

class DeviceSession;
struct Reading;

class ServeCommand : public QObject
{
    Q_OBJECT
public:
    static constexpr int kFirstRetryMs = 1000;
    static constexpr int kMaxRetryMs = 30000;
    static constexpr int kSilentTimeouts = 3;

    struct Options {
        MetricsEndpoint::Address listen;
        QString instrument; // the value of the `instrument` label
    };

    ServeCommand(DeviceSession &session, const Options &options, QObject *parent = nullptr);
    ~ServeCommand() override;

    // Listens (a failure ends the command with exit 1), then opens the link.
    void start(const LinkTarget &link);
    // The first winds down (closes the link, stops serving, exit 0); the
    // second leaves at once.
    void interrupt();

    InstrumentMetrics &metrics() { return m_metrics; }
    quint16 port() const { return m_endpoint.port(); }
    bool linkUp() const { return m_state == State::Up; }

signals:
    // A line for stderr.
    void message(const QString &text);
    void finished(int exitCode);

private:
    enum class State { Idle, Opening, Up, Closing, Waiting, Stopping, Done };

    void open();
    void onOpened(const Outcome &outcome);
    void onReading(const Reading &reading);
    void onError(const Outcome &outcome);
    void onLinkClosed(const Outcome &why);
    void enterUp();
    void leaveUp();
    void publishState();
    // Closes the link from the event loop (never inside a session handler)
    // and tries again after the back-off.
    void reopen();
    void retryLater();
    void finish(int code);

    DeviceSession &m_session;
    Options m_options;
    LinkTarget m_link;
    InstrumentMetrics m_metrics;
    MetricsEndpoint m_endpoint;
    QTimer m_retry;
    State m_state = State::Idle;
    int m_retryMs = kFirstRetryMs;
    int m_silentTimeouts = 0;
    qint64 m_readingsThisLink = 0;
    bool m_everUp = false;
};
