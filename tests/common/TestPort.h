#pragma once

// A port whose other end is the test, on timers (so virtual time runs it); a closed link drops every reply.

#include "LinkPort.h"
#include "zrf.h"

#include <QTimer>

#include <functional>

class TestPort : public LinkPort
{
    Q_OBJECT
public:
    using LinkPort::LinkPort;

    bool isOpen() const { return m_open; }

    void open(const QString &) override
    {
        const quint64 link = ++m_link;
        QTimer::singleShot(1, this, [this, link] {
            if (link != m_link)
                return;
            m_open = true;
            emit opened();
        });
    }
    void close() override
    {
        m_open = false;
        ++m_link;
        m_decoder.reset();
    }
    void writeBytes(const QByteArray &bytes) override
    {
        if (!m_open)
            return;
        qsizetype pos = 0;
        zrf::Frame frame;
        while (pos < bytes.size()) {
            if (!m_decoder.feed(bytes, pos, frame))
                break;
            if (onRequest)
                onRequest(frame);
        }
    }

    // The test's side: bytes from the instrument, `delayMs` from now.
    void send(const QByteArray &bytes, int delayMs)
    {
        const quint64 link = m_link;
        QTimer::singleShot(delayMs, this, [this, link, bytes] {
            if (link == m_link && m_open)
                emit bytesReceived(bytes);
        });
    }
    // The instrument goes away as a TCP peer does.
    void drop()
    {
        if (!m_open)
            return;
        close();
        emit communicationError(QStringLiteral("Remote host closed the connection"), true);
    }

    std::function<void(const zrf::Frame &)> onRequest;

private:
    zrf::FrameDecoder m_decoder;
    quint64 m_link = 0;
    bool m_open = false;
};
