#include "uploadmanager.h"

#include "cloud/clouduploader.h"
#include "platform/desktop.h"
#include "platform/leftovers.h"
#include "platform/localpath.h"
#include "platform/logging.h"
#include "platform/secretstore.h"
#include "uploaderror.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QPointer>
#include <QtConcurrent/QtConcurrentRun>
#include <qcoro/qcorofuture.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

UploadManager::UploadManager(Services services, QObject *parent)
    : QObject(parent)
    , m_services(std::move(services))
{
    // Read before anything is queued: a drop made before the earlier jobs resume writes the
    // journal, which must still hold them.
    if (m_services.journal)
        m_earlier = m_services.journal->load();
}

std::optional<UploadJob> UploadManager::job(const QUuid &id) const
{
    const int row = m_uploads.indexOf(id);
    if (row < 0)
        return std::nullopt;
    return m_uploads.jobs().at(row);
}

QUuid UploadManager::enqueue(const QList<QUrl> &urls)
{
    if (urls.isEmpty())
        return {};
    const UploadJob job = UploadJob::forDrop(urls);
    UploadRecord record;
    record.id = job.id;
    record.droppedAt = QDateTime::currentDateTimeUtc();
    record.expiryDays = m_services.preferences->expiryDays();
    record.presetID = m_services.presets->effectivePresetID();
    m_records.insert(job.id, record);
    m_uploads.prepend(job);
    if (m_services.journal)
        noteJournal(job.id, writeJournal());
    // Started from the event loop so that enqueue returns before the job's first step runs.
    QMetaObject::invokeMethod(
        this, [this, id = job.id] { run(id, false); }, Qt::QueuedConnection);
    return job.id;
}

void UploadManager::noteJournal(const QUuid &id, const QString &problem)
{
    m_journalProblem = problem;
    const std::optional<QString> warning
        = problem.isEmpty() ? std::nullopt : std::optional(QStringLiteral("Not saved, so it won't go on if Kavo quits: ") + problem);
    update(id, [&warning](UploadJob &job) { job.warning = warning; });
}

void UploadManager::keep(const QUuid &id, const std::function<void(UploadRecord &)> &change)
{
    const auto found = m_records.find(id);
    if (found == m_records.end())
        return;
    change(*found);
    saveJournal(id);
}

void UploadManager::saveJournal(const QUuid &id)
{
    if (m_services.journal && m_records.contains(id))
        noteJournal(id, writeJournal());
}

QList<JournalEntry> UploadManager::unfinished() const
{
    // The earlier run's jobs stay until they are resumed or let go. This run's are their rows
    // (what was dropped, the name, the state) with their records.
    QList<JournalEntry> entries = m_earlier;
    for (const UploadRecord &record : std::as_const(m_records)) {
        if (const std::optional<UploadJob> row = job(record.id))
            entries.append({*row, record});
    }
    std::ranges::stable_sort(entries, [](const JournalEntry &a, const JournalEntry &b) { return a.record.droppedAt < b.record.droppedAt; });
    return entries;
}

QString UploadManager::writeJournal()
{
    return m_services.journal->write(unfinished());
}

QString UploadManager::title(const QUuid &id) const
{
    return job(id).value_or(UploadJob{}).title();
}

void UploadManager::enter(const QUuid &id, UploadJob::State state)
{
    update(id, [state](UploadJob &job) { job.state = state; });
    saveJournal(id);
}

void UploadManager::keepSession(const QUuid &id, const UploadSession &session)
{
    const auto found = m_records.find(id);
    if (found == m_records.end())
        return;
    const bool secret = found->sessionHandleIsSecret() && m_services.sessionSecrets;
    const QString account = UploadRecord::sessionSecretAccount(id);
    if (secret && session.handle != found->session.handle) {
        if (session.isEmpty())
            m_services.sessionSecrets->remove(account);
        else
            m_services.sessionSecrets->save(account, session.handle);
    }
    keep(id, [&session](UploadRecord &record) { record.session = session; });
}

