#include "storedsignin.h"

StoredSignIn::StoredSignIn(SecretStore *secrets, QString account, QObject *owner, std::function<void(const QString &)> found)
    : m_secrets(secrets)
    , m_account(std::move(account))
    , m_owner(owner)
    , m_found(std::move(found))
{
}

void StoredSignIn::start()
{
    QCoro::connect(m_secrets->read(m_account), m_owner.data(), [this](const SecretRead &stored) {
        // A sign-in or sign-out meanwhile has the last word.
        if (m_restored.isReached())
            return;
        m_locked = stored.locked;
        m_restored.reach();
        if (stored.value)
            m_found(*stored.value);
    });
}

QCoro::Task<void> StoredSignIn::restored()
{
    co_await m_restored.reached();
    if (!m_locked)
        co_return;
    QPointer<QObject> owner = m_owner;
    const SecretRead stored = co_await m_secrets->read(m_account);
    if (!owner || !m_locked)
        co_return;
    m_locked = stored.locked;
    if (stored.value)
        m_found(*stored.value);
}

QCoro::Task<SecretRead> StoredSignIn::read()
{
    QPointer<QObject> owner = m_owner;
    const SecretRead stored = co_await m_secrets->read(m_account);
    if (owner)
        m_locked = stored.locked;
    co_return stored;
}

void StoredSignIn::save(const QString &token)
{
    settle();
    m_secrets->save(m_account, token);
}

void StoredSignIn::remove()
{
    settle();
    m_secrets->remove(m_account);
}

void StoredSignIn::settle()
{
    m_restored.reach();
    m_locked = false;
}
