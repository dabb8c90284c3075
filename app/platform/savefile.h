#pragma once

#include <QByteArray>
#include <QString>

// Replaces the file at `path` with `content`, readable and writable by the owner only: the bytes
// go to a temporary file beside it that is renamed over the old one only once every byte was
// written and synced. On any failure (a full disk, a folder in the way, no permission) the old
// file stays as it was and the temporary goes. Returns why it failed, or an empty string.
QString replaceFileWhole(const QString &path, const QByteArray &content);
