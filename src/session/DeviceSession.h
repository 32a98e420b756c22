#pragma once

#include "NetInterfaces.h"
#include "Outcome.h"
#include "Reading.h"
#include "ReadingSource.h"
#include "RequestQueue.h"
#include "SerialLinkPort.h"
#include "SerialPortEntry.h"
#include "TcpLanScanner.h"
#include "TcpLinkPort.h"
#include "zrf.h"

#include <QByteArray>
#include <QHash>
#include <QHostAddress>
#include <QList>
#include <QObject>
#include <QString>
#include <QTimer>
#include <QVariantList>
#include <array>
#include <functional>
#include <memory>

class QSerialPortInfo;

// The one backend object: link to the instrument, command queue, polling,
// thresholds, calibration sweep, network settings and LAN host choice.
// Everything runs on the GUI thread's event loop.
class DeviceSession : public ReadingSource
{
    Q_OBJECT
    friend class SessionProbe; // the tests' view of the queue and timers
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
    using Completion = RequestQueue::Completion;
    using Request = RequestQueue::Request;

    static constexpr int kChannelCount = 8;
    static constexpr double kDacMaxVolts = 1.0;
    static constexpr quint16 kTcpPort = TcpLinkPort::kPort;
    static constexpr int kCommandTimeoutMs = RequestQueue::kTimeoutMs;
    static constexpr int kTcpConnectTimeoutMs = TcpLinkPort::kConnectTimeoutMs;
    static constexpr int kPortRefreshMs = 1500;
    static constexpr int kMinPollMs = 50;
    static constexpr int kAllChannels = 15;
    // Shortest time between two EEPROM writes of operator levels.
    static constexpr int kEepromHoldOffMs = 500;
    // Reads of the levels tried at opening before they are left unknown.
    static constexpr int kLevelReadAttempts = 3;

    explicit DeviceSession(QObject *parent = nullptr);
    // With sources of its own for the serial ports and network interfaces
    // (tests give made-up lists; nothing is asked of the system then).
    DeviceSession(SerialPortSource ports, NetInterfaceSource interfaces, QObject *parent = nullptr);
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

    void setPortName(const QString &name) { change(&DeviceSession::m_portName, name, &DeviceSession::portNameChanged); }
    void setTcpHost(const QString &text);

    // Sources of the serial port list and of the network interfaces; tests
    // replace them with made-up lists.
    void setSerialPortSource(SerialPortSource source);
    void setNetInterfaceSource(NetInterfaceSource source);

    static bool parseIpv4(const QString &text, QString *normalised);
    static bool isLikelyDevice(const QSerialPortInfo &info);
    QHostAddress localBindFor(const QString &host) const;
    QString linkLabel() const;

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
    Q_INVOKABLE void connectToDevice(bool tcp = false) { connectToDevice(tcp, {}); }
    Q_INVOKABLE void disconnectFromDevice() { closeLinkFor({}, false); }
    Q_INVOKABLE void applyPeriod(int periodMs) { applyPeriod(periodMs, {}); }
    Q_INVOKABLE void refreshCounts() { refreshCounts(Done()); }
    Q_INVOKABLE void setDacVoltage(int channel, double volts) { setDacVoltage(channel, volts, {}); }
    Q_INVOKABLE void setAllDacVoltage(double volts) { setAllDacVoltage(volts, {}); }
    Q_INVOKABLE void refreshDacVolts() { refreshDacVolts(Done()); }
    Q_INVOKABLE void refreshNetwork() { refreshNetwork(Done()); }
    Q_INVOKABLE void applyNetwork(bool dhcp, const QString &ip, const QString &netmask, const QString &gateway)
    {
        applyNetwork(dhcp, ip, netmask, gateway, {});
    }
    Q_INVOKABLE void startCalibration(int channel, int fromMv, int toMv, int stepMv)
    {
        startCalibration(channel, fromMv, toMv, stepMv, {});
    }
    // Several channels one after another, in the order given.
    Q_INVOKABLE void startCalibrationOf(const QVariantList &channels, int fromMv, int toMv, int stepMv);
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
    // Closing: ends a sweep and puts the operator's levels back, sends the
    // levels on their way and their EEPROM write first, and waits for the
    // reply on the wire, so no reply of this link is left for the next
    // program that opens the port. Reports ThresholdNotStored when a level
    // the instrument may run could not be stored.
    void disconnectFromDevice(Done done) { closeLinkFor(std::move(done), true); }
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
    // The channels swept one after another, each as a single sweep, with the
    // levels saved once before the first mute and put back once after the
    // last point; progress covers the whole run. Duplicate or out-of-range
    // channels are refused (InvalidArgument).
    void startCalibrationOf(const QList<int> &channels, int fromMv, int toMv, int stepMv, Done done);

