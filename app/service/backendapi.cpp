#include "backendapi.h"

#include "jsonreader.h"
#include "platform/endpoints.h"
#include "platform/secretstore.h"

#include <QJsonDocument>
#include <QUrlQuery>

namespace BackendError {
Error http(qint64 status, const QString &message)
{
    return Error{domain, int(status),
                 QStringLiteral("Backend HTTP ") + QString::number(status) + QStringLiteral(": ") + shortened(message)};
}

Error badResponse()
{
    return Error{domain, badResponseCode, QStringLiteral("Bad response from backend.")};
}
}

namespace {
// The string under `key` when the body is a JSON object that has one.
std::optional<QString> stringInObject(const QByteArray &body, const QString &key)
{
    const QJsonDocument document = QJsonDocument::fromJson(body);
    const QJsonValue value = document.object().value(key);
    if (!document.isObject() || !value.isString())
        return std::nullopt;
    return value.toString();
}
}

BackendAPI::BackendAPI(Http *http, QUrl serviceBaseURL, std::function<QString()> apiKey, SecretStore *secrets)
    : m_http(http)
    , m_base(std::move(serviceBaseURL))
    , m_registerURL(Endpoints::join(m_base, QStringLiteral("api/register.php")))
    , m_apiKey(std::move(apiKey))
    , m_secrets(secrets)
{
}

QUrl BackendAPI::url(const QString &path) const
{
    return Endpoints::join(m_base, path);
}

QNetworkRequest BackendAPI::authorizedRequest(const QUrl &url) const
{
    QNetworkRequest request(url);
    // A non-null empty value, so a signed-out client still sends the header (empty).
    QByteArray key = m_apiKey ? m_apiKey().toUtf8() : QByteArray();
    if (key.isNull())
        key = QByteArray("");
    request.setRawHeader("X-Api-Key", key);
    return request;
}

QCoro::Task<void> BackendAPI::keyRead() const
{
    if (m_keyRead)
        co_await m_keyRead();
}

std::optional<Error> BackendAPI::validateResponse(const HttpResponse &response, MessageRule rule)
{
    if (response.isSuccess())
        return std::nullopt;
    std::optional<QString> message;
    if (rule != MessageRule::body)
        message = stringInObject(response.body, QStringLiteral("error"));
    if (!message)
        message = decodeUtf8(response.body);
    if (!message)
        message = rule == MessageRule::errorKeyOrBodyOrUnknown ? QStringLiteral("Unknown error") : QString();
    return throttling(BackendError::http(response.status, *message), response);
}

QCoro::Task<Result<QJsonObject>> BackendAPI::getObject(QUrl url, const QObject *cancelWhenGone, qsizetype answerLimit)
{
    co_await keyRead();
    QNetworkRequest request = authorizedRequest(url);
    // What the service says now, never a cached answer.
    request.setAttribute(QNetworkRequest::CacheLoadControlAttribute, QNetworkRequest::AlwaysNetwork);
    const Result<HttpResponse> response = co_await m_http->send(request, "GET", {}, cancelWhenGone, answerLimit);
    if (!response)
        co_return response.error();
    if (auto failure = validateResponse(response.value()))
        co_return *failure;
    co_return parseJsonObject(response->body);
}

QCoro::Task<Result<HttpResponse>> BackendAPI::post(QString path, QJsonObject body, MessageRule rule)
{
    co_await keyRead();
    const bool registration = path == QLatin1String("api/register.php");
    QNetworkRequest req = authorizedRequest(registration ? m_registerURL : url(path));
    req.setHeader(QNetworkRequest::ContentTypeHeader, QByteArray("application/json"));
    const QByteArray json = QJsonDocument(body).toJson(QJsonDocument::Compact);
    // A registration sent twice makes two links: it goes out at most once, and whether an answer
    // that never came means it was made is for the caller's search to find out.
    Result<HttpResponse> response = Error{};
    if (registration)
        response = co_await m_http->sendOnce(req, "POST", json);
    else
        response = co_await m_http->send(req, "POST", json);
    if (!response)
        co_return response.error();
    if (auto failure = validateResponse(response.value(), rule))
        co_return *failure;
    co_return response;
}

