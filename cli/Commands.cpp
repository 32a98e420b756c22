#include "Commands.h"

#include "CalibrateCommand.h"
#include "CountsCommand.h"
#include "DeviceSession.h"
#include "FileStats.h"
#include "LimitsText.h"
#include "NetworkCommand.h"
#include "Output.h"
#include "PeriodCommand.h"
#include "ScanCommand.h"
#ifdef TACHYRA_WITH_SERVE
#include "ServeCommand.h"
#endif
#include "SignalPipe.h"
#include "SweepCommand.h"
#include "ThresholdCommand.h"

#include <QCoreApplication>
#include <QRegularExpression>

#include <limits>
#include <memory>

using namespace arguments;

namespace {

constexpr qint64 kMaxDurationS = 2000000; // what one timer can wait

QString text(const char *t)
{
    return limits::filled(t);
}

SignalPipe *watchInterrupts(SignalPipe &interrupts)
{
    if (!interrupts.ok())
        output::message(QStringLiteral("cannot watch for Ctrl-C; it will end the program at once"));
    return &interrupts;
}

// A device command: made from the line (or a usage error), then run on the
// link until it reports its exit code.
using Factory = std::unique_ptr<DeviceCommand> (*)(const Invocation &call, QString *error);

template <Factory make>
int runDevice(const Invocation &call)
{
    SignalPipe interrupts;
    watchInterrupts(interrupts);
    QString error;
    const std::unique_ptr<DeviceCommand> command = make(call, &error);
    if (!command)
        return commands::usageError(error, call.name);
    QObject::connect(command.get(), &DeviceCommand::finished, qApp, &QCoreApplication::exit);
    QObject::connect(&interrupts, &SignalPipe::received, command.get(), &DeviceCommand::interrupt);
    command->start(call.link);
    return QCoreApplication::exec();
}

std::nullptr_t refuse(QString *error, const QString &why)
{
    *error = why;
    return nullptr;
}

// --- ports, scan, stats ------------------------------------------------------

QString portsOptions(QCommandLineParser &)
{
    return QStringLiteral("Ports named in TACHYRA_EXTRA_PORTS (paths separated by ':') come first.");
}

int runPorts(const Invocation &call)
{
    QByteArray text;
    for (const QVariant &v : call.session->ports()) {
        const QVariantMap port = v.toMap();
        text += port.value(QStringLiteral("name")).toString().toUtf8() + '\t'
            + (port.value(QStringLiteral("preferred")).toBool() ? "instrument" : "-") + '\t'
            + port.value(QStringLiteral("description")).toString().simplified().toUtf8() + '\n';
    }
    if (!text.isEmpty() && output::line(text) == output::Write::Failed) {
        output::message(QStringLiteral("cannot write the output: ") + output::lastWriteError());
        return exitcode::kDevice;
    }
    return exitcode::kOk;
}

QString scanOptions(QCommandLineParser &)
{
    return QStringLiteral("Probes port 1234 on every address of the attached IPv4 subnets, as the client's TCP "
                          "mode does. Progress on stderr when it is a terminal.");
}

int runScan(const Invocation &call)
{
    SignalPipe interrupts;
    watchInterrupts(interrupts);
    ScanCommand scan(*call.session);
    QObject::connect(&scan, &ScanCommand::finished, qApp, &QCoreApplication::exit);
    QObject::connect(&interrupts, &SignalPipe::received, &scan, &ScanCommand::interrupt);
    scan.start();
    return QCoreApplication::exec();
}

QString statsOptions(QCommandLineParser &p)
{
    p.addPositionalArgument(QStringLiteral("FILE"), QStringLiteral("A recording: the client's, counts' or an export's CSV."));
    addFormatOption(p);
    return QStringLiteral("Columns: channel, count, not_finite, mean, stddev, min, max, rate_per_s, as counts "
                          "--stats writes them: the figures of the client's statistics strip for the same rows. "
                          "rate_per_s is the mean of each count over its row's period_ms, over the finite rates "
                          "only: a row without a positive period_ms, or whose rate is beyond the largest "
                          "double, is left out of it (nan when none is left). "
                          "Lines the file cannot give a reading for are named on stderr with their line "
                          "numbers and left out; a row whose elapsed_s is unusable is named and kept, as the "
                          "figures do not use it. A file that is not a recording ends with status 1.");
}

int runStats(const Invocation &call)
{
    if (call.args.size() != 1)
        return commands::usageError(QStringLiteral("stats wants one FILE"), call.name);
    const auto f = rowFormat(call.parser);
    if (!f)
        return commands::usageError(QStringLiteral("--format wants csv or jsonl"), call.name);
    return printFileStats(call.args.constFirst(), *f);
}

// --- counts, period, threshold -------------------------------------------------

QString countsOptions(QCommandLineParser &p)
{
    addOption(p, "period", "Set the gate period to MS ({min_period_ms} to {max_period_ms}) first.", "ms");
    addOption(p, "count", "Stop after N readings.", "n");
    addOption(p, "duration", "Stop after S seconds (readings asked for by then are still written).", "s");
    addOption(p, "stats", "Write no readings; at the end of the run (however it ends) write the statistics of "
                          "each channel over them instead, one line per channel.");
    addFormatOption(p);
    return QStringLiteral("Columns: time_utc, elapsed_s, period_ms, count_ch0..7, threshold_mv_ch0..7 "
                          "(empty while unknown), sweep. Runs until --count, --duration, Ctrl-C or a closed "
                          "pipe; each line is written whole, at once. A lost reply is named on stderr and the "
                          "run goes on; an instrument that falls silent ends it with status 1: 3 requests in a "
                          "row unanswered, or no reading for 10 s (5 gate periods when that is longer).\n\n"
                          "With --stats the columns are channel, count (finite counts taken), not_finite "
                          "(NaN and infinite counts left out), mean, stddev (sample standard deviation), min, "
                          "max and rate_per_s (the mean of each count over its own gate period, over the "
                          "finite rates only: a rate beyond the largest double is left out; nan when none is "
                          "left): the figures of the client's statistics strip over the same readings.");
}

std::unique_ptr<DeviceCommand> makeCounts(const Invocation &call, QString *error)
{
    const QCommandLineParser &p = call.parser;
    CountsCommand::Options o;
    if (!call.args.isEmpty())
        return refuse(error, QStringLiteral("counts takes no arguments"));
    if (p.isSet(QStringLiteral("period"))) {
        const auto ms = wholeNumber(p.value(QStringLiteral("period")), limits::kMinPeriodMs, limits::kMaxPeriodMs);
        if (!ms)
            return refuse(error, text("--period wants a whole number of ms from {min_period_ms} to {max_period_ms}"));
        o.periodMs = int(*ms);
    }
    if (p.isSet(QStringLiteral("count")) && p.isSet(QStringLiteral("duration")))
        return refuse(error, QStringLiteral("--count and --duration exclude each other"));
    if (p.isSet(QStringLiteral("count"))) {
        const auto n = wholeNumber(p.value(QStringLiteral("count")), 1, std::numeric_limits<qint64>::max());
        if (!n)
            return refuse(error, QStringLiteral("--count wants a whole number of readings, at least 1"));
        o.count = *n;
    }
    if (p.isSet(QStringLiteral("duration"))) {
        bool ok = false;
        const double s = value(p, QStringLiteral("duration")).trimmed().toDouble(&ok);
        if (!ok || !(s >= 0.001 && s <= double(kMaxDurationS)))
            return refuse(error, QStringLiteral("--duration wants seconds from 0.001 to %1").arg(kMaxDurationS));
        o.durationMs = qRound64(limits::msOfSeconds(s));
    }
    const auto f = rowFormat(p);
    if (!f)
        return refuse(error, QStringLiteral("--format wants csv or jsonl"));
    o.format = *f;
    o.stats = p.isSet(QStringLiteral("stats"));
    return std::make_unique<CountsCommand>(*call.session, o);
}

QString periodOptions(QCommandLineParser &p)
{
    p.addPositionalArgument(QStringLiteral("MS"), text("New gate period, {min_period_ms} to {max_period_ms} ms."),
                            QStringLiteral("[MS]"));
    return QStringLiteral("Without MS prints the period the instrument reports. With MS sets it and reads it "
                          "back; a period the instrument keeps otherwise is named on stderr.");
}

std::unique_ptr<DeviceCommand> makePeriod(const Invocation &call, QString *error)
{
    if (call.args.size() > 1)
        return refuse(error, QStringLiteral("period takes at most one argument"));
    int ms = 0;
    if (!call.args.isEmpty()) {
        const auto v = wholeNumber(call.args.constFirst(), limits::kMinPeriodMs, limits::kMaxPeriodMs);
        if (!v)
            return refuse(error, text("the period wants a whole number of ms from {min_period_ms} to {max_period_ms}"));
        ms = int(*v);
    }
    return std::make_unique<PeriodCommand>(*call.session, ms);
}

QString thresholdOptions(QCommandLineParser &p)
{
    p.addPositionalArgument(QStringLiteral("CH"), text("Channel 0 to {last_channel}, or all (the default)."),
                            QStringLiteral("[CH|all]"));
    p.addPositionalArgument(QStringLiteral("MV"), text("New level, 0 to {max_mv} mV."), QStringLiteral("[MV]"));
    return QStringLiteral("Without MV prints the level of CH, or of all channels one per line in channel "
                          "order. With MV sets it and waits until the instrument has stored it in its EEPROM.");
}

std::unique_ptr<DeviceCommand> makeThreshold(const Invocation &call, QString *error)
{
    const QStringList &args = call.args;
    if (args.size() > 2)
        return refuse(error, QStringLiteral("threshold takes at most two arguments"));
    int channel = DeviceSession::kAllChannels;
    if (!args.isEmpty() && args.constFirst() != QLatin1String("all")) {
        const auto ch = wholeNumber(args.constFirst(), 0, DeviceSession::kChannelCount - 1);
        if (!ch)
            return refuse(error, text("the channel wants 0 to {last_channel} or all"));
        channel = int(*ch);
    }
    double mv = -1.0;
    if (args.size() == 2) {
        const auto v = millivolts(args.at(1));
        if (!v)
            return refuse(error, text("the level wants a number of mV from 0 to {max_mv}"));
        mv = *v;
    }
    return std::make_unique<ThresholdCommand>(*call.session, channel, mv);
}

// --- sweep, calibrate ------------------------------------------------------------

QString sweepOptions(QCommandLineParser &p)
{
    addOption(p, "channel", "Channel to sweep, 0 to {last_channel}.", "c");
    addOption(p, "from", "First level, 0 to {max_mv} mV.", "mv");
    addOption(p, "to", "Last level, 0 to {max_mv} mV.", "mv");
    addOption(p, "step", "Step in mV (its sign is ignored: the sweep runs from --from to --to).", "mv");
    addFormatOption(p);
    return QStringLiteral("Silences the other channels, steps the channel's level, reads the counts one gate "
                          "period after each step. Columns: channel, threshold_mv, count, time_utc. At the end, "
                          "on Ctrl-C and on a closed pipe, the levels from before the sweep are put back; when "
                          "the link is lost, the commands that put them back are printed. Progress on stderr "
                          "when it is a terminal.");
}

QString calibrateOptions(QCommandLineParser &p)
{
    addOption(p, "channels", "Channels to sweep, in this order: a comma-separated list of 0 to {last_channel} "
                             "(default: all eight).", "list");
    addOption(p, "from", "First level, 0 to {max_mv} mV.", "mv");
    addOption(p, "to", "Last level, 0 to {max_mv} mV.", "mv");
    addOption(p, "step", "Step in mV (its sign is ignored: each sweep runs from --from to --to).", "mv");
    addOption(p, "apply", "Once the levels are back, set each suggested level (channels without one keep theirs).");
    addOption(p, "points", "Also write every sweep point to FILE (columns of sweep, in --format).", "file");
    addFormatOption(p);
    return QStringLiteral("Sweeps each channel as sweep does (the others muted), the levels saved once before "
                          "and put back once at the end, on Ctrl-C and on a closed pipe; when the link is lost, "
                          "the commands that put them back are printed. Then one line per channel: channel, "
                          "suggested_mv (empty, or null in jsonl, when there is none), valley_low_mv, "
                          "valley_high_mv (the band where the spectrum stays near its minimum), uncertainty_mv, "
                          "quality (the valley's depth in standard errors), reason (a fixed key) and "
                          "reason_text. Progress on stderr when it is a terminal.");
}

// Both sweep: the range and the format, checked alike.
std::unique_ptr<DeviceCommand> makeSweepOrCalibrate(const Invocation &call, QString *error)
{
    const QCommandLineParser &p = call.parser;
    if (!call.args.isEmpty())
        return refuse(error, call.name + QStringLiteral(" takes no arguments"));
    const auto need = [&p](const char *opt, qint64 min, qint64 max) -> std::optional<qint64> {
        if (!p.isSet(QLatin1String(opt)))
            return std::nullopt;
        return wholeNumber(p.value(QLatin1String(opt)), min, max);
    };
    const bool calibrate = call.name == QLatin1String("calibrate");
    const qint64 maxMv = limits::kMaxWholeLevelMv;
    const auto ch = calibrate ? std::optional<qint64>(0) : need("channel", 0, DeviceSession::kChannelCount - 1);
    const auto from = need("from", 0, maxMv);
    const auto to = need("to", 0, maxMv);
    const auto step = need("step", -maxMv, maxMv);
    if (!ch)
        return refuse(error, text("--channel wants 0 to {last_channel}"));
    if (!from || !to)
        return refuse(error, text("--from and --to want whole mV from 0 to {max_mv}"));
    if (!step || *step == 0)
        return refuse(error, text("--step wants whole mV, not 0, at most {max_mv}"));
    const auto f = rowFormat(p);
    if (!f)
        return refuse(error, QStringLiteral("--format wants csv or jsonl"));
    if (calibrate) {
        CalibrateCommand::Options c;
        if (p.isSet(QStringLiteral("channels"))) {
            c.channels.clear();
            for (const QString &item : p.value(QStringLiteral("channels")).split(QLatin1Char(','))) {
                const auto n = wholeNumber(item, 0, DeviceSession::kChannelCount - 1);
                if (!n || c.channels.contains(int(*n)))
                    return refuse(error, text("--channels wants distinct channels 0 to {last_channel}, comma-separated"));
                c.channels.append(int(*n));
            }
        }
        c.fromMv = int(*from);
        c.toMv = int(*to);
        c.stepMv = int(*step);
        c.apply = p.isSet(QStringLiteral("apply"));
        c.pointsPath = p.value(QStringLiteral("points"));
        c.format = *f;
        c.linkArgument = call.linkArgument;
        return std::make_unique<CalibrateCommand>(*call.session, c);
    }
    SweepCommand::Options o;
    o.channel = int(*ch);
    o.fromMv = int(*from);
    o.toMv = int(*to);
    o.stepMv = int(*step);
    o.format = *f;
    o.linkArgument = call.linkArgument;
    return std::make_unique<SweepCommand>(*call.session, o);
}

// --- network -------------------------------------------------------------------

QString networkOptions(QCommandLineParser &p)
{
    addOption(p, "dhcp", "Switch the instrument to DHCP.");
    addOption(p, "static", "Give the instrument the static address IP, netmask MASK and gateway GW.");
    p.addPositionalArgument(QStringLiteral("IP MASK GW"), QStringLiteral("With --static."), QStringLiteral("[IP MASK GW]"));
    return QStringLiteral("Without an option prints mode=, ip=, netmask= and gateway= lines. With one, applies the "
                          "change and stores it in the instrument's EEPROM; the instrument may then answer on its "
                          "new address only.");
}

std::unique_ptr<DeviceCommand> makeNetwork(const Invocation &call, QString *error)
{
    const QCommandLineParser &p = call.parser;
    const QStringList &args = call.args;
    NetworkCommand::Change c;
    const bool dhcp = p.isSet(QStringLiteral("dhcp"));
    const bool fixed = p.isSet(QStringLiteral("static"));
    if (dhcp && fixed)
        return refuse(error, QStringLiteral("--dhcp and --static exclude each other"));
    if (args.size() != (fixed ? 3 : 0))
        return refuse(error, fixed ? QStringLiteral("--static wants IP MASK GW")
                                   : QStringLiteral("network takes arguments only with --static"));
    c.apply = dhcp || fixed;
    c.dhcp = dhcp;
    if (fixed) {
        // The client's own checks and messages, before anything is sent.
        const QString zero = QStringLiteral("0.0.0.0");
        if (!DeviceSession::parseIpv4(args.at(0), &c.ip) || c.ip == zero)
            return refuse(error, deviceErrorText(DeviceError::InvalidIpAddress));
        if (!DeviceSession::parseIpv4(args.at(1), &c.netmask) || c.netmask == zero)
            return refuse(error, deviceErrorText(DeviceError::InvalidNetmask));
        if (!DeviceSession::parseIpv4(args.at(2), &c.gateway))
            return refuse(error, deviceErrorText(DeviceError::InvalidGateway));
    }
    return std::make_unique<NetworkCommand>(*call.session, c);
}

// --- serve -----------------------------------------------------------------------

#ifdef TACHYRA_WITH_SERVE
QString serveOptions(QCommandLineParser &p)
{
    addOption(p, "metrics", "Serve http://ADDRESS:PORT/metrics: PORT alone listens on 127.0.0.1; 0.0.0.0:PORT on "
                            "every IPv4 address; [::1]:PORT for IPv6 where the HTTP server (civetweb) was built "
                            "with it.", "[address:]port");
    addOption(p, "instrument", "The value of the 'instrument' label on every series (default: the host or port).",
              "name");
    return QStringLiteral("Runs until Ctrl-C or SIGTERM (exit 0). Opens the link again by itself, with a "
                          "back-off of 1 s doubling up to 30 s, when it ends, goes silent or cannot be opened; "
                          "tachyra_link_up says whether it is open. Nothing over HTTP reaches the instrument: "
                          "GET /metrics is the only request served. A malformed --metrics is a usage error; an "
                          "address it cannot listen on ends it with exit 1.");
}

int runServe(const Invocation &call)
{
    const QCommandLineParser &p = call.parser;
    SignalPipe interrupts;
    watchInterrupts(interrupts);
    // The series must stay tied to one instrument: the client's own pick of
    // a port may change at the next plug-in.
    if (call.link.kind == LinkTarget::Kind::ClientsPort)
        return commands::usageError(QStringLiteral("serve wants --tcp HOST or --serial PORT"), call.name);
    if (!call.args.isEmpty())
        return commands::usageError(QStringLiteral("serve takes no arguments"), call.name);
    if (!p.isSet(QStringLiteral("metrics")))
        return commands::usageError(QStringLiteral("serve wants --metrics [ADDRESS:]PORT"), call.name);
    QString why;
    const auto listen = MetricsEndpoint::parseAddress(p.value(QStringLiteral("metrics")), &why);
    if (!listen)
        return commands::usageError(QStringLiteral("--metrics: ") + why, call.name);
    ServeCommand::Options o;
    o.listen = *listen;
    o.instrument = call.link.target;
    if (p.isSet(QStringLiteral("instrument"))) {
        o.instrument = value(p, QStringLiteral("instrument")).trimmed();
        static const QRegularExpression control(QStringLiteral("[\\x00-\\x1f\\x7f]"));
        if (o.instrument.isEmpty() || o.instrument.size() > 200 || o.instrument.contains(control))
            return commands::usageError(QStringLiteral("--instrument wants a name of 1 to 200 printable characters"),
                                        call.name);
    }
    ServeCommand serve(*call.session, o);
    QObject::connect(&serve, &ServeCommand::message, &serve, &output::message);
    QObject::connect(&serve, &ServeCommand::finished, qApp, &QCoreApplication::exit);
    QObject::connect(&interrupts, &SignalPipe::received, &serve, &ServeCommand::interrupt);
    serve.start(call.link);
    return QCoreApplication::exec();
}
#endif

} // namespace