void UploadManager::forget(const QUuid &id)
{
    const auto found = m_records.find(id);
    if (found == m_records.end())
        return;
    if (found->sessionHandleIsSecret() && m_services.sessionSecrets)
        m_services.sessionSecrets->remove(UploadRecord::sessionSecretAccount(id));
    m_records.erase(found);
    if (m_services.journal)
        m_journalProblem = writeJournal();
}

Retry::Hooks UploadManager::retryHooks(const QUuid &id)
{
    Retry::Hooks hooks;
    hooks.pause = [this, id](std::chrono::milliseconds wait) { return pauseShown(id, wait); };
    if (m_services.awaitNetwork)
        hooks.waitForNetwork = [this, id](std::chrono::milliseconds longest) { return networkWaitShown(id, longest); };
    return hooks;
}

QCoro::Task<void> UploadManager::pauseShown(QUuid id, std::chrono::milliseconds wait)
{
    QPointer<UploadManager> self(this);
    const QDateTime until = QDateTime::currentDateTimeUtc().addMSecs(wait.count());
    update(id, [&until](UploadJob &job) {
        job.waitingUntil = until;
        job.waitingForNetwork = false;
    });
    QCoro::Task<void> pausing = m_services.pause(wait);
    co_await pausing;
    if (self)
        update(id, [](UploadJob &job) { job.waitingUntil.reset(); });
}

QCoro::Task<bool> UploadManager::networkWaitShown(QUuid id, std::chrono::milliseconds longest)
{
    QPointer<UploadManager> self(this);
    // A job the user removed stops waiting: nobody would see it come back.
    if (m_uploads.indexOf(id) < 0)
        co_return false;
    const QDateTime until = QDateTime::currentDateTimeUtc().addMSecs(longest.count());
    update(id, [&until](UploadJob &job) {
        job.waitingUntil = until;
        job.waitingForNetwork = true;
    });
    QCoro::Task<void> waiting = m_services.awaitNetwork(longest);
    co_await waiting;
    if (!self)
        co_return false;
    update(id, [](UploadJob &job) {
        job.waitingUntil.reset();
        job.waitingForNetwork = false;
    });
    co_return m_uploads.indexOf(id) >= 0;
}

QCoro::Task<bool> UploadManager::accountAwaited(QUuid id)
{
    ServiceAccount *account = m_services.account;
    if (!account)
        co_return true;
    QPointer<UploadManager> self(this);
    co_await account->loaded();
    if (!self)
        co_return false;
    if (!account->isSignedIn()) {
        qCInfo(lcUpload, "%s waits for a sign-in to Kavo", qUtf8Printable(title(id)));
        update(id, [](UploadJob &job) { job.waitingForAccount = true; });
        co_await account->signedIn();
        if (!self)
            co_return false;
        update(id, [](UploadJob &job) { job.waitingForAccount = false; });
    }
    co_return m_uploads.indexOf(id) >= 0;
}

void UploadManager::update(const QUuid &id, const std::function<void(UploadJob &)> &change)
{
    m_uploads.update(id, change);
}

void UploadManager::linkEdited(const QString &token, const std::function<void(UploadJob &)> &change)
{
    QList<QUuid> edited;
    for (const UploadJob &job : jobs())
        if (job.token == token)
            edited.append(job.id);
    for (const QUuid &id : edited)
        update(id, change);
}

void UploadManager::setProgress(const QUuid &id, double fraction)
{
    update(id, [fraction](UploadJob &job) { job.progress = fraction; });
}

void UploadManager::removeJob(const QUuid &id)
{
    m_uploads.remove(id);
    forget(id);
}

QUuid UploadManager::retryJob(const QUuid &id)
{
    const std::optional<UploadJob> failed = job(id);
    if (!failed || failed->state != UploadJob::State::Failed)
        return {};
    removeJob(id);
    return enqueue(failed->sourceURLs);
}

