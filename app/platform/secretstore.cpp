#include "secretstore.h"

#include "defaultsstore.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMetaType>
#include <QDBusObjectPath>
#include <QFuture>
#include <QPromise>
#include <QStandardPaths>
#include <QThread>
#include <QUuid>
#include <qcoro/qcorofuture.h>
#include <qt6keychain/keychain.h>

#include <deque>

Error SecretStore::lockedError(const QString &what)
{
    return {errorDomain, locked,
            QStringLiteral("Your keyring is locked, so Kavo can't read your %1. Unlock it when Kavo asks (or in your keyring app), "
                           "then try again.")
                .arg(what)};
}

FileSecretStore::FileSecretStore(QString filePath)
    : m_path(std::move(filePath))
{
}

QString FileSecretStore::defaultPath()
{
    return QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation) + QStringLiteral("/kavo/secrets.json");
}

// The file shares the defaults format: a flat object, atomic writes under its lock, mode 0600.
std::optional<QString> FileSecretStore::value(const QString &account) const
{
    const QJsonValue value = DefaultsStore(m_path).value(account);
    if (!value.isString())
        return std::nullopt;
    return value.toString();
}

QCoro::Task<SecretRead> FileSecretStore::read(QString account)
{
    co_return SecretRead{value(account), false};
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

// The names a secret service is reached by on the session bus: the freedesktop one (GNOME
// Keyring, KeePassXC, KWallet 6) and KWallet's own.
const QStringList secretServiceNames{QStringLiteral("org.freedesktop.secrets"), QStringLiteral("org.kde.kwalletd6"),
                                     QStringLiteral("org.kde.kwalletd5")};

// Why there is no secret service to ask, or empty when there may be one: one running on the bus
// or one the bus starts on demand. Asks the bus daemon only, never the service itself.
QString whyNoSecretService()
{
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected())
        return QStringLiteral("there is no D-Bus session bus");
    QDBusConnectionInterface *daemon = bus.interface();
    if (!daemon)
        return QStringLiteral("the session bus does not answer");
    const QDBusReply<QStringList> activatable = daemon->activatableServiceNames();
    for (const QString &name : secretServiceNames) {
        if (daemon->isServiceRegistered(name).value() || (activatable.isValid() && activatable.value().contains(name)))
            return {};
    }
    return QStringLiteral("no secret service is running on the session bus or can be started there");
}

// A call on the freedesktop secret service itself, for what QtKeychain does not tell: calls that
// never prompt, so they answer at once.
QDBusMessage askSecretService(const QString &method, const QVariantList &arguments)
{
    QDBusMessage call
        = QDBusMessage::createMethodCall(QStringLiteral("org.freedesktop.secrets"), QStringLiteral("/org/freedesktop/secrets"),
                                         QStringLiteral("org.freedesktop.Secret.Service"), method);
    call.setArguments(arguments);
    return QDBusConnection::sessionBus().call(call, QDBus::Block, 5000);
}

// Whether the secret service holds Kavo's item for `account` behind a lock. A read that a
// dismissed unlock prompt ended looks like a missing item to QtKeychain.
bool heldLocked(const QString &account)
{
    using Attributes = QMap<QString, QString>;
    static const QMetaType registered = qDBusRegisterMetaType<Attributes>();
    Q_UNUSED(registered);
    const Attributes attributes{{QStringLiteral("server"), keychainService}, {QStringLiteral("user"), account}};
    const QDBusMessage reply = askSecretService(QStringLiteral("SearchItems"), {QVariant::fromValue(attributes)});
    if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().size() != 2)
        return false;
    return !qdbus_cast<QList<QDBusObjectPath>>(reply.arguments().at(1)).isEmpty();
}

