#pragma once

#include "platform/secretstore.h"

#include <QHash>

// Secrets held in memory only, which can play a locked keyring.
class MemorySecretStore : public SecretStore
{
public:
    QCoro::Task<SecretRead> read(QString account) override
    {
        if (m_locked)
            co_return SecretRead{std::nullopt, true};
        const auto it = m_items.constFind(account);
        if (it == m_items.constEnd())
            co_return SecretRead{};
        co_return SecretRead{QString(*it), false};
    }
    void save(const QString &account, const QString &value) override { m_items.insert(account, value); }
    void remove(const QString &account) override { m_items.remove(account); }
    // Reads answer "locked" until unlocked again, as a shut keyring does.
    void setLocked(bool locked) { m_locked = locked; }
    // Plays a desktop's secret service (private) or the plain file.
    void setPrivate(bool keptPrivate) { m_private = keptPrivate; }
    bool keepsSecretsPrivate() const override { return m_private; }

private:
    QHash<QString, QString> m_items;
    bool m_locked = false;
    bool m_private = false;
};
