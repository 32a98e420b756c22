#pragma once

#include "zrf.h"

#include <QByteArray>
#include <QList>
#include <QObject>
#include <QTimer>

#include <functional>
#include <memory>

class LinkPort;

// One request on the wire at a time, replies matched in order: a silent
// instrument times out and the queue moves on; a reply that comes after its
// request timed out completes nothing. Knows nothing of the device's rules
// beyond what each request's kind says.
class RequestQueue : public QObject
{
    Q_OBJECT
public:
    static constexpr int kTimeoutMs = 2000;
    // Replies of timed-out requests that may still be on their way; one not
    // come within three time-outs of its request never comes.
    static constexpr int kMaxLateReplies = 8;
    static constexpr int kLateWaitMs = 2 * kTimeoutMs;

    using Completion = std::function<void(bool ok, const QByteArray &payload)>;

    // What becomes of a request besides its reply.
    enum class Kind {
        Plain,
        Poll,          // a count read of the poll timer: one waiting is enough
        OperatorLevel, // a level the operator set: replaced by a newer one for its channel while unsent; sent before a close
        Kept,          // a restore or an EEPROM write: sent before a close
        Sweep,         // a mute, step or reading of one sweep: dropped unsent when the sweep ends
    };

    struct Request {
        unsigned char command = 0;
        QByteArray payload;
        Completion done;
        std::function<void()> expired = {}; // no reply came in time
        // Asked when its turn comes: false holds it back unsent, and
        // `withheld` runs once it is out of the queue.
        std::function<bool()> ready = {};
        std::function<void()> withheld = {};
        // Not sent while a late reply of its code may still come.
        bool waitsForLate = false;
        Kind kind = Kind::Plain;
        int channel = -1;   // of an OperatorLevel
        quint32 sweep = 0;  // of a Sweep request
        // Callers of an OperatorLevel, shared with its completion: a level that
        // replaces it takes them over.
        std::shared_ptr<QList<quint64>> callers = {};
    };

    explicit RequestQueue(QObject *parent = nullptr);

    // Requests go out through this port; none while it is null.
    void setPort(LinkPort *port);
    void push(Request request);
    // Sent next, ahead of everything waiting (the request on the wire stays first).
    void pushNext(Request request);
    // An unsent operator level for `channel` that is the last level waiting:
    // replaced by `request`, which takes over its callers.
    bool replaceWaitingLevel(int channel, Request &request);
    bool hasWaiting(Kind kind) const;
    // Whether any request, waiting or on the wire, is one `match` picks.
    bool holds(const std::function<bool(const Request &)> &match) const;
    // Drops unsent requests that `drop` picks (the one on the wire stays)
    // and says how many went.
    int dropWaiting(const std::function<bool(const Request &)> &drop);
    // Forgets everything: requests unsent or on the wire, late replies,
    // bytes half read. No completion runs.
    void clear();
    // Bytes from the port: each whole frame completes the request it answers.
    void takeBytes(const QByteArray &bytes);

    bool busy() const { return m_busy; }
    const Request *onTheWire() const { return m_busy ? &m_queue.constFirst() : nullptr; }
    bool idle() const { return !m_busy && m_queue.isEmpty(); }
    qsizetype size() const { return m_queue.size(); }
    bool timerActive() const { return m_timer.isActive(); }

    // Runs when a request timed out, before its own `expired`.
    std::function<void(const Request &)> onTimeout;
    // Runs whenever the queue has nothing left to send or wait for.
    std::function<void()> onIdle;

private:
    void pump();
    void handleFrame(unsigned char cmd, const QByteArray &payload);
    bool dropLateReply(unsigned char cmd);
    void onTimer();

    LinkPort *m_port = nullptr;
    QList<Request> m_queue;
    bool m_busy = false;
    QTimer m_timer;
    QTimer m_lateWait; // the head waits for a late reply of its own code
    QList<unsigned char> m_late; // codes of timed-out requests, oldest first
    zrf::FrameDecoder m_decoder;
    QByteArray m_chunk;
    qsizetype m_pos = 0;
};
