#pragma once

#include <QString>
#include <QVariant>
#include <QVariantList>
#include <QVariantMap>

#include <mutex>

struct sqlite3;

// The devstack's state: one SQLite file in the state folder. Every call is serialized; the
// HTTP handlers run on a thread pool.
class Database
{
public:
    explicit Database(const QString &path);
    ~Database();
    Database(const Database &) = delete;
    Database &operator=(const Database &) = delete;

    bool isOpen() const { return m_db != nullptr; }
    QString lastError() const { return m_error; }

    // Runs one statement with positional parameters (?); true on success.
    bool exec(const QString &sql, const QVariantList &parameters = {});
    // The rows of a query, each a map of column name to value.
    QList<QVariantMap> query(const QString &sql, const QVariantList &parameters = {});
    // Runs `work` with the database held, for steps that must not interleave.
    template<typename Work>
    auto locked(Work work)
    {
        std::lock_guard lock(m_transaction);
        return work();
    }

private:
    sqlite3 *m_db = nullptr;
    QString m_error;
    std::recursive_mutex m_mutex;
    std::recursive_mutex m_transaction;
};
