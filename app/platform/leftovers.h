#pragma once

#include <QString>
#include <QStringList>

// Folders Kavo makes for one job's files (staging copies, archives, name aliases) are named
// KIND-PID-UUID, after the process that made them, so that a later start can tell which are left
// over: those whose process is gone and that no unfinished job still uses.
namespace Leftovers {

QString folderName(const QString &kind);
// Removes the file or folder at `path` with everything in it, read-only folders too; a link is
// removed, never followed.
void removeTree(const QString &path);
// Removes the folders of that kind under `root` whose process is gone and in which none of
// `inUse` (paths) lies. A link inside is removed, never followed.
void removeUnused(const QString &root, const QString &kind, const QStringList &inUse);

} // namespace Leftovers
