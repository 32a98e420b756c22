#pragma once

#include "NetInterfaces.h"
#include "SerialPortEntry.h"
#include "TcpLanScanner.h"
#include "zrf.h"

#include <QByteArray>
#include <QHostAddress>
#include <QList>
#include <QObject>
#include <QSerialPort>
#include <QString>
#include <QTcpSocket>
#include <QTimer>
#include <QVariantList>
#include <functional>

class QSerialPortInfo;

// The one backend object: link to the instrument, command queue, polling,
// thresholds, calibration sweep, network settings and LAN host choice.
// Everything runs on the GUI thread's event loop.
class DeviceSession : public QObject
{
    Q_OBJECT
    Q_PROPERTY(bool connected READ connected NOTIFY connectedChanged)
    Q_PROPERTY(bool connecting READ connecting NOTIFY connectingChanged)
    Q_PROPERTY(QVariantList ports READ ports NOTIFY portsChanged)
    Q_PROPERTY(QString portName READ portName WRITE setPortName NOTIFY portNameChanged)
    Q_PROPERTY(QVariantList tcpHosts READ tcpHosts NOTIFY tcpHostsChanged)
    Q_PROPERTY(QString tcpHost READ tcpHost WRITE setTcpHost NOTIFY tcpHostChanged)
    Q_PROPERTY(bool tcpScanning READ tcpScanning NOTIFY tcpScanningChanged)
    Q_PROPERTY(double tcpScanProgress READ tcpScanProgress NOTIFY tcpScanProgressChanged)
    Q_PROPERTY(QString lastError READ lastError NOTIFY lastErrorChanged)
    Q_PROPERTY(QString statusText READ statusText NOTIFY statusTextChanged)
    Q_PROPERTY(QVariantList counts READ counts NOTIFY countsChanged)
    Q_PROPERTY(QVariantList dacVolts READ dacVolts NOTIFY dacVoltsChanged)
    Q_PROPERTY(int periodMs READ periodMs NOTIFY periodMsChanged)
    Q_PROPERTY(int channelCount READ channelCount CONSTANT)
    Q_PROPERTY(double dacMaxVolts READ dacMaxVolts CONSTANT)
    Q_PROPERTY(bool calibrationRunning READ calibrationRunning NOTIFY calibrationRunningChanged)
    Q_PROPERTY(double calibrationProgress READ calibrationProgress NOTIFY calibrationProgressChanged)
    Q_PROPERTY(QString networkMode READ networkMode NOTIFY networkModeChanged)
    Q_PROPERTY(QString ipAddress READ ipAddress NOTIFY ipAddressChanged)
    Q_PROPERTY(QString netmask READ netmask NOTIFY netmaskChanged)
    Q_PROPERTY(QString gateway READ gateway NOTIFY gatewayChanged)
    Q_PROPERTY(bool networkApplying READ networkApplying NOTIFY networkApplyingChanged)
    // Beyond the operator's table: whether `dacVolts` holds levels read on
    // the current link (false until the first valid SDAC? after opening).
    Q_PROPERTY(bool dacLevelsKnown READ dacLevelsKnown NOTIFY dacLevelsKnownChanged)
    // Also beyond it: `counts` came from the current link and is not older
    // than three poll intervals.
    Q_PROPERTY(bool countsLive READ countsLive NOTIFY countsLiveChanged)

public:
    using Completion = std::function<void(bool ok, const QByteArray &payload)>;

    // One queued request.
    struct Pending {
        unsigned char command = 0;
        QByteArray frame;
        Completion done;
        bool poll = false; // a count query queued by the poll timer
        int dacChannel = -1; // an operator's level for this channel: a newer one may replace it unsent
        std::function<void()> expired = {}; // runs when no reply came in time
    };

    static constexpr int kChannelCount = 8;
    static constexpr double kDacMaxVolts = 1.0;
    static constexpr quint16 kTcpPort = 1234;
    static constexpr int kCommandTimeoutMs = 2000;
    static constexpr int kTcpConnectTimeoutMs = 3000;
    static constexpr int kPortRefreshMs = 1500;
    static constexpr int kMinPollMs = 50;
    static constexpr int kAllChannels = 15;
    // Shortest time between two EEPROM writes of operator levels.
    static constexpr int kEepromHoldOffMs = 500;
    // Replies of timed-out requests that may still be on their way.
    static constexpr int kMaxLateReplies = 8;

    explicit DeviceSession(QObject *parent = nullptr);
    ~DeviceSession() override;

