#pragma once

#include <QHash>
#include <QString>
#include <qcoro/qcorotask.h>

#include <memory>
#include <optional>

class QThread;
class KeychainWorker;
struct KeychainCall;

// Generic-password items keyed by account name (the keychain of the desktop). A read gives no
// value when the item is missing or cannot be read. Saves and removes are carried out in the
// order they were asked for, after every earlier call, and a later read sees them; they report
// nothing, as callers only ever carry on.
class SecretStore
{
public:
    virtual ~SecretStore() = default;
    virtual QCoro::Task<std::optional<QString>> read(const QString &account) = 0;
    virtual void save(const QString &account, const QString &value) = 0;
    virtual void remove(const QString &account) = 0;

    // The desktop's secret service, or a private file when the desktop has none.
    static std::unique_ptr<SecretStore> createDefault();
};

// Items held in memory only (tests).
class MemorySecretStore : public SecretStore
{
public:
    QCoro::Task<std::optional<QString>> read(const QString &account) override;
    void save(const QString &account, const QString &value) override;
    void remove(const QString &account) override;

private:
    QHash<QString, QString> m_items;
};

// Items in one JSON file readable by its owner only, for desktops without a secret service.
class FileSecretStore : public SecretStore
{
public:
    explicit FileSecretStore(QString filePath);
    static QString defaultPath();
    QString path() const { return m_path; }

    QCoro::Task<std::optional<QString>> read(const QString &account) override;
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
// with the reason. A service that is slow, or locked and refusing access, stays the store.
class KeychainSecretStore : public SecretStore
{
public:
    explicit KeychainSecretStore(std::unique_ptr<FileSecretStore> fallback);
    ~KeychainSecretStore() override;

    QCoro::Task<std::optional<QString>> read(const QString &account) override;
    void save(const QString &account, const QString &value) override;
    void remove(const QString &account) override;

private:
    void enqueue(KeychainCall call);

    QThread *m_thread = nullptr;
    KeychainWorker *m_worker = nullptr;
};
