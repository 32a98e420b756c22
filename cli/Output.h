#pragma once

// Where the tool writes: results on stdout, one whole line per write so a
// reader never sees half a row, every message on stderr. Progress appears
// only when stderr is a terminal.

#include <QByteArray>
#include <QString>
#include <QStringList>

namespace output {

enum class Write {
    Ok,
    Closed, // the reader went away (a closed pipe)
    Failed, // any other failure, see lastWriteError()
};

// Writes `line` (newline included) to stdout at once, unbuffered.
Write line(const QByteArray &line);
QString lastWriteError();

// "tachyra-cli: <text>" on stderr, unless it repeats the message just
// written; ends a progress line first.
void message(const QString &text);
// Lines on stderr as they are (commands to copy, say), after a message.
void detail(const QStringList &lines);

bool stderrIsTerminal();
// Rewrites the progress line on a terminal; nothing elsewhere.
void progress(const QString &text);
// Ends the progress line, if one is shown.
void endProgress();

} // namespace output
