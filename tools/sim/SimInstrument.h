#pragma once

// Simulated eight-channel counting instrument. Speaks the zrf frames over TCP
// and over a Linux pseudo-terminal, with switches for link faults. Usable
// in-process (tests) and from the zrf-sim executable.

#include "zrf.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QHash>
#include <QHostAddress>
#include <QList>
#include <QObject>
#include <QRandomGenerator>
#include <QString>
#include <QStringList>

class QTcpServer;

struct SimFaults {
    int replyDelayMs = 0;       // wait this long before each reply
    bool silent = false;        // read requests, answer nothing
    int dropEvery = 0;          // drop every Nth reply (0: never)
    double dropProbability = 0; // drop replies at random (0..1)
    int splitChunk = 0;         // write replies in pieces of this many bytes (0: whole)
    int splitDelayMs = 0;       // pause between the pieces
    QByteArray garbage;         // bytes written before every reply frame
    int rejectCommand = -1;     // refuse this command code: not carried out, answered with 0x02
    int wrongCodeCommand = -1;  // answer this command code with another code
    int wrongLengthCommand = -1; // answer this command code with a wrong length byte
    int closeAfterReplies = -1; // close the connection after this many replies (-1: never)
    int lateCommand = -1;       // answer this command code only after lateDelayMs more
    int lateDelayMs = 0;        //   (replies behind it wait, as on a real link)
    int ignoreFirst = 0;        // leave the first N requests of each link unanswered
    int answerOnly = 0;         // answer the first N requests of each link, then nothing (0: off)
    bool rejectAll = false;     // refuse every request the same way
    int dropLinkAfter = 0;      // close the next TCP link on its Nth request, unanswered (once)
    // One exchange going wrong, counted over the instrument's life: the Nth
    // request with this code gets no reply (a lost reply) or is refused.
    int dropNthCommand = -1;
    int dropNth = 1;
    int rejectNthCommand = -1;
    int rejectNth = 1;
    // A silent spell: after this many requests (0: never) nothing is
    // answered for silentForMs, then replies resume. The link stays up.
    int silentAfter = 0;
    int silentForMs = 0;
    bool flood = false;         // pour unsolicited count frames into every TCP link,
    int floodDelayMs = 0;       //   from this long after it opened
};

class SimInstrument : public QObject
{
    Q_OBJECT
public:
    static constexpr int kChannels = 8;

    explicit SimInstrument(QObject *parent = nullptr);
    ~SimInstrument() override;

    // Transports. listenTcp may be called once; openPty returns the slave path
    // (empty on failure). Both may be active at once.
    bool listenTcp(const QHostAddress &address = QHostAddress(QStringLiteral("127.0.0.1")),
                   quint16 port = 1234);
    QString openPty();
    void closeConnections(); // drop every open TCP client now

    SimFaults faults() const { return m_faults; }
    void setFaults(const SimFaults &faults);
    // Answers nothing from now on for `ms`, then as before.
    void silenceFor(int ms);
    bool silentNow() const;

    // Instrument state. Another unit on the same address is a fresh
    // SimInstrument listening there (or these setters with the links closed).
    int periodMs() const { return m_periodMs; }
    void setPeriodMs(int ms) { m_periodMs = ms; }
    QList<double> thresholds() const { return m_thresholds; }
    void setThresholds(const QList<double> &volts) { m_thresholds = volts; }
    bool dhcp() const { return m_dhcp; }
    QString ip() const { return m_ip; }
    QString netmask() const { return m_netmask; }
    QString gateway() const { return m_gateway; }
    void setNetwork(bool dhcp, const QString &ip, const QString &netmask, const QString &gateway);
    int eepromWrites() const { return m_eepromWrites; }
    // What the last WEEP stored: the levels and network settings the
    // instrument starts with at its next power-up.
    struct Stored {
        QList<double> thresholds;
        bool dhcp = false;
        QString ip, netmask, gateway;
    };
    Stored stored() const { return m_stored; }
    int networkApplies() const { return m_networkApplies; }

