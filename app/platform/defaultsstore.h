#pragma once

#include <functional>

#include <QJsonObject>
#include <QJsonValue>
#include <QString>

// One defaults domain: a flat JSON object in one file, defaults key -> value, each value keeping
// its JSON type (a number stays a number). The file is re-read on every access because another
// program may write it; writes are atomic and leave the file readable by its owner only. A file
// that is missing, unreadable or corrupt reads as an empty domain.
class DefaultsStore
{
public:
    explicit DefaultsStore(QString filePath);

    // The standard domain and the application-group suite under the XDG config dir
    // (or under `configDir` when given).
    static DefaultsStore standard(const QString &configDir = {});
    static DefaultsStore suite(const QString &configDir = {});
    static inline const QString suiteName = QStringLiteral("group.com.marrowbeck.Vendrel");

    QString filePath() const { return m_path; }

    QJsonObject all() const;
    bool contains(const QString &key) const;
    // Undefined when the key is absent.
    QJsonValue value(const QString &key) const;
    // False when the file could not be written; the stored values are then unchanged.
    bool setValue(const QString &key, const QJsonValue &value);
    bool remove(const QString &key);

private:
    // The read-change-write of one update, serialised with every other process's.
    bool update(const std::function<bool(QJsonObject &)> &change);
    bool write(const QJsonObject &object);
    QString m_path;
};
