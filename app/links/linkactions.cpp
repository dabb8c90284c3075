#include "linkactions.h"

#include <algorithm>
#include <cmath>

#include "cloudcleanup.h"
#include "platform/desktop.h"
#include "service/backendapi.h"
#include "service/historystore.h"
#include "upload/uploadmanager.h"

#include <QDateTime>
#include <QLocale>
#include <QPointer>
#include <QRegularExpression>

namespace {

std::optional<UploadJob> jobOf(UploadManager *uploads, const QString &id)
{
    return uploads->job(QUuid::fromString(id));
}

QString errorText(const Error &error)
{
    return error.description;
}

} // namespace

LinkActions::LinkActions(BackendAPI *backend, CloudCleanup *cleanup, HistoryStore *history, UploadManager *uploads, Clipboard *clipboard,
                         QObject *parent)
    : QObject(parent)
    , m_backend(backend)
    , m_cleanup(cleanup)
    , m_history(history)
    , m_uploads(uploads)
    , m_clipboard(clipboard)
{
}

void LinkActions::copy(const QString &text)
{
    // Made from a click in the panel, which even Qt's own copy on Wayland is allowed; nobody to tell.
    m_clipboard->setText(text);
}

bool LinkActions::isListed(const QString &token) const
{
    const QList<HistoryItem> &items = m_history->items();
    return std::ranges::any_of(items, [&token](const HistoryItem &item) { return item.token == token; });
}

QCoro::Task<Result<void>> LinkActions::presetEdit(QString token, qint64 presetID)
{
    QPointer<LinkActions> self(this);
    const Result<void> done = co_await m_backend->setPreset(token, presetID);
    if (!self || !done)
        co_return done;
    m_history->updatePreset(token, presetID);
    m_uploads->linkEdited(token, [presetID](UploadJob &j) { j.presetID = presetID; });
    co_return done;
}

QCoro::Task<Result<void>> LinkActions::expiryEdit(QString token, qint64 days)
{
    QPointer<LinkActions> self(this);
    const Result<std::optional<QString>> expires = co_await m_backend->setExpiry(token, days);
    if (!self)
        co_return Result<void>();
    if (!expires)
        co_return expires.error();
    m_history->updateExpiry(token, expires.value());
    m_uploads->linkEdited(token, [days, expiresAt = expires.value()](UploadJob &j) {
        j.expiryDays = days;
        j.expiresAt = expiresAt;
    });
    co_return Result<void>();
}

QCoro::Task<Result<void>> LinkActions::renameEdit(QString token, QString name)
{
    QPointer<LinkActions> self(this);
    const Result<QString> stored = co_await m_backend->rename(token, name);
    if (!self)
        co_return Result<void>();
    if (!stored)
        co_return stored.error();
    // The name the service stored, which may differ from the one asked for.
    m_history->updateFilename(token, stored.value());
    m_uploads->linkEdited(token, [name = stored.value()](UploadJob &j) { j.displayName = name; });
    co_return Result<void>();
}

QCoro::Task<Result<void>> LinkActions::passwordEdit(QString token, QString password)
{
    QPointer<LinkActions> self(this);
    const Result<void> done = co_await m_backend->setPassword(token, password);
    if (!self || !done)
        co_return done;
    const bool isProtected = !password.isEmpty();
    m_history->updateProtected(token, isProtected);
    m_uploads->linkEdited(token, [isProtected](UploadJob &j) { j.isProtected = isProtected; });
    co_return done;
}

void LinkActions::editLink(const QString &token, const QString &action, const Edit &edit)
{
    run(token, action, [edit, token]() -> QCoro::Task<Outcome> {
        const Result<void> done = co_await edit(token);
        co_return Outcome{done ? QString() : errorText(done.error()), QString()};
    });
}

QCoro::Task<void> LinkActions::editJob(QString jobID, QString prefix, Edit edit)
{
    const std::optional<UploadJob> job = jobOf(m_uploads, jobID);
    if (!job || !job->token)
        co_return;
    QPointer<LinkActions> self(this);
    const Result<void> done = co_await edit(*job->token);
    if (self && !done)
        m_uploads->uploads()->update(job->id, [message = prefix + done.error().description](UploadJob &j) { j.errorMessage = message; });
}

void LinkActions::setPreset(const QString &token, qint64 presetID)
{
    editLink(token, QStringLiteral("design"), [this, presetID](QString t) { return presetEdit(t, presetID); });
}

void LinkActions::setExpiry(const QString &token, qint64 days)
{
    editLink(token, QStringLiteral("expiry"), [this, days](QString t) { return expiryEdit(t, days); });
}

void LinkActions::rename(const QString &token, const QString &currentName, const QString &input)
{
    const QString name = renamed(currentName, input);
    if (!name.isEmpty())
        editLink(token, QStringLiteral("rename"), [this, name](QString t) { return renameEdit(t, name); });
}

void LinkActions::setPassword(const QString &token, const QString &password)
{
    editLink(token, QStringLiteral("password"), [this, password](QString t) { return passwordEdit(t, password); });
}

