// zrf-sim: the simulated instrument as a stand-alone process, for manual runs
// and for tests that drive the client against a separate process.

#include "SimInstrument.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QFile>
#include <QHostAddress>
#include <QRandomGenerator>

#include <climits>
#include <cstdio>
#include <utility>

namespace {

[[noreturn]] void fail(const QString &message)
{
    std::fprintf(stderr, "zrf-sim: %s\n", qPrintable(message));
    std::exit(2);
}

void say(const QString &line)
{
    std::fprintf(stdout, "%s\n", qPrintable(line));
    std::fflush(stdout);
}

int intOption(const QCommandLineParser &p, const QString &name, int min, int max)
{
    bool ok = false;
    const int v = p.value(name).toInt(&ok);
    if (!ok || v < min || v > max)
        fail(QStringLiteral("--%1 wants a whole number from %2 to %3").arg(name).arg(min).arg(max));
    return v;
}

int commandCode(const QString &value, const QString &name)
{
    const QString text = value.trimmed();
    bool ok = false;
    const int v = text.startsWith(QLatin1String("0x"), Qt::CaseInsensitive)
        ? text.mid(2).toInt(&ok, 16)
        : text.toInt(&ok, 10);
    if (!ok || v < 0 || v > 255)
        fail(QStringLiteral("--%1 wants a command code (0x23 or 35)").arg(name));
    return v;
}

int commandOption(const QCommandLineParser &p, const QString &name)
{
    return commandCode(p.value(name), name);
}

// "CMD:N" as a command code and a whole number from min to max.
std::pair<int, int> codeAndNumber(const QCommandLineParser &p, const QString &name, int min, int max)
{
    const QStringList parts = p.value(name).split(QLatin1Char(':'));
    bool ok = parts.size() == 2;
    const int n = ok ? parts.at(1).toInt(&ok) : 0;
    if (!ok || n < min || n > max)
        fail(QStringLiteral("--%1 wants CMD:N, N from %2 to %3").arg(name).arg(min).arg(max));
    return {commandCode(parts.at(0), name), n};
}

// Eight comma-separated numbers, or fail.
QList<double> eightNumbers(const QCommandLineParser &p, const QString &name)
{
    const QStringList parts = p.value(name).split(QLatin1Char(','));
    QList<double> values;
    for (const QString &part : parts) {
        bool ok = false;
        const double v = part.trimmed().toDouble(&ok);
        if (!ok)
            break;
        values.append(v);
    }
    if (values.size() != SimInstrument::kChannels || parts.size() != SimInstrument::kChannels)
        fail(QStringLiteral("--%1 wants eight numbers separated by commas").arg(name));
    return values;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("zrf-sim"));

