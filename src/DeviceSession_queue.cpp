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

void DeviceSession::pumpQueue()
{
    if (m_busy || m_queue.isEmpty() || !m_connected)
        return;
    m_busy = true;
    m_headSawStray = false;
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
    m_lateCodes.clear();
    m_headSawStray = false;
    m_levelReadQueued = false;
}

void DeviceSession::clearReceiveBuffer()
{
    m_rxDecoder.reset();
    m_rxChunk.clear();
    m_rxPos = 0;
}

// A reply of a timed-out request must not complete or fail a later one. The
// instrument answers in order, so a reply that is not the head's own is the
// oldest late one still awaited (or one after it, if earlier ones were lost).
bool DeviceSession::dropLateReply(unsigned char cmd)
{
    if (m_lateCodes.isEmpty())
        return false;
    const qsizetype at = m_lateCodes.indexOf(cmd);
    m_lateCodes.remove(0, at < 0 ? 1 : at + 1);
    return true;
}

void DeviceSession::handleFrame(unsigned char cmd, const QByteArray &payload)
{
    if (!m_busy || m_queue.isEmpty()) {
        dropLateReply(cmd); // unsolicited, or late with nothing on the wire
        return;
    }
    const bool ok = cmd == m_queue.constFirst().command && cmd != zrf::kFailed;
    if (!ok && dropLateReply(cmd)) {
        m_headSawStray = true;
        return;
    }
    // The head's own code: no late reply of another code can follow it.
    if (ok && !m_lateCodes.contains(cmd))
        m_lateCodes.clear();
    m_commandTimer.stop();
    Pending request = m_queue.takeFirst();
    m_busy = false;
    if (request.done)
        request.done(ok, payload);
    emit requestFinished(request.command, ok, payload);
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
    // After a dropped stray the head's own reply may already have come; then
    // nothing more is on its way.
    if (!m_headSawStray) {
        m_lateCodes.append(request.command);
        if (m_lateCodes.size() > kMaxLateReplies)
            m_lateCodes.removeFirst();
    }
    m_headSawStray = false;
    setLastError(QStringLiteral("No reply from device"));
    const unsigned char command = request.command;
    const bool networkChainCode = command == zrf::kWeep
        || (command >= zrf::kSetIp && command <= zrf::kNetApply);
    if (m_networkApplying && networkChainCode)
        setNetworkApplying(false);
    if (request.expired)
        request.expired();
    emit requestTimedOut(command);
    pumpQueue();
}
