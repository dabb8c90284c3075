// The real kavo-devstack process, driven through the application's own service client.

#include "platform/endpoints.h"
#include "service/backendapi.h"
#include "testutil.h"

#include "upload/retry.h"
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QUrlQuery>

#include <QFile>
#include <QSslSocket>
#include <QTest>

#include "database.h"

#include <atomic>
#include <thread>

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
    QJsonObject hook(const QUrl &root, const QByteArray &method, const QString &path, const QByteArray &body = {})
    {
        const Result<HttpResponse> response = awaitTask(http.send(QNetworkRequest(Endpoints::join(root, path)), method, body));
        return response ? QJsonDocument::fromJson(response->body).object() : QJsonObject();
    }
    // A web page as a browser asks for it: a form body when given, the session cookie, and
    // redirects left for the caller to see.
    HttpResponse page(const QUrl &root, const QString &path, const QByteArray &form = {}, const QByteArray &cookie = {})
    {
        QNetworkRequest request(Endpoints::join(root, path));
        request.setAttribute(QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::ManualRedirectPolicy);
        request.setAttribute(QNetworkRequest::CookieLoadControlAttribute, QNetworkRequest::Manual);
        request.setAttribute(QNetworkRequest::CookieSaveControlAttribute, QNetworkRequest::Manual);
        if (!form.isNull())
            request.setHeader(QNetworkRequest::ContentTypeHeader, "application/x-www-form-urlencoded");
        if (!cookie.isEmpty())
            request.setRawHeader("Cookie", cookie);
        const Result<HttpResponse> response = awaitTask(http.send(request, form.isNull() ? "GET" : "POST", form));
        return response ? response.value() : HttpResponse{};
    }
};

// The kavo://setup link behind the page's "Open Kavo" button.
QUrl setupLink(const QByteArray &page)
{
    static const QRegularExpression button(QStringLiteral("id=\"open-kavo\" href=\"([^\"]*)\""));
    const QRegularExpressionMatch match = button.match(QString::fromUtf8(page));
    QString href = match.captured(1);
    href.replace(QStringLiteral("&amp;"), QStringLiteral("&"));
    return QUrl(href, QUrl::StrictMode);
}

