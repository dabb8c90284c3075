#include "cloud/dropboxauth.h"
#include "cloud/dropboxuploader.h"
#include "cloud/oauth.h"
#include "cloudstandins.h"
#include "loopbackhttp.h"
#include "memorysecretstore.h"
#include "platform/secretstore.h"
#include "testutil.h"

#include <QJsonDocument>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <QUrlQuery>

using namespace std::chrono_literals;
using Response = FakeServer::Response;

namespace {

// Dropbox on a fake server, and a "browser" whose answer comes back the way a vendrel:// link
// does: handed to deliverRedirect.
struct Dropbox : LoopbackHttp {
    MemorySecretStore secrets;
    QDateTime clock = QDateTime(QDate(2026, 12, 6), QTime(12, 0), Qt::UTC);
    QList<QUrl> opened;
    QString redirect = QStringLiteral("vendrel://dropbox-auth?code=dbx-code");
    bool withState = true;
    std::unique_ptr<DropboxAuth> auth;

    Dropbox() { start(); }
    void start()
    {
        DropboxAuth::Options options;
        options.now = [this] { return clock; };
        options.signInTimeout = 1s;
        options.browser = [this](const QUrl &url) {
            opened.append(url);
            // A page's own vendrel:// link first, then Dropbox's answer with the sign-in's state.
            const QString state = QUrlQuery(url).queryItemValue("state", QUrl::FullyEncoded);
            QTimer::singleShot(0, auth.get(), [this, state] {
                auth->deliverRedirect(QUrl(QStringLiteral("vendrel://dropbox-auth?code=forged")));
                auth->deliverRedirect(QUrl(redirect + (withState ? QStringLiteral("&state=") + state : QString())));
            });
            return true;
        };
        auth = std::make_unique<DropboxAuth>(&http, Endpoints::allAt(server.url()), &secrets, options);
    }
};

} // namespace

