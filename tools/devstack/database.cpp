#include "database.h"

#include <QFile>

#include <sqlite3.h>

Database::Database(const QString &path)
{
    if (sqlite3_open_v2(QFile::encodeName(path).constData(), &m_db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_FULLMUTEX,
                        nullptr)
        != SQLITE_OK) {
        m_error = QString::fromUtf8(sqlite3_errmsg(m_db));
        sqlite3_close(m_db);
        m_db = nullptr;
        return;
    }
    sqlite3_busy_timeout(m_db, 5000);
    exec(QStringLiteral("PRAGMA journal_mode=WAL"));
}

Database::~Database()
{
    if (m_db)
        sqlite3_close(m_db);
}

namespace {
bool bind(sqlite3_stmt *statement, const QVariantList &parameters)
{
    for (int i = 0; i < parameters.size(); ++i) {
        const QVariant &value = parameters.at(i);
        int rc = SQLITE_OK;
        if (value.isNull() || !value.isValid()) {
            rc = sqlite3_bind_null(statement, i + 1);
        } else if (value.typeId() == QMetaType::LongLong || value.typeId() == QMetaType::Int || value.typeId() == QMetaType::Bool
                   || value.typeId() == QMetaType::UInt || value.typeId() == QMetaType::ULongLong) {
            rc = sqlite3_bind_int64(statement, i + 1, value.toLongLong());
        } else if (value.typeId() == QMetaType::Double) {
            rc = sqlite3_bind_double(statement, i + 1, value.toDouble());
        } else if (value.typeId() == QMetaType::QByteArray) {
            const QByteArray bytes = value.toByteArray();
            rc = sqlite3_bind_blob64(statement, i + 1, bytes.constData(), sqlite3_uint64(bytes.size()), SQLITE_TRANSIENT);
        } else {
            const QByteArray text = value.toString().toUtf8();
            rc = sqlite3_bind_text64(statement, i + 1, text.constData(), sqlite3_uint64(text.size()), SQLITE_TRANSIENT, SQLITE_UTF8);
        }
        if (rc != SQLITE_OK)
            return false;
    }
    return true;
}
}

QString Database::lastError() const
{
    std::lock_guard lock(m_mutex);
    return m_error;
}

void Database::addMissingColumns(const QString &table, const QStringList &columns)
{
    for (const QString &column : columns)
        if (query(QStringLiteral("SELECT 1 FROM pragma_table_info(?) WHERE name = ?"), {table, column.section(QLatin1Char(' '), 0, 0)})
                .isEmpty())
            exec(QStringLiteral("ALTER TABLE %1 ADD COLUMN %2").arg(table, column));
}

bool Database::exec(const QString &sql, const QVariantList &parameters, QString *error)
{
    // The statement's own outcome: another thread's call may have set m_error since.
    QString own;
    query(sql, parameters, &own);
    if (error)
        *error = own;
    return own.isEmpty();
}

QList<QVariantMap> Database::query(const QString &sql, const QVariantList &parameters, QString *error)
{
    std::lock_guard lock(m_mutex);
    m_error.clear();
    QList<QVariantMap> rows;
    // Whatever this call ends with is copied out while the lock is still held.
    struct Report {
        QString &latest;
        QString *out;
        ~Report()
        {
            if (out)
                *out = latest;
        }
    } report{m_error, error};
    if (!m_db) {
        m_error = QStringLiteral("database is not open");
        return rows;
    }
    sqlite3_stmt *statement = nullptr;
    const QByteArray text = sql.toUtf8();
    if (sqlite3_prepare_v2(m_db, text.constData(), int(text.size()), &statement, nullptr) != SQLITE_OK || !bind(statement, parameters)) {
        m_error = QString::fromUtf8(sqlite3_errmsg(m_db));
        sqlite3_finalize(statement);
        return rows;
    }
    for (;;) {
        const int rc = sqlite3_step(statement);
        if (rc == SQLITE_DONE)
            break;
        if (rc != SQLITE_ROW) {
            m_error = QString::fromUtf8(sqlite3_errmsg(m_db));
            break;
        }
        QVariantMap row;
        for (int c = 0; c < sqlite3_column_count(statement); ++c) {
            const QString name = QString::fromUtf8(sqlite3_column_name(statement, c));
            switch (sqlite3_column_type(statement, c)) {
            case SQLITE_INTEGER:
                row.insert(name, qint64(sqlite3_column_int64(statement, c)));
                break;
            case SQLITE_FLOAT:
                row.insert(name, sqlite3_column_double(statement, c));
                break;
            case SQLITE_NULL:
                row.insert(name, QVariant());
                break;
            case SQLITE_BLOB:
                row.insert(name,
                           QByteArray(static_cast<const char *>(sqlite3_column_blob(statement, c)), sqlite3_column_bytes(statement, c)));
                break;
            default:
                row.insert(name,
                           QString::fromUtf8(reinterpret_cast<const char *>(sqlite3_column_text(statement, c)),
                                             sqlite3_column_bytes(statement, c)));
            }
        }
        rows.append(row);
    }
    sqlite3_finalize(statement);
    return rows;
}
