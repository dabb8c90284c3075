#pragma once

#include "error.h"

#include <QHash>
#include <QObject>
#include <QString>
#include <qcoro/qcorotask.h>

#include <atomic>
#include <functional>
#include <memory>
#include <optional>

class QThread;
class KeychainWorker;
struct KeychainCall;

// What a read of one item found: its value; none when there is no such item or it cannot be
// read; and whether it was not read because the keyring holding it is locked and stayed locked
// (its unlock prompt was refused, or could not be shown). A locked item is not a missing one: the
// user is not signed out, their keyring is shut.
struct SecretRead {
    std::optional<QString> value;
    bool locked = false;
};

// Generic-password items keyed by account name (the keychain of the desktop). Saves and removes
// are carried out in the order they were asked for, after every earlier call, and a later read
// sees them; they report nothing, as callers only ever carry on.
class SecretStore
{
public:
    virtual ~SecretStore() = default;
    virtual QCoro::Task<SecretRead> read(QString account) = 0;
    virtual void save(const QString &account, const QString &value) = 0;
    virtual void remove(const QString &account) = 0;
    // Whether the items are out of reach of a plain file read: in the desktop's secret service (or,
    // the user having declined one, only in memory). Where they are, no copy of a secret may be
    // kept in plain text elsewhere (the suite shared with kavo-share). Known once the store has
    // answered its first call.
    virtual bool keepsSecretsPrivate() const { return false; }
    // Once the user has dismissed a prompt to unlock the keyring, reads of items it keeps locked
    // answer "locked" without asking again; this lets the next read ask (the user asked to unlock).
    virtual void allowUnlockPrompt() {}

    // Told once, on the thread that made the store, when the store finds it can keep items only
    // until Kavo quits (the user declined to create a keyring), with the sentence to show.
    void setForgetfulHandler(std::function<void(const QString &)> handler) { m_forgetful = std::move(handler); }

    // The desktop's secret service, or a private file when the desktop has none.
    static std::unique_ptr<SecretStore> createDefault();
    // What the user is told when a sign-in (`what`: "sign-in to Kavo", "Google sign-in", ...)
    // cannot be read because the keyring is locked.
    static Error lockedError(const QString &what);
    static inline const QString errorDomain = QStringLiteral("keyring");
    enum ErrorCode : int { locked = 1 };

protected:
    std::function<void(const QString &)> m_forgetful;
};

// Items in one JSON file readable by its owner only, for desktops without a secret service.
class FileSecretStore : public SecretStore
{
public:
    explicit FileSecretStore(QString filePath);
    static QString defaultPath();
    QString path() const { return m_path; }

    QCoro::Task<SecretRead> read(QString account) override;
    void save(const QString &account, const QString &value) override;
    void remove(const QString &account) override;
    std::optional<QString> value(const QString &account) const;

private:
    QString m_path;
};

// The Secret Service (or KWallet, on KDE) through QtKeychain, service name "Kavo". Every call runs
// on a thread of its own, one after the other, and the caller awaits the answer, however long an
// unlock prompt takes, without ever holding up the main thread. Before the first call the service
// is tried with an item of its own (written, read back, removed): when the session bus names no
// secret service, or the one it names does not keep the item (not reachable, no backend QtKeychain
// can use, a name with nothing behind it), the items live in `fallback`, and the log says so once
// with the reason. A service that is slow, or locked and refusing access, stays the store, and a
// read of an item it keeps locked says so. A service that has no keyring, and whose prompt to
// create the first one was dismissed, keeps nothing; the items then live in memory until Kavo
// quits (the user chose not to have them kept), and the forgetful handler is told.
class KeychainSecretStore : public SecretStore
{
public:
    explicit KeychainSecretStore(std::unique_ptr<FileSecretStore> fallback);
    ~KeychainSecretStore() override;

    QCoro::Task<SecretRead> read(QString account) override;
    void save(const QString &account, const QString &value) override;
    void remove(const QString &account) override;
    void allowUnlockPrompt() override;
    bool keepsSecretsPrivate() const override { return m_private->load(); }

private:
    void enqueue(KeychainCall call);

    std::shared_ptr<std::atomic<bool>> m_private = std::make_shared<std::atomic<bool>>(false);

    QObject m_home; // lives on the thread that made the store: the handler is called there

    QThread *m_thread = nullptr;
    KeychainWorker *m_worker = nullptr;
};