    QCommandLineParser p;
    p.setApplicationDescription(QStringLiteral(
        "Simulated eight-channel counting instrument speaking zrf frames over TCP and a pty."));
    p.addHelpOption();
    const QList<QCommandLineOption> options = {
        {QStringLiteral("listen"), QStringLiteral("Listen on ADDRESS:PORT (default 127.0.0.1:1234)."),
         QStringLiteral("address:port"), QStringLiteral("127.0.0.1:1234")},
        {QStringLiteral("allow-any-address"),
         QStringLiteral("Allow a --listen address outside 127.0.0.0/8.")},
        {QStringLiteral("pty"), QStringLiteral("Also open a pseudo-terminal and print its path.")},
        {QStringLiteral("state"), QStringLiteral("Keep settings in FILE (read at start, written on WEEP)."),
         QStringLiteral("file")},
        {QStringLiteral("seed"), QStringLiteral("Seed for count noise and random drops."),
         QStringLiteral("n")},
        {QStringLiteral("delay"), QStringLiteral("Wait MS before each reply."), QStringLiteral("ms")},
        {QStringLiteral("silent"), QStringLiteral("Read requests but never reply.")},
        {QStringLiteral("drop-every"), QStringLiteral("Drop every Nth reply."), QStringLiteral("n")},
        {QStringLiteral("drop-prob"), QStringLiteral("Drop replies with probability P (0..1)."),
         QStringLiteral("p")},
        {QStringLiteral("split"), QStringLiteral("Write replies in pieces of N bytes."),
         QStringLiteral("n")},
        {QStringLiteral("split-delay"), QStringLiteral("Pause MS between the pieces."),
         QStringLiteral("ms")},
        {QStringLiteral("garbage"), QStringLiteral("Write N stray bytes before each reply."),
         QStringLiteral("n")},
        {QStringLiteral("reject"), QStringLiteral("Answer command CMD with code 0x02."),
         QStringLiteral("cmd")},
        {QStringLiteral("wrong-code"), QStringLiteral("Answer command CMD with another code."),
         QStringLiteral("cmd")},
        {QStringLiteral("wrong-length"), QStringLiteral("Answer command CMD with a wrong length byte."),
         QStringLiteral("cmd")},
        {QStringLiteral("close-after"), QStringLiteral("Close each connection after N replies."),
         QStringLiteral("n")},
        {QStringLiteral("late"),
         QStringLiteral("Answer command CMD only MS after the others (replies behind it wait)."),
         QStringLiteral("cmd:ms")},
        {QStringLiteral("ignore-first"),
         QStringLiteral("Leave the first N requests of every link unanswered (a booting instrument)."),
         QStringLiteral("n")},
        {QStringLiteral("silent-after"),
         QStringLiteral("Answer the first N requests of every link, then nothing (an instrument that hangs)."),
         QStringLiteral("n")},
        {QStringLiteral("reject-all"), QStringLiteral("Answer every request with code 0x02.")},
        {QStringLiteral("drop-link-after"),
         QStringLiteral("Close the next TCP link when its Nth request arrives, unanswered (once)."),
         QStringLiteral("n")},
        {QStringLiteral("drop-nth"),
         QStringLiteral("Carry out the Nth request with code CMD but lose its reply (once)."),
         QStringLiteral("cmd:n")},
        {QStringLiteral("reject-nth"), QStringLiteral("Refuse only the Nth request with code CMD (once)."),
         QStringLiteral("cmd:n")},
        {QStringLiteral("silent-spell"),
         QStringLiteral("After N requests answer nothing for MS, then answer again (the link stays up)."),
         QStringLiteral("n:ms")},
        {QStringLiteral("flood"),
         QStringLiteral("From MS after a TCP link opens, pour unsolicited count frames into it as fast as it "
                        "takes them."),
         QStringLiteral("ms")},
        {QStringLiteral("levels"),
         QStringLiteral("Start with these eight comparator levels in volts (0 to 1), as another unit would."),
         QStringLiteral("v0,...,v7")},
        {QStringLiteral("counts"),
         QStringLiteral("Answer every count read with these eight values (comma-separated; "
                        "nan, inf and -inf allowed)."),
         QStringLiteral("v0,...,v7")},
        {QStringLiteral("trace"),
         QStringLiteral("Print every request received on stdout: \"request CODE PAYLOAD\" in hex.")},
        {QStringLiteral("detector"),
         QStringLiteral("Count the pulses of a photomultiplier-like detector on each channel: noise around "
                        "the baseline, photoelectron peaks and a falling tail, with each channel's own gain "
                        "and noise, so that a threshold sweep shows each channel's valley.")},
        {QStringLiteral("extreme-counts"),
         QStringLiteral("Answer count reads with a rotation of extreme values: 1.8e308, 9.3e307, "
                        "8.8e307, a constant 3e15, NaN, infinities, denormals, -0.")},
    };
    p.addOptions(options);
    p.process(app);

