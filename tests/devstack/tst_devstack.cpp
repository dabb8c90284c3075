// The real kavo-devstack process, driven through the application's own service client.

#include "platform/endpoints.h"
#include "service/backendapi.h"
#include "testutil.h"

#include "upload/retry.h"
#include <QJsonDocument>
#include <QNetworkAccessManager>
#include <QProcess>
#include <QTemporaryDir>
#include <QUrlQuery>

#include <QFile>
#include <QTest>

#include "database.h"

using namespace std::chrono_literals;

namespace {

// One devstack process on a free port over a state folder.
class Stack
{
public:
    explicit Stack(const QString &state)
    {
        m_process.start(KAVO_DEVSTACK, {"--state", state, "--port", "0", "--tls", "--test-hooks"});
        if (m_process.waitForReadyRead(10000)) {
            const QByteArray line = m_process.readLine().trimmed();
            const QByteArray prefix = "kavo-devstack listening on ";
            if (line.startsWith(prefix))
                root = QUrl(QString::fromUtf8(line.mid(prefix.size())));
        }
        // Made in the state folder on the first start.
        QFile authority(state + "/ca.pem");
        if (authority.open(QIODevice::ReadOnly))
            ca = authority.readAll();
    }
    ~Stack()
    {
        m_process.terminate();
        if (!m_process.waitForFinished(5000))
            m_process.kill();
        m_process.waitForFinished();
    }
    QUrl root;
    QByteArray ca;

private:
    QProcess m_process;
};

struct Client {
    QNetworkAccessManager network;
    Http http;
    QString key = QStringLiteral(KAVO_BUILTIN_KEY);
    BackendAPI api;
    explicit Client(const Stack &stack)
        : http(&network, 5000ms, stack.ca)
        , api(
              &http, stack.root, [this] { return key; }, nullptr)
    {
    }
    // A web page as a browser asks for it: a form body when given, and redirects left for the
    // caller to see.
    HttpResponse page(const QUrl &root, const QString &path, const QByteArray &form = {})
    {
        QNetworkRequest request(Endpoints::join(root, path));
        request.setAttribute(QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::ManualRedirectPolicy);
        if (!form.isNull())
            request.setHeader(QNetworkRequest::ContentTypeHeader, "application/x-www-form-urlencoded");
        const Result<HttpResponse> response = awaitTask(http.send(request, form.isNull() ? "GET" : "POST", form));
        return response ? response.value() : HttpResponse{};
    }
};

RegistrationRequest upload(const QString &name)
{
    RegistrationRequest r;
    r.driveFileID = "drive-" + name;
    r.filename = name;
    r.filesize = 1234;
    r.mimetype = "application/pdf";
    r.expiryDays = 7;
    r.presetID = 2;
    return r;
}

} // namespace

