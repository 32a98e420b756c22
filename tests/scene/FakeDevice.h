#pragma once

#include <QObject>
#include <QString>
#include <QStringList>
#include <QVariantList>

// Stand-in for the session object: the same properties, signals and methods
// as seen from QML. Tests write the properties directly and read back the
// method calls from `calls`. It never touches a port or the network.
class FakeDevice : public QObject
{
    Q_OBJECT
    Q_PROPERTY(bool connected MEMBER m_connected NOTIFY connectedChanged)
    Q_PROPERTY(bool connecting MEMBER m_connecting NOTIFY connectingChanged)
    Q_PROPERTY(QVariantList ports MEMBER m_ports NOTIFY portsChanged)
    Q_PROPERTY(QString portName MEMBER m_portName NOTIFY portNameChanged)
    Q_PROPERTY(QVariantList tcpHosts MEMBER m_tcpHosts NOTIFY tcpHostsChanged)
    Q_PROPERTY(QString tcpHost MEMBER m_tcpHost NOTIFY tcpHostChanged)
    Q_PROPERTY(bool tcpScanning MEMBER m_tcpScanning NOTIFY tcpScanningChanged)
    Q_PROPERTY(double tcpScanProgress MEMBER m_tcpScanProgress NOTIFY tcpScanProgressChanged)
    Q_PROPERTY(QString lastError MEMBER m_lastError NOTIFY lastErrorChanged)
    Q_PROPERTY(QString statusText MEMBER m_statusText NOTIFY statusTextChanged)
    Q_PROPERTY(QVariantList counts MEMBER m_counts NOTIFY countsChanged)
    Q_PROPERTY(QVariantList dacVolts MEMBER m_dacVolts NOTIFY dacVoltsChanged)
    Q_PROPERTY(int periodMs MEMBER m_periodMs NOTIFY periodMsChanged)
    Q_PROPERTY(int channelCount READ channelCount CONSTANT)
    Q_PROPERTY(double dacMaxVolts READ dacMaxVolts CONSTANT)
    Q_PROPERTY(bool calibrationRunning MEMBER m_calibrationRunning NOTIFY calibrationRunningChanged)
    Q_PROPERTY(double calibrationProgress MEMBER m_calibrationProgress NOTIFY calibrationProgressChanged)
    Q_PROPERTY(QString networkMode MEMBER m_networkMode NOTIFY networkModeChanged)
    Q_PROPERTY(QString ipAddress MEMBER m_ipAddress NOTIFY ipAddressChanged)
    Q_PROPERTY(QString netmask MEMBER m_netmask NOTIFY netmaskChanged)
    Q_PROPERTY(QString gateway MEMBER m_gateway NOTIFY gatewayChanged)
    Q_PROPERTY(bool networkApplying MEMBER m_networkApplying NOTIFY networkApplyingChanged)
    Q_PROPERTY(QStringList calls MEMBER m_calls NOTIFY callsChanged)

public:
    using QObject::QObject;

    int channelCount() const { return 8; }
    double dacMaxVolts() const { return 1.0; }

    // Back to the state of a fresh session, with the call log emptied.
    Q_INVOKABLE void reset()
    {
        setProperty("connected", false);
        setProperty("connecting", false);
        setProperty("tcpScanning", false);
        setProperty("calibrationRunning", false);
        setProperty("networkApplying", false);
        setProperty("ports", QVariantList{});
        setProperty("portName", QString());
        setProperty("tcpHosts", QVariantList{});
        setProperty("tcpHost", QString());
        setProperty("lastError", QString());
        setProperty("statusText", QStringLiteral("Disconnected"));
        setProperty("counts", zeros());
        setProperty("dacVolts", zeros());
        setProperty("periodMs", 1000);
        setProperty("networkMode", QString());
        setProperty("ipAddress", QString());
        setProperty("netmask", QString());
        setProperty("gateway", QString());
        m_calls.clear();
        emit callsChanged();
    }

    // A count reading: always signals, like the real poll.
    Q_INVOKABLE void pushCounts(const QVariantList &counts)
    {
        m_counts = counts;
        emit countsChanged();
    }