    bool connected() const { return m_connected; }
    bool connecting() const { return m_connecting; }
    QVariantList ports() const { return m_ports; }
    QString portName() const { return m_portName; }
    QVariantList tcpHosts() const { return m_scanner.hosts(); }
    QString tcpHost() const { return m_tcpHost; }
    bool tcpScanning() const { return m_scanner.scanning(); }
    double tcpScanProgress() const { return m_scanner.progress(); }
    QString lastError() const { return m_lastError; }
    QString statusText() const { return m_statusText; }
    QVariantList counts() const { return m_counts; }
    QVariantList dacVolts() const { return m_dacVolts; }
    int periodMs() const { return m_periodMs; }
    int channelCount() const { return kChannelCount; }
    double dacMaxVolts() const { return kDacMaxVolts; }
    bool calibrationRunning() const { return m_calibrationRunning; }
    double calibrationProgress() const { return m_calibrationProgress; }
    QString networkMode() const { return m_networkMode; }
    QString ipAddress() const { return m_ipAddress; }
    QString netmask() const { return m_netmask; }
    QString gateway() const { return m_gateway; }
    bool networkApplying() const { return m_networkApplying; }
    bool dacLevelsKnown() const { return m_dacLevelsKnown; }
    bool countsLive() const { return m_countsLive; }

    void setPortName(const QString &name);
    void setTcpHost(const QString &text);

    // Sources of the serial port list and of the network interfaces; tests
    // replace them with made-up lists.
    void setSerialPortSource(SerialPortSource source);
    void setNetInterfaceSource(NetInterfaceSource source);

    static bool parseIpv4(const QString &text, QString *normalised);
    static bool isLikelyDevice(const QSerialPortInfo &info);
    QHostAddress localBindFor(const QString &host) const;
    QString linkLabel() const;

    // Test and diagnostics view of the queue state.
    qsizetype queueLength() const { return m_queue.size(); }
    bool busy() const { return m_busy; }
    bool commandTimerActive() const { return m_commandTimer.isActive(); }
    bool pollTimerActive() const { return m_pollTimer.isActive(); }
    int pollIntervalMs() const { return m_pollTimer.interval(); }

    void enqueue(unsigned char cmd, const QByteArray &payload, Completion done);

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
    void dacLevelsKnownChanged();
    void countsLiveChanged();
    // Every valid count reading of the current link, the sweep's own
    // included (which `countsChanged` skips when they repeat).
    void countsRead(const QList<double> &values, bool duringSweep);
    // Every request leaving the queue: answered (emitted after its handler
    // ran, `ok` as the handler saw it) or dropped on its time-out. Lets a
    // front end follow one exchange to its end without a queue of its own.
    void requestFinished(unsigned char command, bool ok, const QByteArray &payload);
    void requestTimedOut(unsigned char command);

public:
    Q_INVOKABLE void refreshPorts();
    Q_INVOKABLE void startTcpScan();
    Q_INVOKABLE void stopTcpScan();
    Q_INVOKABLE void connectToDevice(bool tcp = false);
    Q_INVOKABLE void disconnectFromDevice();
    Q_INVOKABLE void applyPeriod(int periodMs);
    Q_INVOKABLE void refreshCounts();
    Q_INVOKABLE void setDacVoltage(int channel, double volts);
    Q_INVOKABLE void setAllDacVoltage(double volts);
    Q_INVOKABLE void refreshDacVolts();
    Q_INVOKABLE void refreshNetwork();
    Q_INVOKABLE void applyNetwork(bool dhcp, const QString &ip, const QString &netmask,
                                  const QString &gateway);
    Q_INVOKABLE void startCalibration(int channel, int fromMv, int toMv, int stepMv);
    Q_INVOKABLE void stopCalibration();

private:
    // Text and state setters: store and emit only on a real change.
    void setLastError(const QString &text);
    void setStatusText(const QString &text);
    void setConnecting(bool value);
    void setConnectedState(bool value);
    void setNetworkMode(const QString &value);
    void setIpAddress(const QString &value);
    void setNetmask(const QString &value);
    void setGateway(const QString &value);
    void setDacLevelsKnown(bool known);
    void setCountsLive(bool live);

    // Queue and dispatch.
    void enqueuePending(Pending request);
    void pumpQueue();
    void handleFrame(unsigned char cmd, const QByteArray &payload);
    bool dropLateReply(unsigned char cmd);
    void onReadyRead();
    void onCommandTimeout();
    void clearQueue();
    void clearReceiveBuffer();

    // Link.
    void connectSerial();
    void connectTcp();
    void onOpened();
    void continueOpening();
    QString linkIdentity() const;
    void onClosed();
    void onTcpConnected();
    void onTcpDisconnected();
    void onTcpError();
    void onSerialError(QSerialPort::SerialPortError error);
    void onTcpConnectTimeout();
    void closeLink();

