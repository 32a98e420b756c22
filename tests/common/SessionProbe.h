#pragma once

// What tests see of a session beyond its face: the queue, its timers, a port of the test's own.

#include "DeviceSession.h"

class SessionProbe
{
public:
    explicit SessionProbe(const DeviceSession &session) : s(const_cast<DeviceSession &>(session)) {}

    qsizetype queueLength() const { return s.m_queue.size(); }
    bool busy() const { return s.m_queue.busy(); }
    bool idle() const { return s.m_queue.idle(); }
    bool commandTimerActive() const { return s.m_queue.timerActive(); }
    bool pollTimerActive() const { return s.m_pollTimer.isActive(); }
    int pollIntervalMs() const { return s.m_pollTimer.interval(); }

    // A request of the test's own, through the session's queue.
    void enqueue(unsigned char cmd, const QByteArray &payload, DeviceSession::Completion done)
    {
        s.m_queue.push(DeviceSession::request(cmd, payload, std::move(done)));
    }

    // The port every later connect opens, over either transport.
    void usePort(LinkPort &port)
    {
        s.m_testPort = &port;
        s.attachPort(port);
    }

private:
    DeviceSession &s;
};