    // --listen
    const QString listen = p.value(QStringLiteral("listen"));
    const qsizetype colon = listen.lastIndexOf(QLatin1Char(':'));
    QHostAddress address;
    bool portOk = false;
    const uint port = colon > 0 ? listen.mid(colon + 1).toUInt(&portOk) : 0;
    if (colon <= 0 || !address.setAddress(listen.left(colon)) || !portOk || port == 0 || port > 65535)
        fail(QStringLiteral("--listen wants ADDRESS:PORT, got \"%1\"").arg(listen));
    // This tool is for loopback use; anything else has to be asked for.
    const bool loopback4 = address.protocol() == QAbstractSocket::IPv4Protocol
        && (address.toIPv4Address() >> 24) == 127;
    if (!loopback4 && !p.isSet(QStringLiteral("allow-any-address")))
        fail(QStringLiteral("refusing to listen on %1: not in 127.0.0.0/8 (use --allow-any-address)")
                 .arg(address.toString()));

    SimInstrument sim;
    if (p.isSet(QStringLiteral("seed")))
        sim.setSeed(quint32(intOption(p, QStringLiteral("seed"), 0, INT_MAX)));

    SimFaults f;
    if (p.isSet(QStringLiteral("delay")))
        f.replyDelayMs = intOption(p, QStringLiteral("delay"), 0, 600000);
    f.silent = p.isSet(QStringLiteral("silent"));
    if (p.isSet(QStringLiteral("drop-every")))
        f.dropEvery = intOption(p, QStringLiteral("drop-every"), 1, INT_MAX);
    if (p.isSet(QStringLiteral("drop-prob"))) {
        bool ok = false;
        f.dropProbability = p.value(QStringLiteral("drop-prob")).toDouble(&ok);
        if (!ok || !(f.dropProbability >= 0.0 && f.dropProbability <= 1.0))
            fail(QStringLiteral("--drop-prob wants a number from 0 to 1"));
    }
    if (p.isSet(QStringLiteral("split")))
        f.splitChunk = intOption(p, QStringLiteral("split"), 1, 65536);
    if (p.isSet(QStringLiteral("split-delay")))
        f.splitDelayMs = intOption(p, QStringLiteral("split-delay"), 0, 600000);
    if (p.isSet(QStringLiteral("garbage"))) {
        const int n = intOption(p, QStringLiteral("garbage"), 0, 4096);
        // Never a start or end byte, so the stray bytes cannot form or end a frame.
        while (f.garbage.size() < n) {
            const auto b = static_cast<unsigned char>(QRandomGenerator::global()->bounded(256));
            if (b != zrf::kStart && b != zrf::kEnd)
                f.garbage.append(char(b));
        }
    }
    if (p.isSet(QStringLiteral("reject")))
        f.rejectCommand = commandOption(p, QStringLiteral("reject"));
    if (p.isSet(QStringLiteral("wrong-code")))
        f.wrongCodeCommand = commandOption(p, QStringLiteral("wrong-code"));
    if (p.isSet(QStringLiteral("wrong-length")))
        f.wrongLengthCommand = commandOption(p, QStringLiteral("wrong-length"));
    if (p.isSet(QStringLiteral("close-after")))
        f.closeAfterReplies = intOption(p, QStringLiteral("close-after"), 0, INT_MAX);
    if (p.isSet(QStringLiteral("late"))) {
        const QStringList parts = p.value(QStringLiteral("late")).split(QLatin1Char(':'));
        bool ok = parts.size() == 2;
        f.lateDelayMs = ok ? parts.at(1).toInt(&ok) : 0;
        if (!ok || f.lateDelayMs < 0 || f.lateDelayMs > 600000)
            fail(QStringLiteral("--late wants CMD:MS (0x23:2300)"));
        f.lateCommand = commandCode(parts.at(0), QStringLiteral("late"));
    }
    if (p.isSet(QStringLiteral("ignore-first")))
        f.ignoreFirst = intOption(p, QStringLiteral("ignore-first"), 0, INT_MAX);
    if (p.isSet(QStringLiteral("silent-after")))
        f.answerOnly = intOption(p, QStringLiteral("silent-after"), 1, INT_MAX);
    f.rejectAll = p.isSet(QStringLiteral("reject-all"));
    if (p.isSet(QStringLiteral("drop-link-after")))
        f.dropLinkAfter = intOption(p, QStringLiteral("drop-link-after"), 1, INT_MAX);
    if (p.isSet(QStringLiteral("drop-nth")))
        std::tie(f.dropNthCommand, f.dropNth) = codeAndNumber(p, QStringLiteral("drop-nth"), 1, INT_MAX);
    if (p.isSet(QStringLiteral("reject-nth")))
        std::tie(f.rejectNthCommand, f.rejectNth) = codeAndNumber(p, QStringLiteral("reject-nth"), 1, INT_MAX);
    if (p.isSet(QStringLiteral("silent-spell"))) {
        const QStringList parts = p.value(QStringLiteral("silent-spell")).split(QLatin1Char(':'));
        bool ok = parts.size() == 2;
        f.silentAfter = ok ? parts.at(0).toInt(&ok) : 0;
        f.silentForMs = ok ? parts.at(1).toInt(&ok) : 0;
        if (!ok || f.silentAfter < 1 || f.silentForMs < 1 || f.silentForMs > 3600000)
            fail(QStringLiteral("--silent-spell wants N:MS (N at least 1, MS from 1 to 3600000)"));
    }
    if (p.isSet(QStringLiteral("flood"))) {
        f.flood = true;
        f.floodDelayMs = intOption(p, QStringLiteral("flood"), 0, 3600000);
    }
    sim.setFaults(f);

