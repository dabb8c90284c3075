#include "accountstore.h"

#include "platform/notificationcenter.h"
#include "platform/secretstore.h"

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

AccountStore::AccountStore(SecretStore *secrets, DefaultsStore defaults, DefaultsStore suite,
                           NotificationCenter *notifications, BuiltinAccount builtin, QObject *parent)
    : QObject(parent)
    , m_secrets(secrets)
    , m_defaults(std::move(defaults))
    , m_suite(std::move(suite))
    , m_notifications(notifications)
{
    load(builtin);
}

void AccountStore::load(const BuiltinAccount &builtin)
{
    const std::optional<QString> stored = m_secrets->read(keychainAccount);
    if (stored && !stored->isEmpty()) {
        m_apiKey = *stored;
        // The extension always sees the key the application has.
        m_suite.setValue(udApiKeyShared, m_apiKey);
    } else if (!m_defaults.value(udBootstrappedKey).toBool()) {
        m_secrets->save(keychainAccount, builtin.apiKey);
        m_defaults.setValue(udBootstrappedKey, true);
        m_apiKey = builtin.apiKey;
        m_email = builtin.email;
        m_name = builtinName;
        storeProfile();
        m_suite.setValue(udApiKeyShared, m_apiKey);
    }
    if (!m_email) {
        m_email = stringValue(m_defaults.value(udEmailKey));
        m_name = stringValue(m_defaults.value(udNameKey));
    }
}

void AccountStore::storeProfile()
{
    m_defaults.setValue(udEmailKey, optionalValue(m_email));
    m_defaults.setValue(udNameKey, optionalValue(m_name));
}

void AccountStore::publish(const QString &apiKey, const std::optional<QString> &email, const std::optional<QString> &name)
{
    const bool different = apiKey != m_apiKey || email != m_email || name != m_name;
    m_apiKey = apiKey;
    m_email = email;
    m_name = name;
    if (different)
        Q_EMIT changed();
}

void AccountStore::signIn(const QString &apiKey, const std::optional<QString> &email, const std::optional<QString> &name)
{
    if (apiKey.size() != 64)
        return;
    m_secrets->save(keychainAccount, apiKey);
    publish(apiKey, email, name);
    storeProfile();
    m_suite.setValue(udApiKeyShared, apiKey);
    m_defaults.setValue(udBootstrappedKey, true);
    m_notifications->post(NotificationCenter::accountChanged);
}

void AccountStore::signOut()
{
    m_secrets->remove(keychainAccount);
    publish(QString(), std::nullopt, std::nullopt);
    m_defaults.remove(udEmailKey);
    m_defaults.remove(udNameKey);
    m_suite.remove(udApiKeyShared);
    m_notifications->post(NotificationCenter::accountChanged);
}
