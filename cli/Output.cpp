#include "Output.h"

#include <cerrno>
#include <cstring>

#include <unistd.h>

namespace output {

namespace {

int s_lastErrno = 0;
bool s_progressShown = false;

// Whole buffer or an error; a signal landing mid-write does not cut a line.
bool writeAll(int fd, const char *data, qsizetype size)
{
    while (size > 0) {
        const ssize_t n = ::write(fd, data, size_t(size));
        if (n < 0) {
            if (errno == EINTR)
                continue;
            s_lastErrno = errno;
            return false;
        }
        data += n;
        size -= n;
    }
    return true;
}

void toStderr(const QByteArray &bytes)
{
    writeAll(STDERR_FILENO, bytes.constData(), bytes.size());
}

} // namespace

Write line(const QByteArray &text)
{
    if (writeAll(STDOUT_FILENO, text.constData(), text.size()))
        return Write::Ok;
    return s_lastErrno == EPIPE ? Write::Closed : Write::Failed;
}

QString lastWriteError()
{
    return QString::fromLocal8Bit(std::strerror(s_lastErrno));
}

void message(const QString &text)
{
    // A warning that turns out to end the run is not said twice.
    static QString last;
    if (text == last)
        return;
    last = text;
    endProgress();
    toStderr("tachyra-cli: " + text.toLocal8Bit() + '\n');
}

void detail(const QStringList &lines)
{
    endProgress();
    QByteArray text;
    for (const QString &l : lines)
        text += l.toLocal8Bit() + '\n';
    toStderr(text);
}

bool stderrIsTerminal()
{
    static const bool terminal = ::isatty(STDERR_FILENO) == 1;
    return terminal;
}

void progress(const QString &text)
{
    if (!stderrIsTerminal())
        return;
    // Carriage return, the text, then clear to the end of the line.
    toStderr('\r' + text.toLocal8Bit() + "\x1b[K");
    s_progressShown = true;
}

void endProgress()
{
    if (!s_progressShown)
        return;
    s_progressShown = false;
    toStderr("\n");
}

} // namespace output
