#include "FileNote.h"

void FileNote::set(const QString &text, bool failed)
{
    const bool textDiffers = text != m_text;
    const bool flagDiffers = failed != m_failed;
    m_text = text;
    m_failed = failed;
    if (flagDiffers)
        emit failedChanged();
    if (textDiffers)
        emit textChanged();
}
