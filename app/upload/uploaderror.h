#pragma once

#include "platform/error.h"

// Refusals of source preparation; the description is the text the upload row shows.
namespace UploadError {
inline const QString domain = QStringLiteral("upload");
enum Code : int { zipFailedCode = 1, emptyArchiveCode, sourceUnreadableCode, zeroByteUploadCode, sourceChangedCode };

inline Error zipFailed(const QString &text)
{
    return {domain, zipFailedCode, QStringLiteral("Couldn't zip folder: ") + text};
}
inline Error emptyArchive(qint64 bytes)
{
    return {domain, emptyArchiveCode,
            QStringLiteral("Zip succeeded but the archive is empty (") + QString::number(bytes) + QStringLiteral(" bytes).")};
}
inline Error sourceUnreadable(const QString &text)
{
    return {domain, sourceUnreadableCode, QStringLiteral("Couldn't read source: ") + text};
}
inline Error sourceChanged(const QString &name)
{
    return {domain, sourceChangedCode,
            name + QStringLiteral(" kept changing while it was being uploaded, so it wasn't shared. Share it again once it's saved.")};
}
inline Error zeroByteUpload()
{
    return {domain, zeroByteUploadCode,
            QStringLiteral("Refusing to upload a 0-byte file. Check the source folder permissions and try again.")};
}
}