QCoro::Task<Result<BackendAPI::PresetList>> BackendAPI::fetchPresets()
{
    const Result<QJsonObject> json = co_await getObject(url(QStringLiteral("api/presets.php")));
    if (!json)
        co_return json.error();
    JsonReader reader(json.value(), QString());
    const QJsonArray array = reader.array(QStringLiteral("presets"));
    const std::optional<qint64> defaultID = reader.optionalInteger(QStringLiteral("default_id"));
    if (!reader.ok())
        co_return *reader.error();
    Result<QList<BrandingPreset>> presets = decodeList<BrandingPreset>(array, QStringLiteral("presets"));
    if (!presets)
        co_return presets.error();
    co_return PresetList{std::move(presets).value(), defaultID};
}

QCoro::Task<Result<QList<HistoryItem>>> BackendAPI::fetchHistory(qint64 limit, std::optional<QString> query, const QObject *cancelWhenGone)
{
    QUrl target = url(QStringLiteral("api/history.php"));
    QUrlQuery items;
    items.addQueryItem(QStringLiteral("limit"), QString::number(limit));
    if (query && !query->isEmpty())
        items.addQueryItem(QStringLiteral("q"), QString::fromLatin1(QUrl::toPercentEncoding(*query)));
    target.setQuery(items.query(QUrl::FullyEncoded), QUrl::StrictMode);
    const Result<QJsonObject> json = co_await getObject(target, cancelWhenGone, maxHistoryAnswerBytes);
    if (!json)
        co_return json.error();
    JsonReader reader(json.value(), QString());
    const QJsonArray array = reader.array(QStringLiteral("items"));
    if (!reader.ok())
        co_return *reader.error();
    co_return decodeList<HistoryItem>(array, QStringLiteral("items"));
}

QCoro::Task<Result<std::optional<Registration>>> BackendAPI::findRegistration(QString providerFileID, QString filename)
{
    QCoro::Task<Result<QList<HistoryItem>>> searching = fetchHistory(registrationSearchLimit, filename);
    const Result<QList<HistoryItem>> items = co_await searching;
    if (!items)
        co_return items.error();
    for (const HistoryItem &item : items.value()) {
        if (item.driveFileID == providerFileID && !item.token.isEmpty() && !item.viewURL.isEmpty())
            co_return std::optional(Registration{item.token, item.viewURL});
    }
    co_return std::optional<Registration>();
}

QJsonObject BackendAPI::registrationBody(const RegistrationRequest &r)
{
    QJsonObject body{
        {QStringLiteral("drive_file_id"), r.driveFileID}, {QStringLiteral("original_filename"), r.filename},
        {QStringLiteral("filesize"), r.filesize},         {QStringLiteral("mimetype"), r.mimetype},
        {QStringLiteral("expiry_days"), r.expiryDays},    {QStringLiteral("provider"), rawValue(r.provider)},
    };
    if (r.customMessage)
        body.insert(QStringLiteral("custom_message"), *r.customMessage);
    if (r.password)
        body.insert(QStringLiteral("password"), *r.password);
    if (r.presetID)
        body.insert(QStringLiteral("preset_id"), *r.presetID);
    if (r.directURL)
        body.insert(QStringLiteral("direct_url"), *r.directURL);
    return body;
}

QCoro::Task<Result<Registration>> BackendAPI::registerUpload(RegistrationRequest request)
{
    QJsonObject body = registrationBody(request);
    // Read at the moment of the call: the service keeps the newest refresh token whichever
    // provider this upload went to.
    if (m_secrets) {
        const std::optional<QString> token = (co_await m_secrets->read(googleTokenAccount)).value;
        if (token)
            body.insert(QStringLiteral("google_refresh_token"), *token);
    }
    const Result<HttpResponse> response = co_await post(QStringLiteral("api/register.php"), body);
    if (!response)
        co_return response.error();
    const Result<QJsonValue> json = parseJson(response->body);
    if (!json)
        co_return json.error();
    const QJsonValue token = json->toObject().value(QStringLiteral("token"));
    const QJsonValue url = json->toObject().value(QStringLiteral("url"));
    if (!json->isObject() || !token.isString() || !url.isString())
        co_return BackendError::badResponse();
    co_return Registration{token.toString(), url.toString()};
}

