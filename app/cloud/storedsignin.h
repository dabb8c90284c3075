#pragma once

#include "platform/milestone.h"
#include "platform/secretstore.h"

#include <QPointer>

#include <functional>

// A provider's refresh token in the secret store, as its sign-in object keeps it: read once at
// start to restore the sign-in, and read again while the keyring holding it was locked, so that
// a keyring unlocked later gives the sign-in back instead of asking for a new one.
class StoredSignIn
{
public:
    // `found` gets a token read from the store, unless a sign-in or sign-out came first.
    StoredSignIn(SecretStore *secrets, QString account, QObject *owner, std::function<void(const QString &)> found);
    // Reads the stored token (once the owner is whole: `found` may be called at once).
    void start();

    // Finishes once the token was read; when the keyring was locked then, it is read again.
    QCoro::Task<void> restored();
    // The last read found the keyring locked.
    bool isLocked() const { return m_locked; }
    // The token now (for a refresh), noting whether the keyring is locked.
    QCoro::Task<SecretRead> read();
    void save(const QString &token);
    // The store keeps the token out of plain files: no copy of it may be kept in one.
    bool keptPrivate() const { return m_secrets->keepsSecretsPrivate(); }
    void remove();

private:
    void settle();

    SecretStore *m_secrets;
    QString m_account;
    QPointer<QObject> m_owner;
    std::function<void(const QString &)> m_found;
    Milestone m_restored;
    bool m_locked = false;
};