    // Before the program ends: closes the link as disconnectFromDevice does
    // and waits for it (a transport that never reports back is cut off).
    void closeBeforeExit();

private:
    // Text and state setters: store and emit only on a real change.
    template <typename T>
    void change(T DeviceSession::*field, const T &value, void (DeviceSession::*notify)())
    {
        if (this->*field == value)
            return;
        this->*field = value;
        emit(this->*notify)();
    }
    void setLastError(const QString &v) { change(&DeviceSession::m_lastError, v, &DeviceSession::lastErrorChanged); }
    // A failure of the session's own: its text from the table into `lastError`.
    void reportError(const Outcome &outcome);
    void reportError(DeviceError error) { reportError(Outcome(error)); }
    void setStatusText(const QString &v) { change(&DeviceSession::m_statusText, v, &DeviceSession::statusTextChanged); }
    void setConnecting(bool v) { change(&DeviceSession::m_connecting, v, &DeviceSession::connectingChanged); }
    void setConnectedState(bool v) { change(&DeviceSession::m_connected, v, &DeviceSession::connectedChanged); }
    void setNetworkMode(const QString &v) { change(&DeviceSession::m_networkMode, v, &DeviceSession::networkModeChanged); }
    void setIpAddress(const QString &v) { change(&DeviceSession::m_ipAddress, v, &DeviceSession::ipAddressChanged); }
    void setNetmask(const QString &v) { change(&DeviceSession::m_netmask, v, &DeviceSession::netmaskChanged); }
    void setGateway(const QString &v) { change(&DeviceSession::m_gateway, v, &DeviceSession::gatewayChanged); }
    void setDacLevelsKnown(bool v) { change(&DeviceSession::m_dacLevelsKnown, v, &DeviceSession::dacLevelsKnownChanged); }
    void setCountsLive(bool v) { change(&DeviceSession::m_countsLive, v, &DeviceSession::countsLiveChanged); }

    // Open and not being closed: new requests are taken.
    bool linkReady() const { return m_connected && !m_closing; }

    // Operations in progress with their callers' completions: each runs
    // once, with the outcome, or with LinkLost when the link ends first.
    quint64 beginOperation(Done done);
    void finishOperation(quint64 id, const Outcome &outcome);
    void finishAllOperations(const Outcome &outcome);
    // Refuses a call at once: with a completion it hears why.
    static void refuse(const Done &done, DeviceError error);

    // A request for the queue, of this kind.
    static Request request(unsigned char cmd, const QByteArray &payload, Completion done,
                           RequestQueue::Kind kind = RequestQueue::Kind::Plain);
    void clearQueue();

    // Link.
    void attachPort(LinkPort &port);
    void openPort(LinkPort &port, const QString &target);
    void onOpened();
    void continueOpening();
    void finishOpening();
    QString linkIdentity() const;
    void onClosed();
    void closeNow();
    // Closes once a held-back EEPROM write (and with `drain` the request on
    // the wire) is answered.
    void closeLinkFor(Done done, bool drain);
    void onCommunicationError(const QString &message, bool fatal);
    void failConnectAttempt(const QString &message);
    bool onTcp() const { return m_port == &m_tcpPort || (m_port == m_testPort && m_testPortTcp); }

    // Counts and gate period.
    void onPoll();
    void updatePollInterval();
    // The poll runs while the link is open and through its opening, and
    // neither a sweep, a network change nor a close holds the instrument.
    void updatePolling();
    // `then` runs once the read is over, however it went.
    void enqueueCountQuery(bool fromPoll, quint64 op = 0, const std::function<void()> &then = {});
    // Every valid count reply, polled or swept: publishes `counts` and the reading.
    Reading takeCounts(const QList<double> &values);
    Reading makeReading(const QList<double> &values) const;
    void noteFreshCounts();
    bool takePeriodReply(bool ok, const QByteArray &payload);
    // Reads the period back for `op` (which completes with it); `next`: ahead
    // of everything waiting.
    void readPeriod(quint64 op, bool next = false);

    // Thresholds. A level is the operator's (also one put back) or a sweep's
    // (a mute or a step).
    enum class LevelKind { Operator, Sweep };
    // `done` runs once the instrument took the level; `failed` after a
    // refusal or a time-out (a refusal is reported; either is read back).
    Request dacRequest(int channel, double volts, LevelKind level, std::function<void()> done = {},
                       std::function<void(DeviceError)> failed = {});
    // An operator's level the instrument took: shown, kept for a sweep's
    // ending, and stored in the EEPROM (op completes once it is).
    void takeOperatorLevel(int channel, double volts, const QList<quint64> &ops);
    static double clampDacVolts(double volts);
    void readDacLevels(quint64 op, int attemptsLeft, RequestQueue::Kind kind = RequestQueue::Kind::Plain);
    bool takeDacReading(bool ok, const QByteArray &payload);
    void readBackDacLevels();
    // The levels in force: an SDAC taken, or one whose answer was lost.
    void noteLevel(int channel, double volts, LevelKind level, bool taken);
    // Some channel may run a sweep's level: nothing may be stored now.
    bool sweepLevelsLive() const;
    bool levelsHeld() const;
    void settleSavedLevels();
    void requestEepromWrite(const QList<quint64> &ops);
    void onEepromHoldOff();
    void writeEeprom();

