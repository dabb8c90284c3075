#include "uploadmanager.h"

#include "cloud/clouduploader.h"
#include "platform/desktop.h"
#include "platform/logging.h"
#include "platform/notificationcenter.h"
#include "uploaderror.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QPointer>
#include <QtConcurrent/QtConcurrentRun>
#include <qcoro/qcorofuture.h>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

UploadManager::UploadManager(Services services, QObject *parent)
    : QObject(parent)
    , m_services(std::move(services))
{
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
    m_uploads.prepend(job);
    // Started from the event loop so that enqueue returns before the job's first step runs.
    QMetaObject::invokeMethod(this, [this, job] { process(job); }, Qt::QueuedConnection);
    return job.id;
}

void UploadManager::update(const QUuid &id, const std::function<void(UploadJob &)> &change)
{
    m_uploads.update(id, change);
}

void UploadManager::setProgress(const QUuid &id, double fraction)
{
    update(id, [fraction](UploadJob &job) { job.progress = fraction; });
}

void UploadManager::removeJob(const QUuid &id)
{
    m_uploads.remove(id);
}

void UploadManager::fail(const QUuid &id, const Error &error)
{
    const QString message = userMessage(error);
    update(id, [&message](UploadJob &job) {
        job.state = UploadJob::State::failed;
        job.errorMessage = message;
    });
    Q_EMIT jobFinished(id, false);
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
    update(id, [](UploadJob &job) { job.state = UploadJob::State::zipping; });
    QCoro::Task<Result<PreparedUpload>> archiving = m_services.preparation.prepareArchive(sources);
    co_return co_await archiving;
}

QCoro::Task<void> UploadManager::process(UploadJob job)
{
    QPointer<UploadManager> self(this);
    const QUuid id = job.id;
    update(id, [](UploadJob &j) { j.state = UploadJob::State::preparing; });

    QCoro::Task<Result<PreparedUpload>> preparing = prepare(id, job.sourcePaths());
    const Result<PreparedUpload> prepared = co_await preparing;
    if (!self)
        co_return;
    if (!prepared) {
        fail(id, prepared.error());
        co_return;
    }
    const PreparedUpload file = prepared.value();

    const qint64 size = QFileInfo(file.filePath).size();
    qCInfo(lcUpload, "ready to upload: %s — %ld bytes", qUtf8Printable(file.name), long(size));
    if (size < 1) {
        fail(id, UploadError::zeroByteUpload());
        co_return;
    }
    update(id, [&](UploadJob &j) {
        j.displayName = file.name;
        j.totalBytes = size;
    });

    const StorageProvider provider = m_services.preferences->selectedProvider();
    CloudUploader *uploader = provider == StorageProvider::google ? m_services.driveUploader : m_services.dropboxUploader;
    CloudAuth *auth = provider == StorageProvider::google ? m_services.googleAuth : m_services.dropboxAuth;
    // A stored sign-in still being read from the keychain is waited for, not replaced.
    co_await auth->restored();
    if (!self)
        co_return;
    if (!auth->isSignedIn()) {
        const Result<void> signedIn = co_await auth->signIn();
        if (!self)
            co_return;
        if (!signedIn) {
            fail(id, signedIn.error());
            co_return;
        }
    }

    update(id, [](UploadJob &j) { j.state = UploadJob::State::uploading; });
    // Reports may come from any thread and after the upload returned: each one is carried to the
    // main thread on its own and only ever touches `progress`.
    const ProgressCallback progress = [self, id](double fraction) {
        QMetaObject::invokeMethod(QCoreApplication::instance(), [self, id, fraction] {
            if (self)
                self->setProgress(id, fraction);
        }, Qt::QueuedConnection);
    };
    std::function<QCoro::Task<Result<CloudUploadResult>>()> uploadOnce = [uploader, file, progress] {
        return uploader->upload(file.filePath, file.mimeType, progress);
    };
    QCoro::Task<Result<CloudUploadResult>> uploading = withRetry(uploadOnce, m_services.pause);
    const Result<CloudUploadResult> uploaded = co_await uploading;
    if (!self)
        co_return;
    if (!uploaded) {
        fail(id, uploaded.error());
        co_return;
    }
    const CloudUploadResult cloud = uploaded.value();

    update(id, [](UploadJob &j) { j.state = UploadJob::State::registering; });
    const std::optional<qint64> presetID = m_services.presets->effectivePresetID();
    LinkService *backend = m_services.backend;
    UploadPreferences *preferences = m_services.preferences;
    std::function<QCoro::Task<Result<Registration>>()> registerOnce = [backend, preferences, file, size, presetID, cloud] {
            RegistrationRequest request;
            request.driveFileID = cloud.providerFileID;
            request.filename = file.name;
            request.filesize = size;
            request.mimetype = file.mimeType;
            request.expiryDays = preferences->expiryDays();
            request.presetID = presetID;
            request.provider = cloud.provider;
            request.directURL = cloud.directURL;
            return backend->registerUpload(request);
        };
    QCoro::Task<Result<Registration>> registering = withRetry(registerOnce, m_services.pause);
    const Result<Registration> registered = co_await registering;
    if (!self)
        co_return;
    if (!registered) {
        fail(id, registered.error());
        co_return;
    }

    const Registration link = registered.value();
    m_services.clipboard->setText(link.url);
    const qint64 expiryDays = preferences->expiryDays();
    update(id, [&](UploadJob &j) {
        j.state = UploadJob::State::done;
        j.progress = 1.0;
        j.shareURL = link.url;
        j.token = link.token;
        j.presetID = presetID;
        j.expiryDays = expiryDays;
    });
    m_services.notifier->notify(QStringLiteral("Link copied"), link.url);
    m_services.notifications->post(NotificationCenter::uploadSucceeded);
    Q_EMIT jobFinished(id, true);
    m_services.history->refresh(historyRefreshLimit);
}