// Whether the secret service has a default keyring, and it is locked.
bool defaultKeyringLocked()
{
    const QDBusMessage alias = askSecretService(QStringLiteral("ReadAlias"), {QStringLiteral("default")});
    if (alias.type() != QDBusMessage::ReplyMessage || alias.arguments().size() != 1)
        return false;
    const QString path = qdbus_cast<QDBusObjectPath>(alias.arguments().at(0)).path();
    if (path.isEmpty() || path == QLatin1String("/"))
        return false;
    QDBusMessage call = QDBusMessage::createMethodCall(QStringLiteral("org.freedesktop.secrets"), path,
                                                       QStringLiteral("org.freedesktop.DBus.Properties"), QStringLiteral("Get"));
    call.setArguments({QStringLiteral("org.freedesktop.Secret.Collection"), QStringLiteral("Locked")});
    const QDBusMessage locked = QDBusConnection::sessionBus().call(call, QDBus::Block, 5000);
    return locked.type() == QDBusMessage::ReplyMessage && locked.arguments().size() == 1
        && qdbus_cast<QDBusVariant>(locked.arguments().at(0)).variant().toBool();
}

// Whether the secret service answers but has no keyring to keep items in: the user dismissed its
// prompt to create the first one.
bool hasNoKeyring()
{
    const QDBusMessage reply = askSecretService(QStringLiteral("ReadAlias"), {QStringLiteral("default")});
    return reply.type() == QDBusMessage::ReplyMessage && reply.arguments().size() == 1
        && qdbus_cast<QDBusObjectPath>(reply.arguments().at(0)).path() == QLatin1String("/");
}
}

// One call on the store; a read's answer goes to its promise.
struct KeychainCall {
    enum class Kind { read, save, remove, allowUnlockPrompt };
    Kind kind = Kind::read;
    QString account;
    QString value;
    std::shared_ptr<QPromise<SecretRead>> answer;
};

// Lives on the store's thread and runs the calls one at a time, in order.
class KeychainWorker : public QObject
{
public:
    KeychainWorker(std::unique_ptr<FileSecretStore> fallback, std::function<void(const QString &)> forgetful,
                   std::shared_ptr<std::atomic<bool>> keptPrivate)
        : m_fallback(std::move(fallback))
        , m_forgetful(std::move(forgetful))
        , m_private(std::move(keptPrivate))
    {
    }
    ~KeychainWorker() override
    {
        // Quitting with calls still waiting: their readers get no value rather than a broken
        // promise.
        if (m_current)
            answer(*m_current, {});
        for (KeychainCall &call : m_queue)
            answer(call, {});
    }

    void add(KeychainCall call)
    {
        m_queue.push_back(std::move(call));
        if (!m_current)
            next();
    }

private:
    enum class Backend { undecided, probing, keychain, file, memory };
    static inline const QString probeAccount = QStringLiteral("Kavo.probe");

    static void answer(KeychainCall &call, const SecretRead &value)
    {
        if (!call.answer)
            return;
        call.answer->addResult(value);
        call.answer->finish();
        call.answer.reset();
    }

    void useFile(const QString &why)
    {
        m_backend = Backend::file;
        m_private->store(false);
        qWarning("kavo: keeping secrets in %s (readable by you only), because %s", qPrintable(m_fallback->path()), qPrintable(why));
    }

    void useMemory()
    {
        m_backend = Backend::memory;
        m_private->store(true);
        const QString sentence = QStringLiteral("You didn't create a keyring, so Kavo keeps your sign-ins only until it quits. "
                                                "You'll sign in again next time.");
        qWarning("kavo: %s", qPrintable(sentence));
        m_forgetful(sentence);
    }

    // The file, or this run's memory.
    void runOnFallback(KeychainCall &call)
    {
        const bool file = m_backend == Backend::file;
        switch (call.kind) {
        case KeychainCall::Kind::read: {
            const auto kept = m_memory.constFind(call.account);
            if (file)
                answer(call, {m_fallback->value(call.account), false});
            else
                answer(call, {kept == m_memory.constEnd() ? std::nullopt : std::optional<QString>(*kept), false});
            break;
        }
        case KeychainCall::Kind::save:
            if (file)
                m_fallback->save(call.account, call.value);
            else
                m_memory.insert(call.account, call.value);
            break;
        case KeychainCall::Kind::remove:
            if (file)
                m_fallback->remove(call.account);
            else
                m_memory.remove(call.account);
            break;
        case KeychainCall::Kind::allowUnlockPrompt:
            break;
        }
    }

