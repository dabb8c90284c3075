#pragma once

#include "brandingpreset.h"
#include "historyitem.h"
#include "platform/http.h"
#include "platform/sharednames.h"
#include "upload/uploadcollaborators.h"

#include <QUrl>

#include <functional>

class SecretStore;

namespace BackendError {
inline const QString domain = QStringLiteral("backend");
enum Code : int { badResponseCode = 1 };
// "Backend HTTP <status>: <message>"; the error's code is the status.
Error http(qint64 status, const QString &message);
Error badResponse();
}

// The client of the Kavo web service. It keeps no state: the API key is read from the account
// store at every call and the Google refresh token from the keychain at registration time.
// Every request carries `X-Api-Key` (empty when signed out), every POST a JSON object body.
class BackendAPI : public LinkService
{
public:
    // How many links of the same name a search for an earlier registration looks through.
    static constexpr qint64 registrationSearchLimit = 100;
    // How the message of a failed call is chosen from the body.
    enum class MessageRule { body, errorKeyOrBody, errorKeyOrBodyOrUnknown };

    struct PresetList {
        QList<BrandingPreset> presets;
        std::optional<qint64> defaultID;
    };

    static inline const QString googleTokenAccount = SharedNames::googleAccount;

    BackendAPI(Http *http, QUrl serviceBaseURL, std::function<QString()> apiKey, SecretStore *secrets);

    QUrl url(const QString &path) const;
    // A request to the service carrying the current API key.
    QNetworkRequest authorizedRequest(const QUrl &url) const;
    // What every call waits for before it takes the key: the stored key having been read (a call
    // made earlier would go out with an empty key and be refused). Without one, calls go at once.
    void setKeyRead(std::function<QCoro::Task<void>()> keyRead) { m_keyRead = std::move(keyRead); }
    QCoro::Task<void> keyRead() const;

    QCoro::Task<Result<PresetList>> fetchPresets();
    // The most a history answer may take: 500 items (the most anyone asks for) of up to 16 KiB.
    static constexpr qsizetype maxHistoryAnswerBytes = qsizetype(500) * (16 << 10);
    // Aborted once `cancelWhenGone` (when given) is destroyed.
    QCoro::Task<Result<QList<HistoryItem>>> fetchHistory(qint64 limit, std::optional<QString> query = std::nullopt,
                                                         const QObject *cancelWhenGone = nullptr);

    QCoro::Task<Result<Registration>> registerUpload(RegistrationRequest request) override;
    // Searches the history for the file's name and takes the link whose cloud file is this one.
    QCoro::Task<Result<std::optional<Registration>>> findRegistration(QString providerFileID, QString filename) override;
    QCoro::Task<Result<void>> setPreset(QString token, qint64 presetID);
    QCoro::Task<Result<void>> setPassword(QString token, QString password);
    QCoro::Task<Result<std::optional<QString>>> setExpiry(QString token, qint64 days);
    QCoro::Task<Result<QString>> rename(QString token, QString filename);
    QCoro::Task<Result<void>> sendLink(QString token, QString to, QString note);
    // A link past its expiry whose Drive file awaits deletion (an item of api/expired.php).
    struct ExpiredLink {
        QString token;
        QString driveFileID;
        static Result<ExpiredLink> fromJson(const QJsonObject &object, const QString &where);
    };
    // The account's expired links awaiting cleanup.
    QCoro::Task<Result<QList<ExpiredLink>>> fetchExpired();
    // Tells the service that an expired link's file is gone; a refusal's text is the body.
    QCoro::Task<Result<void>> reportDeleted(QString token);
    // Deletes the link (its cloud file is the caller's: CloudCleanup); a refusal's text is the
    // service's `error`, else the body.
    QCoro::Task<Result<void>> deleteLink(QString token);

    // The failure of a call answered `response`, if it failed.
    static std::optional<Error> validateResponse(const HttpResponse &response, MessageRule rule = MessageRule::body);

    // The JSON body of a registration, without the Google refresh token.
    static QJsonObject registrationBody(const RegistrationRequest &request);

private:
    // The JSON object a GET answers.
    QCoro::Task<Result<QJsonObject>> getObject(QUrl url, const QObject *cancelWhenGone = nullptr,
                                               qsizetype answerLimit = Http::maxAnswerBytes);
    QCoro::Task<Result<HttpResponse>> post(QString path, QJsonObject body, MessageRule rule = MessageRule::body);
    QCoro::Task<Result<void>> postDelete(QString token, MessageRule rule);

    Http *m_http;
    QUrl m_base;
    QUrl m_registerURL;
    std::function<QString()> m_apiKey;
    std::function<QCoro::Task<void>()> m_keyRead;
    SecretStore *m_secrets;
};
