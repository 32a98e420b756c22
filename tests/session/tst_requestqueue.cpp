// The request queue's own rules through a test port, in virtual time: one
// request on the wire, a request pushed next never ahead of it, late replies
// of timed-out requests passed over (also after a refusal), and nothing of a
// closed link's half frame left for the next one.

#include "../common/TestPort.h"
#include "../common/VirtualClock.h"
#include "RequestQueue.h"

#include <QtTest>

namespace {

VirtualClock *g_clock = nullptr;
using Request = RequestQueue::Request;

struct Rig {
    TestPort port;
    RequestQueue queue;
    QByteArray sent;        // codes as the instrument got them
    QStringList completed;  // "<code>:<ok>" as the requests heard it, "<code>:timeout"

    Rig()
    {
        port.onRequest = [this](const zrf::Frame &f) { sent.append(char(f.command)); };
        QObject::connect(&port, &LinkPort::bytesReceived, &queue, &RequestQueue::takeBytes);
        port.open(QString());
        g_clock->runFor(2);
        queue.setPort(&port);
    }
    void push(unsigned char code, bool waitsForLate = true, bool next = false)
    {
        Request r;
        r.command = code;
        r.waitsForLate = waitsForLate;
        r.done = [this, code](bool ok, const QByteArray &) {
            completed << QStringLiteral("%1:%2").arg(code, 2, 16, QLatin1Char('0')).arg(ok ? "ok" : "failed");
        };
        r.expired = [this, code] { completed << QStringLiteral("%1:timeout").arg(code, 2, 16, QLatin1Char('0')); };
        next ? queue.pushNext(std::move(r)) : queue.push(std::move(r));
    }
    void reply(unsigned char code, int inMs = 0) { port.send(zrf::encodeFrame(code, {}), inMs); }
};

} // namespace

class TestRequestQueue : public QObject
{
    Q_OBJECT
private slots:
    // A request pushed next goes after the one on the wire, ahead of the rest.
    void pushNextStaysBehindTheWire()
    {
        Rig rig;
        rig.push(0x23);
        rig.push(0x24);
        rig.push(0x25, true, true);
        QCOMPARE(rig.sent, QByteArray("\x23"));
        rig.reply(0x23);
        g_clock->runFor(1);
        rig.reply(0x25);
        g_clock->runFor(1);
        rig.reply(0x24);
        g_clock->runFor(1);
        QCOMPARE(rig.sent, QByteArray("\x23\x25\x24"));
        QCOMPARE(rig.completed, (QStringList{"23:ok", "25:ok", "24:ok"}));
    }

    // After a time-out, the late reply of that code is passed over, once:
    // the next request of the code waits for it and takes only its own.
    // A refusal while a late reply is owed is the head's; its own reply,
    // should it come after all, is passed over too.
    void lateReplies_data()
    {
        QTest::addColumn<QByteArray>("script"); // per step: 'L' late reply of the lost one, 'R' refusal, 'O' own reply
        QTest::addColumn<QStringList>("expected");
        QTest::newRow("late, then own") << QByteArray("LO") << QStringList{"26:timeout", "26:ok"};
        QTest::newRow("refused, own late") << QByteArray("RLO") << QStringList{"26:timeout", "26:failed", "26:ok"};
    }
    void lateReplies()
    {
        QFETCH(QByteArray, script);
        QFETCH(QStringList, expected);
        Rig rig;
        rig.push(0x26);
        g_clock->runFor(RequestQueue::kTimeoutMs + 1); // lost
        const bool refusal = script.startsWith('R');
        rig.push(0x26);
        if (refusal) {
            g_clock->runFor(1);
            rig.reply(0x26); // the lost one's, so the held one goes out
            g_clock->runFor(1);
            rig.reply(zrf::kFailed);
            g_clock->runFor(1);
            rig.push(0x26);
        }
        rig.reply(0x26, 5); // late: completes nothing
        g_clock->runFor(10);
        rig.reply(0x26, 5); // its own
        g_clock->runFor(10);
        if (refusal) {
            rig.reply(0x26);
            g_clock->runFor(1);
        }
        QCOMPARE(rig.completed, expected);
        QVERIFY(rig.queue.idle());
    }

    // A late reply of another code after the head's own: the list of late
    // replies is over once a later request is answered.
    void answerClearsLateList()
    {
        Rig rig;
        rig.push(0x26);
        g_clock->runFor(RequestQueue::kTimeoutMs + 1);
        rig.push(0x23, false);
        rig.reply(0x23);
        g_clock->runFor(1);
        rig.push(0x26);
        g_clock->runFor(1);
        QCOMPARE(rig.sent, QByteArray("\x26\x23\x26")); // not held back for a reply that cannot come
        rig.reply(0x26);
        g_clock->runFor(1);
        QCOMPARE(rig.completed, (QStringList{"26:timeout", "23:ok", "26:ok"}));
    }

    // Half a frame when the link closed is not the start of the next link's.
    void clearForgetsHalfFrames()
    {
        Rig rig;
        rig.push(0x23);
        const QByteArray whole = zrf::encodeFrame(0x23, QByteArray(8, 'x'));
        rig.port.send(whole.left(whole.size() / 2), 0);
        g_clock->runFor(1);
        rig.queue.clear();
        rig.push(0x24);
        rig.reply(0x24);
        g_clock->runFor(1);
        QCOMPARE(rig.completed, QStringList{"24:ok"});
    }
};

int main(int argc, char *argv[])
{
    g_clock = new VirtualClock;
    QCoreApplication::setEventDispatcher(g_clock);
    QCoreApplication app(argc, argv);
    TestRequestQueue test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_requestqueue.moc"
