// tachyra-cli: the client's backend for scripts. Results go to stdout, one
// line each; every message goes to stderr.

#include "CalibrateCommand.h"
#include "CountsCommand.h"
#include "DeviceSession.h"
#include "FileStats.h"
#include "Limits.h"
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

#include "Version.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QRegularExpression>

#include <cmath>
#include <csignal>
#include <limits>
#include <memory>
#include <optional>

namespace {

constexpr int kMaxPeriodMs = limits::kMaxPeriodMs;
constexpr double kMaxMv = limits::kMaxLevelMv;
constexpr qint64 kMaxDurationS = 2000000; // what one timer can wait

struct CommandInfo {
    const char *name;
    const char *syntax;
    const char *summary;
};

const CommandInfo kCommands[] = {
    {"ports", "", "List the serial ports, one per line: name, 'instrument' or '-', description."},
    {"scan", "", "Scan the attached IPv4 subnets for instruments; hosts one per line."},
    {"counts", "[--period MS] [--count N | --duration S] [--stats] [--format csv|jsonl]",
     "Write one line per count reading, the columns of the client's recording."},
    {"period", "[MS]", "Print the gate period in ms, or set it."},
    {"threshold", "[CH|all] [MV]",
     "Print comparator levels in mV, or set one channel or all (stored in the EEPROM)."},
    {"sweep", "--channel C --from MV --to MV --step MV [--format csv|jsonl]",
     "Run the calibration sweep of one channel, one line per point; the levels are put back."},
    {"calibrate", "--from MV --to MV --step MV [--channels LIST] [--apply] [--points FILE] [--format csv|jsonl]",
     "Sweep several channels one after another; one line per channel with its suggested threshold."},
    {"stats", "FILE [--format csv|jsonl]",
     "Print the statistics of each channel over a recording's rows; no instrument is needed."},
    {"network", "[--dhcp | --static IP MASK GW]",
     "Print the instrument's network settings, or apply DHCP or a static address."},
#ifdef TACHYRA_WITH_SERVE
    {"serve", "--metrics [ADDRESS:]PORT (--tcp HOST | --serial PORT) [--instrument NAME]",
     "Keep the link open and serve the counts as Prometheus metrics at /metrics."},
#endif
};

const char kLinkHelp[] =
    "The instrument is reached with --tcp HOST or --serial PORT; with neither,\n"
    "through the serial port the client would pick (see 'tachyra-cli ports').";
const char kExitHelp[] =
    "Exit status: 0 done, 1 the instrument or the link failed (the client's\n"
    "message on stderr), 2 usage error, 130 stopped by Ctrl-C (or SIGTERM,\n"
    "SIGHUP, SIGQUIT) before the command was done.";

const CommandInfo *findCommand(const QString &name)
{
    for (const CommandInfo &c : kCommands) {
        if (name == QLatin1String(c.name))
            return &c;
    }
    return nullptr;
}

int usageError(const QString &message, const QString &command = {})
{
    output::message(message);
    output::message(command.isEmpty() ? QStringLiteral("see 'tachyra-cli --help'")
                                      : QStringLiteral("see 'tachyra-cli %1 --help'").arg(command));
    return exitcode::kUsage;
}

QByteArray generalHelp()
{
    QByteArray text = "Usage: tachyra-cli COMMAND [options]\n\n"
                      "Scripted measurements with the Tachyra counter, through the same session as the client.\n\n"
                      "Commands:\n";
    for (const CommandInfo &c : kCommands)
        text += "  " + QByteArray(c.name).leftJustified(11) + c.summary + '\n';
    text += "\nOptions:\n"
            "  -h, --help  Show this help.\n"
            "  --version   Show the version.\n";
    text += QByteArray("\n") + kLinkHelp + "\n\n" + kExitHelp
        + "\n\n'tachyra-cli COMMAND --help' describes a command.\n";
    return text;
}

// Help text broken into lines of at most 78 characters; blank lines stay.
QString wrapped(const QString &text)
{
    QStringList lines;
    for (const QString &paragraph : text.split(QStringLiteral("\n\n"))) {
        QString line;
        for (const QString &word : paragraph.simplified().split(QLatin1Char(' '), Qt::SkipEmptyParts)) {
            if (!line.isEmpty() && line.size() + 1 + word.size() > 78) {
                lines.append(line);
                line.clear();
            }
            line += (line.isEmpty() ? QString() : QStringLiteral(" ")) + word;
        }
        lines.append(line);
        lines.append(QString());
    }
    lines.removeLast();
    return lines.join(QLatin1Char('\n'));
}

// What each command adds to the parser, with its long description.
QString describe(const QString &name, QCommandLineParser &p)
{
    const auto option = [&p](const char *n, const char *help, const char *value = nullptr) {
        p.addOption(value ? QCommandLineOption(QLatin1String(n), QLatin1String(help), QLatin1String(value))
                          : QCommandLineOption(QLatin1String(n), QLatin1String(help)));
    };
    const auto format = [&option] {
        option("format", "Output format: csv (with a header line, the default) or jsonl (one JSON object per "
                         "line).", "csv|jsonl");
    };
    if (name == QLatin1String("stats")) {
        p.addPositionalArgument(QStringLiteral("FILE"), QStringLiteral("A recording: the client's, counts' or an export's CSV."));
        format();
        return QStringLiteral("Columns: channel, count, not_finite, mean, stddev, min, max, rate_per_s, as counts "
                              "--stats writes them: the figures of the client's statistics strip for the same rows. "
                              "rate_per_s is the mean of each count over its row's period_ms, over the finite rates "
                              "only: a row without a positive period_ms, or whose rate is beyond the largest "
                              "double, is left out of it (nan when none is left). "
                              "Lines the file cannot give a reading for are named on stderr with their line "
                              "numbers and left out; a row whose elapsed_s is unusable is named and kept, as the "
                              "figures do not use it. A file that is not a recording ends with status 1.");
    }
    if (name == QLatin1String("ports") || name == QLatin1String("scan"))
        return name == QLatin1String("scan")
            ? QStringLiteral("Probes port 1234 on every address of the attached IPv4 subnets, as the client's TCP "
                             "mode does. Progress on stderr when it is a terminal.")
            : QStringLiteral("Ports named in TACHYRA_EXTRA_PORTS (paths separated by ':') come first.");

    option("tcp", "Reach the instrument over TCP at HOST, port 1234.", "host");
    option("serial", "Reach the instrument over the serial port PORT (ttyACM0, /dev/pts/3, ...).", "port");
    if (name == QLatin1String("counts")) {
        option("period", "Set the gate period to MS (1 to 60000) first.", "ms");
        option("count", "Stop after N readings.", "n");
        option("duration", "Stop after S seconds (readings asked for by then are still written).", "s");
        option("stats", "Write no readings; at the end of the run (however it ends) write the statistics of "
                        "each channel over them instead, one line per channel.");
        format();
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
    if (name == QLatin1String("period")) {
        p.addPositionalArgument(QStringLiteral("MS"), QStringLiteral("New gate period, 1 to 60000 ms."), QStringLiteral("[MS]"));
        return QStringLiteral("Without MS prints the period the instrument reports. With MS sets it and reads it "
                              "back; a period the instrument keeps otherwise is named on stderr.");
    }
    if (name == QLatin1String("threshold")) {
        p.addPositionalArgument(QStringLiteral("CH"), QStringLiteral("Channel 0 to 7, or all (the default)."), QStringLiteral("[CH|all]"));
        p.addPositionalArgument(QStringLiteral("MV"), QStringLiteral("New level, 0 to 1000 mV."), QStringLiteral("[MV]"));
        return QStringLiteral("Without MV prints the level of CH, or of all channels one per line in channel "
                              "order. With MV sets it and waits until the instrument has stored it in its EEPROM.");
    }
    if (name == QLatin1String("sweep")) {
        option("channel", "Channel to sweep, 0 to 7.", "c");
        option("from", "First level, 0 to 1000 mV.", "mv");
        option("to", "Last level, 0 to 1000 mV.", "mv");
        option("step", "Step in mV (its sign is ignored: the sweep runs from --from to --to).", "mv");
        format();
        return QStringLiteral("Silences the other channels, steps the channel's level, reads the counts one gate "
                              "period after each step. Columns: channel, threshold_mv, count, time_utc. At the end, "
                              "on Ctrl-C and on a closed pipe, the levels from before the sweep are put back; when "
                              "the link is lost, the commands that put them back are printed. Progress on stderr "
                              "when it is a terminal.");
    }
    if (name == QLatin1String("calibrate")) {
        option("channels", "Channels to sweep, in this order: a comma-separated list of 0 to 7 (default: all "
                           "eight).", "list");
        option("from", "First level, 0 to 1000 mV.", "mv");
        option("to", "Last level, 0 to 1000 mV.", "mv");
        option("step", "Step in mV (its sign is ignored: each sweep runs from --from to --to).", "mv");
        option("apply", "Once the levels are back, set each suggested level (channels without one keep theirs).");
        option("points", "Also write every sweep point to FILE (columns of sweep, in --format).", "file");
        format();
        return QStringLiteral("Sweeps each channel as sweep does (the others muted), the levels saved once before "
                              "and put back once at the end, on Ctrl-C and on a closed pipe; when the link is lost, "
                              "the commands that put them back are printed. Then one line per channel: channel, "
                              "suggested_mv (empty, or null in jsonl, when there is none), valley_low_mv, "
                              "valley_high_mv (the band where the spectrum stays near its minimum), uncertainty_mv, "
                              "quality (the valley's depth in standard errors), reason (a fixed key) and "
                              "reason_text. Progress on stderr when it is a terminal.");
    }
#ifdef TACHYRA_WITH_SERVE
    if (name == QLatin1String("serve")) {
        option("metrics", "Serve http://ADDRESS:PORT/metrics: PORT alone listens on 127.0.0.1; 0.0.0.0:PORT on "
                          "every IPv4 address; [::1]:PORT for IPv6 where the HTTP server (civetweb) was built "
                          "with it.", "[address:]port");
        option("instrument", "The value of the 'instrument' label on every series (default: the host or port).",
               "name");
        return QStringLiteral("Runs until Ctrl-C or SIGTERM (exit 0). Opens the link again by itself, with a "
                              "back-off of 1 s doubling up to 30 s, when it ends, goes silent or cannot be opened; "
                              "tachyra_link_up says whether it is open. Nothing over HTTP reaches the instrument: "
                              "GET /metrics is the only request served. A malformed --metrics is a usage error; an "
                              "address it cannot listen on ends it with exit 1.");
    }
#endif
    option("dhcp", "Switch the instrument to DHCP.");
    option("static", "Give the instrument the static address IP, netmask MASK and gateway GW.");
    p.addPositionalArgument(QStringLiteral("IP MASK GW"), QStringLiteral("With --static."), QStringLiteral("[IP MASK GW]"));
    return QStringLiteral("Without an option prints mode=, ip=, netmask= and gateway= lines. With one, applies the "
                          "change and stores it in the instrument's EEPROM; the instrument may then answer on its "
                          "new address only.");
}

// Negative numbers look like options to the parser: they are set aside
// before parsing and put back where an argument or an option's value is read.
QStringList s_negatives;

QStringList setAsideNegatives(const QStringList &args)
{
    static const QRegularExpression number(QStringLiteral("^-(\\d|\\.\\d)"));
    QStringList out;
    for (const QString &a : args) {
        if (number.match(a).hasMatch()) {
            out.append(QStringLiteral("\u0001%1").arg(s_negatives.size()));
            s_negatives.append(a);
        } else {
            out.append(a);
        }
    }
    return out;
}

QString restored(const QString &arg)
{
    if (arg.startsWith(QChar(1))) {
        bool ok = false;
        const int i = arg.mid(1).toInt(&ok);
        if (ok && i >= 0 && i < s_negatives.size())
            return s_negatives.at(i);
    }
    return arg;
}

std::optional<qint64> wholeNumber(const QString &text, qint64 min, qint64 max)
{
    bool ok = false;
    const qint64 v = restored(text).trimmed().toLongLong(&ok, 10);
    if (!ok || v < min || v > max)
        return std::nullopt;
    return v;
}

std::optional<double> millivolts(const QString &text)
{
    bool ok = false;
    const double v = restored(text).trimmed().toDouble(&ok);
    if (!ok || !std::isfinite(v) || v < 0.0 || v > kMaxMv)
        return std::nullopt;
    return v + 0.0; // -0 is 0 V, not a negative zero on the wire
}

// An argument as a POSIX shell reads it back.
QString shellQuoted(const QString &arg)
{
    static const QRegularExpression plain(QStringLiteral("^[A-Za-z0-9_./:=@%+,-]+$"));
    if (plain.match(arg).hasMatch())
        return arg;
    return QLatin1Char('\'') + QString(arg).replace(QLatin1String("'"), QLatin1String("'\\''")) + QLatin1Char('\'');
}

std::optional<RowFormat> rowFormat(const QCommandLineParser &p)
{
    const QString f = p.value(QStringLiteral("format"));
    if (f.isEmpty() || f == QLatin1String("csv"))
        return RowFormat::Csv;
    if (f == QLatin1String("jsonl"))
        return RowFormat::JsonLines;
    return std::nullopt;
}

int listPorts(const DeviceSession &session)
{
    QByteArray text;
    for (const QVariant &v : session.ports()) {
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

// The device command the arguments ask for, or a usage error in `error`.
std::unique_ptr<DeviceCommand> makeCommand(const QString &name, const QCommandLineParser &p,
                                           DeviceSession &session, const QString &linkArgument, QString *error)
{
    QStringList args = p.positionalArguments();
    for (QString &a : args)
        a = restored(a);
    const auto refuse = [error](const QString &why) {
        *error = why;
        return nullptr;
    };
    if (name == QLatin1String("counts")) {
        CountsCommand::Options o;
        if (!args.isEmpty())
            return refuse(QStringLiteral("counts takes no arguments"));
        if (p.isSet(QStringLiteral("period"))) {
            const auto ms = wholeNumber(p.value(QStringLiteral("period")), 1, kMaxPeriodMs);
            if (!ms)
                return refuse(QStringLiteral("--period wants a whole number of ms from 1 to 60000"));
            o.periodMs = int(*ms);
        }
        if (p.isSet(QStringLiteral("count")) && p.isSet(QStringLiteral("duration")))
            return refuse(QStringLiteral("--count and --duration exclude each other"));
        if (p.isSet(QStringLiteral("count"))) {
            const auto n = wholeNumber(p.value(QStringLiteral("count")), 1, std::numeric_limits<qint64>::max());
            if (!n)
                return refuse(QStringLiteral("--count wants a whole number of readings, at least 1"));
            o.count = *n;
        }
        if (p.isSet(QStringLiteral("duration"))) {
            bool ok = false;
            const double s = restored(p.value(QStringLiteral("duration"))).trimmed().toDouble(&ok);
            if (!ok || !(s >= 0.001 && s <= double(kMaxDurationS)))
                return refuse(QStringLiteral("--duration wants seconds from 0.001 to %1").arg(kMaxDurationS));
            o.durationMs = qRound64(s * 1000.0);
        }
        const auto f = rowFormat(p);
        if (!f)
            return refuse(QStringLiteral("--format wants csv or jsonl"));
        o.format = *f;
        o.stats = p.isSet(QStringLiteral("stats"));
        return std::make_unique<CountsCommand>(session, o);
    }
    if (name == QLatin1String("period")) {
        if (args.size() > 1)
            return refuse(QStringLiteral("period takes at most one argument"));
        int ms = 0;
        if (!args.isEmpty()) {
            const auto v = wholeNumber(args.constFirst(), 1, kMaxPeriodMs);
            if (!v)
                return refuse(QStringLiteral("the period wants a whole number of ms from 1 to 60000"));
            ms = int(*v);
        }
        return std::make_unique<PeriodCommand>(session, ms);
    }
    if (name == QLatin1String("threshold")) {
        if (args.size() > 2)
            return refuse(QStringLiteral("threshold takes at most two arguments"));
        int channel = ThresholdCommand::kAll;
        if (!args.isEmpty() && args.constFirst() != QLatin1String("all")) {
            const auto ch = wholeNumber(args.constFirst(), 0, DeviceSession::kChannelCount - 1);
            if (!ch)
                return refuse(QStringLiteral("the channel wants 0 to 7 or all"));
            channel = int(*ch);
        }
        double mv = -1.0;
        if (args.size() == 2) {
            const auto v = millivolts(args.at(1));
            if (!v)
                return refuse(QStringLiteral("the level wants a number of mV from 0 to 1000"));
            mv = *v;
        }
        return std::make_unique<ThresholdCommand>(session, channel, mv);
    }
    if (name == QLatin1String("sweep") || name == QLatin1String("calibrate")) {
        if (!args.isEmpty())
            return refuse(name + QStringLiteral(" takes no arguments"));
        SweepCommand::Options o;
        const auto need = [&p](const char *opt, qint64 min, qint64 max) -> std::optional<qint64> {
            if (!p.isSet(QLatin1String(opt)))
                return std::nullopt;
            return wholeNumber(p.value(QLatin1String(opt)), min, max);
        };
        const bool calibrate = name == QLatin1String("calibrate");
        const auto ch = calibrate ? std::optional<qint64>(0) : need("channel", 0, DeviceSession::kChannelCount - 1);
        const auto from = need("from", 0, qint64(kMaxMv));
        const auto to = need("to", 0, qint64(kMaxMv));
        const auto step = need("step", -qint64(kMaxMv), qint64(kMaxMv));
        if (!ch)
            return refuse(QStringLiteral("--channel wants 0 to 7"));
        if (!from || !to)
            return refuse(QStringLiteral("--from and --to want whole mV from 0 to 1000"));
        if (!step || *step == 0)
            return refuse(QStringLiteral("--step wants whole mV, not 0, at most 1000"));
        const auto f = rowFormat(p);
        if (!f)
            return refuse(QStringLiteral("--format wants csv or jsonl"));
        if (calibrate) {
            CalibrateCommand::Options c;
            if (p.isSet(QStringLiteral("channels"))) {
                c.channels.clear();
                for (const QString &item : p.value(QStringLiteral("channels")).split(QLatin1Char(','))) {
                    const auto n = wholeNumber(item, 0, DeviceSession::kChannelCount - 1);
                    if (!n || c.channels.contains(int(*n)))
                        return refuse(QStringLiteral("--channels wants distinct channels 0 to 7, comma-separated"));
                    c.channels.append(int(*n));
                }
            }
            c.fromMv = int(*from);
            c.toMv = int(*to);
            c.stepMv = int(*step);
            c.apply = p.isSet(QStringLiteral("apply"));
            c.pointsPath = p.value(QStringLiteral("points"));
            c.format = *f;
            c.linkArgument = linkArgument;
            return std::make_unique<CalibrateCommand>(session, c);
        }
        o.channel = int(*ch);
        o.fromMv = int(*from);
        o.toMv = int(*to);
        o.stepMv = int(*step);
        o.format = *f;
        o.linkArgument = linkArgument;
        return std::make_unique<SweepCommand>(session, o);
    }
    // network
    NetworkCommand::Change c;
    const bool dhcp = p.isSet(QStringLiteral("dhcp"));
    const bool fixed = p.isSet(QStringLiteral("static"));
    if (dhcp && fixed)
        return refuse(QStringLiteral("--dhcp and --static exclude each other"));
    if (args.size() != (fixed ? 3 : 0))
        return refuse(fixed ? QStringLiteral("--static wants IP MASK GW")
                            : QStringLiteral("network takes arguments only with --static"));
    c.apply = dhcp || fixed;
    c.dhcp = dhcp;
    if (fixed) {
        // The client's own checks and messages, before anything is sent.
        const QString zero = QStringLiteral("0.0.0.0");
        if (!DeviceSession::parseIpv4(args.at(0), &c.ip) || c.ip == zero)
            return refuse(deviceErrorText(DeviceError::InvalidIpAddress));
        if (!DeviceSession::parseIpv4(args.at(1), &c.netmask) || c.netmask == zero)
            return refuse(deviceErrorText(DeviceError::InvalidNetmask));
        if (!DeviceSession::parseIpv4(args.at(2), &c.gateway))
            return refuse(deviceErrorText(DeviceError::InvalidGateway));
    }
    return std::make_unique<NetworkCommand>(session, c);
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("tachyra-cli"));
    QCoreApplication::setApplicationVersion(QString::fromLatin1(tachyra::kVersion));
    // A closed pipe shows up as EPIPE on the next line, and the run stops cleanly.
    std::signal(SIGPIPE, SIG_IGN);

    const QStringList args = QCoreApplication::arguments();
    const QString name = args.value(1);
    if (name == QLatin1String("-h") || name == QLatin1String("--help") || name == QLatin1String("help")) {
        output::line(generalHelp());
        return exitcode::kOk;
    }
    if (name == QLatin1String("--version")) {
        output::line(QByteArray("tachyra-cli ") + tachyra::kVersion + '\n');
        return exitcode::kOk;
    }
    if (name.isEmpty())
        return usageError(QStringLiteral("no command given"));
    const CommandInfo *info = findCommand(name);
    if (!info)
        return usageError(QStringLiteral("unknown command '%1'").arg(name));

    QCommandLineParser parser;
    const QCommandLineOption help({QStringLiteral("h"), QStringLiteral("help")}, QStringLiteral("Show this help."));
    parser.addOption(help);
    const QString details = describe(name, parser);
    const bool device = name != QLatin1String("ports") && name != QLatin1String("scan") && name != QLatin1String("stats");
    parser.setApplicationDescription(wrapped(QLatin1String(info->summary) + "\n\n" + details
                                             + (device ? "\n\n" + QLatin1String(kLinkHelp) : QString())
                                             + "\n\n" + QLatin1String(kExitHelp)));
    if (!parser.parse(QStringList{args.constFirst()} + setAsideNegatives(args.mid(2))))
        return usageError(parser.errorText(), name);
    if (parser.isSet(help)) {
        QString text = parser.helpText();
        // Qt names the options before the command; the command comes first here.
        text.replace(0, text.indexOf(QLatin1Char('\n')),
                     QStringLiteral("Usage: tachyra-cli %1 %2").arg(name, QLatin1String(info->syntax)).trimmed());
        output::line(text.toUtf8());
        return exitcode::kOk;
    }
    if (name == QLatin1String("stats")) {
        const QStringList files = parser.positionalArguments();
        if (files.size() != 1)
            return usageError(QStringLiteral("stats wants one FILE"), name);
        const auto f = rowFormat(parser);
        if (!f)
            return usageError(QStringLiteral("--format wants csv or jsonl"), name);
        return printFileStats(restored(files.constFirst()), *f);
    }
    if (!device && !parser.positionalArguments().isEmpty())
        return usageError(QStringLiteral("%1 takes no arguments").arg(name), name);

    LinkChoice link;
    QString linkArgument;
    if (device) {
        const bool tcp = parser.isSet(QStringLiteral("tcp"));
        const bool serial = parser.isSet(QStringLiteral("serial"));
        if (tcp && serial)
            return usageError(QStringLiteral("--tcp and --serial exclude each other"), name);
        if (tcp) {
            QString host;
            // The check the client's TCP connect makes, with its message.
            if (!DeviceSession::parseIpv4(parser.value(QStringLiteral("tcp")), &host) || host == QLatin1String("0.0.0.0"))
                return usageError(deviceErrorText(DeviceError::InvalidIpAddress), name);
            link = {LinkChoice::Kind::Tcp, host};
            linkArgument = QStringLiteral("--tcp ") + host;
        } else if (serial) {
            const QString port = restored(parser.value(QStringLiteral("serial"))).trimmed();
            if (port.isEmpty())
                return usageError(deviceErrorText(DeviceError::NoPortSelected), name);
            link = {LinkChoice::Kind::Serial, port};
            linkArgument = QStringLiteral("--serial ") + shellQuoted(port);
        }
    }

    DeviceSession session;
    if (name == QLatin1String("ports"))
        return listPorts(session);

    SignalPipe interrupts;
    if (!interrupts.ok())
        output::message(QStringLiteral("cannot watch for Ctrl-C; it will end the program at once"));
    if (name == QLatin1String("scan")) {
        ScanCommand scan(session);
        QObject::connect(&scan, &ScanCommand::finished, &app, &QCoreApplication::exit);
        QObject::connect(&interrupts, &SignalPipe::received, &scan, &ScanCommand::interrupt);
        scan.start();
        return QCoreApplication::exec();
    }

#ifdef TACHYRA_WITH_SERVE
    if (name == QLatin1String("serve")) {
        // The series must stay tied to one instrument: the client's own
        // pick of a port may change at the next plug-in.
        if (link.kind == LinkChoice::Kind::ClientsPort)
            return usageError(QStringLiteral("serve wants --tcp HOST or --serial PORT"), name);
        if (!parser.positionalArguments().isEmpty())
            return usageError(QStringLiteral("serve takes no arguments"), name);
        if (!parser.isSet(QStringLiteral("metrics")))
            return usageError(QStringLiteral("serve wants --metrics [ADDRESS:]PORT"), name);
        QString why;
        const auto listen = MetricsEndpoint::parseAddress(parser.value(QStringLiteral("metrics")), &why);
        if (!listen)
            return usageError(QStringLiteral("--metrics: ") + why, name);
        ServeCommand::Options o;
        o.listen = *listen;
        o.instrument = link.target;
        if (parser.isSet(QStringLiteral("instrument"))) {
            o.instrument = restored(parser.value(QStringLiteral("instrument"))).trimmed();
            static const QRegularExpression control(QStringLiteral("[\\x00-\\x1f\\x7f]"));
            if (o.instrument.isEmpty() || o.instrument.size() > 200 || o.instrument.contains(control))
                return usageError(QStringLiteral("--instrument wants a name of 1 to 200 printable characters"), name);
        }
        ServeCommand serve(session, o);
        QObject::connect(&serve, &ServeCommand::message, &serve, &output::message);
        QObject::connect(&serve, &ServeCommand::finished, &app, &QCoreApplication::exit);
        QObject::connect(&interrupts, &SignalPipe::received, &serve, &ServeCommand::interrupt);
        serve.start(link);
        return QCoreApplication::exec();
    }
#endif

    QString error;
    const std::unique_ptr<DeviceCommand> command = makeCommand(name, parser, session, linkArgument, &error);
    if (!command)
        return usageError(error, name);
    QObject::connect(command.get(), &DeviceCommand::finished, &app, &QCoreApplication::exit);
    QObject::connect(&interrupts, &SignalPipe::received, command.get(), &DeviceCommand::interrupt);
    command->start(link);
    return QCoreApplication::exec();
}
