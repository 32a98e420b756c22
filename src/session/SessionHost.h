#pragma once

#include "OperationBook.h"
#include "Reading.h"
#include "RequestQueue.h"

#include <QList>
#include <QString>

// What the parts of a session (its levels, EEPROM writes, sweep and network
// settings) ask of the session that owns them: the queue and the callers'
// operations, the state of the link, and the session's reports. Each part
// keeps its own state; none reaches into another's.
class SessionHost
{
public:
    using Request = RequestQueue::Request;

    // A request for the queue, of this kind. A stale answer of an earlier
    // request must never pass for what the instrument took or holds now. A
    // count is the exception: it is timed on arrival, and the answers before
    // it tell what it was counted under, so polling goes on after a lost reply.
    static Request request(unsigned char command, const QByteArray &payload, RequestQueue::Completion done,
                           RequestQueue::Kind kind = RequestQueue::Kind::Plain)
    {
        Request r;
        r.command = command;
        r.payload = payload;
        r.done = std::move(done);
        r.kind = kind;
        r.waitsForLate = command != zrf::kCountQuery;
        return r;
    }

    virtual RequestQueue &requests() = 0;
    virtual OperationBook &operations() = 0;

    // Open; open and not being closed (new requests are taken); being closed.
    virtual bool linkOpen() const = 0;
    virtual bool linkReady() const = 0;
    virtual bool linkClosing() const = 0;
    // Which link this is (transport and port or host), and its label in texts.
    virtual QString linkKey() const = 0;
    virtual QString linkLabel() const = 0;

    // A failure into `lastError` and errorOccurred; `lastError` emptied.
    virtual void report(const Outcome &outcome) = 0;
    virtual void clearError() = 0;
    virtual void showStatus(const QString &text) = 0;

    // The poll follows what holds the instrument, and the gate period.
    virtual void pollingMayChange() = 0;
    virtual void gateMayChange() = 0;
    virtual int pollIntervalMs() const = 0;
    // A valid count reply: published as `counts` and as a reading.
    virtual Reading publishCounts(const QList<double> &values) = 0;

protected:
    ~SessionHost() = default;
};
