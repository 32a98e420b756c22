#pragma once

// The tool's one table of commands: each command's name, syntax, summary,
// the options it adds (with its long description) and the factory that
// makes it from the parsed line and runs it.

#include "Arguments.h"

#include <QCommandLineParser>
#include <QString>

struct CommandEntry {
    enum class Reach {
        File,       // no instrument, no session (stats)
        Local,      // the client's session, no link (ports, scan)
        Instrument, // a link to the instrument: --tcp or --serial
    };

    const char *name;
    const char *syntax;
    const char *summary;
    Reach reach;
    // Adds the command's own options and arguments; returns its description.
    QString (*options)(QCommandLineParser &parser);
    // Makes the command and runs it; its exit code (a usage error is
    // reported as one).
    int (*run)(const Invocation &call);
};

namespace commands {

const QList<CommandEntry> &table();
const CommandEntry *find(const QString &name);
// The message and the pointer to the help, with exit status 2.
int usageError(const QString &message, const QString &command = {});

} // namespace commands
