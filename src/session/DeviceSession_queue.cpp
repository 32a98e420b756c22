// Command queue: one request on the wire at a time, replies matched in order,
// a silent instrument times out after 2000 ms and the queue moves on.
#include "DeviceSession.h"

void DeviceSession::enqueue(unsigned char cmd, const QByteArray &payload, Completion done)
{
    enqueuePending(Pending{cmd, zrf::encodeFrame(cmd, payload), std::move(done)});
}

void DeviceSession::enqueuePending(Pending request)
{
    m_queue.append(std::move(request));
    pumpQueue();
}

void DeviceSession::enqueueNext(Pending request)
{
    m_queue.insert(m_busy ? 1 : 0, std::move(request));
    pumpQueue();
}

void DeviceSession::pumpQueue()
{
    if (m_busy || !m_connected)
        return;
    if (m_queue.isEmpty()) {
        // A disconnect that waited for the last write to be answered.
        if (m_closing)
            closeNow();
        return;
    }
    m_busy = true;
    // Timed from before the write: a write that fails closes the link on the
    // spot, and whoever hears of it meanwhile sees a request with its timer
    // (the clean-up stops both).
    m_commandTimer.start(kCommandTimeoutMs);
    const QByteArray frame = m_queue.constFirst().frame;
    if (m_transport == 1) {
        m_socket.write(frame);
        m_socket.flush();
    } else {
        m_serial.write(frame);
        m_serial.flush();
    }
}

void DeviceSession::clearQueue()
{
    m_queue.clear();
    m_busy = false;
    m_late.clear();
    m_levelReadQueued = false;
}

void DeviceSession::clearReceiveBuffer()
{
    m_rxDecoder.reset();
    m_rxChunk.clear();
    m_rxPos = 0;
}

// A reply of a timed-out request must not complete or fail a later one. The
// instrument answers in order, so a reply carrying the code of a timed-out
// request is that request's (and the ones before it are lost). Only a code
// of one is taken so: the failure code and a malformed frame are the head's
// own reply. A late reply not come after a while never comes.
bool DeviceSession::dropLateReply(unsigned char cmd)
{
    const qint64 now = Reading::steadyNowNs();
    while (!m_late.isEmpty() && now - m_late.constFirst().sinceNs > qint64(kLateReplyMs) * 1000000)
        m_late.removeFirst();
    for (qsizetype i = 0; i < m_late.size(); ++i) {
        if (m_late.at(i).command == cmd) {
            m_late.remove(0, i + 1);
            return true;
        }
    }
    return false;
}

void DeviceSession::handleFrame(unsigned char cmd, const QByteArray &payload)
{
    if (!m_busy || m_queue.isEmpty()) {
        dropLateReply(cmd); // unsolicited, or late with nothing on the wire
        return;
    }
    const unsigned char head = m_queue.constFirst().command;
    if (cmd != head && cmd != zrf::kFailed && dropLateReply(cmd))
        return;
    const bool ok = cmd == head && cmd != zrf::kFailed;
    // The head's own code: no late reply of another code can follow it.
    if (ok) {
        bool awaited = false;
        for (const LateReply &late : std::as_const(m_late))
            awaited = awaited || late.command == cmd;
        if (!awaited)
            m_late.clear();
    }
    m_commandTimer.stop();
    Pending request = m_queue.takeFirst();
    m_busy = false;
    if (request.done)
        request.done(ok, payload);
    pumpQueue();
}

void DeviceSession::onReadyRead()
{
    QIODevice *device = m_transport == 1 ? static_cast<QIODevice *>(&m_socket)
                                         : static_cast<QIODevice *>(&m_serial);
    const QByteArray bytes = device->readAll();
    if (bytes.isEmpty())
        return;
    // Bytes left over from an earlier chunk are always consumed before we
    // return, so the chunk only ever holds what arrived just now.
    m_rxChunk = bytes;
    m_rxPos = 0;
    zrf::Frame frame;
    while (m_rxPos < m_rxChunk.size()) {
        if (!m_rxDecoder.feed(m_rxChunk, m_rxPos, frame))
            break;
        // A handler may close the link, which empties the chunk and decoder.
        handleFrame(frame.command, frame.payload);
    }
    m_rxChunk.clear();
    m_rxPos = 0;
}

void DeviceSession::onCommandTimeout()
{
    if (!m_busy || m_queue.isEmpty())
        return;
    Pending request = m_queue.takeFirst();
    m_busy = false;
    m_late.append({request.command, Reading::steadyNowNs()});
    if (m_late.size() > kMaxLateReplies)
        m_late.removeFirst();
    reportError(DeviceError::NoReply);
    const unsigned char command = request.command;
    const bool networkChainCode = command == zrf::kWeep
        || (command >= zrf::kSetIp && command <= zrf::kNetApply);
    if (m_networkApplying && networkChainCode)
        setNetworkApplying(false);
    if (request.expired)
        request.expired();
    pumpQueue();
}
