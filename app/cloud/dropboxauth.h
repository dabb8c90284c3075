#pragma once

#include "cloud/oauthsignin.h"
#include "platform/sharednames.h"

namespace DropboxAuthError {
inline const QString domain = QStringLiteral("auth.dropbox");
enum Code : int { badResponse = 1, unknown, noCode, refreshFailed, notSignedIn };
Error make(Code code, const QString &text = {});
}

// The user's Dropbox account: the browser's answer comes on the custom scheme
// "vendrel://dropbox-auth" (the link reaches the running kavo, which hands it to
// deliverRedirect), and a failed refresh never signs the user out.
class DropboxAuth : public OAuthSignIn
{
    Q_OBJECT
    Q_PROPERTY(QString accountEmail READ accountEmailText NOTIFY accountChanged)
    Q_PROPERTY(QString accountName READ accountNameText NOTIFY accountChanged)
public:
    static inline const QString keychainAccount = SharedNames::dropboxAccount;
    static inline const QString redirectURI = QStringLiteral("vendrel://dropbox-auth");
    static inline const QString callbackURLScheme = QStringLiteral("vendrel");

    DropboxAuth(Http *http, Endpoints endpoints, SecretStore *secrets, Options options, QObject *parent = nullptr);

    std::optional<QString> accountEmail() const { return m_accountEmail; }
    std::optional<QString> accountName() const { return m_accountName; }
    QString accountEmailText() const { return m_accountEmail.value_or(QString()); }
    QString accountNameText() const { return m_accountName.value_or(QString()); }

    // The redirect of a sign-in, as the single-instance channel received it.
    void deliverRedirect(const QUrl &callback);

Q_SIGNALS:
    void accountChanged();

protected:
    QString signInName() const override { return QStringLiteral("Dropbox sign-in"); }
    QUrl tokenUrl() const override;
    Result<QString> redirectFor(WebAuthSession *session) override;
    QUrl authorizationPage(const QString &redirect, const QString &challenge, const QString &state) const override;
    QCoro::Task<Result<void>> exchangeCode(QString code, QString verifier, QString redirect) override;
    QCoro::Task<void> fetchAccount(QString accessToken) override;
    QCoro::Task<Result<QString>> refresh(QString refreshToken) override;
    void forgetAccount() override { setAccount(std::nullopt, std::nullopt); }

private:
    void setAccount(const std::optional<QString> &email, const std::optional<QString> &name);

    std::optional<QString> m_accountEmail;
    std::optional<QString> m_accountName;
    QPointer<WebAuthSession> m_session;
};