    // Calibration sweep.
    std::function<void(DeviceError)> endSweepOnFailure(quint32 sweep);
    void failSweep(DeviceError error);
    Request sweepMute(int channel, quint32 sweep, const std::function<void()> &then);
    void muteOtherChannelsThenSweep();
    void sweepNextChannel();
    void noteSweptRange(int channel);
    void applyCalibrationStep();
    void onCalibrationWait();
    void completeCalibration();
    void setCalibrationProgress(double progress);
    void beginCalibrationSweep(quint64 op);
    void finishSweepOperation();
    // The operator's levels back after a sweep (or on the next opening of
    // the link a sweep lost, if its mutes are still there).
    void restoreSavedDacLevels();
    void endRestore(quint32 restore, bool completed);
    void finishRestore(bool back);
    void supersedeRestore(int channel);
    bool showsSweepPattern() const;

    // Network configuration.
    void commitNetworkApply(bool dhcp, const QString &ip, const QString &netmask,
                            const QString &gateway, quint64 op);
    void failNetworkApply(DeviceError error, quint64 op);
    void endNetworkApply(const Outcome &outcome, quint64 op);
    void setNetworkApplying(bool applying);

    // LAN hosts.
    void onScannerHostsChanged();

    SerialLinkPort m_serialPort;
    TcpLinkPort m_tcpPort;
    LinkPort *m_port = &m_serialPort; // the transport of the link, open or last opened
    LinkPort *m_testPort = nullptr; // a test's own, for either transport
    bool m_testPortTcp = false;
    RequestQueue m_queue;
    TcpLanScanner m_scanner;
    QTimer m_pollTimer;
    QTimer m_portRefreshTimer;
    QTimer m_calibrationWaitTimer;
    QTimer m_eepromTimer;      // holds further EEPROM writes back after one
    QTimer m_countsFreshTimer; // `countsLive` ends when it fires

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

    QString m_linkId;

    QHash<quint64, Done> m_operations;
    quint64 m_nextOperation = 0;
    quint64 m_openOp = 0;  // the connect that waits for the opening exchange
    quint64 m_closeOp = 0; // the disconnect that waits for a held-back write
    bool m_closing = false;       // a disconnect waits for a held-back write
    bool m_operatorClose = false; // the link ends because the operator closed it

    bool m_calibrationRunning = false;
    QList<int> m_calChannels;  // in sweep order
    int m_calChannelIndex = 0; // the one being swept
    int m_calChannel = 0;
    int m_calStartMv = 0;
    int m_calCurrentMv = 0;
    int m_calEndMv = 0;
    int m_calStepMv = 1;
    int m_calPointCount = 1; // over all channels
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
    bool m_sweepStarting = false; // a sweep reads the levels before it mutes
    bool m_polling = false;       // the opening is through: the poll may run
    // What the instrument counts under, from its answers (a reading carries
    // it): each level with whether it is known and whether it may be a
    // sweep's, and the period (0 while not known).
    struct InForce {
        std::array<double, kChannelCount> volts{};
        std::array<bool, kChannelCount> known{};
        std::array<bool, kChannelCount> swept{};
        std::array<double, kChannelCount> asked{-1, -1, -1, -1, -1, -1, -1, -1}; // an operator's, its answer lost
        int periodMs = 0;
    } m_inForce;

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
    // Each sweep since the levels were saved: its channel and the range it
    // stepped through (lowest, highest mV).
    struct SweptRange {
        int channel, lowMv, highMv;
    };
    QList<SweptRange> m_sweptRanges;
    quint32 m_restoreId = 0;
    bool m_restoreInFlight = false;
    bool m_restoreAfterInterruption = false;
    bool m_restoreChecked = false; // a restore not taken in full: the levels are read to tell
    int m_restoreAcks = 0;
    bool m_levelReadQueued = false; // a read-back of the levels waits in the queue
    QList<quint64> m_restoreWaiters; // reads that set a restore off, over with it
    // EEPROM writes of operator levels: the one queued (with the operations
    // it completes) and whether it is on the wire yet, and one due after it
    // or after the hold-off.
    std::shared_ptr<QList<quint64>> m_eepromWrite;
    bool m_eepromSent = false;
    bool m_eepromWriteDue = false;
    QList<quint64> m_eepromDueOps;
    bool m_countsLive = false;
};