    // Whether the secret service keeps what it is given: an item written, read back and removed.
    // A service that fails that (one that cannot be reached, or is only named on the bus) is no
    // store, and the file is; one that refuses access (a locked keyring whose unlock was
    // dismissed) stays the store; one with no keyring, whose creation the user dismissed, keeps
    // this run's items in memory.
    void probe()
    {
        if (defaultKeyringLocked()) {
            // A keyring that is there but locked keeps items: no test item, whose write would
            // have the user unlock it before Kavo even asks for anything.
            m_backend = Backend::keychain;
            m_private->store(true);
            return runCurrent();
        }
        m_backend = Backend::probing;
        const QString token = QUuid::createUuid().toString(QUuid::WithoutBraces);
        const auto decided = [this](QKeychain::Job *job) {
            const QKeychain::Error error = job->error();
            if (error == QKeychain::NoError || error == QKeychain::AccessDenied || error == QKeychain::AccessDeniedByUser) {
                m_backend = Backend::keychain;
                m_private->store(true);
            } else if (hasNoKeyring()) {
                useMemory();
            } else {
                useFile(QStringLiteral("the secret service did not keep a test item (%1)").arg(job->errorString()));
            }
            runCurrent();
        };
        auto *write = new QKeychain::WritePasswordJob(keychainService, this);
        write->setTextData(token);
        startJob(write, probeAccount, [this, token, decided](QKeychain::Job *written) {
            if (written->error() != QKeychain::NoError)
                return decided(written);
            auto *read = new QKeychain::ReadPasswordJob(keychainService, this);
            startJob(read, probeAccount, [this, token, decided, read](QKeychain::Job *) {
                if (read->error() == QKeychain::NoError && read->textData() != token) {
                    useFile(QStringLiteral("the secret service gave back something else than it was given"));
                    return runCurrent();
                }
                if (read->error() != QKeychain::NoError)
                    return decided(read);
                startJob(new QKeychain::DeletePasswordJob(keychainService, this), probeAccount, decided);
            });
        });
    }

    void startJob(QKeychain::Job *job, const QString &account, const std::function<void(QKeychain::Job *)> &done)
    {
        job->setAutoDelete(true);
        job->setInsecureFallback(false);
        job->setKey(account);
        connect(job, &QKeychain::Job::finished, this, done);
        job->start();
    }

    void next()
    {
        m_current.reset();
        if (m_queue.empty())
            return;
        m_current = std::move(m_queue.front());
        m_queue.pop_front();
        if (m_backend == Backend::undecided) {
            const QString why = whyNoSecretService();
            if (why.isEmpty())
                return probe();
            useFile(why);
        }
        runCurrent();
    }

    void runCurrent()
    {
        if (m_backend == Backend::file || m_backend == Backend::memory) {
            runOnFallback(*m_current);
            QMetaObject::invokeMethod(
                this, [this] { next(); }, Qt::QueuedConnection);
            return;
        }
        QKeychain::Job *job = nullptr;
        switch (m_current->kind) {
        case KeychainCall::Kind::allowUnlockPrompt:
            m_unlockRefused = false;
            return next();
        case KeychainCall::Kind::read:
            // The user has just dismissed an unlock prompt: an item still locked is not asked
            // for again (each read would prompt anew) until they ask for it.
            if (m_unlockRefused && heldLocked(m_current->account)) {
                answer(*m_current, {std::nullopt, true});
                return next();
            }
            job = new QKeychain::ReadPasswordJob(keychainService, this);
            break;
        case KeychainCall::Kind::save: {
            auto *write = new QKeychain::WritePasswordJob(keychainService, this);
            write->setTextData(m_current->value);
            job = write;
            break;
        }
        case KeychainCall::Kind::remove:
            job = new QKeychain::DeletePasswordJob(keychainService, this);
            break;
        }
        startJob(job, m_current->account, [this](QKeychain::Job *done) { finished(done); });
    }

