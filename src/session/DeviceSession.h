#pragma once

#include "NetInterfaces.h"
#include "Outcome.h"
#include "Reading.h"
#include "ReadingSource.h"
#include "SerialPortEntry.h"
#include "TcpLanScanner.h"
#include "zrf.h"

#include <QByteArray>
#include <QHash>
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
class DeviceSession : public ReadingSource
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
        QList<quint64> dacOps = {};         // callers of a level that a newer one replaced unsent
        bool keepOnClose = false;           // an operator's level, a restore or a write: sent before closing
        quint32 sweep = 0;                  // a mute, step or reading of this sweep: dropped unsent when it ends
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
    // Replies of timed-out requests that may still be on their way, and how
    // long one is waited for.
    static constexpr int kMaxLateReplies = 8;
    static constexpr int kLateReplyMs = 3 * kCommandTimeoutMs;
    // Reads of the levels tried at opening before they are left unknown.
    static constexpr int kLevelReadAttempts = 3;

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
    // Every failure the session reports in `lastError`, typed.
    void errorOccurred(const Outcome &outcome);

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

    // The operations for C++ front ends: the same as the invokables above,
    // each telling its caller once how it ended. `done` runs when the whole
    // operation is over (read-back and EEPROM write included); a guard that
    // refuses a call reports it there instead of staying silent, and a link
    // that ends meanwhile reports LinkLost.
    //
    // Opening: over once the opening exchange has read the period, the
    // levels, the network settings and a first count.
    void connectToDevice(bool tcp, Done done);
    // Closing: sends a level's EEPROM write still held back first, and waits
    // for the reply on the wire, so no reply of this link is left for the
    // next program that opens the port.
    void disconnectFromDevice(Done done);
    // Over once the instrument's period has been read back (periodMs()).
    void applyPeriod(int periodMs, Done done);
    // Over once the instrument has taken the level and stored it in its EEPROM.
    void setDacVoltage(int channel, double volts, Done done);
    void setAllDacVoltage(double volts, Done done);
    void refreshCounts(Done done);
    // Over once the instrument has reported its period (periodMs()).
    void refreshPeriod(Done done);
    void refreshDacVolts(Done done);
    void refreshNetwork(Done done);
    void applyNetwork(bool dhcp, const QString &ip, const QString &netmask, const QString &gateway,
                      Done done);
    // Over once the sweep has ended and the levels from before it are back
    // (CalibrationStopped when stopCalibration ended it early). A sweep that
    // completes is closed by the session itself, as the calibration view does.
    void startCalibration(int channel, int fromMv, int toMv, int stepMv, Done done);

    // Before the program ends: closes the link as disconnectFromDevice does
    // and waits (within the reply time-out) for a held-back EEPROM write.
    void closeBeforeExit();