QCoro::Task<Result<void>> BackendAPI::setPreset(QString token, qint64 presetID)
{
    const QJsonObject body{{QStringLiteral("token"), token}, {QStringLiteral("preset_id"), presetID}};
    const Result<HttpResponse> response = co_await post(QStringLiteral("api/set_preset.php"), body);
    if (!response)
        co_return response.error();
    co_return Result<void>();
}

QCoro::Task<Result<void>> BackendAPI::setPassword(QString token, QString password)
{
    const QJsonObject body{{QStringLiteral("token"), token}, {QStringLiteral("password"), password}};
    const Result<HttpResponse> response = co_await post(QStringLiteral("api/set_password.php"), body);
    if (!response)
        co_return response.error();
    co_return Result<void>();
}

QCoro::Task<Result<std::optional<QString>>> BackendAPI::setExpiry(QString token, qint64 days)
{
    const QJsonObject body{{QStringLiteral("token"), token}, {QStringLiteral("expiry_days"), days}};
    const Result<HttpResponse> response = co_await post(QStringLiteral("api/set_expiry.php"), body);
    if (!response)
        co_return response.error();
    // Lenient: anything but an object with a string "expires_at" means no new date.
    co_return stringInObject(response->body, QStringLiteral("expires_at"));
}

QCoro::Task<Result<QString>> BackendAPI::rename(QString token, QString filename)
{
    const QJsonObject body{{QStringLiteral("token"), token}, {QStringLiteral("filename"), filename}};
    const Result<HttpResponse> response = co_await post(QStringLiteral("api/rename.php"), body, MessageRule::errorKeyOrBody);
    if (!response)
        co_return response.error();
    const std::optional<QString> stored = stringInObject(response->body, QStringLiteral("filename"));
    if (!stored)
        co_return BackendError::badResponse();
    co_return *stored;
}

QCoro::Task<Result<void>> BackendAPI::sendLink(QString token, QString to, QString note)
{
    QJsonObject body{{QStringLiteral("token"), token}, {QStringLiteral("to"), to}};
    if (!note.isEmpty())
        body.insert(QStringLiteral("note"), note);
    const Result<HttpResponse> response = co_await post(QStringLiteral("api/send_link.php"), body);
    if (!response)
        co_return response.error();
    co_return Result<void>();
}

Result<BackendAPI::ExpiredLink> BackendAPI::ExpiredLink::fromJson(const QJsonObject &object, const QString &where)
{
    JsonReader reader(object, where);
    ExpiredLink link{reader.string(QStringLiteral("token")), reader.string(QStringLiteral("drive_file_id"))};
    if (!reader.ok())
        return *reader.error();
    return link;
}

QCoro::Task<Result<QList<BackendAPI::ExpiredLink>>> BackendAPI::fetchExpired()
{
    const Result<QJsonObject> json = co_await getObject(url(QStringLiteral("api/expired.php")));
    if (!json)
        co_return json.error();
    // `count` must be there, but the items are what count.
    JsonReader reader(json.value(), QString());
    reader.integer(QStringLiteral("count"));
    const QJsonArray array = reader.array(QStringLiteral("items"));
    if (!reader.ok())
        co_return *reader.error();
    co_return decodeList<ExpiredLink>(array, QStringLiteral("items"));
}

QCoro::Task<Result<void>> BackendAPI::reportDeleted(QString token)
{
    return postDelete(std::move(token), MessageRule::body);
}

QCoro::Task<Result<void>> BackendAPI::deleteLink(QString token)
{
    return postDelete(std::move(token), MessageRule::errorKeyOrBodyOrUnknown);
}

QCoro::Task<Result<void>> BackendAPI::postDelete(QString token, MessageRule rule)
{
    const QJsonObject body{{QStringLiteral("token"), token}};
    const Result<HttpResponse> response = co_await post(QStringLiteral("api/delete.php"), body, rule);
    if (!response)
        co_return response.error();
    co_return Result<void>();
}
