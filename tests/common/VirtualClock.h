#pragma once

// Virtual time for the main thread: every timer fires when the test moves the clock, in order, never by the wall
// clock. Install before the application object: QCoreApplication::setEventDispatcher.

#include <QAbstractEventDispatcher>
#include <QCoreApplication>
#include <QEvent>
#include <QMap>
#include <QPointer>

QT_WARNING_PUSH
QT_WARNING_DISABLE_DEPRECATED

class VirtualClock : public QAbstractEventDispatcher
{
public:
    qint64 nowMs() const { return m_now; }

    // Runs whatever is due up to `t`, in order, and leaves the clock there.
    void runUntil(qint64 t)
    {
        for (;;) {
            QCoreApplication::sendPostedEvents();
            if (!fireNext(t))
                break;
        }
        m_now = std::max(m_now, t);
    }
    void runFor(qint64 ms) { runUntil(m_now + ms); }
    // When the next timer is due (-1: none).
    qint64 nextDue() const
    {
        qint64 best = -1;
        for (const Timer &t : m_timers)
            best = best < 0 || t.due < best ? t.due : best;
        return best;
    }

    bool processEvents(QEventLoop::ProcessEventsFlags flags) override
    {
        QCoreApplication::sendPostedEvents();
        if (fireNext(m_now))
            return true;
        // A nested loop waits: time moves on to its next timer.
        if ((flags & QEventLoop::WaitForMoreEvents) && !m_timers.isEmpty())
            return fireNext(nextDue());
        return false;
    }
    void registerSocketNotifier(QSocketNotifier *) override {}
    void unregisterSocketNotifier(QSocketNotifier *) override {}
    void registerTimer(int id, qint64 interval, Qt::TimerType type, QObject *object) override
    {
        m_timers.insert(id, Timer{object, interval, m_now + interval, ++m_seq, type});
    }
    bool unregisterTimer(int id) override { return m_timers.remove(id) > 0; }
    bool unregisterTimers(QObject *object) override
    {
        bool any = false;
        for (auto it = m_timers.begin(); it != m_timers.end();) {
            if (it->object == object) {
                it = m_timers.erase(it);
                any = true;
            } else {
                ++it;
            }
        }
        return any;
    }
    QList<TimerInfo> registeredTimers(QObject *object) const override
    {
        QList<TimerInfo> out;
        for (auto it = m_timers.cbegin(); it != m_timers.cend(); ++it) {
            if (it->object == object)
                out.append(TimerInfo(it.key(), int(it->interval), it->type));
        }
        return out;
    }
    int remainingTime(int id) override
    {
        const auto it = m_timers.constFind(id);
        return it == m_timers.cend() ? -1 : int(std::max<qint64>(0, it->due - m_now));
    }
    void wakeUp() override {}
    void interrupt() override {}

private:
    struct Timer {
        QPointer<QObject> object;
        qint64 interval;
        qint64 due;
        quint64 seq; // ties go in the order the timers were started
        Qt::TimerType type;
    };

    // Fires the earliest timer due by `t`, if any.
    bool fireNext(qint64 t)
    {
        int id = -1;
        const Timer *best = nullptr;
        for (auto it = m_timers.cbegin(); it != m_timers.cend(); ++it) {
            if (it->due <= t && (!best || it->due < best->due || (it->due == best->due && it->seq < best->seq))) {
                best = &*it;
                id = it.key();
            }
        }
        if (!best)
            return false;
        m_now = std::max(m_now, best->due);
        Timer &timer = m_timers[id];
        // A zero interval still moves on, or the timer would fire forever at one instant.
        timer.due = m_now + std::max<qint64>(timer.interval, 1);
        timer.seq = ++m_seq;
        QObject *object = timer.object;
        if (!object) {
            m_timers.remove(id);
            return true;
        }
        QTimerEvent event(id);
        QCoreApplication::sendEvent(object, &event);
        QCoreApplication::sendPostedEvents();
        return true;
    }

    QMap<int, Timer> m_timers;
    qint64 m_now = 0;
    quint64 m_seq = 0;
};

QT_WARNING_POP
