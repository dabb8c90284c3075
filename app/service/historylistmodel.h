#pragma once

#include "historyitem.h"

#include <QAbstractListModel>
#include <QHash>
#include <QSet>

// The history as a list model for the popover.
//
// Roles: token, driveFileID, filename, filesize, mimetype, customMessage, isProtected, expiresAt
// and createdAt (empty strings when absent), downloadCount, presetID (-1 when absent), status,
// provider, viewURL, downloadURL; what the row says of them: summary ("2.4 MB · 3 downloads"),
// expiryText ("Expires 5 Dec 2026", or ""), hasExpired; and what is being done with the link:
// error (of the last edit or delete that failed, "" when none) and deleting. Those two are kept
// by token, so they outlive a reload, a search or a row's delegate.
class HistoryListModel : public QAbstractListModel
{
    Q_OBJECT
    Q_PROPERTY(int count READ rowCount NOTIFY countChanged)
public:
    enum Role {
        TokenRole = Qt::UserRole + 1,
        DriveFileIDRole,
        FilenameRole,
        FilesizeRole,
        MimetypeRole,
        CustomMessageRole,
        IsProtectedRole,
        ExpiresAtRole,
        CreatedAtRole,
        DownloadCountRole,
        PresetIDRole,
        StatusRole,
        ProviderRole,
        ViewURLRole,
        DownloadURLRole,
        SummaryRole,
        ExpiryTextRole,
        HasExpiredRole,
        ErrorRole,
        DeletingRole,
    };
    Q_ENUM(Role)

    using QAbstractListModel::QAbstractListModel;
    int rowCount(const QModelIndex &parent = {}) const override;
    QVariant data(const QModelIndex &index, int role) const override;
    QHash<int, QByteArray> roleNames() const override;

    const QList<HistoryItem> &items() const { return m_items; }
    // Brings the rows to `items` by token (see the .cpp), so that listed rows keep their delegates.
    void setItems(QList<HistoryItem> items);
    void replace(qsizetype row, const HistoryItem &item);
    // Removes every entry with that token as one change; the number removed.
    int removeToken(const QString &token);

    QString error(const QString &token) const { return m_errors.value(token); }
    // An empty error clears it.
    void setError(const QString &token, const QString &error);
    bool isDeleting(const QString &token) const { return m_deleting.contains(token); }
    void setDeleting(const QString &token, bool deleting);

Q_SIGNALS:
    void countChanged();

private:
    QVariant value(const HistoryItem &item, int role) const;
    // The rows of that token changed in `role`.
    void tokenChanged(const QString &token, int role);

    QList<HistoryItem> m_items;
    QHash<QString, QString> m_errors;
    QSet<QString> m_deleting;
};
