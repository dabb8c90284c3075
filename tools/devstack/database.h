#pragma once

#include <QString>
#include <QStringList>
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
    // The error of the last call that failed on this thread's behalf is what exec() returned;
    // this is the latest of any thread, for the log.
    QString lastError() const;

    // Runs one statement with positional parameters (?); true on success. `error`, when given,
    // receives this statement's own error text.
    bool exec(const QString &sql, const QVariantList &parameters = {}, QString *error = nullptr);
    // The rows of a query, each a map of column name to value.
    QList<QVariantMap> query(const QString &sql, const QVariantList &parameters = {}, QString *error = nullptr);
    // Adds to `table` those of `columns` ("name TYPE ...") it lacks: a state folder made by an
    // older devstack gains the columns added since.
    void addMissingColumns(const QString &table, const QStringList &columns);
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
    mutable std::recursive_mutex m_mutex;
    std::recursive_mutex m_transaction;
};
