#include "RequestQueue.h"

#include "LinkPort.h"

#include <algorithm>

RequestQueue::RequestQueue(QObject *parent) : QObject(parent)
{
    m_timer.setSingleShot(true);
    m_timer.setInterval(kTimeoutMs);
    connect(&m_timer, &QTimer::timeout, this, &RequestQueue::onTimer);
    m_lateWait.setSingleShot(true);
    connect(&m_lateWait, &QTimer::timeout, this, [this] {
        m_late.clear();
        pump();
    });
}

void RequestQueue::setPort(LinkPort *port)
{
    m_port = port;
    pump();
}

void RequestQueue::push(Request request)
{
    m_queue.append(std::move(request));
    pump();
}

void RequestQueue::pushNext(Request request)
{
    m_queue.insert(m_busy ? 1 : 0, std::move(request));
    pump();
}

bool RequestQueue::replaceWaitingLevel(int channel, Request &request)
{
    // Only the last level waiting: a level for another channel after it must
    // still come after this one.
    for (qsizetype i = m_queue.size() - 1; i >= (m_busy ? 1 : 0); --i) {
        const Request &waiting = m_queue.at(i);
        if (waiting.command != request.command)
            continue;
        if (waiting.kind != Kind::OperatorLevel || waiting.channel != channel)
            return false;
        if (waiting.callers && request.callers)
            *request.callers = *waiting.callers + *request.callers;
        m_queue[i] = std::move(request);
        return true;
    }
    return false;
}

bool RequestQueue::hasWaiting(Kind kind) const
{
    for (qsizetype i = m_busy ? 1 : 0; i < m_queue.size(); ++i) {
        if (m_queue.at(i).kind == kind)
            return true;
    }
    return false;
}

bool RequestQueue::holds(const std::function<bool(const Request &)> &match) const
{
    return std::any_of(m_queue.cbegin(), m_queue.cend(), match);
}

int RequestQueue::dropWaiting(const std::function<bool(const Request &)> &drop)
{
    int dropped = 0;
    for (qsizetype i = m_queue.size() - 1; i >= (m_busy ? 1 : 0); --i) {
        if (drop(m_queue.at(i))) {
            m_queue.removeAt(i);
            ++dropped;
        }
    }
    return dropped;
}

void RequestQueue::clear()
{
    m_timer.stop();
    m_lateWait.stop();
    m_queue.clear();
    m_busy = false;
    m_late.clear();
    m_decoder.reset();
    m_chunk.clear();
    m_pos = 0;
}

void RequestQueue::pump()
{
    if (m_busy || !m_port)
        return;
    if (m_queue.isEmpty()) {
        if (onIdle)
            onIdle();
        return;
    }
    if (m_queue.constFirst().ready && !m_queue.constFirst().ready()) {
        const Request held = m_queue.takeFirst();
        if (held.withheld)
            held.withheld();
        pump();
        return;
    }
    const Request &head = m_queue.constFirst();
    // A late reply of the same code may still come: sent now, nobody could
    // tell the two apart. A request that must not take a stale answer for
    // its own goes once that reply is in, or when the late one counts as lost.
    if (head.waitsForLate && m_late.contains(head.command)) {
        if (!m_lateWait.isActive())
            m_lateWait.start(kLateWaitMs);
        return;
    }
    m_lateWait.stop();
    m_busy = true;
    // Timed from before the write: a write that fails closes the link on the
    // spot, and whoever hears of it meanwhile sees a request with its timer.
    m_timer.start(kTimeoutMs);
    m_port->writeBytes(zrf::encodeFrame(head.command, head.payload));
}

void RequestQueue::takeBytes(const QByteArray &bytes)
{
    // Bytes left over from an earlier chunk are always consumed before we
    // return, so the chunk only ever holds what arrived just now.
    m_chunk = bytes;
    m_pos = 0;
    zrf::Frame frame;
    while (m_pos < m_chunk.size()) {
        if (!m_decoder.feed(m_chunk, m_pos, frame))
            break;
        // A completion may close the link, which empties the chunk.
        handleFrame(frame.command, frame.payload);
    }
    m_chunk.clear();
    m_pos = 0;
}

// A reply of a timed-out request must not complete or fail a later one. The
// instrument answers in order, so a reply carrying the code of a timed-out
// request is that request's (and the ones before it are lost), however late
// it comes; a reply matched to a later request says they are all over.
bool RequestQueue::dropLateReply(unsigned char cmd)
{
    for (qsizetype i = 0; i < m_late.size(); ++i) {
        if (m_late.at(i) == cmd) {
            m_late.remove(0, i + 1);
            return true;
        }
    }
    return false;
}

void RequestQueue::handleFrame(unsigned char cmd, const QByteArray &payload)
{
    if (!m_busy || m_queue.isEmpty()) {
        // Unsolicited, or late with nothing on the wire: a request held back
        // for it may go now.
        if (dropLateReply(cmd))
            pump();
        return;
    }
    const unsigned char head = m_queue.constFirst().command;
    if (cmd != head && cmd != zrf::kFailed && dropLateReply(cmd))
        return;
    const bool ok = cmd == head && cmd != zrf::kFailed;
    if (ok) {
        // The head's own code: no late reply of another code can follow it.
        if (!m_late.contains(cmd))
            m_late.clear();
    } else if (!m_late.isEmpty()) {
        // A refusal or a garbled frame fails the head at once, but may have
        // been a late request's: the head's own reply may still come, and is
        // passed over then rather than taken for the next request's.
        m_late.append(head);
    }
    m_timer.stop();
    Request request = m_queue.takeFirst();
    m_busy = false;
    if (request.done)
        request.done(ok, payload);
    pump();
}

void RequestQueue::onTimer()
{
    if (!m_busy || m_queue.isEmpty())
        return;
    Request request = m_queue.takeFirst();
    m_busy = false;
    m_late.append(request.command);
    if (m_late.size() > kMaxLateReplies)
        m_late.removeFirst();
    if (onTimeout)
        onTimeout(request);
    if (request.expired)
        request.expired();
    pump();
}
