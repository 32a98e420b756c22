#pragma once

#include "Reading.h"

#include <QDateTime>
#include <QFile>
#include <QList>
#include <QObject>
#include <QString>
#include <QUrl>

class DeviceSession;

// Writes every valid count reading of the session's current link to a CSV
// file the operator chose, one complete row per reading, each on disk before
// the next is due. Takes the session's readings as they are, so it records
// whichever view is shown. A failure stops the recording and is reported in `message`; the
// rows already written stay a valid file. The link closing ends it too.
class CountRecorder : public QObject
{
    Q_OBJECT
    Q_PROPERTY(bool recording READ recording NOTIFY recordingChanged)
    Q_PROPERTY(QString filePath READ filePath NOTIFY filePathChanged)
    Q_PROPERTY(qint64 rowCount READ rowCount NOTIFY rowCountChanged)
    Q_PROPERTY(QDateTime startedAt READ startedAt NOTIFY startedAtChanged)
    Q_PROPERTY(QString message READ message NOTIFY messageChanged)
    Q_PROPERTY(bool failed READ failed NOTIFY failedChanged)

public:
    explicit CountRecorder(DeviceSession *session, QObject *parent = nullptr);
    ~CountRecorder() override;

    bool recording() const { return m_file.isOpen(); }
    QString filePath() const { return m_path; }
    qint64 rowCount() const { return m_rows; }
    QDateTime startedAt() const { return m_startedAt; }
    // What the last recording came to: where it was saved, or why it stopped.
    QString message() const { return m_message; }
    bool failed() const { return m_failed; }

    // Starts a new recording into `file` (a local file URL or a path),
    // replacing its contents. False, with the reason in `message`, if it
    // cannot be opened and given its header.
    Q_INVOKABLE bool start(const QUrl &file);
    Q_INVOKABLE void stop();

signals:
    void recordingChanged();
    void filePathChanged();
    void rowCountChanged();
    void startedAtChanged();
    void messageChanged();
    void failedChanged();

private:
    void addReading(const Reading &reading);
    // Writes `line` whole and syncs it, or cuts the file back to its last
    // complete line and returns the reason.
    bool appendLine(const QByteArray &line, QString *reason);
    bool syncToDisk(QString *reason);
    // The open file is still the one at the path (not deleted, moved or gone
    // with its device).
    bool fileStillThere() const;
    void finish(const QString &message, bool failed);
    void setMessage(const QString &text, bool failed);
    void setPath(const QString &path);

    DeviceSession *m_session = nullptr;
    QFile m_file;
    QString m_path;
    qint64 m_goodSize = 0; // bytes up to the end of the last complete line
    qint64 m_rows = 0;
    QDateTime m_startedAt;
    qint64 m_startNs = 0; // steady clock at the start: elapsed_s counts from here
    QString m_message;
    bool m_failed = false;
};