private:
    // Text and state setters: store and emit only on a real change.
    void setLastError(const QString &text);
    // A failure of the session's own: its text from the table into `lastError`.
    void reportError(const Outcome &outcome);
    void reportError(DeviceError error) { reportError(Outcome(error)); }
    void setStatusText(const QString &text);
    void setConnecting(bool value);
    void setConnectedState(bool value);
    void setNetworkMode(const QString &value);
    void setIpAddress(const QString &value);
    void setNetmask(const QString &value);
    void setGateway(const QString &value);
    void setDacLevelsKnown(bool known);
    void setCountsLive(bool live);

    // Open and not being closed: new requests are taken.
    bool linkReady() const { return m_connected && !m_closing; }

    // Operations in progress with their callers' completions: each runs
    // once, with the outcome, or with LinkLost when the link ends first.
    quint64 beginOperation(Done done);
    void finishOperation(quint64 id, const Outcome &outcome);
    void finishAllOperations(const Outcome &outcome);
    // Refuses a call at once: with a completion it hears why.
    static void refuse(const Done &done, DeviceError error);

    // Queue and dispatch.
    void enqueuePending(Pending request);
    // Sent next, ahead of everything queued (the head on the wire stays first).
    void enqueueNext(Pending request);
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
    void finishOpening();
    QString linkIdentity() const;
    void onClosed();
    void closeNow();
    // Closes once a held-back EEPROM write (and with `drain` the request on
    // the wire) is answered.
    void closeLinkFor(Done done, bool drain);
    void onTcpConnected();
    void onTcpDisconnected();
    void onTcpError();
    void onSerialError(QSerialPort::SerialPortError error);
    void onTcpConnectTimeout();
    // Aborts the socket and closes the port without their signals running the
    // error paths (they may fire from inside these calls).
    void closeTransports();
    void failConnectAttempt(const QString &message);
    void loseLink(const QString &message);

    // Counts and gate period.
    void onPoll();
    void updatePollInterval();
    void enqueueCountQuery(bool fromPoll, quint64 op = 0);
    // Every valid count reply, polled or swept: publishes `counts` and the reading.
    Reading takeCounts(const QList<double> &values);
    Reading makeReading(const QList<double> &values) const;
    void noteFreshCounts();
    bool takePeriodReply(bool ok, const QByteArray &payload);

    // Thresholds.
    // `done` runs once the instrument took the level; `failed` after a
    // refusal or a time-out (a refusal is reported and read back first).
    Pending dacRequest(int channel, double volts, std::function<void()> done = {},
                       std::function<void(DeviceError)> failed = {});
    void sendDacVoltage(int channel, double volts, std::function<void()> done = {},
                        std::function<void(DeviceError)> failed = {}, bool keepOnClose = false);
    // An operator's level the instrument took: shown, kept for a sweep's
    // ending, and stored in the EEPROM (op completes once it is).
    void takeOperatorLevel(int channel, double volts, const QList<quint64> &ops);
    static double clampDacVolts(double volts);
    void readDacLevels(quint64 op, int attemptsLeft);
    bool takeDacReading(bool ok, const QByteArray &payload);
    void restoreSavedDacLevels();
    void endRestore(quint32 restore, bool completed);
    // After an interrupted sweep: the instrument still shows its mutes.
    bool showsSweepPattern() const;
    void readBackDacLevels();
    void requestEepromWrite(const QList<quint64> &ops);
    void onEepromHoldOff();
    void writeEeprom();

    // Calibration sweep.
    std::function<void(DeviceError)> endSweepOnFailure(quint32 sweep);
    void failSweep(DeviceError error);
    void muteOtherChannelsThenSweep();
    void applyCalibrationStep();
    void onCalibrationWait();
    void completeCalibration();
    void setCalibrationProgress(double progress);
    void beginCalibrationSweep(quint64 op);
    void finishSweepOperation();

    // Network configuration.
    void commitNetworkApply(bool dhcp, const QString &ip, const QString &netmask,
                            const QString &gateway, quint64 op);
    void failNetworkApply(DeviceError error, quint64 op);
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
    // Timed-out requests whose replies may still come, oldest first, with
    // when they timed out: after a while they are given up.
    struct LateReply {
        unsigned char command;
        qint64 sinceNs;
    };
    QList<LateReply> m_late;
    QString m_linkId;

    QHash<quint64, Done> m_operations;
    quint64 m_nextOperation = 0;
    quint64 m_openOp = 0;  // the connect that waits for the opening exchange
    quint64 m_closeOp = 0; // the disconnect that waits for a held-back write
    bool m_closing = false;       // a disconnect waits for a held-back write
    bool m_operatorClose = false; // the link ends because the operator closed it

    bool m_calibrationRunning = false;
    int m_calChannel = 0;
    int m_calStartMv = 0;
    int m_calCurrentMv = 0;
    int m_calEndMv = 0;
    int m_calStepMv = 1;
    int m_calPointCount = 1;
    int m_calPointsDone = 0;
    bool m_calCompleted = false; // every point taken
    double m_calibrationProgress = 0.0;
    int m_pendingMutes = 0;
    quint64 m_sweepOp = 0;            // the caller waiting for the sweep and its restore
    DeviceError m_sweepEnd = DeviceError::None; // how the sweep ended, for that caller
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

    // Bumped per sweep so late replies of an ended sweep cannot drive a new one.
    quint32 m_calSweepId = 0;
    // The saved levels stay until the instrument took all eight back. A link
    // lost before that names itself here, with the sweep that muted: opening
    // it again reads the levels and puts them back only if the mutes are
    // still there.
    QString m_savedLevelsLink;
    int m_savedSweepChannel = 0;
    int m_savedSweepLowMv = 0;
    int m_savedSweepHighMv = 0;
    quint32 m_restoreId = 0;
    bool m_restoreInFlight = false;
    bool m_restoreAfterInterruption = false;
    int m_restoreAcks = 0;
    bool m_levelReadQueued = false; // a read-back of the levels waits in the queue
    // EEPROM writes of operator levels: one in flight, one due after the
    // hold-off, and the operations each will complete.
    bool m_eepromInFlight = false;
    bool m_eepromWriteDue = false;
    QList<quint64> m_eepromDueOps;
    bool m_countsLive = false;
};
