#pragma once

#include <QHash>
#include <QString>

#include <memory>
#include <optional>

class QThread;

// Generic-password items keyed by account name (the keychain of the desktop). Reads give no value
// when the item is missing or cannot be read; saves and deletes report nothing, as callers only
// ever carry on.
class SecretStore
{
public:
    virtual ~SecretStore() = default;
    virtual std::optional<QString> read(const QString &account) = 0;
    virtual void save(const QString &account, const QString &value) = 0;
    virtual void remove(const QString &account) = 0;

    // The desktop's secret service, falling back to a private file when none answers.
    static std::unique_ptr<SecretStore> createDefault();
};

// Items held in memory only (tests).
class MemorySecretStore : public SecretStore
{
public:
    std::optional<QString> read(const QString &account) override;
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

    std::optional<QString> read(const QString &account) override;
    void save(const QString &account, const QString &value) override;
    void remove(const QString &account) override;

private:
    QString m_path;
};

// The Secret Service (or KWallet) through QtKeychain, service name "Kavo". The first time the
// service does not answer, the store switches to `fallback` for the rest of the run and says so
// once on the log.
class KeychainSecretStore : public SecretStore
{
public:
    explicit KeychainSecretStore(std::unique_ptr<SecretStore> fallback);
    ~KeychainSecretStore() override;

    std::optional<QString> read(const QString &account) override;
    void save(const QString &account, const QString &value) override;
    void remove(const QString &account) override;

private:
    enum class Op { read, save, remove };
    struct Outcome;
    Outcome run(Op op, const QString &account, const QString &value);
    bool usingFallback(const Outcome &outcome);

    std::unique_ptr<SecretStore> m_fallback;
    QThread *m_thread = nullptr;
    bool m_fallbackActive = false;
    bool m_serviceAnswered = false;
};
