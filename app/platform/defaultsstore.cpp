#include "defaultsstore.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QSaveFile>
#include <QStandardPaths>

namespace {
QString configRoot(const QString &configDir)
{
    const QString base = configDir.isEmpty()
        ? QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation)
        : configDir;
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
    QJsonObject object = all();
    object.insert(key, value);
    return write(object);
}

bool DefaultsStore::remove(const QString &key)
{
    QJsonObject object = all();
    if (!object.contains(key))
        return true;
    object.remove(key);
    return write(object);
}

bool DefaultsStore::write(const QJsonObject &object)
{
    const QFileInfo info(m_path);
    if (!QDir().mkpath(info.absolutePath()))
        return false;
    QFile::setPermissions(info.absolutePath(),
                          QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    QSaveFile file(m_path);
    if (!file.open(QIODevice::WriteOnly))
        return false;
    // Restrict before any byte is written so the data is never readable by others.
    file.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner);
    file.write(QJsonDocument(object).toJson(QJsonDocument::Indented));
    return file.commit();
}
