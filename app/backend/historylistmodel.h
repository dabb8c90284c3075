#pragma once

#include "historyitem.h"

#include <QAbstractListModel>

// The history as a list model for the popover.
//
// Roles: token, driveFileID, filename, filesize, mimetype, customMessage, isProtected, expiresAt
// and createdAt (empty strings when absent), downloadCount, presetID (-1 when absent), status,
// provider, viewURL, downloadURL.
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

Q_SIGNALS:
    void countChanged();

private:
    static QVariant value(const HistoryItem &item, int role);
    QList<HistoryItem> m_items;
};
