#pragma once

#include "platform/defaultsstore.h"
#include "platform/milestone.h"
#include "platform/sharednames.h"
#include "upload/uploadcollaborators.h"

#include <QObject>
#include <QString>

#include <memory>
#include <optional>

class SecretStore;
struct SecretRead;

// The user's account with the Kavo web service: the API key (in the keychain, mirrored into the
// suite shared with kavo-share) and the e-mail and name shown in the interface (standard
// defaults). The very first launch installs the build's built-in account.
class AccountStore : public QObject, public ServiceAccount
{
    Q_OBJECT
    Q_PROPERTY(QString apiKey READ apiKey NOTIFY changed)
    Q_PROPERTY(QString email READ emailText NOTIFY changed)
    Q_PROPERTY(QString name READ nameText NOTIFY changed)
    Q_PROPERTY(bool isSignedIn READ isSignedIn NOTIFY changed)
    Q_PROPERTY(bool isKeyringLocked READ isKeyringLocked NOTIFY changed)
public:
    static inline const QString keychainAccount = SharedNames::serviceKeyAccount;
    static inline const QString udEmailKey = QStringLiteral("account.email");
    static inline const QString udNameKey = QStringLiteral("account.name");
    static inline const QString udBootstrappedKey = QStringLiteral("account.bootstrapped");
    static inline const QString udApiKeyShared = SharedNames::serviceKeyKey;
    static inline const QString builtinName = QStringLiteral("Admin");

    struct BuiltinAccount {
        QString apiKey;
        QString email;
    };

    // Loads the account (installing the built-in one on the very first launch). The key comes
    // from the keychain, which may take a while (an unlock prompt): until then the store is
    // empty, and `loaded()` finishes when it is known.
    AccountStore(SecretStore *secrets, DefaultsStore defaults, DefaultsStore suite, BuiltinAccount builtin, QObject *parent = nullptr);

    QString apiKey() const { return m_apiKey; }
    std::optional<QString> email() const { return m_email; }
    std::optional<QString> name() const { return m_name; }
    QString emailText() const { return m_email.value_or(QString()); }
    QString nameText() const { return m_name.value_or(QString()); }
    bool isSignedIn() const override { return !m_apiKey.isEmpty(); }
    // The stored key could not be read: the keyring is locked and its unlock was refused. Not
    // signed out; `unlockKeyring()` asks again.
    bool isKeyringLocked() const override { return m_keyringLocked; }
    QCoro::Task<void> loaded() const override { return m_loaded.reached(); }
    QCoro::Task<void> signedIn() override;
    // For the command line: runs the event loop until the account is known, telling the user,
    // once it takes longer than a keyring answers by itself, that it waits for the keyring.
    // Then gives what the command says when the key cannot be read (the keyring is locked), or
    // nothing.
    std::optional<QString> waitUntilLoaded();
    // Reads the key again, which has the keyring ask the user to unlock it.
    Q_INVOKABLE void unlockKeyring();

    // A key that is not 64 characters long is ignored.
    void signIn(const QString &apiKey, const std::optional<QString> &email, const std::optional<QString> &name);
    Q_INVOKABLE void signOut();

Q_SIGNALS:
    void changed();
    // The user signed in or out, even to the account already in use.
    void signedInOrOut();
    // The keyring was locked and has now given the key: other stored sign-ins can be read too.
    void keyringUnlocked();

private:
    void load(const BuiltinAccount &builtin);
    void apply(const SecretRead &stored, const BuiltinAccount &builtin);
    void publish(const QString &apiKey, const std::optional<QString> &email, const std::optional<QString> &name,
                 bool keyringLocked = false);
    void storeProfile();
    // The key for kavo-share: in the suite only when the secrets themselves are in a plain file.
    void shareKey(const QString &apiKey);

    SecretStore *m_secrets;
    DefaultsStore m_defaults;
    DefaultsStore m_suite;
    QString m_apiKey;
    std::optional<QString> m_email;
    std::optional<QString> m_name;
    Milestone m_loaded;
    std::shared_ptr<Milestone> m_signedIn = std::make_shared<Milestone>(); // reached while signed in
    bool m_keyringLocked = false;
    bool m_unlocking = false;
};
