#include "uploadlistmodel.h"

namespace {
QVariant optionalText(const std::optional<QString> &value)
{
    return value.value_or(QString());
}
QVariant optionalNumber(const std::optional<qint64> &value)
{
    return value.value_or(-1);
}
}

int UploadListModel::rowCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : int(m_jobs.size());
}

QVariant UploadListModel::data(const QModelIndex &index, int role) const
{
    if (!checkIndex(index, CheckIndexOption::IndexIsValid | CheckIndexOption::ParentIsInvalid))
        return {};
    const UploadJob &job = m_jobs.at(index.row());
    switch (Role(role)) {
    case IdRole:
        return job.id.toString(QUuid::WithoutBraces);
    case SourceURLsRole:
        return QVariant::fromValue(job.sourceURLs);
    case DisplayNameRole:
        return job.displayName;
    case StateRole:
        return int(job.state);
    case ProgressRole:
        return job.progress;
    case TotalBytesRole:
        return job.totalBytes;
    case ShareURLRole:
        return optionalText(job.shareURL);
    case ErrorMessageRole:
        return optionalText(job.errorMessage);
    case TokenRole:
        return optionalText(job.token);
    case PresetIDRole:
        return optionalNumber(job.presetID);
    case ExpiryDaysRole:
        return optionalNumber(job.expiryDays);
    case ExpiresAtRole:
        return optionalText(job.expiresAt);
    case IsProtectedRole:
        return job.isProtected;
    case WaitingUntilRole:
        return job.waitingUntil ? job.waitingUntil->toMSecsSinceEpoch() : qint64(0);
    case WaitingForNetworkRole:
        return job.waitingForNetwork;
    case WaitingForAccountRole:
        return job.waitingForAccount;
    case WarningRole:
        return optionalText(job.warning);
    }
    return {};
}

QHash<int, QByteArray> UploadListModel::roleNames() const
{
    return {
        {IdRole, "id"},
        {SourceURLsRole, "sourceURLs"},
        {DisplayNameRole, "displayName"},
        {StateRole, "state"},
        {ProgressRole, "progress"},
        {TotalBytesRole, "totalBytes"},
        {ShareURLRole, "shareURL"},
        {ErrorMessageRole, "errorMessage"},
        {TokenRole, "token"},
        {PresetIDRole, "presetID"},
        {ExpiryDaysRole, "expiryDays"},
        {ExpiresAtRole, "expiresAt"},
        {IsProtectedRole, "isProtected"},
        {WaitingUntilRole, "waitingUntil"},
        {WaitingForNetworkRole, "waitingForNetwork"},
        {WaitingForAccountRole, "waitingForAccount"},
        {WarningRole, "warning"},
    };
}

int UploadListModel::indexOf(const QUuid &id) const
{
    for (int i = 0; i < m_jobs.size(); ++i) {
        if (m_jobs.at(i).id == id)
            return i;
    }
    return -1;
}

void UploadListModel::prepend(const UploadJob &job)
{
    beginInsertRows({}, 0, 0);
    m_jobs.prepend(job);
    endInsertRows();
    Q_EMIT countChanged();
}

bool UploadListModel::update(const QUuid &id, const std::function<void(UploadJob &)> &change)
{
    const int row = indexOf(id);
    if (row < 0)
        return false;
    change(m_jobs[row]);
    const QModelIndex at = index(row);
    Q_EMIT dataChanged(at, at);
    return true;
}

bool UploadListModel::remove(const QUuid &id)
{
    const int row = indexOf(id);
    if (row < 0)
        return false;
    beginRemoveRows({}, row, row);
    m_jobs.removeAt(row);
    endRemoveRows();
    Q_EMIT countChanged();
    return true;
}