void UploadManager::fail(const QUuid &id, const Error &error)
{
    forget(id);
    const QString message = userMessage(error);
    update(id, [&message](UploadJob &job) {
        job.state = UploadJob::State::Failed;
        job.errorMessage = message;
        job.warning.reset();
    });
    qCWarning(lcUpload, "upload of %s failed: %s", qUtf8Printable(title(id)), qUtf8Printable(message));
    if (m_services.notifier)
        notifyFailure(id, message);
    Q_EMIT jobFinished(id, false);
}

void UploadManager::notifyFailure(const QUuid &id, const QString &message)
{
    const QString name = title(id);
    QPointer<UploadManager> self(this);
    m_services.notifier->notify(QStringLiteral("Upload failed"), name + QStringLiteral(": ") + message,
                                {{QStringLiteral("retry"), QStringLiteral("Retry"), [self, id] {
                                      if (self)
                                          self->retryJob(id);
                                  }}});
}

namespace {

// What a single dropped file is, found out on a worker thread: looking at a file can block (a
// named pipe opens only once a writer comes; a stalled network mount answers late), and the
// interface must not wait for it. Only a regular file is uploaded as it is; a file that is gone,
// cannot be opened or is not a regular file says why, rather than reading as 0 bytes or failing
// inside the provider upload.
Result<PreparedUpload> probeSingleFile(const QString &path)
{
    const QString name = QFileInfo(QDir::cleanPath(path)).fileName();
    const QByteArray local = QFile::encodeName(path);
    struct stat status {};
    if (::stat(local.constData(), &status) != 0)
        return UploadError::sourceUnreadable(name + QStringLiteral(" — ") + QString::fromLocal8Bit(std::strerror(errno)));
    if (!S_ISREG(status.st_mode))
        return UploadError::sourceUnreadable(name + QStringLiteral(" — Not a regular file"));
    // Opened without waiting, in case it was swapped for a pipe since.
    const int fd = ::open(local.constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return UploadError::sourceUnreadable(name + QStringLiteral(" — ") + QString::fromLocal8Bit(std::strerror(errno)));
    ::close(fd);
    return PreparedUpload{path, name, SourcePreparation::mimeType(path)};
}

} // namespace

QCoro::Task<Result<PreparedUpload>> UploadManager::prepare(QUuid id, QStringList sources)
{
    QFuture<std::optional<Result<PreparedUpload>>> probing = QtConcurrent::run([sources]() -> std::optional<Result<PreparedUpload>> {
        if (!SourcePreparation::isSingleFile(sources))
            return std::nullopt;
        return probeSingleFile(sources.first());
    });
    std::optional<Result<PreparedUpload>> single = co_await probing;
    if (single)
        co_return std::move(*single);
    update(id, [](UploadJob &job) { job.state = UploadJob::State::Zipping; });
    QCoro::Task<Result<PreparedUpload>> archiving = m_services.preparation.prepareArchive(sources);
    co_return co_await archiving;
}

namespace {
// Whether the prepared file is still the one the record describes (same size, same time).
bool unchanged(const UploadRecord::Prepared &prepared)
{
    const QFileInfo info(prepared.path);
    return info.isFile() && info.size() == prepared.size && info.lastModified().toMSecsSinceEpoch() == prepared.modifiedMs;
}
}

QCoro::Task<void> UploadManager::resumeUnfinished()
{
    if (!m_services.journal)
        co_return;
    QPointer<UploadManager> self(this);
    // The earlier jobs stay in the journal, as they are, while their sessions are read.
    const QList<JournalEntry> entries = m_earlier;
    if (entries.isEmpty())
        co_return;
    QList<JournalEntry> resumable;
    for (JournalEntry entry : entries) {
        if (entry.job.state == UploadJob::State::Done || entry.job.state == UploadJob::State::Failed)
            continue;
        UploadRecord &record = entry.record;
        if (record.sessionHandleIsSecret() && record.session.size > 0 && record.session.handle.isEmpty()) {
            std::optional<QString> handle;
            if (m_services.sessionSecrets) {
                QCoro::Task<SecretRead> reading = m_services.sessionSecrets->read(UploadRecord::sessionSecretAccount(record.id));
                handle = (co_await reading).value;
                if (!self)
                    co_return;
            }
            if (handle && !handle->isEmpty())
                record.session.handle = *handle;
            else
                record.session = {};
        }
        resumable.append(entry);
    }
    // They move to this run's records; the finished and failed ones leave the journal.
    m_earlier.clear();
    // Oldest first, so that the newest ends up at the top, as when they were dropped.
    for (const auto &[row, record] : std::as_const(resumable)) {
        if (m_records.contains(record.id))
            continue;
        UploadJob job = row;
        if (record.prepared) {
            job.totalBytes = record.prepared->size;
            if (record.session.size > 0)
                job.progress = double(record.session.offset) / double(record.session.size);
        }
        if (record.cloud)
            job.progress = 1.0;
        m_records.insert(record.id, record);
        m_uploads.prepend(job);
        qCInfo(lcUpload, "resuming %s (%s)", qUtf8Printable(job.displayName), qUtf8Printable(UploadJob::stateName(job.state)));
        QMetaObject::invokeMethod(
            this, [this, id = record.id] { run(id, true); }, Qt::QueuedConnection);
    }
    m_journalProblem = writeJournal();
}

QCoro::Task<void> UploadManager::removeLeftovers(QString aliasRoot)
{
    QStringList inUse;
    for (const auto &[row, record] : unfinished()) {
        inUse += row.sourcePaths();
        if (record.prepared)
            inUse.append(record.prepared->path);
    }
    const QString temp = m_services.preparation.tempDir();
    QFuture<void> removing = QtConcurrent::run([temp, aliasRoot, inUse] {
        Leftovers::removeUnused(temp, SourcePreparation::stagingKind, {});
        Leftovers::removeUnused(temp, SourcePreparation::archiveKind, inUse);
        Leftovers::removeUnused(aliasRoot, LocalPath::aliasKind, inUse);
    });
    co_await removing;
}

QCoro::Task<void> UploadManager::run(QUuid id, bool resumed, int changes)
{
    QPointer<UploadManager> self(this);
    if (!m_records.contains(id))
        co_return; // taken off the list before it started
    const auto recordOf = [this, &id] { return m_records.value(id); };
    UploadRecord record = recordOf();

    PreparedUpload file;
    qint64 size = 0;
    if (record.prepared && unchanged(*record.prepared)) {
        file = PreparedUpload{record.prepared->path, record.prepared->name, record.prepared->mimeType};
        size = record.prepared->size;
    } else {
        if (record.prepared || !record.session.isEmpty() || record.cloud) {
            // The file changed or is gone since: what was sent of it no longer counts.
            qCInfo(lcUpload, "%s changed since it was prepared; starting it again", qUtf8Printable(title(id)));
            keepSession(id, UploadSession{});
            keep(id, [](UploadRecord &r) {
                r.prepared.reset();
                r.cloud.reset();
                r.registrationSent = false;
            });
        }
        enter(id, UploadJob::State::Preparing);
        QCoro::Task<Result<PreparedUpload>> preparing = prepare(id, job(id).value_or(UploadJob{}).sourcePaths());
        const Result<PreparedUpload> prepared = co_await preparing;
        if (!self)
            co_return;
        if (!prepared) {
            fail(id, prepared.error());
            co_return;
        }
        file = prepared.value();
        const QFileInfo info(file.filePath);
        size = info.size();
        qCInfo(lcUpload, "ready to upload: %s — %ld bytes", qUtf8Printable(file.name), long(size));
        if (size < 1) {
            fail(id, UploadError::zeroByteUpload());
            co_return;
        }
        // The row takes the file's name first, so that the journal keeps it with the file.
        update(id, [&file](UploadJob &j) { j.displayName = file.name; });
        const UploadRecord::Prepared kept{file.filePath, file.name, file.mimeType, size, info.lastModified().toMSecsSinceEpoch()};
        keep(id, [&kept](UploadRecord &r) { r.prepared = kept; });
    }
    update(id, [&](UploadJob &j) {
        j.displayName = file.name;
        j.totalBytes = size;
    });

    // A job of an earlier run keeps the provider it chose then: its session belongs there.
    record = recordOf();
    const StorageProvider provider = record.provider.value_or(m_services.preferences->selectedProvider());
    keep(id, [provider](UploadRecord &r) { r.provider = provider; });
    CloudUploader *uploader = provider == StorageProvider::google ? m_services.driveUploader : m_services.dropboxUploader;
    CloudAuth *auth = provider == StorageProvider::google ? m_services.googleAuth : m_services.dropboxAuth;
    QCoro::Task<bool> awaitingAccount = accountAwaited(id);
    if (!co_await awaitingAccount)
        co_return;
    // A stored sign-in still being read from the keychain is waited for, not replaced.
    co_await auth->restored();
    if (!self)
        co_return;
    if (!auth->isSignedIn() && auth->isKeyringLocked()) {
        // Not signed out: a new sign-in would only leave the stored one behind.
        fail(id,
             SecretStore::lockedError(provider == StorageProvider::google ? QStringLiteral("Google sign-in")
                                                                          : QStringLiteral("Dropbox sign-in")));
        co_return;
    }
    if (!auth->isSignedIn()) {
        const Result<void> signedIn = co_await auth->signIn();
        if (!self)
            co_return;
        if (!signedIn) {
            fail(id, signedIn.error());
            co_return;
        }
    }

    record = recordOf();
    CloudUploadResult cloud;
    if (record.cloud && record.cloud->provider == provider) {
        cloud = *record.cloud;
    } else {
        enter(id, UploadJob::State::Uploading);
        // Reports come on the main thread (see ProgressCallback), possibly after the upload
        // returned: they only ever touch `progress`.
        const ProgressCallback progress = [self, id](double fraction) {
            if (self)
                self->setProgress(id, fraction);
        };
        // Each attempt goes on from the session the last one left, and the journal follows it.
        const auto session = std::make_shared<UploadSession>(record.session);
        std::function<QCoro::Task<Result<CloudUploadResult>>()> uploadOnce = [self, id, uploader, file, progress, session] {
            CloudUploader::SessionCallback changed = [self, id, session](const UploadSession &now) {
                *session = now;
                if (self)
                    self->keepSession(id, now);
            };
            return uploader->upload(file.filePath, file.mimeType, progress, *session, changed);
        };
        QCoro::Task<Result<CloudUploadResult>> uploading = withRetry(uploadOnce, retryHooks(id));
        const Result<CloudUploadResult> uploaded = co_await uploading;
        if (!self)
            co_return;
        if (!uploaded) {
            fail(id, uploaded.error());
            co_return;
        }
        cloud = uploaded.value();
        keepSession(id, UploadSession{});
        // The provider holds the file as it was read; if it changed meanwhile (it grew, or was
        // saved again), that copy may be cut or mixed: it goes, and the new content is sent.
        const std::optional<UploadRecord::Prepared> sent = recordOf().prepared;
        if (sent && !unchanged(*sent)) {
            if (m_services.discardCloudFile) {
                QCoro::Task<void> discarding = m_services.discardCloudFile(cloud);
                co_await discarding;
                if (!self)
                    co_return;
            }
            if (changes >= maxChangesWhileSent) {
                fail(id, UploadError::sourceChanged(file.name));
                co_return;
            }
            qCInfo(lcUpload, "%s changed while it was uploaded; sending it again", qUtf8Printable(file.name));
            keep(id, [](UploadRecord &r) { r.prepared.reset(); });
            QCoro::Task<void> again = run(id, resumed, changes + 1);
            co_await again;
            co_return;
        }
        keep(id, [&cloud](UploadRecord &r) {
            r.cloud = cloud;
            r.registrationSent = false;
        });
    }

    // Signed out while the bytes went up: the link waits for the next sign-in.
    QCoro::Task<bool> awaitingRegistration = accountAwaited(id);
    if (!co_await awaitingRegistration)
        co_return;
    enter(id, UploadJob::State::Registering);
    // A job of this run takes the preferences as they are now; one of an earlier run, those of
    // its drop.
    record = recordOf();
    const std::optional<qint64> presetID = resumed ? record.presetID : m_services.presets->effectivePresetID();
    UploadPreferences *preferences = m_services.preferences;
    const qint64 droppedExpiry = record.expiryDays;
    const auto expiryNow = [resumed, preferences, droppedExpiry] { return resumed ? droppedExpiry : preferences->expiryDays(); };
    const auto mayExist = std::make_shared<bool>(record.registrationSent);
    std::function<QCoro::Task<Result<Registration>>()> registerAttempt = [this, id, file, size, presetID, cloud, expiryNow, mayExist] {
        RegistrationRequest request;
        request.driveFileID = cloud.providerFileID;
        request.filename = file.name;
        request.filesize = size;
        request.mimetype = file.mimeType;
        request.expiryDays = expiryNow();
        request.presetID = presetID;
        request.provider = cloud.provider;
        request.directURL = cloud.directURL;
        return registerOnce(id, request, mayExist);
    };
    QCoro::Task<Result<Registration>> registering = withRetry(registerAttempt, retryHooks(id));
    const Result<Registration> registered = co_await registering;
    if (!self)
        co_return;
    if (!registered) {
        fail(id, registered.error());
        co_return;
    }

    const Registration link = registered.value();
    forget(id);
    const QString notCopied = m_services.clipboard->setText(link.url);
    if (!notCopied.isEmpty())
        qCWarning(lcUpload, "the link isn't on the clipboard: %s", qUtf8Printable(notCopied));
    const qint64 expiryDays = expiryNow();
    update(id, [&](UploadJob &j) {
        j.state = UploadJob::State::Done;
        j.warning.reset();
        j.progress = 1.0;
        j.shareURL = link.url;
        j.token = link.token;
        j.presetID = presetID;
        j.expiryDays = expiryDays;
    });
    // Only a link that is on the clipboard is said to be; else the notification offers the copy.
    if (m_services.notifier)
        m_services.notifier->notify(notCopied.isEmpty() ? QStringLiteral("Link copied") : QStringLiteral("Link ready"), link.url,
                                    linkActions(link.url, notCopied.isEmpty(), m_services.clipboard, m_services.openBrowser));
    Q_EMIT jobFinished(id, true);
    m_services.history->refresh(historyRefreshLimit);
}

QCoro::Task<Result<Registration>> UploadManager::registerOnce(QUuid id, RegistrationRequest request, std::shared_ptr<bool> mayExist)
{
    QPointer<UploadManager> self(this);
    LinkService *backend = m_services.backend;
    // After a registration whose answer never came (a lost connection, a restart), the service
    // may hold the link already: look for it before making a second one.
    if (*mayExist) {
        QCoro::Task<Result<std::optional<Registration>>> looking = backend->findRegistration(request.driveFileID, request.filename);
        const Result<std::optional<Registration>> found = co_await looking;
        if (!found)
            co_return found.error();
        if (found.value()) {
            qCInfo(lcUpload, "the service already holds the link of %s", qUtf8Printable(request.filename));
            co_return *found.value();
        }
    }
    *mayExist = true;
    if (self)
        keep(id, [](UploadRecord &r) { r.registrationSent = true; });
    QCoro::Task<Result<Registration>> registering = backend->registerUpload(request);
    co_return co_await registering;
}

QList<NotificationAction> linkActions(const QString &url, bool copied, Clipboard *clipboard,
                                      const std::function<bool(const QUrl &)> &openBrowser)
{
    QList<NotificationAction> actions;
    if (openBrowser)
        actions.append({QStringLiteral("open"), QStringLiteral("Open"), [openBrowser, url] { openBrowser(QUrl(url)); }});
    actions.append({QStringLiteral("copy"), copied ? QStringLiteral("Copy again") : QStringLiteral("Copy link"),
                    [clipboard, url] { clipboard->setText(url); }});
    return actions;
}