    Q_INVOKABLE void refreshPorts() { log(QStringLiteral("refreshPorts()")); }
    // Records the call only: a test must never start a real LAN scan.
    Q_INVOKABLE void startTcpScan() { log(QStringLiteral("startTcpScan()")); }
    Q_INVOKABLE void stopTcpScan() { log(QStringLiteral("stopTcpScan()")); }
    Q_INVOKABLE void connectToDevice(bool tcp = false)
    {
        log(QStringLiteral("connectToDevice(%1)").arg(tcp ? "true" : "false"));
    }
    Q_INVOKABLE void disconnectFromDevice() { log(QStringLiteral("disconnectFromDevice()")); }
    Q_INVOKABLE void applyPeriod(int periodMs) { log(QStringLiteral("applyPeriod(%1)").arg(periodMs)); }
    Q_INVOKABLE void refreshCounts() { log(QStringLiteral("refreshCounts()")); }
    Q_INVOKABLE void setDacVoltage(int channel, double volts)
    {
        log(QStringLiteral("setDacVoltage(%1,%2)").arg(channel).arg(volts));
    }
    Q_INVOKABLE void setAllDacVoltage(double volts) { log(QStringLiteral("setAllDacVoltage(%1)").arg(volts)); }
    Q_INVOKABLE void refreshDacVolts() { log(QStringLiteral("refreshDacVolts()")); }
    Q_INVOKABLE void refreshNetwork() { log(QStringLiteral("refreshNetwork()")); }
    Q_INVOKABLE void applyNetwork(bool dhcp, const QString &ip, const QString &netmask, const QString &gateway)
    {
        log(QStringLiteral("applyNetwork(%1,%2,%3,%4)").arg(dhcp ? "true" : "false", ip, netmask, gateway));
    }
    Q_INVOKABLE void startCalibration(int channel, int fromMv, int toMv, int stepMv)
    {
        log(QStringLiteral("startCalibration(%1,%2,%3,%4)").arg(channel).arg(fromMv).arg(toMv).arg(stepMv));
    }
    // Ends a run, as the session does.
    Q_INVOKABLE void stopCalibration()
    {
        log(QStringLiteral("stopCalibration()"));
        setProperty("calibrationRunning", false);
    }

signals:
    void connectedChanged();
    void connectingChanged();
    void portsChanged();
    void portNameChanged();
    void tcpHostsChanged();
    void tcpHostChanged();
    void tcpScanningChanged();
    void tcpScanProgressChanged();
    void lastErrorChanged();
    void statusTextChanged();
    void countsChanged();
    void dacVoltsChanged();
    void periodMsChanged();
    void calibrationRunningChanged();
    void calibrationProgressChanged();
    void calibrationPoint(double thresholdMv, double counts);
    void calibrationSucceeded();
    void calibrationFinished();
    void networkModeChanged();
    void ipAddressChanged();
    void netmaskChanged();
    void gatewayChanged();
    void networkApplyingChanged();
    void callsChanged();

private:
    static QVariantList zeros()
    {
        QVariantList z;
        for (int i = 0; i < 8; ++i)
            z.append(0.0);
        return z;
    }

    void log(const QString &call)
    {
        m_calls.append(call);
        emit callsChanged();
    }

    bool m_connected = false;
    bool m_connecting = false;
    QVariantList m_ports;
    QString m_portName;
    QVariantList m_tcpHosts;
    QString m_tcpHost;
    bool m_tcpScanning = false;
    double m_tcpScanProgress = 0.0;
    QString m_lastError;
    QString m_statusText = QStringLiteral("Disconnected");
    QVariantList m_counts = zeros();
    QVariantList m_dacVolts = zeros();
    int m_periodMs = 1000;
    bool m_calibrationRunning = false;
    double m_calibrationProgress = 0.0;
    QString m_networkMode;
    QString m_ipAddress;
    QString m_netmask;
    QString m_gateway;
    bool m_networkApplying = false;
    QStringList m_calls;
};