class TestDropbox : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    // A vendrel:// link without this sign-in's state (any web page can open one) never ends it:
    // it is ignored and logged, and the sign-in waits on until its time is up.
    void aLinkWithoutTheStateIsIgnored()
    {
        Dropbox d;
        d.withState = false;
        LogCapture log;
        const Result<void> done = awaitTask(d.auth->signIn());
        QVERIFY(!done);
        QCOMPARE(done.error().code, int(WebAuthError::cancelledLogin));
        QCOMPARE(d.server.requests("POST", "/oauth2/token").size(), 0);
        QCOMPARE(log.linesContaining(QStringLiteral("ignored a sign-in answer without this sign-in's state")).size(), 2);
    }

    void signInThroughTheVendrelLink()
    {
        Dropbox d;
        d.server.enqueue(
            "POST", "/oauth2/token",
            Response::json(
                200, "{\"access_token\":\"sl.access\",\"refresh_token\":\"dbx-refresh\",\"expires_in\":14400,\"token_type\":\"bearer\"}"));
        d.server.route("POST", "/2/users/get_current_account",
                       Response::json(200, "{\"email\":\"d@example.com\",\"name\":{\"display_name\":\"Dee Bee\"}}"));
        const Result<void> done = awaitTask(d.auth->signIn());
        QVERIFY2(done, qPrintable(done ? QString() : done.error().description));
        QVERIFY(d.auth->isSignedIn());
        QCOMPARE(d.auth->accountEmail(), QStringLiteral("d@example.com"));
        QCOMPARE(d.auth->accountName(), QStringLiteral("Dee Bee"));
        QCOMPARE(awaitTask(d.secrets.read(DropboxAuth::keychainAccount)).value, QStringLiteral("dbx-refresh"));

        // What the devstack does not check: the user is asked to approve each time.
        QCOMPARE(QUrlQuery(d.opened.value(0)).queryItemValue("force_reapprove"), QStringLiteral("true"));
        const FakeServer::Request account = d.server.requests("POST", "/2/users/get_current_account").value(0);
        QCOMPARE(account.body, QByteArray("null"));
        QCOMPARE(account.header("Content-Type"), QByteArray("application/json"));
        QCOMPARE(awaitTask(d.auth->validAccessToken()).value(), QStringLiteral("sl.access"));

        d.auth->signOut();
        QVERIFY(!d.auth->isSignedIn());
        QCOMPARE(d.auth->accountEmail(), std::nullopt);
        QCOMPARE(awaitTask(d.auth->validAccessToken()).error().description, QStringLiteral("Not signed in to Dropbox."));
    }

    void exchangeFailures_data()
    {
        QTest::addColumn<QString>("redirect");
        QTest::addColumn<int>("status");
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<QString>("expected");
        row("400 with JSON", "vendrel://dropbox-auth?code=c", 400, QByteArray("{\"error\":\"invalid_grant\"}"),
            "Bad response from Dropbox: {\"error\":\"invalid_grant\"}");
        row("200 without refresh token", "vendrel://dropbox-auth?code=c", 200, QByteArray("{\"access_token\":\"a\",\"expires_in\":10}"),
            "Bad response from Dropbox: {\"access_token\":\"a\",\"expires_in\":10}");
        row("no code", "vendrel://dropbox-auth?error=access_denied", 200, QByteArray(), "Dropbox didn't return an authorization code.");
    }
    void exchangeFailures()
    {
        QFETCH(QString, redirect);
        QFETCH(int, status);
        QFETCH(QByteArray, body);
        QFETCH(QString, expected);
        Dropbox d;
        d.redirect = redirect;
        d.server.route("POST", "/oauth2/token", Response::json(status, body));
        const Result<void> done = awaitTask(d.auth->signIn());
        QVERIFY(!done);
        QCOMPARE(done.error().description, expected);
        QVERIFY(!d.auth->isSignedIn());
        QCOMPARE(awaitTask(d.secrets.read(DropboxAuth::keychainAccount)).value, std::nullopt);
    }

    void refreshNeverSignsOut()
    {
        Dropbox d;
        d.secrets.save(DropboxAuth::keychainAccount, "stored");
        d.start();
        QVERIFY(d.auth->isSignedIn());
        QCOMPARE(d.auth->accountEmail(), std::nullopt);
        QCOMPARE(d.auth->accountName(), std::nullopt);

        d.server.enqueue("POST", "/oauth2/token", Response::json(401, "{\"error\":\"expired_access_token\"}"));
        LogCapture log;
        const Result<QString> failed = awaitTask(d.auth->validAccessToken());
        QCOMPARE(failed.error().description, QStringLiteral("Dropbox token refresh failed — sign in again."));
        QVERIFY(d.auth->isSignedIn());
        QVERIFY(log.lines().isEmpty());

        d.server.enqueue("POST", "/oauth2/token",
                         Response::json(200, "{\"access_token\":\"fresh\",\"expires_in\":100,\"refresh_token\":\"rotated\"}"));
        QCOMPARE(awaitTask(d.auth->validAccessToken()).value(), QStringLiteral("fresh"));
        QCOMPARE(awaitTask(d.secrets.read(DropboxAuth::keychainAccount)).value, QStringLiteral("stored")); // a returned token is ignored
        const auto form = formFields(d.server.requests("POST", "/oauth2/token").value(1).body);
        QCOMPARE(form.keys(), (QStringList{"client_id", "grant_type", "refresh_token"}));
        QCOMPARE(form.value("refresh_token"), QStringLiteral("stored"));
    }

    void accountWithoutNameSetsOnlyTheEmail()
    {
        Dropbox d;
        d.server.route("POST", "/oauth2/token", Response::json(200, "{\"access_token\":\"a\",\"refresh_token\":\"r\",\"expires_in\":100}"));
        d.server.route("POST", "/2/users/get_current_account", Response::json(200, "{\"email\":\"only@example.com\"}"));
        QVERIFY(awaitTask(d.auth->signIn()));
        QCOMPARE(d.auth->accountEmail(), QStringLiteral("only@example.com"));
        QCOMPARE(d.auth->accountName(), std::nullopt);
    }
};