namespace commands {

const QList<CommandEntry> &table()
{
    using R = CommandEntry::Reach;
    static const QList<CommandEntry> commands{
        {"ports", "", "List the serial ports, one per line: name, 'instrument' or '-', description.", R::Local,
         portsOptions, runPorts},
        {"scan", "", "Scan the attached IPv4 subnets for instruments; hosts one per line.", R::Local, scanOptions,
         runScan},
        {"counts", "[--period MS] [--count N | --duration S] [--stats] [--format csv|jsonl]",
         "Write one line per count reading, the columns of the client's recording.", R::Instrument, countsOptions,
         runDevice<makeCounts>},
        {"period", "[MS]", "Print the gate period in ms, or set it.", R::Instrument, periodOptions,
         runDevice<makePeriod>},
        {"threshold", "[CH|all] [MV]",
         "Print comparator levels in mV, or set one channel or all (stored in the EEPROM).", R::Instrument,
         thresholdOptions, runDevice<makeThreshold>},
        {"sweep", "--channel C --from MV --to MV --step MV [--format csv|jsonl]",
         "Run the calibration sweep of one channel, one line per point; the levels are put back.", R::Instrument,
         sweepOptions, runDevice<makeSweepOrCalibrate>},
        {"calibrate",
         "--from MV --to MV --step MV [--channels LIST] [--apply] [--points FILE] [--format csv|jsonl]",
         "Sweep several channels one after another; one line per channel with its suggested threshold.",
         R::Instrument, calibrateOptions, runDevice<makeSweepOrCalibrate>},
        {"stats", "FILE [--format csv|jsonl]",
         "Print the statistics of each channel over a recording's rows; no instrument is needed.", R::File,
         statsOptions, runStats},
        {"network", "[--dhcp | --static IP MASK GW]",
         "Print the instrument's network settings, or apply DHCP or a static address.", R::Instrument,
         networkOptions, runDevice<makeNetwork>},
#ifdef TACHYRA_WITH_SERVE
        {"serve", "--metrics [ADDRESS:]PORT (--tcp HOST | --serial PORT) [--instrument NAME]",
         "Keep the link open and serve the counts as Prometheus metrics at /metrics.", R::Instrument, serveOptions,
         runServe},
#endif
    };
    return commands;
}

const CommandEntry *find(const QString &name)
{
    for (const CommandEntry &c : table()) {
        if (name == QLatin1String(c.name))
            return &c;
    }
    return nullptr;
}

int usageError(const QString &message, const QString &command)
{
    output::message(message);
    output::message(command.isEmpty() ? QStringLiteral("see 'tachyra-cli --help'")
                                      : QStringLiteral("see 'tachyra-cli %1 --help'").arg(command));
    return exitcode::kUsage;
}

} // namespace commands
