#pragma once

// One instrument as the module holds it: the session (in the Qt thread) and
// what a Python thread reads of it (under a mutex): every reading the session
// takes, in a bounded buffer, and the state of the link.

#include "LinkTarget.h"
#include "Outcome.h"
#include "Reading.h"

#include <QList>
#include <QMetaObject>
#include <QString>

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

class DeviceSession;

class Link : public std::enable_shared_from_this<Link>
{
public:
    enum class State { Opening, Open, Lost, Closed };

    Link(const LinkTarget &target, std::size_t capacity);
    ~Link();

    // --- Qt thread only ------------------------------------------------
    // Makes the session and opens the link; `done` hears how the opening went.
    void open(const Done &done);
    // Opens the same session again after a loss (it then puts back the levels
    // of a sweep the loss cut off).
    void reopen(const Done &done);
    // Closes the link once a held-back EEPROM write is stored and the reply on
    // the wire is in (a guard closes it at once after twice the reply
    // time-out), then deletes the session.
    void close(const Done &done);
    // The session, or null once closed; an operation without one is refused.
    DeviceSession *session() const { return m_session; }
    // Why an operation cannot run: the link's loss, or "Not connected".
    Outcome refusal() const;
    // A calibration sweep for one caller, its points gathered in `run`; over
    // once the levels from before it are back.
    void startSweep(const std::shared_ptr<struct SweepRun> &run, const QList<int> &channels, int fromMv, int toMv,
                    int stepMv, const Done &done);
    // Ends that sweep early (also one still reading the levels before it).
    void stopSweep(const std::shared_ptr<struct SweepRun> &run);

    // --- any thread, under the mutex -----------------------------------
    mutable std::mutex mutex;
    std::condition_variable changed;
    State state = State::Opening;
    QString lostMessage;              // the transport's text, once lost
    std::deque<Reading> buffer;       // oldest first
    const std::size_t capacity;
    std::uint64_t dropped = 0;        // readings pushed out by newer ones
    std::uint64_t droppedReported = 0;
    std::uint64_t taken = 0;          // readings taken on every opening
    std::uint64_t timeOuts = 0;       // requests the instrument left unanswered
    std::uint64_t timeOutsReported = 0;
    QString timeOutText;
    std::uint64_t badReplies = 0;     // count replies that could not be read
    std::uint64_t badRepliesReported = 0;
    std::uint64_t takenAtTimeOut = 0; // `taken` when the last time-out came
    QString badReplyText;
    const qint64 originNs;            // elapsed_s counts from here (steady clock)
    QString label;                    // host or port; the client's pick once opened

    // Buffered readings back at the front, in order (a read that raised).
    void putBack(std::vector<Reading> &&readings);

private:
    void attach();
    void onReading(const Reading &reading);
    void onError(const Outcome &outcome);
    void onLinkClosed(const Outcome &why);
    void setState(State state, const QString &message = {});

    LinkTarget m_target;
    DeviceSession *m_session = nullptr;
    bool m_closing = false;
};

// One caller's sweep: its points, and whether it was asked to stop.
struct SweepRun {
    std::mutex mutex; // guards points
    std::vector<SweepPoint> points;
    // Qt thread only.
    bool stop = false;
    QList<QMetaObject::Connection> connections;
};
