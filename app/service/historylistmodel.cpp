#include "historylistmodel.h"

#include "linktexts.h"

int HistoryListModel::rowCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : int(m_items.size());
}

QVariant HistoryListModel::data(const QModelIndex &index, int role) const
{
    if (!checkIndex(index, CheckIndexOption::IndexIsValid | CheckIndexOption::ParentIsInvalid))
        return {};
    return value(m_items.at(index.row()), role);
}

QVariant HistoryListModel::value(const HistoryItem &item, int role) const
{
    switch (Role(role)) {
    case TokenRole:
        return item.token;
    case DriveFileIDRole:
        return item.driveFileID;
    case FilenameRole:
        return item.filename;
    case FilesizeRole:
        return item.filesize;
    case MimetypeRole:
        return item.mimetype;
    case CustomMessageRole:
        return item.customMessage;
    case IsProtectedRole:
        return item.isProtected;
    case ExpiresAtRole:
        return item.expiresAt.value_or(QString());
    case CreatedAtRole:
        return item.createdAt.value_or(QString());
    case DownloadCountRole:
        return item.downloadCount;
    case PresetIDRole:
        return item.presetID.value_or(-1);
    case StatusRole:
        return item.status;
    case ProviderRole:
        return item.provider;
    case ViewURLRole:
        return item.viewURL;
    case DownloadURLRole:
        return item.downloadURL;
    case SummaryRole:
        return LinkTexts::summary(item.filesize, item.downloadCount, item.status);
    case ExpiryTextRole:
        return LinkTexts::expiryText(item.expiresAt.value_or(QString()));
    case HasExpiredRole:
        return LinkTexts::hasExpired(item.expiresAt.value_or(QString()));
    case ErrorRole:
        return m_errors.value(item.token);
    case DeletingRole:
        return m_deleting.contains(item.token);
    }
    return {};
}

QHash<int, QByteArray> HistoryListModel::roleNames() const
{
    return {
        {TokenRole, "token"},
        {DriveFileIDRole, "driveFileID"},
        {FilenameRole, "filename"},
        {FilesizeRole, "filesize"},
        {MimetypeRole, "mimetype"},
        {CustomMessageRole, "customMessage"},
        {IsProtectedRole, "isProtected"},
        {ExpiresAtRole, "expiresAt"},
        {CreatedAtRole, "createdAt"},
        {DownloadCountRole, "downloadCount"},
        {PresetIDRole, "presetID"},
        {StatusRole, "status"},
        {ProviderRole, "provider"},
        {ViewURLRole, "viewURL"},
        {DownloadURLRole, "downloadURL"},
        {SummaryRole, "summary"},
        {ExpiryTextRole, "expiryText"},
        {HasExpiredRole, "hasExpired"},
        {ErrorRole, "error"},
        {DeletingRole, "deleting"},
    };
}

namespace {
// A row's identity: its token, and which of the rows with that token it is (the service may list
// a token more than once).
QList<QPair<QString, int>> keysOf(const QList<HistoryItem> &items)
{
    QHash<QString, int> seen;
    QList<QPair<QString, int>> keys;
    keys.reserve(items.size());
    for (const HistoryItem &item : items)
        keys.append({item.token, seen[item.token]++});
    return keys;
}
}

void HistoryListModel::setItems(QList<HistoryItem> items)
{
    // Applied as removals, moves, insertions and changes of the roles that changed, never as a
    // reset: a row that stays keeps its delegate in the view, and with it an open menu, a dialog,
    // what was typed into it, its error line or its spinner.
    const qsizetype countBefore = m_items.size();
    QList<QPair<QString, int>> keys = keysOf(m_items);
    const QList<QPair<QString, int>> wanted = keysOf(items);

    for (qsizetype row = m_items.size() - 1; row >= 0; --row) {
        if (!wanted.contains(keys.at(row))) {
            beginRemoveRows({}, int(row), int(row));
            m_items.removeAt(row);
            keys.removeAt(row);
            endRemoveRows();
        }
    }
    for (qsizetype row = 0; row < items.size(); ++row) {
        const qsizetype found = keys.indexOf(wanted.at(row), row);
        if (found < 0) {
            beginInsertRows({}, int(row), int(row));
            m_items.insert(row, items.at(row));
            keys.insert(row, wanted.at(row));
            endInsertRows();
            continue;
        }
        if (found != row) {
            beginMoveRows({}, int(found), int(found), {}, int(row));
            m_items.move(found, row);
            keys.move(found, row);
            endMoveRows();
        }
        if (!(m_items.at(row) == items.at(row))) {
            QList<int> changed;
            for (int role = TokenRole; role <= HasExpiredRole; ++role) {
                if (value(m_items.at(row), role) != value(items.at(row), role))
                    changed.append(role);
            }
            m_items[row] = items.at(row);
            const QModelIndex at = index(int(row));
            Q_EMIT dataChanged(at, at, changed);
        }
    }
    if (m_items.size() != countBefore)
        Q_EMIT countChanged();
}

void HistoryListModel::replace(qsizetype row, const HistoryItem &item)
{
    m_items[row] = item;
    const QModelIndex at = index(int(row));
    Q_EMIT dataChanged(at, at);
}

int HistoryListModel::removeToken(const QString &token)
{
    QList<HistoryItem> kept;
    for (const HistoryItem &item : std::as_const(m_items)) {
        if (item.token != token)
            kept.append(item);
    }
    const int removed = int(m_items.size() - kept.size());
    setItems(std::move(kept));
    return removed;
}

void HistoryListModel::tokenChanged(const QString &token, int role)
{
    for (qsizetype row = 0; row < m_items.size(); ++row) {
        if (m_items.at(row).token == token) {
            const QModelIndex at = index(int(row));
            Q_EMIT dataChanged(at, at, {role});
        }
    }
}

void HistoryListModel::setError(const QString &token, const QString &error)
{
    if (m_errors.value(token) == error)
        return;
    if (error.isEmpty())
        m_errors.remove(token);
    else
        m_errors.insert(token, error);
    tokenChanged(token, ErrorRole);
}

void HistoryListModel::setDeleting(const QString &token, bool deleting)
{
    if (m_deleting.contains(token) == deleting)
        return;
    if (deleting)
        m_deleting.insert(token);
    else
        m_deleting.remove(token);
    tokenChanged(token, DeletingRole);
}
