#include "accountstore.h"

#include "platform/blockingwait.h"
#include "platform/secretstore.h"

#include <QTimer>

#include <cstdio>

namespace {
std::optional<QString> stringValue(const QJsonValue &value)
{
    return value.isString() ? std::optional<QString>(value.toString()) : std::nullopt;
}

QJsonValue optionalValue(const std::optional<QString> &value)
{
    return value ? QJsonValue(*value) : QJsonValue(QJsonValue::Undefined);
}
}

AccountStore::AccountStore(SecretStore *secrets, DefaultsStore defaults, DefaultsStore suite, BuiltinAccount builtin, QObject *parent)
    : QObject(parent)
    , m_secrets(secrets)
    , m_defaults(std::move(defaults))
    , m_suite(std::move(suite))
{
    load(builtin);
}

void AccountStore::load(const BuiltinAccount &builtin)
{
    QCoro::connect(m_secrets->read(keychainAccount), this, [this, builtin](const SecretRead &stored) {
        // A sign-in or sign-out while the keychain was answering has the last word.
        if (!m_loaded.isReached())
            apply(stored, builtin);
        m_loaded.reach();
    });
}

void AccountStore::unlockKeyring()
{
    if (!m_keyringLocked || m_unlocking)
        return;
    m_unlocking = true;
    m_secrets->allowUnlockPrompt();
    QCoro::connect(m_secrets->read(keychainAccount), this, [this](const SecretRead &stored) {
        m_unlocking = false;
        // A sign-in or sign-out meanwhile has the last word.
        if (!m_keyringLocked || stored.locked)
            return;
        apply(stored, {});
        Q_EMIT keyringUnlocked();
    });
}

void AccountStore::apply(const SecretRead &stored, const BuiltinAccount &builtin)
{
    QString apiKey;
    std::optional<QString> email, name;
    if (stored.locked) {
        qWarning("kavo: the keyring is locked, so Kavo can't read your sign-in to Kavo until it is unlocked");
    } else if (stored.value && !stored.value->isEmpty()) {
        apiKey = *stored.value;
        // The extension always sees the key the application has.
        shareKey(apiKey);
    } else if (!builtin.apiKey.isEmpty() && !m_defaults.value(udBootstrappedKey).toBool()) {
        m_secrets->save(keychainAccount, builtin.apiKey);
        m_defaults.setValue(udBootstrappedKey, true);
        apiKey = builtin.apiKey;
        email = builtin.email;
        name = builtinName;
        m_email = email;
        m_name = name;
        storeProfile();
        shareKey(apiKey);
    }
    if (!email) {
        email = stringValue(m_defaults.value(udEmailKey));
        name = stringValue(m_defaults.value(udNameKey));
    }
    publish(apiKey, email, name, stored.locked);
}

void AccountStore::shareKey(const QString &apiKey)
{
    // Where the secret service keeps the key, kavo-share reads it there: no plain-text copy.
    if (m_secrets->keepsSecretsPrivate())
        m_suite.remove(udApiKeyShared);
    else
        m_suite.setValue(udApiKeyShared, apiKey);
}

void AccountStore::storeProfile()
{
    m_defaults.setValue(udEmailKey, optionalValue(m_email));
    m_defaults.setValue(udNameKey, optionalValue(m_name));
}

void AccountStore::publish(const QString &apiKey, const std::optional<QString> &email, const std::optional<QString> &name,
                           bool keyringLocked)
{
    const bool different = apiKey != m_apiKey || email != m_email || name != m_name || keyringLocked != m_keyringLocked;
    m_keyringLocked = keyringLocked;
    m_apiKey = apiKey;
    m_email = email;
    m_name = name;
    if (isSignedIn())
        m_signedIn->reach();
    else if (m_signedIn->isReached())
        m_signedIn = std::make_shared<Milestone>();
    if (different)
        Q_EMIT changed();
}

void AccountStore::signIn(const QString &apiKey, const std::optional<QString> &email, const std::optional<QString> &name)
{
    if (apiKey.size() != 64)
        return;
    m_loaded.reach();
    m_secrets->save(keychainAccount, apiKey);
    publish(apiKey, email, name);
    storeProfile();
    shareKey(apiKey);
    m_defaults.setValue(udBootstrappedKey, true);
    Q_EMIT signedInOrOut();
}

std::optional<QString> AccountStore::waitUntilLoaded()
{
    QTimer patience;
    patience.setSingleShot(true);
    QObject::connect(&patience, &QTimer::timeout, [] {
        std::fputs("kavo: waiting for the keyring to be unlocked (answer its prompt to go on; Ctrl+C gives up)\n", stderr);
    });
    patience.start(3000);
    awaitTask(loaded());
    if (m_keyringLocked)
        return SecretStore::lockedError(QStringLiteral("sign-in to Kavo")).description;
    return std::nullopt;
}

QCoro::Task<void> AccountStore::signedIn()
{
    // A milestone rather than the `changed` signal: several changes in a row must not resume a
    // waiter that has already gone on.
    const std::shared_ptr<Milestone> signedIn = m_signedIn;
    co_await signedIn->reached();
}

void AccountStore::signOut()
{
    m_loaded.reach();
    m_secrets->remove(keychainAccount);
    publish(QString(), std::nullopt, std::nullopt);
    m_defaults.remove(udEmailKey);
    m_defaults.remove(udNameKey);
    m_suite.remove(udApiKeyShared);
    Q_EMIT signedInOrOut();
}
