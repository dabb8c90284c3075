#pragma once

#include "historylistmodel.h"
#include "upload/uploadcollaborators.h"

#include "loadablestore.h"

#include <QObject>
#include <QTimer>

#include <chrono>

class BackendAPI;

// The user's recent links as the service lists them, with local patches after link edits so a
// row shows a change at once. A failed reload keeps the list and says why in `lastError`.
//
// With a search `query` the list holds the service's matches for it (its `q`) instead: a change
// of the query is sent once typing pauses for `searchDelay`, cancelling the request before it;
// clearing it brings the recent links back at once (as last loaded, then reloaded). Reloads keep the query, and an answer that
// arrives after the query changed is dropped.
class HistoryStore : public LoadableStore, public HistoryUpdates
{
    Q_OBJECT
    Q_PROPERTY(HistoryListModel *items READ model CONSTANT)
    Q_PROPERTY(QString query READ query WRITE setQuery NOTIFY queryChanged)
    // The (trimmed) query the listed items answer; empty for the recent links.
    Q_PROPERTY(QString listedQuery READ listedQuery NOTIFY listedQueryChanged)
public:
    static constexpr std::chrono::milliseconds searchDelay{300};
    static constexpr int recentLimit = 15;
    static constexpr int searchLimit = 50;

    explicit HistoryStore(BackendAPI *api, QObject *parent = nullptr);
    ~HistoryStore() override;

    HistoryListModel *model() { return &m_model; }
    const QList<HistoryItem> &items() const { return m_model.items(); }

    QString query() const { return m_query; }
    QString listedQuery() const { return m_listedQuery; }
    void setQuery(const QString &query);

    QCoro::Task<void> refresh(int limit) override;
    void updatePreset(const QString &token, qint64 presetID);
    void updateFilename(const QString &token, const QString &filename);
    void updateProtected(const QString &token, bool isProtected);
    void updateExpiry(const QString &token, const std::optional<QString> &expiresAt);
    // After a delete: every entry with that token goes.
    Q_INVOKABLE void removeToken(const QString &token);

Q_SIGNALS:
    void queryChanged();
    void listedQueryChanged();

private:
    void edit(const QString &token, const std::function<void(HistoryItem &)> &change);

    BackendAPI *m_api;
    HistoryListModel m_model;
    QString m_query;
    QString m_listedQuery;
    // The recent links as last loaded (with the edits since), shown again when a search ends.
    QList<HistoryItem> m_recent;
    QTimer m_searchTimer;
    // Each load in flight has a child here; deleting them cancels those requests.
    QObject m_loads;
    // How many deletions and edits this list has taken from the link actions: an answer asked
    // for before one of them may still show the link as it was.
    quint64 m_localChanges = 0;
};