    // Count model: per channel a pulse rate and a pulse-height spread, so a
    // count falls as the channel's threshold rises.
    void setChannelModel(int channel, double ratePerSecond, double meanVolts, double sigmaVolts);
    double expectedCount(int channel) const;
    // Counts from a photomultiplier-like detector per channel instead (noise
    // around the baseline, photoelectron peaks, a falling tail; see
    // DetectorModel.h), each count drawn from a Poisson distribution. Off by default.
    void setDetectorModel(bool on) { m_detectorModel = on; }
    bool detectorModel() const { return m_detectorModel; }
    // Fixed counts instead of the model (empty list: back to the model).
    void setFixedCounts(const QList<double> &counts);
    // Count replies taken in turn from these rows of eight, round and round
    // (empty: back to the model).
    void setCountRotation(const QList<QList<double>> &rows);
    // Rows of values that are hard to draw: overflow bait, a narrow range far
    // from zero, NaN, infinities, denormals, negative zero.
    static QList<QList<double>> extremeCountRows();

    // Scripted replies: the next `times` requests with code `cmd` get exactly
    // this payload (times < 0: every request).
    void overrideReply(unsigned char cmd, const QByteArray &payload, int times = -1);
    void clearOverrides() { m_overrides.clear(); }

    // Settings are written here on WEEP and read back by loadState().
    void setStatePath(const QString &path) { m_statePath = path; }
    bool loadState();

    // Every request received, in order, as decoded frames.
    QList<zrf::Frame> received() const { return m_received; }
    QList<unsigned char> receivedCommands() const;
    void clearReceived() { m_received.clear(); }
    // Raw bytes received over all connections, in order.
    QByteArray rawReceived() const { return m_rawReceived; }

    // The reply payload and code for one request, before faults.
    zrf::Frame respond(const zrf::Frame &request);

    // Seeds the count noise and random drops, for repeatable runs.
    void setSeed(quint32 seed) { m_rng.seed(seed); }
    // Slave paths of the open ptys.
    QStringList ptyPaths() const;
    int clientCount() const; // open TCP clients

signals:
    void requestReceived(unsigned char command, const QByteArray &payload);
    void clientConnected();
    void clientDisconnected();

private:
    // Defined in the implementation; one per TCP client or pty.
    friend class SimConnection;
    void handleBytes(class SimConnection *conn, const QByteArray &bytes);
    void sendReply(class SimConnection *conn, const zrf::Frame &reply, unsigned char requestCmd);
    bool saveState() const;
    void connectionFinished(class SimConnection *conn);

    SimFaults m_faults;
    int m_periodMs = 1000;
    QList<double> m_thresholds;
    bool m_dhcp = false;
    QString m_ip;
    QString m_netmask;
    QString m_gateway;
    int m_eepromWrites = 0;
    Stored m_stored;
    int m_networkApplies = 0;
    struct Channel {
        double rate = 0;
        double mean = 0;
        double sigma = 0;
    };
    QList<Channel> m_channels;
    bool m_detectorModel = false;
    QList<QList<double>> m_countRows;
    qsizetype m_countRow = 0;
    struct Override {
        QByteArray payload;
        int times = -1;
    };
    QHash<unsigned char, Override> m_overrides;
    QString m_statePath;
    QList<zrf::Frame> m_received;
    QByteArray m_rawReceived;
    int m_replyCounter = 0;
    qint64 m_requestCount = 0;
    QHash<unsigned char, qint64> m_requestsByCode;
    QElapsedTimer m_clock;
    qint64 m_silentUntilMs = -1;
    QTcpServer *m_server = nullptr;
    QList<class SimConnection *> m_connections;
    QRandomGenerator m_rng{QRandomGenerator::securelySeeded()};
};
