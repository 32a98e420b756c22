#pragma once

#include "CalibrationSweep.h"
#include "EepromWriter.h"
#include "LevelModel.h"
#include "Limits.h"
#include "LinkTarget.h"
#include "NetInterfaces.h"
#include "NetworkConfig.h"
#include "OperationBook.h"
#include "Outcome.h"
#include "Reading.h"
#include "ReadingSource.h"
#include "RequestQueue.h"
#include "SessionHost.h"
#include "SerialLinkPort.h"
#include "SerialPortEntry.h"
#include "TcpLanScanner.h"
#include "TcpLinkPort.h"
#include "zrf.h"

#include <QByteArray>
#include <QHostAddress>
#include <QList>
#include <QObject>
#include <QString>
#include <QTimer>
#include <QVariantList>
#include <array>
#include <functional>
#include <optional>
#include <utility>

class QSerialPortInfo;

// The one backend object: link to the instrument, command queue, polling,
// thresholds, calibration sweep, network settings and LAN host choice.
// Everything runs on the GUI thread's event loop.
class DeviceSession : public ReadingSource, private SessionHost
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
    // The ranges the settings page offers, from the one table of limits.
    Q_PROPERTY(int minPeriodMs READ minPeriodMs CONSTANT)
    Q_PROPERTY(int maxPeriodMs READ maxPeriodMs CONSTANT)
    Q_PROPERTY(int maxLevelMv READ maxLevelMv CONSTANT)

