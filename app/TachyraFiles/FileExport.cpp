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

FileExport::FileExport(QObject *parent)
    : QObject(parent)
{
    connect(&m_note, &FileNote::textChanged, this, &FileExport::messageChanged);
    connect(&m_note, &FileNote::failedChanged, this, &FileExport::failedChanged);
}

FileExport::~FileExport()
{
    // A file still being written is finished (whole or removed).
    for (QThread *thread : {m_tableThread.data(), m_imageThread.data()}) {
        if (thread)
            thread->wait();
    }
}

bool FileExport::saveChart(const QUrl &file, QObject *table, QQuickItem *item, const QColor &background)
{
    if (busy())
        return false;
    const ExportPaths paths = exportPaths(localPath(file));
    m_tablePath.clear();
    m_tableError.clear();
    m_imageError.clear();
    m_imageDone = false;
    m_imagePath = QDir::toNativeSeparators(paths.png);
    m_background = background;
    m_grab = item ? item->grabToImage() : QSharedPointer<QQuickItemGrabResult>();
    if (m_grab.isNull()) {
        m_note.set(tr("Cannot save %1: the chart is not shown").arg(m_imagePath), true);
        emit finished(false);
        return false;
    }
    connect(m_grab.data(), &QQuickItemGrabResult::ready, this, &FileExport::imageReady);
    if (const CsvTable *csv = qobject_cast<CsvTable *>(table)) {
        m_tablePath = QDir::toNativeSeparators(paths.csv);
        CsvTable::Writer writer = csv->csvWriter();
        if (!writer) {
            // Quick to make here; the disk is the thread's.
            writer = [bytes = csv->csvTable()](QIODevice &out) { return out.write(bytes) == bytes.size(); };
        }
        m_tableThread = offThread([writer, path = m_tablePath, error = &m_tableError] {
            QSaveFile out(path);
            if (!out.open(QIODevice::WriteOnly) || !writer(out) || !out.commit()) {
                *error = out.errorString().isEmpty() ? tr("the table could not be written") : out.errorString();
                out.cancelWriting();
            }
        });
    }
    emit busyChanged();
    return true;
}

void FileExport::imageReady()
{
    const QImage image = m_grab ? m_grab->image() : QImage();
    m_grab.reset();
    m_imageThread = offThread([image, path = m_imagePath, background = m_background, error = &m_imageError] {
        QString reason;
        if (!writeImage(path, image, background, &reason))
            *error = tr("Cannot save %1: %2").arg(path, reason);
    });
    m_imageDone = true;
}

QThread *FileExport::offThread(std::function<void()> job)
{
    // What the job writes is read only once it has finished.
    QThread *thread = QThread::create(std::move(job));
    connect(thread, &QThread::finished, this, &FileExport::conclude);
    connect(thread, &QThread::finished, thread, &QObject::deleteLater);
    thread->start();
    return thread;
}

void FileExport::conclude()
{
    const auto running = [](const QPointer<QThread> &t) { return t && !t->isFinished(); };
    if (!m_imageDone || running(m_tableThread) || running(m_imageThread))
        return;
    // Both threads' calls may come after both have ended: conclude once.
    m_imageDone = false;
    m_tableThread = nullptr;
    m_imageThread = nullptr;
    emit busyChanged();
    bool ok = true;
    if (!m_tableError.isEmpty()) {
        m_note.set(tr("Cannot save %1: %2").arg(m_tablePath, m_tableError), true);
        ok = false;
    } else if (!m_imageError.isEmpty()) {
        m_note.set(m_imageError, true);
        ok = false;
    } else if (m_tablePath.isEmpty()) {
        m_note.set(tr("Saved %1").arg(m_imagePath), false);
    } else {
        m_note.set(tr("Saved %1 and %2").arg(m_tablePath, QFileInfo(m_imagePath).fileName()), false);
    }
    emit finished(ok);
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