namespace {

// Where in its session a call's bytes go, by its Dropbox-API-Arg.
qint64 cursorOffset(const FakeServer::Request &request)
{
    return QJsonDocument::fromJson(request.header("Dropbox-API-Arg"))["cursor"]["offset"].toInteger();
}

struct Upload : LoopbackHttp {
    FixedToken token{QStringLiteral("dbx-token")};
    QTemporaryDir files;
    QList<double> progress;

    Upload()
    {
        server.route("POST", "/2/files/upload_session/start", Response::json(200, "{\"session_id\":\"sess-1\"}"));
        server.route("POST", "/2/files/upload_session/append_v2", Response::json(200, "null"));
        server.route("POST", "/2/files/upload_session/finish", Response::json(200, "{\"id\":\"id:abc\",\"name\":\"x\"}"));
        server.route("POST", "/2/sharing/create_shared_link_with_settings",
                     Response::json(200, "{\"url\":\"https://dbx.test/s/abc/file?dl=0\"}"));
    }
    Result<CloudUploadResult> run(const QByteArray &content, qint64 chunkSize = 1000, const QString &name = "file.bin")
    {
        const QString path = files.path() + "/" + name;
        writeFile(path, content);
        DropboxUploader uploader(&http, Endpoints::allAt(server.url()), &token, chunkSize);
        return awaitTask(uploader.upload(path, "application/octet-stream", [this](double f) { progress.append(f); }));
    }
};
}