public:
    using Completion = RequestQueue::Completion;

    static constexpr int kChannelCount = LevelModel::kChannels;
    static constexpr double kDacMaxVolts = LevelModel::kMaxVolts;
    static constexpr quint16 kTcpPort = TcpLinkPort::kPort;
    static constexpr int kCommandTimeoutMs = RequestQueue::kTimeoutMs;
    static constexpr int kTcpConnectTimeoutMs = TcpLinkPort::kConnectTimeoutMs;
    static constexpr int kPortRefreshMs = 1500;
    static constexpr int kMinPollMs = 50;
    static constexpr int kAllChannels = LevelModel::kAllChannels;
    static constexpr int kEepromHoldOffMs = EepromWriter::kHoldOffMs;
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
    QVariantList dacVolts() const { return m_levels.shown(); }
    int periodMs() const { return m_periodMs; }
    int channelCount() const { return kChannelCount; }
    double dacMaxVolts() const { return kDacMaxVolts; }
    bool calibrationRunning() const { return m_sweep.running(); }
    double calibrationProgress() const { return m_sweep.progress(); }
    QString networkMode() const { return m_network.mode(); }
    QString ipAddress() const { return m_network.ipAddress(); }
    QString netmask() const { return m_network.netmask(); }
    QString gateway() const { return m_network.gateway(); }
    bool networkApplying() const { return m_network.applying(); }
    bool dacLevelsKnown() const { return m_levels.known(); }
    bool countsLive() const { return m_countsLive; }
    int minPeriodMs() const { return limits::kMinPeriodMs; }
    int maxPeriodMs() const { return limits::kMaxPeriodMs; }
    int maxLevelMv() const { return limits::kMaxWholeLevelMv; }

    void setPortName(const QString &name) { change(&DeviceSession::m_portName, name, &DeviceSession::portNameChanged); }
    void setTcpHost(const QString &text);

    // Sources of the serial port list and of the network interfaces; tests
    // replace them with made-up lists.
    void setSerialPortSource(SerialPortSource source);
    void setNetInterfaceSource(NetInterfaceSource source);

    static bool parseIpv4(const QString &text, QString *normalised);
    static bool isLikelyDevice(const QSerialPortInfo &info);
    QHostAddress localBindFor(const QString &host) const;
    QString linkLabel() const override;

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

    // --- the typed face for C++ front ends ---------------------------------
    // The link a front end names, set as the scene's fields would be; then
    // opened as connectToDevice(tcp, done) does.
    void setLinkTarget(const LinkTarget &target);
    void connectTo(const LinkTarget &target, Done done);

    // Levels per channel: in mV to the microvolt (as readings carry them), or in volts.
    using Levels = std::array<double, kChannelCount>;
    // The levels read on this link; nullopt while they are unknown.
    std::optional<Levels> levelsMv() const { return m_levels.knownMv(); }
    std::optional<Levels> levelsVolts() const { return m_levels.knownVolts(); }
    // Over at once when the levels are known; else they are read first
    // (refreshDacVolts). `done` hears the outcome and the levels shown then.
    void readLevelsMv(std::function<void(const Outcome &, const Levels &mv)> done);
    // A level in mV for one channel or all (kAllChannels), as
    // setDacVoltage and setAllDacVoltage take it in volts.
    void setLevelMv(int channel, double mv, Done done);
    // Levels for several channels (channel, mV), asked at once; over once
    // every one is stored, with the first failure if any.
    void setLevelsMv(const QList<std::pair<int, double>> &levels, const Done &done);

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
    void setStatusText(const QString &v) { change(&DeviceSession::m_statusText, v, &DeviceSession::statusTextChanged); }
    void setConnecting(bool v) { change(&DeviceSession::m_connecting, v, &DeviceSession::connectingChanged); }
    void setConnectedState(bool v) { change(&DeviceSession::m_connected, v, &DeviceSession::connectedChanged); }
    void setCountsLive(bool v) { change(&DeviceSession::m_countsLive, v, &DeviceSession::countsLiveChanged); }

    // What the parts ask of the session.
    RequestQueue &requests() override { return m_queue; }
    OperationBook &operations() override { return m_operations; }
    bool linkOpen() const override { return m_connected; }
    bool linkReady() const override { return m_connected && !m_closing; }
    bool linkClosing() const override { return m_closing; }
    QString linkKey() const override { return m_linkId; }
    // A failure of the session's own: its text from the table into `lastError`.
    void report(const Outcome &outcome) override;
    void clearError() override { setLastError(QString()); }
    void showStatus(const QString &text) override { setStatusText(text); }
    // The poll runs while the link is open and through its opening, and
    // neither a sweep, a network change nor a close holds the instrument.
    void pollingMayChange() override;
    void gateMayChange() override;
    int pollIntervalMs() const override { return qMax(m_periodMs, kMinPollMs); }
    // Every valid count reply, polled or swept: publishes `counts` and the reading.
    Reading publishCounts(const QList<double> &values) override;

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
    // `then` runs once the read is over, however it went.
    void enqueueCountQuery(bool fromPoll, quint64 op = 0, const std::function<void()> &then = {});
    Reading makeReading(const QList<double> &values) const;
    void noteFreshCounts();
    bool takePeriodReply(bool ok, const QByteArray &payload);
    // Reads the period back for `op` (which completes with it); `next`: ahead
    // of everything waiting.
    void readPeriod(quint64 op, bool next = false);

    // LAN hosts.
    void onScannerHostsChanged();

    SerialLinkPort m_serialPort;
    TcpLinkPort m_tcpPort;
    LinkPort *m_port = &m_serialPort; // the transport of the link, open or last opened
    LinkPort *m_testPort = nullptr; // a test's own, for either transport
    bool m_testPortTcp = false;
    RequestQueue m_queue;
    OperationBook m_operations;
    // The parts, each with its own state, in the order they are built.
    EepromWriter m_eeprom{*this, m_sweep, m_levels};
    LevelModel m_levels{*this, m_sweep, m_eeprom};
    CalibrationSweep m_sweep{*this, m_levels, m_eeprom};
    NetworkConfig m_network{*this};
    TcpLanScanner m_scanner;
    QTimer m_pollTimer;
    QTimer m_portRefreshTimer;
    QTimer m_countsFreshTimer; // `countsLive` ends when it fires

    QVariantList m_ports;
    QString m_portName;
    QString m_tcpHost;
    QString m_lastError;
    QString m_statusText;
    QVariantList m_counts;
    int m_periodMs = 1000;
    int m_periodInForce = 0; // what readings are counted under, from the answers (0 while not known)
    bool m_connecting = false;
    bool m_connected = false;

    QString m_linkId;
    quint64 m_openOp = 0;  // the connect that waits for the opening exchange
    quint64 m_closeOp = 0; // the disconnect that waits for a held-back write
    bool m_closing = false;       // a disconnect waits for a held-back write
    bool m_operatorClose = false; // the link ends because the operator closed it
    bool m_polling = false;       // the opening is through: the poll may run

    SerialPortSource m_portSource;
    NetInterfaceSource m_interfaceSource;
    bool m_countsLive = false;
};
