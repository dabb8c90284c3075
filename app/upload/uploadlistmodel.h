#pragma once

#include "uploadjob.h"

#include <QAbstractListModel>

#include <functional>

// The upload queue's jobs, newest first, as a list model for the popover.
//
// Roles: id (string), sourceURLs (list of url), displayName, state (an UploadJob::State, which
// QML reads as UploadJob.Queued ... UploadJob.Failed), progress (0..1), totalBytes, shareURL, errorMessage, token
// (empty strings when absent), presetID, expiryDays (-1 when absent), expiresAt (empty when
// absent), isProtected, waitingUntil (milliseconds since the epoch, 0 when not waiting),
// waitingForNetwork, waitingForAccount, warning (empty when none).
class UploadListModel : public QAbstractListModel
{
    Q_OBJECT
    Q_PROPERTY(int count READ rowCount NOTIFY countChanged)
public:
    enum Role {
        IdRole = Qt::UserRole + 1,
        SourceURLsRole,
        DisplayNameRole,
        StateRole,
        ProgressRole,
        TotalBytesRole,
        ShareURLRole,
        ErrorMessageRole,
        WarningRole,
        WaitingForAccountRole,
        TokenRole,
        PresetIDRole,
        ExpiryDaysRole,
        ExpiresAtRole,
        IsProtectedRole,
        WaitingUntilRole,
        WaitingForNetworkRole,
    };
    Q_ENUM(Role)

    using QAbstractListModel::QAbstractListModel;

    int rowCount(const QModelIndex &parent = {}) const override;
    QVariant data(const QModelIndex &index, int role) const override;
    QHash<int, QByteArray> roleNames() const override;

    const QList<UploadJob> &jobs() const { return m_jobs; }
    // Index of the job with that id, or -1.
    int indexOf(const QUuid &id) const;

    void prepend(const UploadJob &job);
    // Applies `change` to the job with that id; false (and nothing changes) when there is none.
    bool update(const QUuid &id, const std::function<void(UploadJob &)> &change);
    bool remove(const QUuid &id);

Q_SIGNALS:
    void countChanged();

private:
    QList<UploadJob> m_jobs;
};
