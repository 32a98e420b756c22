#pragma once

#include "Outcome.h"

#include <QHash>
#include <QList>

// The operations in progress with their callers' completions: each runs
// once, with its outcome, or with LinkLost when the link ends first.
class OperationBook
{
public:
    // 0 for a call without a completion: nobody to tell.
    quint64 begin(Done done)
    {
        if (!done)
            return 0;
        const quint64 id = ++m_next;
        m_operations.emplace(id, std::move(done));
        return id;
    }
    void finish(quint64 id, const Outcome &outcome)
    {
        if (id == 0)
            return;
        // Taken out before it runs: it may start the caller's next operation.
        Done done = m_operations.take(id);
        if (done)
            done(outcome);
    }
    void finish(const QList<quint64> &ids, const Outcome &outcome)
    {
        for (quint64 id : ids)
            finish(id, outcome);
    }
    // Every one begun so far; one a completion begins meanwhile stays.
    void finishAll(const Outcome &outcome) { finish(m_operations.keys(), outcome); }
    // Out of the book, for the caller to run last.
    Done take(quint64 id) { return m_operations.take(id); }
    void clear() { m_operations.clear(); }

    // Refuses a call at once: with a completion it hears why.
    static void refuse(const Done &done, DeviceError error)
    {
        if (done)
            done(Outcome(error));
    }

private:
    QHash<quint64, Done> m_operations;
    quint64 m_next = 0;
};
