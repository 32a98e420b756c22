#pragma once

#include "FileNote.h"

#include <QColor>
#include <QImage>
#include <QList>
#include <QObject>
#include <QPointer>
#include <QQuickItem>
#include <QSharedPointer>
#include <QString>
#include <QThread>
#include <QUrl>
#include <QtQml/qqmlregistration.h>

#include <functional>

class QQuickItemGrabResult;

// Saves what the views export: a table as CSV and a chart as a PNG picture.
// Each file is written whole through a temporary and renamed into place, so
// a failure leaves no half file (and an older file of that name untouched).
// Nothing touches the disk on the GUI thread: the table is written on a
// thread of its own while the picture is taken, and the picture on another
// once it is; the export is busy until both are done. The outcome of the
// last export is in `message`.
class FileExport : public QObject
{
    Q_OBJECT
    QML_ELEMENT
    QML_SINGLETON
    Q_PROPERTY(QString message READ message NOTIFY messageChanged)
    Q_PROPERTY(bool failed READ failed NOTIFY failedChanged)
    Q_PROPERTY(bool busy READ busy NOTIFY busyChanged)

public:
    explicit FileExport(QObject *parent = nullptr);
    ~FileExport() override;

    // What a save to a chosen file writes.
    enum Writes {
        NamedFile,       // that file only (a recording)
        Picture,         // the chart's picture (saveChart without a table)
        TableAndPicture, // the table and the picture (saveChart with one)
    };
    Q_ENUM(Writes)

    QString message() const { return m_note.text(); }
    bool failed() const { return m_note.failed(); }
    bool busy() const { return !m_grab.isNull() || m_tableThread || m_imageThread; }

    // "<stem>-YYYYMMDD-HHMMSS.<suffix>" (local time) in the documents folder,
    // or in the home folder where there is none.
    Q_INVOKABLE QUrl suggestedFile(const QString &stem, const QString &suffix) const;
    Q_INVOKABLE QUrl suggestedFolder() const;

    // The files a save to `file` would replace: of those it writes, the
    // ones that exist already, so the scene can ask before replacing them.
    Q_INVOKABLE QStringList existingTargets(const QUrl &file, Writes writes) const;

    // Saves the table of `table` (a view that is a CsvTable; none: only the
    // picture) as CSV and a picture of `item` on a `background` fill as PNG.
    // The file named keeps its name when it ends in .csv or .png (any case);
    // the other goes beside it with the other ending, and a name with
    // neither ending gets both. The picture is taken at the next frame;
    // `finished` tells how it went.
    // False if nothing could be started (an export already running, no item
    // shown).
    Q_INVOKABLE bool saveChart(const QUrl &file, QObject *table, QQuickItem *item, const QColor &background);

    // A whole-or-nothing write, on any thread.
    static bool writeImage(const QString &path, const QImage &image, const QColor &background,
                           QString *reason);

signals:
    void messageChanged();
    void failedChanged();
    void busyChanged();
    void finished(bool ok);

private:
    void imageReady();
    // Runs `job` on a thread of its own; conclude() once it has finished.
    QThread *offThread(std::function<void()> job);
    void conclude();

    QSharedPointer<QQuickItemGrabResult> m_grab;
    QPointer<QThread> m_tableThread;
    QPointer<QThread> m_imageThread;
    QString m_imagePath;
    QString m_tablePath;
    // The threads' reasons, each read once its thread has finished.
    QString m_tableError;
    QString m_imageError;
    bool m_imageDone = false;
    QColor m_background;
    FileNote m_note;
};
