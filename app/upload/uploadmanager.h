#pragma once

#include "platform/desktop.h"
#include "retry.h"
#include "sourcepreparation.h"
#include "uploadcollaborators.h"
#include "uploadjournal.h"
#include "uploadlistmodel.h"

#include <QHash>
#include <QObject>

#include <functional>
#include <memory>
#include <qcoro/qcorotask.h>

class Clipboard;
class CloudAuth;
class CloudUploader;
class Notifier;
class SecretStore;

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
        // When set, a job waits for a sign-in to the service before anything goes to a provider.
        ServiceAccount *account = nullptr;
        HistoryUpdates *history = nullptr;
        PresetChoice *presets = nullptr;
        UploadPreferences *preferences = nullptr;
        Clipboard *clipboard = nullptr;
        Notifier *notifier = nullptr;
        // Opens a link in the browser; when set, "Link copied" offers "Open".
        std::function<bool(const QUrl &)> openBrowser;
        SourcePreparation preparation;
        Retry::Pause pause = Retry::sleep;
        // Keeps unfinished jobs across restarts (none: jobs live in memory only), and the Drive
        // session URLs, which are credentials, in the secret store.
        UploadJournal *journal = nullptr;
        SecretStore *sessionSecrets = nullptr;
        // Returns when the network may be back, at the latest after the given time. When set, a
        // job that cannot reach a server waits for it, as long as it stays in the list, instead
        // of failing.
        std::function<QCoro::Task<void>(std::chrono::milliseconds longest)> awaitNetwork;
        // Deletes an uploaded file that will not be linked (its source changed while it was sent).
        std::function<QCoro::Task<void>(CloudUploadResult)> discardCloudFile;
    };

    static constexpr int historyRefreshLimit = 15;
    // How often a file that changed while it was sent is sent again before its job fails.
    static constexpr int maxChangesWhileSent = 2;
    static constexpr qint64 dropboxChunkSize = 8388608;

    explicit UploadManager(Services services, QObject *parent = nullptr);

    UploadListModel *uploads() { return &m_uploads; }
    const QList<UploadJob> &jobs() const { return m_uploads.jobs(); }
    std::optional<UploadJob> job(const QUuid &id) const;

    // Starts one job for the drop (nothing for an empty list) and returns its id once the job is
    // in the journal, or could not be put there (journalProblem() then says why).
    QUuid enqueue(const QList<QUrl> &urls);
    // Why the journal could not be written the last time it was, or an empty string.
    QString journalProblem() const { return m_journalProblem; }
    // Brings back the unfinished jobs of the journal, as they were, and resumes each one.
    QCoro::Task<void> resumeUnfinished();
    // Removes the staging copies, archives and name aliases (under `aliasRoot`) that earlier runs
    // left and no job of the journal or of this run needs; finishes once they are gone.
    QCoro::Task<void> removeLeftovers(QString aliasRoot);
    void setProgress(const QUuid &id, double fraction);
    // Drops the job from the list; a pipeline still running for it goes on unseen.
    Q_INVOKABLE void removeJob(const QUuid &id);
    // A failed job's drop made again as a new job in its place (its sources as they are now);
    // the new job's id, or none when `id` is not a failed job.
    Q_INVOKABLE QUuid retryJob(const QUuid &id);

    // A link edited (LinkActions): the finished uploads of that link show the change too.
    void linkEdited(const QString &token, const std::function<void(UploadJob &)> &change);

Q_SIGNALS:
    void jobFinished(const QUuid &id, bool succeeded);

private:
    // The pipeline from wherever the job's record stands; `resumed` for a job of an earlier run.
    // A file that changed while it was sent is sent again from its new content, `changes` counting
    // how often that happened.
    QCoro::Task<void> run(QUuid id, bool resumed, int changes = 0);
    QCoro::Task<Result<PreparedUpload>> prepare(QUuid id, QStringList sources);
    QCoro::Task<Result<Registration>> registerOnce(QUuid id, RegistrationRequest request, std::shared_ptr<bool> mayExist);
    // The retry's waits for this job, shown in its row.
    Retry::Hooks retryHooks(const QUuid &id);
    QCoro::Task<void> pauseShown(QUuid id, std::chrono::milliseconds wait);
    QCoro::Task<bool> networkWaitShown(QUuid id, std::chrono::milliseconds longest);
    // Waits, shown in the job's row, until the user is signed in to the service; false when the
    // job left the list meanwhile.
    QCoro::Task<bool> accountAwaited(QUuid id);
    // Changes the job's record and writes the journal; nothing once the job has left the list.
    void keep(const QUuid &id, const std::function<void(UploadRecord &)> &change);
    // Every unfinished job, row and record: the earlier run's and this run's, oldest drop first.
    QList<JournalEntry> unfinished() const;
    // Hands the journal every unfinished job; why it could not be written, or an empty string.
    QString writeJournal();
    // The job's name in the log and notifications (empty once it left the list).
    QString title(const QUuid &id) const;
    // Writes the journal after a change to the job, while it is in it.
    void saveJournal(const QUuid &id);
    // Takes the outcome of a journal write for the job: its row warns while the job is not kept.
    void noteJournal(const QUuid &id, const QString &problem);
    void keepSession(const QUuid &id, const UploadSession &session);
    // Moves the job to `state`, in its row and in the journal.
    void enter(const QUuid &id, UploadJob::State state);
    void forget(const QUuid &id);
    void update(const QUuid &id, const std::function<void(UploadJob &)> &change);
    void fail(const QUuid &id, const Error &error);
    // "Upload failed" with why, offering to try the drop again.
    void notifyFailure(const QUuid &id, const QString &message);

    Services m_services;
    UploadListModel m_uploads;
    QHash<QUuid, UploadRecord> m_records;
    // The journal's jobs of an earlier run, until resumeUnfinished takes them.
    QList<JournalEntry> m_earlier;
    QString m_journalProblem;
};

// What the notification of a new link offers: the link in the browser (when there is a way to
// open it) and the link on the clipboard ("Copy again" once it was copied, "Copy link" when the
// desktop refused the copy).
QList<NotificationAction> linkActions(const QString &url, bool copied, Clipboard *clipboard,
                                      const std::function<bool(const QUrl &)> &openBrowser);
