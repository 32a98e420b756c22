#include "CountRecorder.h"

#include "DeviceSession.h"
#include "ReadingRow.h"

#include <QDir>

#include <cerrno>

#if defined(Q_OS_UNIX)
#include <sys/stat.h>
#include <unistd.h>
#elif defined(Q_OS_WIN)
#include <io.h>
#endif

CountRecorder::CountRecorder(DeviceSession *session, QObject *parent)
    : QObject(parent), m_session(session)
{
    if (!m_session)
        return;
    connect(m_session, &DeviceSession::readingTaken, this, &CountRecorder::addReading);
    connect(m_session, &DeviceSession::connectedChanged, this, [this] {
        if (!m_session->connected() && recording())
            finish(tr("Recording ended with the link: %1 (%2 rows)").arg(m_path).arg(m_rows), false);
    });
}

CountRecorder::~CountRecorder()
{
    // Every row is already on disk; closing only lets go of the file.
    m_file.close();
}

bool CountRecorder::start(const QUrl &file)
{
    if (recording())
        stop();
    const QString path = QDir::toNativeSeparators(file.isLocalFile() ? file.toLocalFile() : file.toString());
    setPath(path);
    if (m_rows != 0) {
        m_rows = 0;
        emit rowCountChanged();
    }
    m_goodSize = 0;
    m_file.setFileName(path);
    // Unbuffered: each row goes to the system in one write, nothing waits in
    // a buffer of ours.
    if (!m_file.open(QIODevice::WriteOnly | QIODevice::Truncate | QIODevice::Unbuffered)) {
        setMessage(tr("Cannot record to %1: %2").arg(path, m_file.errorString()), true);
        return false;
    }
    QString reason;
    if (!appendLine(readingrow::csvHeader(), &reason)) {
        m_file.close();
        setMessage(tr("Cannot record to %1: %2").arg(path, reason), true);
        return false;
    }
    m_startNs = Reading::steadyNowNs();
    m_startedAt = QDateTime::currentDateTimeUtc();
    emit startedAtChanged();
    setMessage(QString(), false);
    emit recordingChanged();
    return true;
}

void CountRecorder::stop()
{
    if (recording())
        finish(tr("Recording saved: %1 (%2 rows)").arg(m_path).arg(m_rows), false);
}

void CountRecorder::addReading(const Reading &reading)
{
    if (!recording())
        return;
    if (!fileStillThere()) {
        finish(tr("Recording stopped: %1 was removed or its disk is gone").arg(m_path), true);
        return;
    }
    QString reason;
    if (!appendLine(readingrow::csvRow(reading, readingrow::elapsedSeconds(reading, m_startNs)), &reason)) {
        finish(tr("Recording stopped: %1: %2").arg(m_path, reason), true);
        return;
    }
    ++m_rows;
    emit rowCountChanged();
}

bool CountRecorder::appendLine(const QByteArray &line, QString *reason)
{
    qint64 done = 0;
    while (done < line.size()) {
        const qint64 n = m_file.write(line.constData() + done, line.size() - done);
        if (n <= 0)
            break;
        done += n;
    }
    if (done == line.size() && syncToDisk(reason)) {
        m_goodSize += done;
        return true;
    }
    if (done != line.size())
        *reason = m_file.errorString();
    // Never a half row: back to the end of the last complete one.
    m_file.resize(m_goodSize);
    return false;
}

bool CountRecorder::syncToDisk(QString *reason)
{
#if defined(Q_OS_LINUX)
    const int rc = ::fdatasync(m_file.handle());
#elif defined(Q_OS_UNIX)
    const int rc = ::fsync(m_file.handle());
#elif defined(Q_OS_WIN)
    const int rc = ::_commit(m_file.handle());
#else
    const int rc = 0;
#endif
    // Character devices (a terminal, /dev/null) cannot be synced and need not be.
    if (rc == 0 || errno == EINVAL || errno == EROFS)
        return true;
    *reason = qt_error_string(errno);
    return false;
}

bool CountRecorder::fileStillThere() const
{
#if defined(Q_OS_UNIX)
    struct stat open = {};
    struct stat named = {};
    if (::fstat(m_file.handle(), &open) != 0 || ::stat(QFile::encodeName(m_path).constData(), &named) != 0)
        return false;
    if (!S_ISREG(open.st_mode))
        return true;
    return open.st_nlink > 0 && open.st_dev == named.st_dev && open.st_ino == named.st_ino;
#else
    return QFile::exists(m_path);
#endif
}

void CountRecorder::finish(const QString &message, bool failed)
{
    m_file.close();
    setMessage(message, failed);
    emit recordingChanged();
}

void CountRecorder::setMessage(const QString &text, bool failed)
{
    // Both stored before either signal, so a reader of one sees the other.
    const bool textChanged = text != m_message;
    const bool flagChanged = failed != m_failed;
    m_message = text;
    m_failed = failed;
    if (flagChanged)
        emit failedChanged();
    if (textChanged)
        emit messageChanged();
}

void CountRecorder::setPath(const QString &path)
{
    if (path == m_path)
        return;
    m_path = path;
    emit filePathChanged();
}
