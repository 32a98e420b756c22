// tachyra-cli: the client's backend for scripts. Results go to stdout, one
// line each; every message goes to stderr.

#include "Commands.h"
#include "DeviceSession.h"
#include "LimitsText.h"
#include "Output.h"

#include "Version.h"

#include <QCommandLineParser>
#include <QCoreApplication>

#include <csignal>

namespace {

const char kLinkHelp[] =
    "The instrument is reached with --tcp HOST or --serial PORT; with neither,\n"
    "through the serial port the client would pick (see 'tachyra-cli ports').";
const char kExitHelp[] =
    "Exit status: 0 done, 1 the instrument or the link failed (the client's\n"
    "message on stderr), 2 usage error, 130 stopped by Ctrl-C (or SIGTERM,\n"
    "SIGHUP, SIGQUIT) before the command was done.";

QByteArray generalHelp()
{
    QByteArray text = "Usage: tachyra-cli COMMAND [options]\n\n"
                      "Scripted measurements with the Tachyra counter, through the same session as the client.\n\n"
                      "Commands:\n";
    for (const CommandEntry &c : commands::table())
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

// --tcp HOST or --serial PORT, checked as the client's connect checks them.
bool chooseLink(const QCommandLineParser &parser, const QString &name, LinkTarget *link, QString *linkArgument,
                int *exitCode)
{
    const bool tcp = parser.isSet(QStringLiteral("tcp"));
    const bool serial = parser.isSet(QStringLiteral("serial"));
    if (tcp && serial) {
        *exitCode = commands::usageError(QStringLiteral("--tcp and --serial exclude each other"), name);
        return false;
    }
    if (!tcp && !serial)
        return true;
    DeviceError why = DeviceError::None;
    const auto chosen = tcp ? LinkTarget::tcp(parser.value(QStringLiteral("tcp")), &why)
                            : LinkTarget::serial(arguments::value(parser, QStringLiteral("serial")), &why);
    if (!chosen) {
        *exitCode = commands::usageError(deviceErrorText(why), name);
        return false;
    }
    *link = *chosen;
    *linkArgument = tcp ? QStringLiteral("--tcp ") + chosen->target
                        : QStringLiteral("--serial ") + arguments::shellQuoted(chosen->target);
    return true;
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
        return commands::usageError(QStringLiteral("no command given"));
    const CommandEntry *entry = commands::find(name);
    if (!entry)
        return commands::usageError(QStringLiteral("unknown command '%1'").arg(name));

    QCommandLineParser parser;
    const QCommandLineOption help({QStringLiteral("h"), QStringLiteral("help")}, QStringLiteral("Show this help."));
    parser.addOption(help);
    const bool device = entry->reach == CommandEntry::Reach::Instrument;
    if (device) {
        arguments::addOption(parser, "tcp", "Reach the instrument over TCP at HOST, port 1234.", "host");
        arguments::addOption(parser, "serial", "Reach the instrument over the serial port PORT (ttyACM0, /dev/pts/3, ...).",
                             "port");
    }
    const QString details = limits::filled(entry->options(parser));
    parser.setApplicationDescription(wrapped(QLatin1String(entry->summary) + "\n\n" + details
                                             + (device ? "\n\n" + QLatin1String(kLinkHelp) : QString())
                                             + "\n\n" + QLatin1String(kExitHelp)));
    if (!parser.parse(QStringList{args.constFirst()} + arguments::setAsideNegatives(args.mid(2))))
        return commands::usageError(parser.errorText(), name);
    if (parser.isSet(help)) {
        QString text = parser.helpText();
        // Qt names the options before the command; the command comes first here.
        text.replace(0, text.indexOf(QLatin1Char('\n')),
                     QStringLiteral("Usage: tachyra-cli %1 %2").arg(name, QLatin1String(entry->syntax)).trimmed());
        output::line(text.toUtf8());
        return exitcode::kOk;
    }

    QStringList positional = parser.positionalArguments();
    for (QString &a : positional)
        a = arguments::restored(a);
    Invocation call{name, parser, positional, {}, {}, nullptr};
    if (entry->reach == CommandEntry::Reach::File)
        return entry->run(call);
    if (!device && !positional.isEmpty())
        return commands::usageError(QStringLiteral("%1 takes no arguments").arg(name), name);
    int exitCode = exitcode::kOk;
    if (device && !chooseLink(parser, name, &call.link, &call.linkArgument, &exitCode))
        return exitCode;

    DeviceSession session;
    call.session = &session;
    return entry->run(call);
}
