// Command queue: one request on the wire at a time, replies matched in order,
// a silent instrument times out after 2000 ms and the queue moves on.
#include "DeviceSession.h"

void DeviceSession::enqueue(unsigned char cmd, const QByteArray &payload, Completion done)
{
    m_queue.append(Pending{cmd, zrf::encodeFrame(cmd, payload), std::move(done)});
    pumpQueue();
}

void DeviceSession::pumpQueue()
{
    if (m_busy || m_queue.isEmpty() || !m_connected)
        return;
    m_busy = true;
    const QByteArray frame = m_queue.constFirst().frame;
    if (m_transport == 1) {
        m_socket.write(frame);
        m_socket.flush();
    } else {
        m_serial.write(frame);
        m_serial.flush();
    }
    // A flush that fails can close the link on the spot; the clean-up has
    // then emptied the queue and no reply is awaited.
    if (m_busy)
        m_commandTimer.start(kCommandTimeoutMs);
}

void DeviceSession::clearQueue()
{
    m_queue.clear();
    m_busy = false;
}

void DeviceSession::clearReceiveBuffer()
{
    m_rxDecoder.reset();
    m_rxChunk.clear();
    m_rxPos = 0;
}

void DeviceSession::handleFrame(unsigned char cmd, const QByteArray &payload)
{
    if (!m_busy || m_queue.isEmpty())
        return; // unsolicited
    m_commandTimer.stop();
    Pending request = m_queue.takeFirst();
    m_busy = false;
    const bool ok = cmd == request.command && cmd != zrf::kFailed;
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
    const unsigned char command = m_queue.takeFirst().command;
    m_busy = false;
    setLastError(QStringLiteral("No reply from device"));
    const bool networkChainCode = command == zrf::kWeep
        || (command >= zrf::kSetIp && command <= zrf::kNetApply);
    if (m_networkApplying && networkChainCode)
        setNetworkApplying(false);
    emit requestTimedOut(command);
    pumpQueue();
}
