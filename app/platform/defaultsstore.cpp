#include "defaultsstore.h"

#include "platform/savefile.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>

#include <QStandardPaths>
#include <cerrno>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

namespace {
QString configRoot(const QString &configDir)
{
    const QString base = configDir.isEmpty() ? QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation) : configDir;
    return base + QStringLiteral("/kavo");
}
}

DefaultsStore::DefaultsStore(QString filePath)
    : m_path(std::move(filePath))
{
}

DefaultsStore DefaultsStore::standard(const QString &configDir)
{
    return DefaultsStore(configRoot(configDir) + QStringLiteral("/defaults.json"));
}

DefaultsStore DefaultsStore::suite(const QString &configDir)
{
    return DefaultsStore(configRoot(configDir) + QLatin1Char('/') + suiteName + QStringLiteral(".json"));
}

QJsonObject DefaultsStore::all() const
{
    QFile file(m_path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    QJsonParseError parseError;
    const QJsonDocument doc = QJsonDocument::fromJson(file.readAll(), &parseError);
    if (parseError.error != QJsonParseError::NoError || !doc.isObject())
        return {};
    return doc.object();
}

bool DefaultsStore::contains(const QString &key) const
{
    return all().contains(key);
}

QJsonValue DefaultsStore::value(const QString &key) const
{
    return all().value(key);
}

bool DefaultsStore::setValue(const QString &key, const QJsonValue &value)
{
    if (value.isUndefined())
        return remove(key);
    return update([&](QJsonObject &object) {
        object.insert(key, value);
        return true;
    });
}

bool DefaultsStore::remove(const QString &key)
{
    return update([&](QJsonObject &object) {
        if (!object.contains(key))
            return false;
        object.remove(key);
        return true;
    });
}

bool DefaultsStore::update(const std::function<bool(QJsonObject &)> &change)
{
    const QFileInfo info(m_path);
    if (!QDir().mkpath(info.absolutePath()))
        return false;
    // Read, change and write under an exclusive lock on a file beside it, so that a write by
    // another process (kavo-share, a second kavo) between this one's read and write is not lost.
    // The lock goes with the descriptor, also when the process dies.
    const QByteArray lockPath = QFile::encodeName(m_path + QStringLiteral(".lock"));
    const int lock = ::open(lockPath.constData(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (lock < 0)
        return false;
    while (::flock(lock, LOCK_EX) != 0 && errno == EINTR) {}
    QJsonObject object = all();
    const bool changed = change(object);
    const bool written = !changed || write(object);
    ::close(lock);
    return written;
}

bool DefaultsStore::write(const QJsonObject &object)
{
    const QFileInfo info(m_path);
    if (!QDir().mkpath(info.absolutePath()))
        return false;
    QFile::setPermissions(info.absolutePath(), QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    const QString problem = replaceFileWhole(m_path, QJsonDocument(object).toJson(QJsonDocument::Indented));
    if (!problem.isEmpty())
        qWarning("kavo: cannot write %s: %s", qUtf8Printable(m_path), qUtf8Printable(problem));
    return problem.isEmpty();
}
