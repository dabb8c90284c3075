#include "leftovers.h"

#include <QCoreApplication>
#include <QDir>
#include <QRegularExpression>
#include <QUuid>

#include <QFile>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <filesystem>

namespace fs = std::filesystem;

namespace Leftovers {

QString folderName(const QString &kind)
{
    return kind + QLatin1Char('-') + QString::number(QCoreApplication::applicationPid()) + QLatin1Char('-')
        + QUuid::createUuid().toString(QUuid::WithoutBraces);
}

void removeTree(const QString &path)
{
    if (path.isEmpty())
        return;
    std::error_code ec;
    // A staging copy keeps read-only folders read-only; their entries can only go once the owner
    // may write to them again.
    const fs::path root(QFile::encodeName(path).toStdString());
    if (fs::is_directory(fs::symlink_status(root, ec))) {
        fs::permissions(root, fs::perms::owner_all, fs::perm_options::add, ec);
        for (fs::recursive_directory_iterator it(root, ec), end; !ec && it != end; it.increment(ec))
            if (it->is_directory(ec) && !it->is_symlink(ec))
                fs::permissions(it->path(), fs::perms::owner_all, fs::perm_options::add, ec);
    }
    fs::remove_all(root, ec);
}

namespace {
bool processAlive(qint64 pid)
{
    return pid > 0 && (::kill(pid_t(pid), 0) == 0 || errno == EPERM);
}
}

void removeUnused(const QString &root, const QString &kind, const QStringList &inUse)
{
    const QRegularExpression pattern(QStringLiteral("^%1-(\\d+)-[0-9a-f-]{36}$").arg(QRegularExpression::escape(kind)));
    const QStringList folders = QDir(root).entryList(QDir::Dirs | QDir::NoDotAndDotDot | QDir::Hidden | QDir::NoSymLinks);
    for (const QString &folder : folders) {
        const QRegularExpressionMatch match = pattern.match(folder);
        if (!match.hasMatch() || processAlive(match.captured(1).toLongLong()))
            continue;
        const QString path = root + QLatin1Char('/') + folder + QLatin1Char('/');
        if (std::ranges::any_of(inUse, [&path](const QString &used) { return used.startsWith(path); }))
            continue;
        removeTree(path);
    }
}

} // namespace Leftovers