    void finished(QKeychain::Job *job)
    {
        if (!m_current)
            return;
        KeychainCall &call = *m_current;
        const QKeychain::Error error = job->error();
        if (error == QKeychain::NoBackendAvailable || error == QKeychain::NotImplemented) {
            useFile(QStringLiteral("the secret service cannot be used (%1)").arg(job->errorString()));
            runOnFallback(call);
        } else if (error == QKeychain::NoError) {
            if (auto *reader = qobject_cast<QKeychain::ReadPasswordJob *>(job))
                answer(call, {reader->textData(), false});
        } else {
            // Locked and not unlocked, refused, or an item that is not there: the service stays
            // the store. A locked item is told apart from a missing one.
            const bool locked = error == QKeychain::AccessDenied || error == QKeychain::AccessDeniedByUser
                || (error == QKeychain::EntryNotFound && call.kind == KeychainCall::Kind::read && heldLocked(call.account));
            if (error != QKeychain::EntryNotFound || locked) {
                static const char *const verbs[] = {"read", "save", "remove"};
                qWarning("kavo: the secret service did not %s %s: %s", verbs[int(call.kind)], qPrintable(call.account),
                         locked ? "the keyring is locked" : qPrintable(job->errorString()));
            }
            answer(call, {std::nullopt, locked});
            if (locked)
                m_unlockRefused = true;
        }
        next();
    }

    std::unique_ptr<FileSecretStore> m_fallback;
    std::function<void(const QString &)> m_forgetful;
    std::shared_ptr<std::atomic<bool>> m_private;
    QHash<QString, QString> m_memory;
    std::deque<KeychainCall> m_queue;
    std::optional<KeychainCall> m_current;
    Backend m_backend = Backend::undecided;
    bool m_unlockRefused = false;
};

KeychainSecretStore::KeychainSecretStore(std::unique_ptr<FileSecretStore> fallback)
    : m_thread(new QThread)
{
    m_worker = new KeychainWorker(
        std::move(fallback),
        [this](const QString &sentence) {
            QMetaObject::invokeMethod(
                &m_home,
                [this, sentence] {
                    if (m_forgetful)
                        m_forgetful(sentence);
                },
                Qt::QueuedConnection);
        },
        m_private);
    m_thread->setObjectName(QStringLiteral("kavo-keychain"));
    m_worker->moveToThread(m_thread);
    m_thread->start();
}

KeychainSecretStore::~KeychainSecretStore()
{
    KeychainWorker *worker = m_worker;
    QMetaObject::invokeMethod(
        worker, [worker] { delete worker; }, Qt::BlockingQueuedConnection);
    m_thread->quit();
    m_thread->wait();
    delete m_thread;
}

void KeychainSecretStore::enqueue(KeychainCall call)
{
    KeychainWorker *worker = m_worker;
    QMetaObject::invokeMethod(
        worker, [worker, call = std::move(call)]() mutable { worker->add(std::move(call)); }, Qt::QueuedConnection);
}

QCoro::Task<SecretRead> KeychainSecretStore::read(QString account)
{
    auto promise = std::make_shared<QPromise<SecretRead>>();
    promise->start();
    QFuture<SecretRead> answer = promise->future();
    enqueue({KeychainCall::Kind::read, account, {}, std::move(promise)});
    const SecretRead value = co_await answer;
    co_return value;
}

void KeychainSecretStore::save(const QString &account, const QString &value)
{
    enqueue({KeychainCall::Kind::save, account, value, nullptr});
}

void KeychainSecretStore::remove(const QString &account)
{
    enqueue({KeychainCall::Kind::remove, account, {}, nullptr});
}

void KeychainSecretStore::allowUnlockPrompt()
{
    enqueue({KeychainCall::Kind::allowUnlockPrompt, {}, {}, nullptr});
}

std::unique_ptr<SecretStore> SecretStore::createDefault()
{
    return std::make_unique<KeychainSecretStore>(std::make_unique<FileSecretStore>(FileSecretStore::defaultPath()));
}
