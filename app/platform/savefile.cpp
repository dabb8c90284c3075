#include "savefile.h"

#include <QSaveFile>

QString replaceFileWhole(const QString &path, const QByteArray &content)
{
    QSaveFile file(path);
    // Unbuffered: with Qt's write buffer a failure would only show when the buffer is flushed at
    // commit(), which then still renames the short temporary file over the old one.
    if (!file.open(QIODevice::WriteOnly | QIODevice::Unbuffered))
        return file.errorString();
    // Restricted before any byte is written, so the data is never readable by others.
    file.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner);
    if (file.write(content) != content.size()) {
        const QString why = file.errorString();
        file.cancelWriting();
        file.commit();
        return why.isEmpty() ? QStringLiteral("not every byte could be written") : why;
    }
    if (!file.commit())
        return file.errorString();
    return {};
}