namespace {
const QString noToken = QStringLiteral("Upload has no token yet.");
}

template<typename T>
QCoro::Task<std::optional<QString>> UploadManager::editLink(UploadJob job, QString prefix, EditCall<T> call,
                                                            EditApply<T> apply)
{
    if (!job.token)
        co_return noToken;
    const QString token = *job.token;
    QPointer<UploadManager> self(this);
    const Result<T> outcome = co_await call(token);
    if (!self)
        co_return std::nullopt;
    if (!outcome) {
        const QString message = prefix + outcome.error().description;
        update(job.id, [&message](UploadJob &j) { j.errorMessage = message; });
        co_return outcome.error().description;
    }
    if constexpr (std::is_void_v<T>)
        apply(token, std::monostate{});
    else
        apply(token, outcome.value());
    co_return std::nullopt;
}

QCoro::Task<std::optional<QString>> UploadManager::setJobPassword(UploadJob job, QString password)
{
    const bool isProtected = !password.isEmpty();
    EditCall<void> call = [this, password](const QString &token) { return m_services.backend->setPassword(token, password); };
    EditApply<void> apply = [this, id = job.id, isProtected](const QString &token, std::monostate) {
        update(id, [isProtected](UploadJob &j) { j.isProtected = isProtected; });
        m_services.history->updateProtected(token, isProtected);
    };
    return editLink<void>(job, QStringLiteral("Couldn't set password: "), call, apply);
}

QCoro::Task<std::optional<QString>> UploadManager::renameJob(UploadJob job, QString newName)
{
    EditCall<QString> call = [this, newName](const QString &token) { return m_services.backend->rename(token, newName); };
    EditApply<QString> apply = [this, id = job.id](const QString &token, const QString &stored) {
        update(id, [&stored](UploadJob &j) { j.displayName = stored; });
        m_services.history->updateFilename(token, stored);
    };
    return editLink<QString>(job, QStringLiteral("Couldn't rename: "), call, apply);
}

QCoro::Task<void> UploadManager::changeJobExpiry(UploadJob job, qint64 days)
{
    using Expiry = std::optional<QString>;
    EditCall<Expiry> call = [this, days](const QString &token) { return m_services.backend->setExpiry(token, days); };
    EditApply<Expiry> apply = [this, id = job.id, days](const QString &token, const Expiry &expiresAt) {
        update(id, [&](UploadJob &j) {
            j.expiryDays = days;
            j.expiresAt = expiresAt;
        });
        m_services.history->updateExpiry(token, expiresAt);
    };
    QCoro::Task<std::optional<QString>> editing = editLink<Expiry>(job, QStringLiteral("Couldn't change expiry: "), call, apply);
    co_await editing;
}

QCoro::Task<void> UploadManager::changeJobDesign(UploadJob job, qint64 presetID)
{
    EditCall<void> call = [this, presetID](const QString &token) { return m_services.backend->setPreset(token, presetID); };
    EditApply<void> apply = [this, id = job.id, presetID](const QString &token, std::monostate) {
        update(id, [presetID](UploadJob &j) { j.presetID = presetID; });
        m_services.history->updatePreset(token, presetID);
    };
    QCoro::Task<std::optional<QString>> editing = editLink<void>(job, QStringLiteral("Couldn't change design: "), call, apply);
    co_await editing;
}

QCoro::Task<std::optional<QString>> UploadManager::setLinkPassword(QString token, QString password)
{
    QPointer<UploadManager> self(this);
    const Result<void> done = co_await m_services.backend->setPassword(token, password);
    if (!self)
        co_return std::nullopt;
    if (!done)
        co_return done.error().description;
    m_services.history->updateProtected(token, !password.isEmpty());
    co_return std::nullopt;
}
