#include "historystore.h"

#include "backendapi.h"

#include <QPointer>

HistoryStore::HistoryStore(BackendAPI *api, QObject *parent)
    : LoadableStore(parent)
    , m_api(api)
{
    m_searchTimer.setSingleShot(true);
    m_searchTimer.setInterval(searchDelay);
    connect(&m_searchTimer, &QTimer::timeout, this, [this] { refresh(recentLimit); });
}

HistoryStore::~HistoryStore()
{
    // The loads still in flight end now, while the store is whole; their answers are dropped.
    qDeleteAll(m_loads.children());
}

void HistoryStore::setQuery(const QString &query)
{
    if (query == m_query)
        return;
    const bool changesTheSearch = query.trimmed() != m_query.trimmed();
    m_query = query;
    Q_EMIT queryChanged();
    if (!changesTheSearch)
        return;
    // What is on its way answers the old query: cancel it, which also drops its answer.
    qDeleteAll(m_loads.children());
    if (m_query.trimmed().isEmpty()) {
        m_searchTimer.stop();
        // The recent links come back at once, as last listed, and are then reloaded: the list
        // does not stay on the matches of a search that is gone when the service cannot answer.
        if (!m_listedQuery.isEmpty()) {
            m_model.setItems(m_recent);
            m_listedQuery.clear();
            Q_EMIT listedQueryChanged();
        }
        refresh(recentLimit); // it also ends the wait for the typing to pause
    } else {
        setAboutToLoad(true);
        m_searchTimer.start();
    }
}

QCoro::Task<void> HistoryStore::refresh(int limit)
{
    // While typing has not paused, the search waits for its timer, reloads included.
    if (m_searchTimer.isActive())
        co_return;
    QPointer<HistoryStore> self(this);
    const Running running(this);
    setAboutToLoad(false);
    const QString query = m_query.trimmed();
    // Deleted when the query changes: the request is cancelled and its answer no longer counts.
    QPointer<QObject> load = new QObject(&m_loads);
    const quint64 changesBefore = m_localChanges;
    QCoro::Task<Result<QList<HistoryItem>>> fetching
        = query.isEmpty() ? m_api->fetchHistory(limit, std::nullopt, load) : m_api->fetchHistory(std::max(limit, searchLimit), query, load);
    Result<QList<HistoryItem>> result = co_await fetching;
    if (!self || !load)
        co_return;
    delete load;
    // A link deleted or edited here while this answer was on its way may still be in it as it
    // was (a deleted link would come back): the list is asked for again instead.
    if (result && m_localChanges != changesBefore) {
        QCoro::Task<void> again = refresh(limit);
        co_await again;
        co_return;
    }
    if (result) {
        if (query.isEmpty())
            m_recent = result.value();
        m_model.setItems(std::move(result).value());
        if (m_listedQuery != query) {
            m_listedQuery = query;
            Q_EMIT listedQueryChanged();
        }
        setLastError(std::nullopt);
    } else {
        setLastError(result.error().description);
    }
}

void HistoryStore::edit(const QString &token, const std::function<void(HistoryItem &)> &change)
{
    ++m_localChanges;
    const QList<HistoryItem> &items = m_model.items();
    for (qsizetype row = 0; row < items.size(); ++row) {
        if (items.at(row).token == token) {
            HistoryItem changed = items.at(row);
            change(changed);
            m_model.replace(row, changed);
            break;
        }
    }
    for (HistoryItem &item : m_recent)
        if (item.token == token)
            change(item);
}

void HistoryStore::updatePreset(const QString &token, qint64 presetID)
{
    edit(token, [presetID](HistoryItem &item) { item.presetID = presetID; });
}

void HistoryStore::updateFilename(const QString &token, const QString &filename)
{
    edit(token, [&filename](HistoryItem &item) { item.filename = filename; });
}

void HistoryStore::updateProtected(const QString &token, bool isProtected)
{
    edit(token, [isProtected](HistoryItem &item) {
        item.isProtected = isProtected;
        if (item.status != QLatin1String("expired"))
            item.status = isProtected ? QStringLiteral("protected") : QStringLiteral("active");
    });
}

void HistoryStore::updateExpiry(const QString &token, const std::optional<QString> &expiresAt)
{
    edit(token, [&expiresAt](HistoryItem &item) {
        item.expiresAt = expiresAt;
        if (item.status == QLatin1String("expired"))
            item.status = QStringLiteral("active");
    });
}

void HistoryStore::removeToken(const QString &token)
{
    ++m_localChanges;
    m_model.removeToken(token);
    m_recent.removeIf([&token](const HistoryItem &item) { return item.token == token; });
}
