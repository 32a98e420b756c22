#include "FileExport.h"

#include "CsvTable.h"

#include <QDateTime>
#include <QDir>
#include <QFileInfo>
#include <QPainter>
#include <QQuickItem>
#include <QQuickItemGrabResult>
#include <QSaveFile>
#include <QStandardPaths>
#include <QThread>

namespace {

QString localPath(const QUrl &file)
{
    return file.isLocalFile() ? file.toLocalFile() : file.toString();
}

// The files an export to `path` writes: the table under the name given when
// that ends in .csv (any case), the picture when it ends in .png, and the
// other beside it with its own ending; a name with neither ending gets both.
struct ExportPaths {
    QString csv;
    QString png;
};

ExportPaths exportPaths(const QString &path)
{
    const auto endsWith = [&path](const char *suffix) { return path.endsWith(QLatin1String(suffix), Qt::CaseInsensitive); };
    if (endsWith(".csv"))
        return {path, path.chopped(4) + QStringLiteral(".png")};
    if (endsWith(".png"))
        return {path.chopped(4) + QStringLiteral(".csv"), path};
    return {path + QStringLiteral(".csv"), path + QStringLiteral(".png")};
}

} // namespace

QUrl FileExport::suggestedFolder() const
{
    QString dir = QStandardPaths::writableLocation(QStandardPaths::DocumentsLocation);
    if (dir.isEmpty() || !QFileInfo(dir).isDir())
        dir = QDir::homePath();
    return QUrl::fromLocalFile(dir);
}

QUrl FileExport::suggestedFile(const QString &stem, const QString &suffix) const
{
    const QString name = stem + QDateTime::currentDateTime().toString(QStringLiteral("-yyyyMMdd-HHmmss.")) + suffix;
    return QUrl::fromLocalFile(QDir(suggestedFolder().toLocalFile()).filePath(name));
}

QStringList FileExport::existingTargets(const QUrl &file, Writes writes) const
{
    const QString path = localPath(file);
    const ExportPaths paths = exportPaths(path);
    const QStringList targets = writes == NamedFile ? QStringList{path}
        : writes == Picture                        ? QStringList{paths.png}
                                                   : QStringList{paths.csv, paths.png};
    QStringList out;
    for (const QString &target : targets) {
        if (QFileInfo::exists(target))
            out.append(QDir::toNativeSeparators(target));
    }
    return out;
}

FileExport::~FileExport()
{
    // A table still being written is finished (its file whole or removed).
    if (m_tableThread)
        m_tableThread->wait();
}

bool FileExport::saveChart(const QUrl &file, QObject *table, QQuickItem *item, const QColor &background)
{
    if (busy())
        return false;
    const ExportPaths paths = exportPaths(localPath(file));
    QString reason;
    m_savedNote.clear();
    m_tablePath.clear();
    m_tableError.clear();
    m_imageError.clear();
    m_imageDone = false;
    CsvTable::Writer writer;
    if (const CsvTable *csv = qobject_cast<CsvTable *>(table)) {
        const QString csvPath = QDir::toNativeSeparators(paths.csv);
        writer = csv->csvWriter();
        if (!writer) {
            if (!writeFile(csvPath, csv->csvTable(), &reason)) {
                report(tr("Cannot save %1: %2").arg(csvPath, reason), true);
                emit finished(false);
                return false;
            }
            m_savedNote = csvPath;
        }
        m_tablePath = csvPath;
    }
    m_imagePath = QDir::toNativeSeparators(paths.png);
    m_background = background;
    m_grab = item ? item->grabToImage() : QSharedPointer<QQuickItemGrabResult>();
    if (m_grab.isNull()) {
        report(tr("Cannot save %1: the chart is not shown").arg(m_imagePath), true);
        emit finished(false);
        return false;
    }
    connect(m_grab.data(), &QQuickItemGrabResult::ready, this, &FileExport::imageReady);
    if (writer) {
        const QString path = m_tablePath;
        QString *error = &m_tableError; // written by the thread, read after it has finished
        m_tableThread = QThread::create([writer, path, error] {
            QSaveFile out(path);
            if (!out.open(QIODevice::WriteOnly) || !writer(out) || !out.commit()) {
                *error = out.errorString().isEmpty() ? tr("the table could not be written") : out.errorString();
                out.cancelWriting();
            }
        });
        connect(m_tableThread, &QThread::finished, this, &FileExport::tableWritten);
        connect(m_tableThread, &QThread::finished, m_tableThread, &QObject::deleteLater);
        m_tableThread->start();
    }
    emit busyChanged();
    return true;
}

void FileExport::imageReady()
{
    const QImage image = m_grab ? m_grab->image() : QImage();
    m_grab.reset();
    QString reason;
    if (!writeImage(m_imagePath, image, m_background, &reason))
        m_imageError = tr("Cannot save %1: %2").arg(m_imagePath, reason);
    m_imageDone = true;
    conclude();
}

void FileExport::tableWritten()
{
    m_tableThread = nullptr;
    if (m_tableError.isEmpty())
        m_savedNote = m_tablePath;
    conclude();
}

void FileExport::conclude()
{
    if (!m_imageDone || m_tableThread)
        return;
    emit busyChanged();
    bool ok = true;
    if (!m_tableError.isEmpty() && m_savedNote.isEmpty()) {
        report(tr("Cannot save %1: %2").arg(m_tablePath, m_tableError), true);
        ok = false;
    } else if (!m_imageError.isEmpty()) {
        report(m_imageError, true);
        ok = false;
    } else if (m_savedNote.isEmpty()) {
        report(tr("Saved %1").arg(m_imagePath), false);
    } else {
        report(tr("Saved %1 and %2").arg(m_savedNote, QFileInfo(m_imagePath).fileName()), false);
    }
    emit finished(ok);
}

bool FileExport::writeFile(const QString &path, const QByteArray &bytes, QString *reason)
{
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size() || !file.commit()) {
        *reason = file.errorString();
        file.cancelWriting();
        return false;
    }
    return true;
}

bool FileExport::writeImage(const QString &path, const QImage &image, const QColor &background, QString *reason)
{
    if (image.isNull()) {
        *reason = tr("the picture could not be taken");
        return false;
    }
    // The chart is drawn on a transparent background; give it the panel's fill.
    QImage out(image.size(), QImage::Format_RGB32);
    out.setDevicePixelRatio(image.devicePixelRatio());
    out.fill(background.isValid() ? background : QColor(Qt::black));
    {
        QPainter painter(&out);
        painter.drawImage(QPointF(0, 0), image);
    }
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly) || !out.save(&file, "PNG") || !file.commit()) {
        *reason = file.errorString();
        file.cancelWriting();
        return false;
    }
    return true;
}

void FileExport::report(const QString &text, bool failed)
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
