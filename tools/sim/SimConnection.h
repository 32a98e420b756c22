#pragma once

// One link of the simulated instrument: a TCP client or a pty master. Keeps
// its own frame decoder and an ordered queue of outgoing pieces, so delayed
// and split replies still leave in request order.

#include "zrf.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QList>
#include <QObject>
#include <QString>

class QSocketNotifier;
class QTcpSocket;
class QTimer;
class SimInstrument;

class SimConnection : public QObject
{
    Q_OBJECT
public:
    SimConnection(SimInstrument *sim, QTcpSocket *socket); // takes the socket
    SimConnection(SimInstrument *sim, int masterFd, const QString &slavePath);
    ~SimConnection() override;

    bool isTcp() const { return m_socket != nullptr; }
    QString ptyPath() const { return m_ptyPath; }
    bool isClosing() const { return m_closing; }

    // Queues bytes to go out no sooner than delayMs from now and at least
    // gapMs after the previous piece; closes the link once written if asked.
    void queue(const QByteArray &bytes, int delayMs, int gapMs, bool closeAfter);
    void closeLink();
    // Unsolicited count frames written as fast as the peer takes them, on
    // TCP only; replies still go out between them, whole.
    void setFlood(bool on);

    zrf::FrameDecoder decoder;
    int repliesQueued = 0;
    int requestsSeen = 0;

private:
    struct Piece {
        QByteArray bytes;
        qint64 notBeforeMs = 0;
        int gapMs = 0;
        bool closeAfter = false;
    };

    void pump();
    void writeNow(const QByteArray &bytes);
    void readPty();
    void flushPty();
    void finish();
    void topUpFlood();

    SimInstrument *m_sim;
    QTcpSocket *m_socket = nullptr;
    int m_fd = -1;
    QString m_ptyPath;
    QSocketNotifier *m_readNotifier = nullptr;
    QSocketNotifier *m_writeNotifier = nullptr;
    QTimer *m_hangupPoll = nullptr;
    QByteArray m_ptyOut;

    QList<Piece> m_pieces;
    QTimer *m_pumpTimer = nullptr;
    QElapsedTimer m_clock;
    qint64 m_lastWriteMs = 0;
    bool m_closing = false;
    bool m_finished = false;
    bool m_flood = false;
    QByteArray m_floodBlock;
};
