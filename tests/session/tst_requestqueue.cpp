// The request queue's own rules through a test port, in virtual time.

#include "../common/TestPort.h"
#include "../common/VirtualClock.h"
#include "RequestQueue.h"

#include <QtTest>

namespace {

VirtualClock *g_clock = nullptr;

struct Rig {
    TestPort port;
    RequestQueue queue;
    QByteArray sent;        // codes as the instrument got them
    QStringList completed;  // "<code>:ok#<reply>", "<code>:failed#<reply>", "<code>:timeout"
    int replies = 0;

    Rig()
    {
        port.onRequest = [this](const zrf::Frame &f) { sent.append(char(f.command)); };
        QObject::connect(&port, &LinkPort::bytesReceived, &queue, &RequestQueue::takeBytes);
        port.open(QString());
        g_clock->runFor(2);
        queue.setPort(&port);
    }
    void push(unsigned char code, bool next = false)
    {
        RequestQueue::Request r;
        r.command = code;
        r.waitsForLate = true;
        const QString name = QStringLiteral("%1").arg(code, 2, 16, QLatin1Char('0'));
        r.done = [this, name](bool ok, const QByteArray &reply) {
            completed << name + (ok ? ":ok#" : ":failed#") + QString::fromLatin1(reply);
        };
        r.expired = [this, name] { completed << name + ":timeout"; };
        next ? queue.pushNext(std::move(r)) : queue.push(std::move(r));
    }
    // Each reply carries its number: the test sees which reply a request took.
    void reply(unsigned char code) { port.send(zrf::encodeFrame(code, QByteArray::number(++replies)), 0); }
};

} // namespace

class TestRequestQueue : public QObject
{
    Q_OBJECT
private slots:
    // Steps: "26" pushes a request of code 0x26, "+25" pushes one next, ">26"
    // is the instrument's reply of that code (">02" a refusal), "~" a time-out,
    // "<23" the first half of a long 0x23 reply and "..." its rest, "clear" the
    // link's end.
    void replies_data()
    {
        QTest::addColumn<QString>("steps");
        QTest::addColumn<QString>("sent");
        QTest::addColumn<QString>("completed");
        QTest::newRow("pushed next, behind the wire")
            << "23 24 +25 >23 >25 >24" << "23 25 24" << "23:ok#1 25:ok#2 24:ok#3";
        // The next request of a lost one's code waits for its late reply.
        QTest::newRow("late, then own") << "26 ~ 26 >26 >26" << "26 26" << "26:timeout 26:ok#2";
        // A refusal while a late reply is owed fails the head; its own reply is passed over then.
        QTest::newRow("refused, own late")
            << "26 ~ 23 >02 23 >23 >23" << "26 23 23" << "26:timeout 23:failed#1 23:ok#3";
        QTest::newRow("refusal, not a late reply") << "02 ~ 23 >02" << "02 23" << "02:timeout 23:failed#1";
        // The head's own answer ends the late list: nothing waits for a reply that cannot come.
        QTest::newRow("answer ends late list")
            << "26 ~ 23 >23 26 >26" << "26 23 26" << "26:timeout 23:ok#1 26:ok#2";
        // Half a frame when the link ended is not the start of the next link's.
        QTest::newRow("half frame forgotten") << "23 <23 clear 24 ... >24" << "23 24" << "24:ok#1";
    }
    void replies()
    {
        QFETCH(QString, steps);
        QFETCH(QString, sent);
        QFETCH(QString, completed);
        Rig rig;
        const QByteArray cut = zrf::encodeFrame(0x23, QByteArray(8, 'x'));
        for (const QString &step : steps.split(QLatin1Char(' '))) {
            const auto code = (unsigned char)step.right(2).toUInt(nullptr, 16);
            if (step == QLatin1String("~"))
                g_clock->runFor(RequestQueue::kTimeoutMs);
            else if (step == QLatin1String("clear"))
                rig.queue.clear();
            else if (step == QLatin1String("<23"))
                rig.port.send(cut.left(cut.size() / 2), 0);
            else if (step == QLatin1String("..."))
                rig.port.send(cut.mid(cut.size() / 2), 0);
            else if (step.startsWith(QLatin1Char('>')))
                rig.reply(code);
            else
                rig.push(code, step.startsWith(QLatin1Char('+')));
            g_clock->runFor(1);
        }
        QCOMPARE(QString::fromLatin1(rig.sent.toHex(' ')), sent);
        QCOMPARE(rig.completed.join(QLatin1Char(' ')), completed);
        QVERIFY(rig.queue.idle());
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