    // Counts and gate period.
    void onPoll();
    void updatePollInterval();
    void enqueueCountQuery(bool fromPoll);
    void handleCountReply(bool ok, const QByteArray &payload);
    void noteFreshCounts();
    void handlePeriodReadBack(bool ok, const QByteArray &payload, bool reportFailure);

    // Thresholds.
    // `done` runs once the instrument took the level; `failed` after a
    // refusal or a time-out (a refusal is reported and read back first).
    Pending dacRequest(int channel, double volts, std::function<void()> done = {},
                       std::function<void()> failed = {});
    void sendDacVoltage(int channel, double volts, std::function<void()> done = {},
                        std::function<void()> failed = {});
    static double clampDacVolts(double volts);
    void restoreSavedDacLevels();
    void endRestore(quint32 restore, bool completed);
    void readBackDacLevels();
    void requestEepromWrite();
    void onEepromHoldOff();
    void writeEeprom();

    // Calibration sweep.
    std::function<void()> endSweepOnSilence(quint32 sweep);
    void muteOtherChannelsThenSweep();
    void applyCalibrationStep();
    void onCalibrationWait();
    void completeCalibration();
    void setCalibrationProgress(double progress);
    void beginCalibrationSweep();

    // Network configuration.
    void commitNetworkApply(bool dhcp, const QString &ip, const QString &netmask,
                            const QString &gateway);
    void failNetworkApply(const QString &message);
    void setNetworkApplying(bool applying);

    // LAN hosts.
    void onScannerHostsChanged();

    QSerialPort m_serial;
    QTcpSocket m_socket;
    TcpLanScanner m_scanner;
    QTimer m_pollTimer;
    QTimer m_portRefreshTimer;
    QTimer m_commandTimer;
    QTimer m_tcpConnectTimer;
    QTimer m_calibrationWaitTimer;
    QTimer m_eepromTimer;      // holds further EEPROM writes back after one
    QTimer m_countsFreshTimer; // `countsLive` ends when it fires

    int m_transport = 0; // 0 = serial, 1 = TCP
    bool m_suppressLinkEvents = false;
    QVariantList m_ports;
    QString m_portName;
    QString m_tcpHost;
    QString m_lastError;
    QString m_statusText;
    QVariantList m_counts;
    QVariantList m_dacVolts;
    int m_periodMs = 1000;
    bool m_connecting = false;
    bool m_connected = false;

    // Receive side: streaming frame decoder plus the chunk being worked through.
    zrf::FrameDecoder m_rxDecoder;
    QByteArray m_rxChunk;
    qsizetype m_rxPos = 0;

    QList<Pending> m_queue;
    bool m_busy = false;
    // Codes of timed-out requests, oldest first: their replies may still come.
    QList<unsigned char> m_lateCodes;
    // A stray reply was dropped while the head request was on the wire, so
    // its own reply may already have been that one.
    bool m_headSawStray = false;
    QString m_linkId;

    bool m_calibrationRunning = false;
    int m_calChannel = 0;
    int m_calCurrentMv = 0;
    int m_calEndMv = 0;
    int m_calStepMv = 1;
    int m_calPointCount = 1;
    int m_calPointsDone = 0;
    double m_calibrationProgress = 0.0;
    int m_pendingMutes = 0;
    QVariantList m_savedDacLevels;
    // Levels read by a valid SDAC? on the current link; a sweep must not save
    // the placeholder zeros as the operator's thresholds.
    bool m_dacLevelsKnown = false;

    QString m_networkMode;
    QString m_ipAddress;
    QString m_gateway;
    QString m_netmask;
    bool m_networkApplying = false;

    SerialPortSource m_portSource;
    NetInterfaceSource m_interfaceSource;

    // device operations
    // Publishes a valid SDAC? reading (marks the levels known); else reports it.
    bool takeDacReading(bool ok, const QByteArray &payload);
    // Bumped per sweep so late replies of an ended sweep cannot drive a new one.
    quint32 m_calSweepId = 0;
    // The saved levels stay until the instrument took all eight back. A link
    // lost before that names itself here; opening it again sends them.
    QString m_savedLevelsLink;
    quint32 m_restoreId = 0;
    bool m_restoreInFlight = false;
    bool m_restoreAfterInterruption = false;
    int m_restoreAcks = 0;
    bool m_levelReadQueued = false; // a read-back of the levels waits in the queue
    bool m_eepromWriteDue = false;  // a level was taken during the hold-off
    bool m_countsLive = false;
};