class TestDropboxUploader : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    // An attempt handed a session goes on from its offset; a chunk whose answer was lost is
    // skipped on `incorrect_offset`; an expired session is replaced once, under the same path.
    void sessionsResumeFromTheirOffset()
    {
        Upload u;
        const QString path = u.files.path() + "/resume.bin";
        writeFile(path, QByteArray(3500, 'z'));
        DropboxUploader uploader(&u.http, Endpoints::allAt(u.server.url()), &u.token, 1000);
        UploadSession kept{QStringLiteral("sess-1"), QStringLiteral("/ABCDEF012345/resume.bin"), 1000, 3500, false};
        const CloudUploader::SessionCallback keep = [&kept](const UploadSession &now) { kept = now; };
        u.server.enqueue(
            "POST", "/2/files/upload_session/append_v2",
            Response::json(
                409, "{\"error_summary\":\"incorrect_offset/..\",\"error\":{\".tag\":\"incorrect_offset\",\"correct_offset\":2000}}"));
        const Result<CloudUploadResult> resumed = awaitTask(uploader.upload(path, "x", {}, kept, keep));
        QVERIFY2(resumed, qPrintable(resumed ? QString() : resumed.error().description));
        QCOMPARE(u.server.requests("POST", "/2/files/upload_session/start").size(), 0);
        const auto appends = u.server.requests("POST", "/2/files/upload_session/append_v2");
        QCOMPARE(appends.size(), 2);
        QCOMPARE(cursorOffset(appends[0]), 1000);
        QCOMPARE(cursorOffset(appends[1]), 2000);
        const FakeServer::Request finish = u.server.requests("POST", "/2/files/upload_session/finish").value(0);
        QCOMPARE(cursorOffset(finish), 3000);
        QCOMPARE(finish.body.size(), 500);
        QCOMPARE(resumed->providerFileID, QStringLiteral("/ABCDEF012345/resume.bin"));
        QVERIFY(kept.finishing);

        UploadSession expired{QStringLiteral("sess-old"), QStringLiteral("/ABCDEF012345/resume.bin"), 2000, 3500, false};
        u.server.enqueue("POST", "/2/files/upload_session/append_v2",
                         Response::json(409, "{\"error_summary\":\"not_found/..\",\"error\":{\".tag\":\"not_found\"}}"));
        const Result<CloudUploadResult> replaced = awaitTask(uploader.upload(path, "x", {}, expired, keep));
        QVERIFY(replaced);
        QCOMPARE(u.server.requests("POST", "/2/files/upload_session/start").size(), 1);
        QCOMPARE(cursorOffset(u.server.requests("POST", "/2/files/upload_session/append_v2").value(3)), 0);
        QCOMPARE(replaced->providerFileID, QStringLiteral("/ABCDEF012345/resume.bin"));
    }

    // A session that keeps sending the commit back to an offset it already took is given up on
    // after a bounded number of requests.
    void aSessionThatNeverConvergesIsGivenUp()
    {
        Upload u;
        u.server.route("POST", "/2/files/upload_session/finish",
                       Response::json(409,
                                      "{\"error_summary\":\"lookup_failed/incorrect_offset/..\",\"error\":{\".tag\":\"lookup_failed\","
                                      "\"lookup_failed\":{\".tag\":\"incorrect_offset\",\"correct_offset\":2000}}}"));
        const Result<CloudUploadResult> result = u.run(QByteArray(3500, 'o'), 1000);
        QVERIFY(!result);
        QCOMPARE(result.error().code, int(SendBudget::exhaustedCode));
        QVERIFY2(result.error().description.startsWith("Dropbox kept asking again for parts of the file it had been sent"),
                 qPrintable(result.error().description));
        const qsizetype requests = u.server.requests("POST", "/2/files/upload_session/append_v2").size()
            + u.server.requests("POST", "/2/files/upload_session/finish").size();
        QCOMPARE(requests, 16); // twice the four the file needs, and eight more
    }

    void existingLinkIsFound()
    {
        Upload u;
        u.server.route("POST", "/2/sharing/create_shared_link_with_settings",
                       Response::json(409, "{\"error_summary\":\"shared_link_already_exists/..\"}"));
        u.server.route("POST", "/2/sharing/list_shared_links",
                       Response::json(200, "{\"links\":[{\"url\":\"https://dbx.test/s/old/file?dl=0\"}]}"));
        const Result<CloudUploadResult> result = u.run("x");
        QVERIFY(result);
        QCOMPARE(result->directURL, QStringLiteral("https://dbx.test/s/old/file?dl=1"));
        const QJsonObject listBody
            = QJsonDocument::fromJson(u.server.requests("POST", "/2/sharing/list_shared_links").value(0).body).object();
        QCOMPARE(listBody, (QJsonObject{{"path", result->providerFileID}, {"direct_only", true}}));

        u.server.route("POST", "/2/sharing/list_shared_links", Response::json(200, "{\"links\":[]}"));
        const Result<CloudUploadResult> none = u.run("x");
        QVERIFY(!none);
        QCOMPARE(none.error().description, QStringLiteral("Dropbox HTTP 409: {\"error_summary\":\"shared_link_already_exists/..\"}"));
    }

    void directLinks_data()
    {
        QTest::addColumn<QString>("link");
        QTest::addColumn<QString>("direct");
        row("dl=0", "https://d/s/a?dl=0", "https://d/s/a?dl=1");
        row("no query", "https://d/s/a", "https://d/s/a?dl=1");
        row("other query", "https://d/s/a?rlkey=x", "https://d/s/a?rlkey=x&dl=1");
    }
    void directLinks()
    {
        QFETCH(QString, link);
        QFETCH(QString, direct);
        QCOMPARE(DropboxUploader::directLink(link), direct);
    }

    void refusals_data()
    {
        QTest::addColumn<QString>("route");
        QTest::addColumn<int>("status");
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<QString>("expected");
        row("start without session", "/2/files/upload_session/start", 200, QByteArray("{}"), QByteArray("x"), "Bad Dropbox response: {}");
        row("append refused", "/2/files/upload_session/append_v2", 409, QByteArray("{\"error_summary\":\"incorrect_offset\"}"),
            QByteArray(1500, 'x'), "Dropbox HTTP 409: {\"error_summary\":\"incorrect_offset\"}");
        row("finish without id", "/2/files/upload_session/finish", 200, QByteArray("{\"name\":\"x\"}"), QByteArray("x"),
            "Bad Dropbox response: {\"name\":\"x\"}");
        row("link refused", "/2/sharing/create_shared_link_with_settings", 400, QByteArray("bad path"), QByteArray("x"),
            "Dropbox HTTP 400: bad path");
        row("empty file", "", 0, QByteArray(), QByteArray(), "Bad Dropbox response: the file ended after 0 of 0 bytes; nothing was saved.");
    }
    void refusals()
    {
        QFETCH(QString, route);
        QFETCH(int, status);
        QFETCH(QByteArray, body);
        QFETCH(QByteArray, content);
        QFETCH(QString, expected);
        Upload u;
        if (!route.isEmpty())
            u.server.route("POST", route, Response::json(status, body));
        const Result<CloudUploadResult> result = u.run(content);
        QVERIFY(!result);
        QCOMPARE(result.error().description, expected);
        if (content.isEmpty())
            QCOMPARE(u.server.requests("POST", "/2/sharing/create_shared_link_with_settings").size(), 0);
    }

    void oneChunkGoesStraightToFinish()
    {
        Upload u;
        const QByteArray content(1000, 'a');
        const Result<CloudUploadResult> result = u.run(content);
        QVERIFY2(result, qPrintable(result ? QString() : result.error().description));
        const FakeServer::Request start = u.server.requests("POST", "/2/files/upload_session/start").value(0);
        QVERIFY(start.body.isEmpty());
        QCOMPARE(u.server.requests("POST", "/2/files/upload_session/append_v2").size(), 0);
        const FakeServer::Request finish = u.server.requests("POST", "/2/files/upload_session/finish").value(0);
        QCOMPARE(finish.body, content);
        const QJsonObject arg = QJsonDocument::fromJson(finish.header("Dropbox-API-Arg")).object();
        QCOMPARE(arg.value("cursor").toObject(), (QJsonObject{{"session_id", "sess-1"}, {"offset", 0}}));
        const QJsonObject commit = arg.value("commit").toObject();
        QCOMPARE(commit.value("mute"), QJsonValue(true));
        QCOMPARE(commit.value("path").toString(), result->providerFileID);
        QVERIFY(QRegularExpression("^/[0-9A-F]{12}/file\\.bin$").match(result->providerFileID).hasMatch());
        QCOMPARE(u.progress.last(), 1.0);
        QCOMPARE(u.progress.count(1.0), 1);
        QCOMPARE(result->provider, StorageProvider::dropbox);
        QCOMPARE(result->directURL, QStringLiteral("https://dbx.test/s/abc/file?dl=1"));
        const QByteArray link = u.server.requests("POST", "/2/sharing/create_shared_link_with_settings").value(0).body;
        QCOMPARE(QJsonDocument::fromJson(link)["settings"]["audience"].toString(), QStringLiteral("public"));
    }

    // Reports follow the bytes within each chunk, rise steadily, mark each chunk's end once its
    // answer came, and reach 1.0 only once the session is committed.
    void progressFollowsTheChunks()
    {
        Upload u;
        QVERIFY(u.run(QByteArray(2500, 'p'), 1000));
        QCOMPARE(u.server.requests("POST", "/2/files/upload_session/append_v2").size(), 2);
        QVERIFY(std::is_sorted(u.progress.begin(), u.progress.end()));
        QVERIFY(u.progress.contains(0.4) && u.progress.contains(0.8));
        QCOMPARE(u.progress.last(), 1.0);
        QCOMPARE(u.progress.count(1.0), 1);
    }
};

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    TestDropbox auth;
    TestDropboxUploader uploader;
    return QTest::qExec(&auth, argc, argv) | QTest::qExec(&uploader, argc, argv);
}
#include "tst_dropbox.moc"
