#pragma once

#include <QObject>
#include <QString>

// What the last file operation came to (a recording saved or stopped, an
// export saved or not): the status bar's note and whether it is a failure.
// The recorder and the export each keep one and pass its signals on as
// their own `message` and `failed`.
class FileNote : public QObject
{
    Q_OBJECT
public:
    using QObject::QObject;

    QString text() const { return m_text; }
    bool failed() const { return m_failed; }
    // Both are stored before either signal, so a reader of one sees the other.
    void set(const QString &text, bool failed);

signals:
    void textChanged();
    void failedChanged();

private:
    QString m_text;
    bool m_failed = false;
};