class TestDevStack : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    // The stand-in sign-ins are as strict as Google's and Dropbox's: only the registered client,
    // its registered redirects, the scope it needs and PKCE get a code; the code is good once;
    // the token endpoints check the client; the state comes back.
    void oauthTakesOnlyTheRegisteredClient()
    {
        QTemporaryDir state;
        Stack stack(state.path());
        Client c(stack);
        const QString challenge = QStringLiteral("E9Melhoa2OwvFrEMTJguCHaoeK1t8URWbuGJSstw-cM"); // of the verifier below
        const QByteArray verifier = "dBjftJeZ4CVP-mB92K27uhbUJU1p1r_wW1gFWFOEjXk";
        const auto google = [&](const QString &client, const QString &redirect, const QString &scope) {
            return c.page(stack.root,
                          QStringLiteral("/o/oauth2/v2/auth?client_id=%1&redirect_uri=%2&response_type=code&scope=%3"
                                         "&code_challenge=%4&code_challenge_method=S256&state=s1")
                              .arg(client, QString::fromLatin1(QUrl::toPercentEncoding(redirect)),
                                   QString::fromLatin1(QUrl::toPercentEncoding(scope)), challenge));
        };
        const QString id = QStringLiteral(KAVO_GOOGLE_CLIENT_ID);
        const QString drive = QStringLiteral("https://www.googleapis.com/auth/drive.file");
        QCOMPARE(google("someone-else", "http://127.0.0.1:4000/oauth2redirect", drive).status, 400);
        QCOMPARE(google(id, "http://127.0.0.1:4000/elsewhere", drive).status, 400);
        QCOMPARE(google(id, "https://evil.example/oauth2redirect", drive).status, 400);
        QCOMPARE(google(id, "http://127.0.0.1:4000/oauth2redirect", "openid").status, 400);
        const HttpResponse granted = google(id, "http://127.0.0.1:4100/oauth2redirect", drive);
        QCOMPARE(granted.status, 302);
        const QUrlQuery back(QUrl(QString::fromUtf8(granted.header("Location"))));
        QCOMPARE(back.queryItemValue("state"), QStringLiteral("s1"));
        const QByteArray code = QUrl::toPercentEncoding(back.queryItemValue("code", QUrl::FullyDecoded));
        const QByteArray exchange = "grant_type=authorization_code&code=" + code + "&code_verifier=" + verifier
            + "&redirect_uri=http%3A%2F%2F127.0.0.1%3A4100%2Foauth2redirect&client_id=" + id.toUtf8();
        QCOMPARE(c.page(stack.root, "/token", exchange + "&client_secret=wrong").status, 401);
        const HttpResponse googleTokens = c.page(stack.root, "/token", exchange + "&client_secret=" KAVO_GOOGLE_CLIENT_SECRET);
        QCOMPARE(googleTokens.status, 200);
        QVERIFY(!QJsonDocument::fromJson(googleTokens.body).object().contains("refresh_token")); // asked without offline access
        QCOMPARE(c.page(stack.root, "/token", exchange + "&client_secret=" KAVO_GOOGLE_CLIENT_SECRET).status, 400); // used

        // Drive's file list, with the new token and, further down, with an unknown one.
        const auto list = [&](const QByteArray &query, const QByteArray &token) {
            QNetworkRequest request(Endpoints::join(stack.root, "/drive/v3/files"));
            QUrl url = request.url();
            url.setQuery(QString::fromLatin1(query));
            request.setUrl(url);
            request.setRawHeader("Authorization", "Bearer " + token);
            return awaitTask(c.http.send(request, "GET")).value();
        };
        const QByteArray access = QJsonDocument::fromJson(googleTokens.body)["access_token"].toString().toUtf8();
        QCOMPARE(list("q=name%3D'Kavo'%20and%20trashed%3Dfalse&fields=files(id,name)", access).status, 200);
        // A chunk that does not end the file is whole 256 KiB blocks.
        QNetworkRequest start(Endpoints::join(stack.root, "/upload/drive/v3/files"));
        start.setUrl(QUrl(start.url().toString() + "?uploadType=resumable"));
        start.setRawHeader("Authorization", "Bearer " + access);
        start.setRawHeader("Content-Type", "application/json");
        start.setRawHeader("X-Upload-Content-Length", "600000");
        const QUrl sessionUrl(QString::fromUtf8(awaitTask(c.http.send(start, "POST", "{\"name\":\"a.bin\"}"))->header("Location")));
        QVERIFY(sessionUrl.isValid());
        const auto put = [&](const QByteArray &range, qsizetype bytes) {
            QNetworkRequest part(sessionUrl);
            part.setRawHeader("Content-Range", range);
            part.setAttribute(QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::ManualRedirectPolicy);
            return awaitTask(c.http.send(part, "PUT", QByteArray(bytes, 'x'))).value();
        };
        QCOMPARE(put("bytes 0-99999/600000", 100000).status, 400);
        QCOMPARE(put("bytes 0-262143/600000", 262144).status, 308);
        const HttpResponse stored = put("bytes 262144-599999/600000", 337856); // the last may be any size
        QCOMPARE(stored.status, 200);
        // A permission without its type is refused.
        QNetworkRequest grant(
            Endpoints::join(stack.root, "/drive/v3/files/" + QJsonDocument::fromJson(stored.body)["id"].toString() + "/permissions"));
        grant.setRawHeader("Authorization", "Bearer " + access);
        QCOMPARE(awaitTask(c.http.send(grant, "POST", "{\"role\":\"reader\"}"))->status, 400);

        const HttpResponse stale = list("q=trashed%3Dfalse", "ya29.unknown");
        QCOMPARE(stale.status, 401);
        QCOMPARE(QJsonDocument::fromJson(stale.body)["error"]["status"].toString(), QStringLiteral("UNAUTHENTICATED"));

        const auto dropbox = [&](const QString &client, const QString &redirect) {
            return c.page(stack.root,
                          QStringLiteral("/oauth2/authorize?client_id=%1&redirect_uri=%2&response_type=code"
                                         "&code_challenge=%3&code_challenge_method=S256&state=s2")
                              .arg(client, QString::fromLatin1(QUrl::toPercentEncoding(redirect)), challenge));
        };
        QCOMPARE(dropbox("someone-else", "vendrel://dropbox-auth").status, 400);
        QCOMPARE(dropbox(KAVO_DROPBOX_APP_KEY, "http://127.0.0.1:4000/").status, 400);
        const HttpResponse allowed = dropbox(KAVO_DROPBOX_APP_KEY, "vendrel://dropbox-auth");
        QCOMPARE(allowed.status, 302);
        const QUrlQuery answer(QUrl(QString::fromUtf8(allowed.header("Location"))));
        QCOMPARE(answer.queryItemValue("state"), QStringLiteral("s2"));
        const QByteArray dropboxExchange = "grant_type=authorization_code&code=" + answer.queryItemValue("code").toUtf8()
            + "&code_verifier=" + verifier + "&redirect_uri=vendrel%3A%2F%2Fdropbox-auth&client_id=";
        QCOMPARE(c.page(stack.root, "/oauth2/token", dropboxExchange + "someone-else").status, 400);
        const HttpResponse tokens = c.page(stack.root, "/oauth2/token", dropboxExchange + KAVO_DROPBOX_APP_KEY);
        QCOMPARE(tokens.status, 200);
        QVERIFY(QJsonDocument::fromJson(tokens.body)["account_id"].toString().startsWith("dbid:"));
        QVERIFY(!QJsonDocument::fromJson(tokens.body).object().contains("refresh_token")); // not asked for offline access
        QCOMPARE(c.page(stack.root, "/oauth2/token", dropboxExchange + KAVO_DROPBOX_APP_KEY).status, 400); // used

        // Dropbox's routes hold their arguments to the API's types and fields, want their content
        // type, and honour a session's close.
        const QByteArray bearer = "Bearer " + QJsonDocument::fromJson(tokens.body)["access_token"].toString().toUtf8();
        const auto call = [&](const QString &route, const QByteArray &arg, const QByteArray &body,
                              const QByteArray &type = "application/octet-stream") {
            QNetworkRequest request(Endpoints::join(stack.root, route));
            request.setRawHeader("Authorization", bearer);
            request.setRawHeader("Content-Type", type);
            if (!arg.isNull())
                request.setRawHeader("Dropbox-API-Arg", arg);
            return awaitTask(c.http.send(request, "POST", body)).value();
        };
        const HttpResponse started = call("/2/files/upload_session/start", "{\"close\":false}", "abc");
        QCOMPARE(started.status, 200);
        const QByteArray session = QJsonDocument::fromJson(started.body)["session_id"].toString().toUtf8();
        const HttpResponse mistyped
            = call("/2/files/upload_session/append_v2", "{\"cursor\":{\"session_id\":\"" + session + "\",\"offset\":\"3\"}}", "d");
        QCOMPARE(mistyped.status, 400);
        QVERIFY2(mistyped.body.contains("cursor.offset: expected integer"), mistyped.body.constData());
        const HttpResponse unknown = call("/2/files/upload_session/append_v2",
                                          "{\"cursor\":{\"session_id\":\"" + session + "\",\"offset\":3},\"closed\":true}", "d");
        QCOMPARE(unknown.status, 400);
        QVERIFY2(unknown.body.contains("unknown field 'closed'"), unknown.body.constData());
        QCOMPARE(call("/2/files/upload_session/append_v2", "{\"cursor\":{\"session_id\":\"" + session + "\",\"offset\":3}}", "d",
                      "application/json")
                     .status,
                 400);
        QCOMPARE(
            call("/2/files/upload_session/append_v2", "{\"cursor\":{\"session_id\":\"" + session + "\",\"offset\":3},\"close\":true}", "d")
                .status,
            200);
        const HttpResponse afterClose
            = call("/2/files/upload_session/append_v2", "{\"cursor\":{\"session_id\":\"" + session + "\",\"offset\":4}}", "e");
        QCOMPARE(afterClose.status, 409);
        QCOMPARE(QJsonDocument::fromJson(afterClose.body)["error"][".tag"].toString(), QStringLiteral("closed"));
        QCOMPARE(call("/2/files/get_metadata", {}, "{\"path\":\"/x\",\"recursive\":true}", "application/json").status, 400);
        QCOMPARE(call("/2/files/get_metadata", {}, "{\"path\":\"/x\"}", "text/plain").status, 400);
        QCOMPARE(call("/2/files/get_metadata", {}, "{\"path\":\"/x\"}", "application/json").status, 409);

        // Two appends at the same offset at once, as from a client killed after sending all of
        // one and the next client resuming: one is taken, the other told where the session stands.
        const QByteArray fresh
            = QJsonDocument::fromJson(call("/2/files/upload_session/start", "{}", {}).body)["session_id"].toString().toUtf8();
        const auto appendAtStart = [&](char fill) {
            QNetworkRequest request(Endpoints::join(stack.root, "/2/files/upload_session/append_v2"));
            request.setRawHeader("Authorization", bearer);
            request.setRawHeader("Content-Type", "application/octet-stream");
            request.setRawHeader("Dropbox-API-Arg", "{\"cursor\":{\"session_id\":\"" + fresh + "\",\"offset\":0}}");
            return c.http.send(request, "POST", QByteArray(32 << 20, fill));
        };
        QCoro::Task<Result<HttpResponse>> one = appendAtStart('a');
        QCoro::Task<Result<HttpResponse>> other = appendAtStart('b');
        const int first = awaitTask(std::move(one)).value().status, second = awaitTask(std::move(other)).value().status;
        QVERIFY2(first + second == 200 + 409, qPrintable(QStringLiteral("%1 and %2").arg(first).arg(second)));
        const HttpResponse stands
            = call("/2/files/upload_session/append_v2", "{\"cursor\":{\"session_id\":\"" + fresh + "\",\"offset\":0}}", "x");
        QCOMPARE(QJsonDocument::fromJson(stands.body)["error"]["correct_offset"].toInteger(), qint64(32) << 20);
    }

    void stateSurvivesARestart()
    {
        QTemporaryDir state;
        QString token;
        QByteArray firstCa;
        {
            Stack stack(state.path());
            QVERIFY(stack.root.scheme() == "https");
            QVERIFY(stack.ca.startsWith("-----BEGIN CERTIFICATE-----"));
            firstCa = stack.ca;
            Client c(stack);
            token = awaitTask(c.api.registerUpload(upload("kept.pdf"))).value().token;
        }
        // As a state folder made before the column was added.
        QVERIFY(Database(state.path() + "/devstack.sqlite").exec("ALTER TABLE google_codes DROP COLUMN offline"));
        Stack again(state.path());
        QCOMPARE(Database(state.path() + "/devstack.sqlite")
                     .query("SELECT 1 FROM pragma_table_info('google_codes') WHERE name = 'offline'")
                     .size(),
                 1);
        QCOMPARE(again.ca, firstCa); // the CA is kept, so a client that trusts it still connects
        QCOMPARE(QFile(state.path() + "/ca.key").permissions() & (QFileDevice::ReadGroup | QFileDevice::ReadOther),
                 QFileDevice::Permissions());
        Client c(again);
        const Result<QList<HistoryItem>> history = awaitTask(c.api.fetchHistory(15));
        QVERIFY(history);
        QCOMPARE(history->size(), 1);
        QCOMPARE(history->first().token, token);
    }
};

QTEST_GUILESS_MAIN(TestDevStack)
#include "tst_devstack.moc"
