#include "secretstore.h"

#include "defaultsstore.h"

#include <QHash>
#include <QStandardPaths>
#include <QThread>
#include <QTimer>
#include <qt6keychain/keychain.h>

#include <chrono>
#include <future>

std::optional<QString> MemorySecretStore::read(const QString &account)
{
    const auto it = m_items.constFind(account);
    if (it == m_items.constEnd())
        return std::nullopt;
    return *it;
}

void MemorySecretStore::save(const QString &account, const QString &value)
{
    m_items.insert(account, value);
}

void MemorySecretStore::remove(const QString &account)
{
    m_items.remove(account);
}

FileSecretStore::FileSecretStore(QString filePath)
    : m_path(std::move(filePath))
{
}

QString FileSecretStore::defaultPath()
{
    return QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation)
        + QStringLiteral("/kavo/secrets.json");
}

// The file shares the defaults format: a flat object, atomic writes, mode 0600.
std::optional<QString> FileSecretStore::read(const QString &account)
{
    const QJsonValue value = DefaultsStore(m_path).value(account);
    if (!value.isString())
        return std::nullopt;
    return value.toString();
}

void FileSecretStore::save(const QString &account, const QString &value)
{
    DefaultsStore(m_path).setValue(account, value);
}

void FileSecretStore::remove(const QString &account)
{
    DefaultsStore(m_path).remove(account);
}

namespace {
const QString keychainService = QStringLiteral("Kavo");
constexpr auto keychainWait = std::chrono::seconds(10);
}

struct KeychainSecretStore::Outcome {
    QKeychain::Error error = QKeychain::OtherError;
    QString value;
};

KeychainSecretStore::KeychainSecretStore(std::unique_ptr<SecretStore> fallback)
    : m_fallback(std::move(fallback))
    , m_thread(new QThread)
{
    // Keychain jobs run on their own thread so that the callers, which expect an answer at once,
    // can wait without spinning a nested event loop on the main thread.
    m_thread->setObjectName(QStringLiteral("kavo-keychain"));
    m_thread->start();
}

KeychainSecretStore::~KeychainSecretStore()
{
    m_thread->quit();
    m_thread->wait();
    delete m_thread;
}

KeychainSecretStore::Outcome KeychainSecretStore::run(Op op, const QString &account, const QString &value)
{
    auto promise = std::make_shared<std::promise<Outcome>>();
    std::future<Outcome> future = promise->get_future();
    auto *context = new QObject;
    context->moveToThread(m_thread);
    QMetaObject::invokeMethod(context, [=] {
        QKeychain::Job *job = nullptr;
        switch (op) {
        case Op::read:
            job = new QKeychain::ReadPasswordJob(keychainService);
            break;
        case Op::save: {
            auto *write = new QKeychain::WritePasswordJob(keychainService);
            write->setTextData(value);
            job = write;
            break;
        }
        case Op::remove:
            job = new QKeychain::DeletePasswordJob(keychainService);
            break;
        }
        job->setAutoDelete(true);
        job->setInsecureFallback(false);
        job->setKey(account);
        QObject::connect(job, &QKeychain::Job::finished, context, [promise, context](QKeychain::Job *done) {
            Outcome outcome;
            outcome.error = done->error();
            if (auto *reader = qobject_cast<QKeychain::ReadPasswordJob *>(done))
                outcome.value = reader->textData();
            promise->set_value(outcome);
            context->deleteLater();
        });
        job->start();
    }, Qt::QueuedConnection);

    if (future.wait_for(keychainWait) != std::future_status::ready) {
        Outcome outcome;
        outcome.error = QKeychain::NoBackendAvailable;
        return outcome;
    }
    return future.get();
}

bool KeychainSecretStore::usingFallback(const Outcome &outcome)
{
    if (m_fallbackActive)
        return true;
    const bool unavailable = outcome.error == QKeychain::NoBackendAvailable
        || outcome.error == QKeychain::NotImplemented
        || (!m_serviceAnswered && outcome.error == QKeychain::OtherError);
    if (!unavailable) {
        m_serviceAnswered = true;
        return false;
    }
    m_fallbackActive = true;
    qWarning("kavo: no secret service answered; keeping secrets in %s (readable by you only)",
             qPrintable(FileSecretStore::defaultPath()));
    return true;
}

std::optional<QString> KeychainSecretStore::read(const QString &account)
{
    if (!m_fallbackActive) {
        const Outcome outcome = run(Op::read, account, {});
        if (!usingFallback(outcome))
            return outcome.error == QKeychain::NoError ? std::optional<QString>(outcome.value) : std::nullopt;
    }
    return m_fallback->read(account);
}

void KeychainSecretStore::save(const QString &account, const QString &value)
{
    if (!m_fallbackActive && !usingFallback(run(Op::save, account, value)))
        return;
    m_fallback->save(account, value);
}

void KeychainSecretStore::remove(const QString &account)
{
    if (!m_fallbackActive && !usingFallback(run(Op::remove, account, {})))
        return;
    m_fallback->remove(account);
}

std::unique_ptr<SecretStore> SecretStore::createDefault()
{
    return std::make_unique<KeychainSecretStore>(std::make_unique<FileSecretStore>(FileSecretStore::defaultPath()));
}