QString sessionCookie(const HttpResponse &response)
{
    return QString::fromLatin1(response.header("Set-Cookie")).section(QLatin1Char(';'), 0, 0);
}

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

        // Drive parses the search and the field selection, and answers errors in Google's shape.
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
        const HttpResponse badQuery = list("q=name%20contains%20Kavo&fields=files(id)", access);
        QCOMPARE(badQuery.status, 400);
        QCOMPARE(QJsonDocument::fromJson(badQuery.body)["error"]["errors"][0]["reason"].toString(), QStringLiteral("invalid"));
        const HttpResponse badFields = list("q=trashed%3Dfalse&fields=files(idd)", access);
        QCOMPARE(badFields.status, 400);
        QCOMPARE(QJsonDocument::fromJson(badFields.body)["error"]["errors"][0]["reason"].toString(), QStringLiteral("invalidParameter"));
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

        // A call of more than 150 MiB is refused from its head, before its body is read.
        QSslSocket raw;
        QSslConfiguration trust = QSslConfiguration::defaultConfiguration();
        trust.setCaCertificates(QSslCertificate::fromData(stack.ca));
        raw.setSslConfiguration(trust);
        raw.connectToHostEncrypted(stack.root.host(), quint16(stack.root.port()));
        QVERIFY(raw.waitForEncrypted(5000));
        raw.write("POST /2/files/upload_session/append_v2 HTTP/1.1\r\nHost: 127.0.0.1\r\nAuthorization: " + bearer
                  + "\r\nContent-Type: application/octet-stream\r\nDropbox-API-Arg: {\"cursor\":{\"session_id\":\"" + session
                  + "\",\"offset\":4}}\r\nContent-Length: " + QByteArray::number((qint64(150) << 20) + 1) + "\r\n\r\n");
        QByteArray head;
        QVERIFY(QTest::qWaitFor(
            [&] {
                raw.waitForReadyRead(100);
                head += raw.readAll();
                return head.contains("\r\n\r\n");
            },
            5000));
        QVERIFY2(head.startsWith("HTTP/1.1 400"), head.constData());

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

    // What Kavo's own roads (tst_commands, the end-to-end tests) do not reach: the presets, a
    // search, a name refused, a link deleted twice.
    void serviceRoundTrip()
    {
        QTemporaryDir state;
        Stack stack(state.path());
        Client c(stack);
        const Result<BackendAPI::PresetList> presets = awaitTask(c.api.fetchPresets());
        QVERIFY2(presets, qPrintable(presets ? QString() : presets.error().description));
        QCOMPARE(presets->presets.size(), 3);
        QCOMPARE(presets->defaultID, 1);

        const Result<Registration> link = awaitTask(c.api.registerUpload(upload("report.pdf")));
        QVERIFY2(link, qPrintable(link ? QString() : link.error().description));
        QVERIFY(awaitTask(c.api.registerUpload(upload("other.pdf"))));
        const Result<QList<HistoryItem>> history = awaitTask(c.api.fetchHistory(15, QStringLiteral("REPORT")));
        QVERIFY2(history, qPrintable(history ? QString() : history.error().description));
        QCOMPARE(history->size(), 1);
        QCOMPARE(history->first().token, link->token);
        QCOMPARE(history->first().presetID, 2);

        QCOMPARE(awaitTask(c.api.rename(link->token, "")).error().description,
                 QStringLiteral("Backend HTTP 409: That name can't be used."));
        QVERIFY(awaitTask(c.api.deleteLink(link->token)));
        QCOMPARE(awaitTask(c.api.deleteLink(link->token)).error().description, QStringLiteral("Backend HTTP 404: No such link."));
    }

    void statementErrorsStayWithTheirThread()
    {
        // The handlers share one database from a thread pool: each statement's success is its
        // own, whatever another thread's statement did meanwhile.
        QTemporaryDir state;
        Database db(state.filePath("state.sqlite"));
        QVERIFY(db.exec("CREATE TABLE t (v INTEGER)"));
        std::atomic<int> wrong{0};
        std::thread failing([&] {
            for (int i = 0; i < 3000; ++i) {
                QString error;
                if (db.exec("INSERT INTO missing VALUES (1)", {}, &error) || !error.contains("no such table"))
                    ++wrong;
            }
        });
        for (int i = 0; i < 3000; ++i)
            if (!db.exec("INSERT INTO t VALUES (?)", {i}))
                ++wrong;
        failing.join();
        QCOMPARE(wrong.load(), 0);
        QCOMPARE(db.query("SELECT COUNT(*) AS n FROM t").value(0).value("n").toInt(), 3000);
    }

    void refusals()
    {
        QTemporaryDir state;
        Stack stack(state.path());
        Client c(stack);
        c.key = QStringLiteral("f").repeated(64);
        QCOMPARE(awaitTask(c.api.fetchHistory(15)).error().description,
                 QStringLiteral("Backend HTTP 401: Unknown API key. Sign in again."));
        c.key.clear();
        QCOMPARE(awaitTask(c.api.fetchPresets()).error().code, 401);
        c.key = QStringLiteral(KAVO_BUILTIN_KEY);
        RegistrationRequest missing = upload("x.pdf");
        missing.driveFileID.clear();
        QCOMPARE(awaitTask(c.api.registerUpload(missing)).error().description, QStringLiteral("Backend HTTP 400: missing drive_file_id"));
    }

    // The link page shows what it was given as text, on the preset's own colours (the page's
    // password form and its expiry are met on the end-to-end roads).
    void linkPage()
    {
        QTemporaryDir state;
        Stack stack(state.path());
        Client c(stack);
        RegistrationRequest request = upload(QStringLiteral("<b>Q&A</b> 100%1.pdf"));
        request.customMessage = QStringLiteral("<script>alert(1)</script>");
        const QString token = awaitTask(c.api.registerUpload(request)).value().token;
        const HttpResponse shown = c.page(stack.root, "/l/" + token);
        QCOMPARE(shown.status, 200);
        QVERIFY(shown.body.contains("&lt;b&gt;Q&amp;A&lt;/b&gt; 100%1.pdf"));
        QVERIFY(shown.body.contains("&lt;script&gt;alert(1)&lt;/script&gt;"));
        QVERIFY(!shown.body.contains("<b>Q&A") && !shown.body.contains("<script>"));
        QVERIFY(shown.body.contains("#0EA5E9") && shown.body.contains("#1E3A8A") && shown.body.contains("#22D3EE"));
        QVERIFY(awaitTask(c.api.setPassword(token, "open sesame")));
        QVERIFY(c.page(stack.root, "/d/" + token, "password=guess").body.contains("That password isn't right."));
        QCOMPARE(c.page(stack.root, "/l/nosuchlink").status, 404);
    }

    void signInPagesAndDashboard()
    {
        QTemporaryDir state;
        Stack stack(state.path());
        Client c(stack);
        QCOMPARE(c.page(stack.root, "/login.php").status, 200);
        const HttpResponse unknown = c.page(stack.root, "/login.php", "email=nobody%40example.com");
        QCOMPARE(unknown.status, 404);
        QVERIFY(unknown.body.contains("No account uses that address."));

        // The demo account's button carries its key, e-mail and name.
        const QUrl demo = setupLink(c.page(stack.root, "/login.php", "email=Demo%40Kavo.test").body);
        QCOMPARE(demo.scheme(), QStringLiteral("kavo"));
        QCOMPARE(demo.host(), QStringLiteral("setup"));
        QCOMPARE(QUrlQuery(demo).queryItemValue("key", QUrl::FullyDecoded), QStringLiteral("d").repeated(64));
        QCOMPARE(QUrlQuery(demo).queryItemValue("email", QUrl::FullyDecoded), QStringLiteral("demo@kavo.test"));

        // A new account: a fresh key that the API takes, and values that survive the link.
        const HttpResponse welcome = c.page(stack.root, "/signup.php", "name=Ann+%26+Bo&email=ann%2Bx%40example.com");
        QCOMPARE(welcome.status, 200);
        const QUrlQuery created(setupLink(welcome.body));
        QCOMPARE(created.queryItemValue("name", QUrl::FullyDecoded), QStringLiteral("Ann & Bo"));
        QCOMPARE(created.queryItemValue("email", QUrl::FullyDecoded), QStringLiteral("ann+x@example.com"));
        c.key = created.queryItemValue("key", QUrl::FullyDecoded);
        QVERIFY(QRegularExpression(QStringLiteral("^[0-9a-f]{64}$")).match(c.key).hasMatch());
        QVERIFY(awaitTask(c.api.registerUpload(upload("annual report.pdf"))));
        QCOMPARE(c.page(stack.root, "/signup.php", "name=Ann&email=ANN%2Bx%40example.com").status, 409);

        // The dashboard lists the signed-in account's links only.
        c.key = QStringLiteral(KAVO_BUILTIN_KEY);
        QVERIFY(awaitTask(c.api.registerUpload(upload("admin only.pdf"))));
        const HttpResponse anonymous = c.page(stack.root, "/dashboard/");
        QCOMPARE(anonymous.status, 303);
        QCOMPARE(anonymous.header("Location"), QByteArray("/login.php"));
        const HttpResponse dashboard = c.page(stack.root, "/dashboard/", {}, sessionCookie(welcome).toLatin1());
        QCOMPARE(dashboard.status, 200);
        QVERIFY(dashboard.body.contains("annual report.pdf"));
        QVERIFY(!dashboard.body.contains("admin only.pdf"));
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
