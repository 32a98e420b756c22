#pragma once

#include <QObject>

class DeviceSession;

// `scan`: the client's LAN scan; the hosts that answered, one per line in
// the client's order, once the scan is over (or stopped by Ctrl-C).
class ScanCommand : public QObject
{
    Q_OBJECT
public:
    explicit ScanCommand(DeviceSession &session, QObject *parent = nullptr);

    void start();
    void interrupt();

signals:
    void finished(int exitCode);

private:
    void onScanningChanged();
    void printHosts(int exitCode);

    DeviceSession &m_session;
    bool m_done = false;
};