    if (p.isSet(QStringLiteral("counts")) && p.isSet(QStringLiteral("extreme-counts")))
        fail(QStringLiteral("--counts and --extreme-counts exclude each other"));
    const bool fixedCounts = p.isSet(QStringLiteral("counts")) || p.isSet(QStringLiteral("extreme-counts"));
    if (p.isSet(QStringLiteral("detector")) && fixedCounts)
        fail(QStringLiteral("--detector excludes --counts and --extreme-counts"));
    sim.setDetectorModel(p.isSet(QStringLiteral("detector")));
    if (p.isSet(QStringLiteral("counts")))
        sim.setFixedCounts(eightNumbers(p, QStringLiteral("counts")));
    if (p.isSet(QStringLiteral("extreme-counts")))
        sim.setCountRotation(SimInstrument::extremeCountRows());

    if (p.isSet(QStringLiteral("state"))) {
        sim.setStatePath(p.value(QStringLiteral("state")));
        // A missing file is a fresh instrument; it is written on the first WEEP.
        if (QFile::exists(p.value(QStringLiteral("state"))) && !sim.loadState())
            fail(QStringLiteral("cannot read state file %1").arg(p.value(QStringLiteral("state"))));
    }

    // After the state file: these are the levels this run starts with.
    if (p.isSet(QStringLiteral("levels"))) {
        const QList<double> levels = eightNumbers(p, QStringLiteral("levels"));
        for (double v : levels) {
            if (!(v >= 0.0 && v <= 1.0))
                fail(QStringLiteral("--levels wants volts from 0 to 1"));
        }
        sim.setThresholds(levels);
    }

    if (p.isSet(QStringLiteral("trace"))) {
        QObject::connect(&sim, &SimInstrument::requestReceived, &sim, [](unsigned char cmd, const QByteArray &payload) {
            say(QStringLiteral("request %1 %2")
                    .arg(cmd, 2, 16, QLatin1Char('0'))
                    .arg(QString::fromLatin1(payload.toHex())));
        });
    }

    if (!sim.listenTcp(address, quint16(port)))
        fail(QStringLiteral("cannot listen on %1:%2").arg(address.toString()).arg(port));
    say(QStringLiteral("listening on %1:%2").arg(address.toString()).arg(port));

    if (p.isSet(QStringLiteral("pty"))) {
        const QString path = sim.openPty();
        if (path.isEmpty())
            fail(QStringLiteral("cannot open a pseudo-terminal"));
        say(QStringLiteral("pty: %1").arg(path));
    }

    return app.exec();
}
