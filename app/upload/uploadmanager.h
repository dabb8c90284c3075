#pragma once

#include "retry.h"
#include "sourcepreparation.h"
#include "uploadcollaborators.h"
#include "uploadlistmodel.h"

#include <QObject>

#include <functional>
#include <type_traits>
#include <variant>
#include <qcoro/qcorotask.h>

class Clipboard;
class CloudAuth;
class CloudUploader;
class NotificationCenter;
class Notifier;

// The upload queue: each drop becomes an UploadJob at the top of `uploads` and runs through
// preparation, upload to the selected provider, registration with the service and the success
// actions (link on the clipboard, "Link copied", the success notification, a history reload).
// It also carries the link edits that the upload rows offer on a finished job.
class UploadManager : public QObject
{
    Q_OBJECT
    Q_PROPERTY(UploadListModel *uploads READ uploads CONSTANT)
public:
    // Everything the queue talks to. The composition root owns them; they outlive the queue.
    struct Services {
        CloudUploader *driveUploader = nullptr;
        CloudAuth *googleAuth = nullptr;
        CloudUploader *dropboxUploader = nullptr;
        CloudAuth *dropboxAuth = nullptr;
        LinkService *backend = nullptr;
        HistoryUpdates *history = nullptr;
        PresetChoice *presets = nullptr;
        UploadPreferences *preferences = nullptr;
        Clipboard *clipboard = nullptr;
        Notifier *notifier = nullptr;
        NotificationCenter *notifications = nullptr;
        SourcePreparation preparation;
        Retry::Pause pause = Retry::sleep;
    };

    static constexpr int historyRefreshLimit = 15;
    static constexpr qint64 dropboxChunkSize = 8388608;

    explicit UploadManager(Services services, QObject *parent = nullptr);

    UploadListModel *uploads() { return &m_uploads; }
    const QList<UploadJob> &jobs() const { return m_uploads.jobs(); }
    std::optional<UploadJob> job(const QUuid &id) const;

    // Starts one job for the drop (nothing for an empty list) and returns its id at once.
    QUuid enqueue(const QList<QUrl> &urls);
    // Runs a job to `done` or `failed`; never fails itself.
    QCoro::Task<void> process(UploadJob job);
    void setProgress(const QUuid &id, double fraction);
    // Drops the job from the list; a pipeline still running for it goes on unseen.
    Q_INVOKABLE void removeJob(const QUuid &id);

    // Link edits on a finished job (the job as the row shows it). The two that return a message
    // give the bare error text on failure and nothing on success.
    QCoro::Task<std::optional<QString>> setJobPassword(UploadJob job, QString password);
    QCoro::Task<std::optional<QString>> renameJob(UploadJob job, QString newName);
    QCoro::Task<void> changeJobExpiry(UploadJob job, qint64 days);
    QCoro::Task<void> changeJobDesign(UploadJob job, qint64 presetID);
    // The password change for a link that is only in the history.
    QCoro::Task<std::optional<QString>> setLinkPassword(QString token, QString password);

Q_SIGNALS:
    void jobFinished(const QUuid &id, bool succeeded);

private:
    QCoro::Task<Result<PreparedUpload>> prepare(QUuid id, QStringList sources);
    void update(const QUuid &id, const std::function<void(UploadJob &)> &change);
    void fail(const QUuid &id, const Error &error);

    // One link edit on a finished job: the service call with the job's token, then `apply` with
    // what it returned. Without a token: "Upload has no token yet.". On failure the job's message
    // becomes `prefix` + the error text and the bare text is returned.
    template<typename T>
    using EditCall = std::function<QCoro::Task<Result<T>>(const QString &token)>;
    template<typename T>
    using EditApply = std::function<void(const QString &token, const std::conditional_t<std::is_void_v<T>, std::monostate, T> &)>;
    template<typename T>
    QCoro::Task<std::optional<QString>> editLink(UploadJob job, QString prefix, EditCall<T> call, EditApply<T> apply);

    Services m_services;
    UploadListModel m_uploads;
};