void LinkActions::deleteLink(const QString &token, const QString &driveFileID, const QString &provider)
{
    // One delete of a link at a time: a second press (or a second row of the same token) while
    // one is in flight sends nothing.
    if (m_history->model()->isDeleting(token))
        return;
    m_history->model()->setDeleting(token, true);
    run(token, QStringLiteral("delete"), [this, token, driveFileID, provider]() -> QCoro::Task<Outcome> {
        QPointer<LinkActions> self(this);
        // The cloud file first: once the link is gone nothing would point at the file any more.
        // Its failure is a warning; only the service's refusal fails the delete.
        std::optional<QString> cleanupProblem;
        if (!driveFileID.isEmpty()) {
            QCoro::Task<std::optional<QString>> cleaning = m_cleanup->clean(driveFileID, provider);
            cleanupProblem = co_await cleaning;
            if (!self)
                co_return Outcome{};
        }
        QCoro::Task<Result<void>> deleting = m_backend->deleteLink(token);
        const Result<void> deleted = co_await deleting;
        if (!self)
            co_return Outcome{};
        if (!deleted) {
            m_history->model()->setDeleting(token, false);
            co_return Outcome{errorText(deleted.error()), QString()};
        }
        // The row stays busy until the link has left the list.
        m_history->removeToken(token);
        m_history->model()->setDeleting(token, false);
        co_return Outcome{QString(), cleanupProblem.value_or(QString())};
    });
}

void LinkActions::sendLink(const QString &token, const QString &address, const QString &note)
{
    const QString to = address.trimmed();
    run(token, QStringLiteral("send"), [this, token, to, note]() -> QCoro::Task<Outcome> {
        const Result<void> sent = co_await m_backend->sendLink(token, to, note);
        co_return Outcome{sent ? QString() : errorText(sent.error()), QString()};
    });
}

QCoro::Task<void> LinkActions::run(QString token, QString action, std::function<QCoro::Task<Outcome>()> work)
{
    QPointer<LinkActions> self(this);
    QCoro::Task<Outcome> running = work();
    const Outcome outcome = co_await running;
    if (!self)
        co_return;
    // A failed send says so in its own sheet; the row's error line is the other actions'.
    if (action != QLatin1String("send"))
        m_history->model()->setError(token, outcome.error);
    Q_EMIT finished(token, action, outcome.error, outcome.warning);
}

void LinkActions::changeJobDesign(const QString &jobID, qint64 presetID)
{
    editJob(jobID, QStringLiteral("Couldn't change design: "), [this, presetID](QString t) { return presetEdit(t, presetID); });
}

void LinkActions::changeJobExpiry(const QString &jobID, qint64 days)
{
    editJob(jobID, QStringLiteral("Couldn't change expiry: "), [this, days](QString t) { return expiryEdit(t, days); });
}

void LinkActions::setJobPassword(const QString &jobID, const QString &password)
{
    editJob(jobID, QStringLiteral("Couldn't set password: "), [this, password](QString t) { return passwordEdit(t, password); });
}

void LinkActions::renameJob(const QString &jobID, const QString &input)
{
    const std::optional<UploadJob> job = jobOf(m_uploads, jobID);
    const QString name = job ? renamed(job->displayName, input) : QString();
    if (!name.isEmpty())
        editJob(jobID, QStringLiteral("Couldn't rename: "), [this, name](QString t) { return renameEdit(t, name); });
}

void LinkActions::removeJob(const QString &jobID)
{
    m_uploads->removeJob(QUuid::fromString(jobID));
}

void LinkActions::retryJob(const QString &jobID)
{
    m_uploads->retryJob(QUuid::fromString(jobID));
}

QString LinkActions::stageText(UploadJob::State state, double progress)
{
    switch (state) {
    case UploadJob::State::Queued:
        return QStringLiteral("Waiting");
    case UploadJob::State::Preparing:
        return QStringLiteral("Preparing…");
    case UploadJob::State::Zipping:
        return QStringLiteral("Zipping folder…");
    case UploadJob::State::Uploading:
        return QStringLiteral("Uploading… ") + QString::number(int(progress * 100)) + QLatin1Char('%');
    case UploadJob::State::Registering:
        return QStringLiteral("Finishing…");
    case UploadJob::State::Done:
        return QStringLiteral("Done");
    case UploadJob::State::Failed:
        return QStringLiteral("Failed");
    }
    return {};
}

QString LinkActions::waitText(double msLeft, bool forNetwork)
{
    const qint64 seconds = std::max<qint64>(0, qint64(std::ceil(msLeft / 1000)));
    const QString left
        = seconds < 120 ? QString::number(seconds) + QStringLiteral(" s") : QString::number((seconds + 59) / 60) + QStringLiteral(" min");
    if (forNetwork)
        return QStringLiteral("Waiting for the network… next try in ") + left;
    return QStringLiteral("Waiting to retry… ") + left;
}

QString LinkActions::uploadTitle(const QString &displayName, const QList<QUrl> &sources)
{
    return UploadJob::title(displayName, sources);
}

QString LinkActions::renamed(const QString &currentName, const QString &input)
{
    const QString name = input.trimmed();
    return name.isEmpty() || name == currentName ? QString() : name;
}
