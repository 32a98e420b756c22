#pragma once

// What every command of the tool is made from: the parsed command line,
// its arguments with negative numbers put back, and the instrument's link.

#include "DeviceCommand.h"
#include "LinkTarget.h"

#include <QCommandLineParser>
#include <QString>
#include <QStringList>

#include <optional>

class DeviceSession;

struct Invocation {
    QString name;
    const QCommandLineParser &parser;
    QStringList args;     // positional, negatives put back
    LinkTarget link;      // for a command that reaches the instrument
    QString linkArgument; // "--tcp HOST" or "--serial PORT", shell-quoted, for messages
    DeviceSession *session = nullptr; // none for a command that needs no instrument
};

namespace arguments {

// Negative numbers look like options to the parser: they are set aside
// before parsing and put back where an argument or an option's value is read.
QStringList setAsideNegatives(const QStringList &args);
QString restored(const QString &arg);
QString value(const QCommandLineParser &p, const QString &option);

std::optional<qint64> wholeNumber(const QString &text, qint64 min, qint64 max);
// A level from 0 to the table's highest, never a negative zero.
std::optional<double> millivolts(const QString &text);
std::optional<RowFormat> rowFormat(const QCommandLineParser &p);
// An argument as a POSIX shell reads it back.
QString shellQuoted(const QString &arg);

// The option, its help with the ranges filled in from the table of limits.
void addOption(QCommandLineParser &p, const char *name, const char *help, const char *value = nullptr);
void addFormatOption(QCommandLineParser &p);

} // namespace arguments
