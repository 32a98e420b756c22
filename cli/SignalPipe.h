#pragma once

// SIGINT, SIGTERM, SIGHUP and SIGQUIT delivered as a Qt signal on the event
// loop. The handler only writes the signal number into a pipe
// (async-signal-safe); a socket notifier on the other end turns it into
// `received`.

#include <QObject>

class QSocketNotifier;

class SignalPipe : public QObject
{
    Q_OBJECT
public:
    explicit SignalPipe(QObject *parent = nullptr);
    ~SignalPipe() override;

    bool ok() const { return m_notifier != nullptr; }

signals:
    void received(int signal);

private:
    void drain();

    QSocketNotifier *m_notifier = nullptr;
};
