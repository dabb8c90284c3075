#pragma once

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>
#include <QUrl>

#include <optional>

// File names on Linux are bytes, while Qt's paths are text: a name that is not valid UTF-8 does
// not survive the trip (each bad byte becomes U+FFFD, which names another file or none). Such a
// file is reached through an alias, a symbolic link in a folder of its own under
// $XDG_STATE_HOME/kavo/names, named with the path's last component as text (U+FFFD for each bad
// byte) and pointing at the real bytes: the name shown and registered is the alias's, the bytes
// read are the file's, and the alias lasts as long as the job that uses it.
namespace LocalPath {

// The bytes of a file URL's path (its percent-encoding undone as bytes, not as text).
QByteArray bytesOf(const QUrl &fileUrl);
// A file URL for these path bytes, each byte kept.
QUrl urlOf(const QByteArray &path);
// A command-line argument as text: itself when it is valid UTF-8, else the file URL of the path
// it names (made absolute against the working folder), which keeps its bytes.
QString argument(const QByteArray &raw);

// `url` itself when it is not a local file or its path is valid UTF-8; else the file URL of an
// alias for it. No value when the alias could not be made (`problem` says why).
std::optional<QUrl> reachable(const QUrl &url, QString *problem = nullptr);

// Where the aliases live, each in a folder of the kind aliasKind (leftovers.h); `stateHome`
// overrides $XDG_STATE_HOME (tests).
QString aliasRoot(const QString &stateHome = {});
inline const QString aliasKind = QStringLiteral("alias");

} // namespace LocalPath
