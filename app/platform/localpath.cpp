#include "localpath.h"

#include "http.h"
#include "leftovers.h"

#include <QDir>
#include <QFile>
#include <QStandardPaths>

#include <cerrno>
#include <cstring>
#include <unistd.h>

namespace LocalPath {

QByteArray bytesOf(const QUrl &fileUrl)
{
    return QByteArray::fromPercentEncoding(fileUrl.path(QUrl::FullyEncoded).toLatin1());
}

QUrl urlOf(const QByteArray &path)
{
    return QUrl::fromEncoded("file://" + path.toPercentEncoding("/"), QUrl::StrictMode);
}

QString argument(const QByteArray &raw)
{
    if (decodeUtf8(raw))
        return QString::fromUtf8(raw);
    QByteArray path = raw;
    if (!path.startsWith('/')) {
        const QByteArray here = QFile::encodeName(QDir::currentPath());
        path = here + (here.endsWith('/') ? "" : "/") + path;
    }
    return urlOf(path).toString(QUrl::FullyEncoded);
}

QString aliasRoot(const QString &stateHome)
{
    const QString base = !stateHome.isEmpty()            ? stateHome
        : !qEnvironmentVariableIsEmpty("XDG_STATE_HOME") ? qEnvironmentVariable("XDG_STATE_HOME")
                                                         : QDir::homePath() + QStringLiteral("/.local/state");
    return base + QStringLiteral("/kavo/names");
}

std::optional<QUrl> reachable(const QUrl &url, QString *problem)
{
    if (!url.isLocalFile())
        return url;
    QByteArray path = bytesOf(url);
    if (decodeUtf8(path))
        return url;
    while (path.size() > 1 && path.endsWith('/'))
        path.chop(1);
    const QString name = QString::fromUtf8(path.mid(path.lastIndexOf('/') + 1));
    const QString folder = aliasRoot() + QLatin1Char('/') + Leftovers::folderName(aliasKind);
    const QString alias = folder + QLatin1Char('/') + name;
    const auto fail = [&](const QString &why) -> std::optional<QUrl> {
        if (problem)
            *problem = QStringLiteral("Couldn't give %1 a name Kavo can use: %2").arg(name, why);
        QDir(folder).removeRecursively();
        return std::nullopt;
    };
    if (!QDir().mkpath(folder))
        return fail(QStringLiteral("the folder %1 cannot be made").arg(folder));
    QFile::setPermissions(aliasRoot(), QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    if (::symlink(path.constData(), QFile::encodeName(alias).constData()) != 0)
        return fail(QString::fromLocal8Bit(std::strerror(errno)));
    return QUrl::fromLocalFile(alias);
}

} // namespace LocalPath
