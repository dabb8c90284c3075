#include "cloud/driveuploader.h"
#include "cloud/googleauth.h"
#include "cloud/oauth.h"
#include "cloudstandins.h"
#include "loopbackhttp.h"
#include "platform/http.h"
#include "platform/secretstore.h"
#include "testutil.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QPointer>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QUrlQuery>

using namespace std::chrono_literals;
using Response = FakeServer::Response;

namespace {

// Google's endpoints on one fake server, a keychain, a suite, a clock, and a browser that
// answers the authorization page by following the redirect with the scripted query.
struct Google : LoopbackHttp {
    QTemporaryDir config;
    HeldSecretStore secrets;
    QDateTime clock = QDateTime(QDate(2026, 12, 6), QTime(12, 0), Qt::UTC);
    QList<QUrl> opened;
    QByteArray redirectQuery = "code=4%2F0Acode&scope=drive.file";
    bool browserAnswers = true;
    // Another program reaches the listener before the browser, with an answer of its own.
    bool forgedAnswerFirst = false;
    QPointer<QNetworkReply> forged;
    QNetworkAccessManager browserNetwork;
    QPointer<QNetworkReply> page; // the tab that brought the answer
    std::unique_ptr<GoogleAuth> auth;

    Google() { start(); }
    // What the browser tab says once the sign-in has ended: the page's heading.
    QString pageHeading()
    {
        if (!page || !QTest::qWaitFor([this] { return page->isFinished(); }, 3000))
            return {};
        const QString html = QString::fromUtf8(page->readAll());
        const qsizetype from = html.indexOf("<h2>"), to = html.indexOf("</h2>");
        return from < 0 || to < from ? html : html.mid(from + 4, to - from - 4);
    }
    void start()
    {
        GoogleAuth::Options options;
        options.now = [this] { return clock; };
        options.signInTimeout = 1s;
        options.browser = [this](const QUrl &url) {
            opened.append(url);
            if (!browserAnswers)
                return true;
            const QUrl redirect(QUrlQuery(url).queryItemValue("redirect_uri", QUrl::FullyDecoded));
            // A stray request first, as browsers fetch icons; the listener must ignore it.
            browserNetwork.get(QNetworkRequest(redirect.resolved(QUrl("/favicon.ico"))));
            if (forgedAnswerFirst) {
                QUrl fake = redirect;
                fake.setQuery(QStringLiteral("code=forged&state=guessed"));
                forged = browserNetwork.get(QNetworkRequest(fake));
                // The forged answer is turned away before the real one comes (checked by the test).
                if (!QTest::qWaitFor([this] { return forged->isFinished(); }, 3000))
                    qWarning("the forged answer got no answer in time");
            }
            // The provider sends the sign-in's state back with its answer.
            QUrl answer = redirect;
            answer.setQuery(QString::fromLatin1(redirectQuery) + QStringLiteral("&state=")
                            + QUrlQuery(url).queryItemValue("state", QUrl::FullyEncoded));
            page = browserNetwork.get(QNetworkRequest(answer));
            return true;
        };
        auth = std::make_unique<GoogleAuth>(&http, Endpoints::allAt(server.url()), &secrets, DefaultsStore::suite(config.path()), options);
    }
    DefaultsStore suite() const { return DefaultsStore::suite(config.path()); }
    void tokenAnswer(int status, const QByteArray &body) { server.enqueue("POST", "/token", Response::json(status, body)); }
};

} // namespace

class TestGoogle : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    // A stored sign-in that the keychain is slow to give back shows once it has.
    void aStoredSignInComesBackWhenTheKeychainAnswers()
    {
        Google g;
        g.secrets.save(GoogleAuth::keychainAccount, QStringLiteral("1//stored"));
        g.secrets.hold();
        g.start();
        QSignalSpy changed(g.auth.get(), &GoogleAuth::isSignedInChanged);
        bool restored = false;
        QCoro::connect(g.auth->restored(), this, [&restored] { restored = true; });
        QTest::qWait(50);
        QVERIFY(!restored);
        QVERIFY(!g.auth->isSignedIn());
        g.secrets.release();
        QTRY_VERIFY(restored);
        QVERIFY(g.auth->isSignedIn());
        QCOMPARE(changed.size(), 1);
        QCOMPARE(g.suite().value(GoogleAuth::udRefreshTokenKey).toString(), QStringLiteral("1//stored"));
    }

    void signInThroughTheBrowser()
    {
        Google g;
        g.tokenAnswer(200, "{\"access_token\":\"ya29.access\",\"refresh_token\":\"1//refresh\",\"expires_in\":3599}");
        // Drive's account resource names the user; user-info, without the email scope, would not.
        g.server.route("GET", "/oauth2/v3/userinfo", Response::json(200, "{\"sub\":\"1001\"}"));
        g.server.route("GET", "/drive/v3/about",
                       Response::json(200, "{\"user\":{\"displayName\":\"Me\",\"emailAddress\":\"me@example.com\"}}"));
        LogCapture log;
        QSignalSpy signedIn(g.auth.get(), &GoogleAuth::isSignedInChanged);
        const Result<void> done = awaitTask(g.auth->signIn());
        QVERIFY2(done, qPrintable(done ? QString() : done.error().description));
        QVERIFY(g.auth->isSignedIn());
        QCOMPARE(signedIn.size(), 1);
        QCOMPARE(g.auth->userEmail(), QStringLiteral("me@example.com"));
        QCOMPARE(g.pageHeading(), QStringLiteral("You're signed in."));
        QCOMPARE(awaitTask(g.secrets.read(GoogleAuth::keychainAccount)).value, QStringLiteral("1//refresh"));
        QCOMPARE(g.suite().value("kavo.shared.googleRefreshToken"), QJsonValue("1//refresh"));

        // What the devstack does not check: a state of 32 random bytes, and consent asked each time
        // (so that Google gives a refresh token again).
        const QUrlQuery query(g.opened.value(0));
        QCOMPARE(query.queryItemValue("state").size(), 43);
        QCOMPARE(query.queryItemValue("prompt"), QStringLiteral("consent"));
        const auto form = formFields(g.server.requests("POST", "/token").value(0).body);

        // The fresh token is used as long as it has more than 30 seconds left.
        QCOMPARE(awaitTask(g.auth->validAccessToken()).value(), QStringLiteral("ya29.access"));
        QCOMPARE(g.server.requests("POST", "/token").size(), 1);
        for (const QString &line : log.lines()) {
            for (const char *secret : {"ya29.access", "1//refresh", "0Acode", qPrintable(form.value("code_verifier"))})
                QVERIFY2(!line.contains(QLatin1String(secret)), qPrintable(line));
        }
    }

    // Another local program calls the listener first, without this sign-in's state: it gets a 400
    // page, and the sign-in goes on to succeed with the browser's real answer.
    void anAnswerWithoutTheStateDoesNotEndTheSignIn()
    {
        Google g;
        g.forgedAnswerFirst = true;
        g.tokenAnswer(200, "{\"access_token\":\"ya29.access\",\"refresh_token\":\"1//refresh\",\"expires_in\":3599}");
        const Result<void> done = awaitTask(g.auth->signIn());
        QVERIFY2(done, qPrintable(done ? QString() : done.error().description));
        QVERIFY(g.forged && g.forged->isFinished());
        QCOMPARE(g.forged->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt(), 400);
        QCOMPARE(g.pageHeading(), QStringLiteral("You're signed in."));
        const QList<FakeServer::Request> exchanges = g.server.requests("POST", "/token");
        QCOMPARE(exchanges.size(), 1);
        QVERIFY(!exchanges.first().body.contains("forged"));
    }

    void refreshFailures_data()
    {
        QTest::addColumn<int>("status");
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<QString>("logLine"); // empty: none
        QTest::addColumn<bool>("staysSignedIn");
        row("invalid_grant", 400, QByteArray("{\"error\":\"invalid_grant\",\"error_description\":\"Token has been expired or revoked.\"}"),
            "[GoogleAuth] refresh failed: invalid_grant Token has been expired or revoked.", false);
        row("500 not JSON", 500, QByteArray("<html>oops</html>"), "[GoogleAuth] refresh failed: http_500 ", true);
        row("200 without expires_in", 200, QByteArray("{\"access_token\":\"x\"}"), "", true);
    }
    void refreshFailures()
    {
        QFETCH(int, status);
        QFETCH(QByteArray, body);
        QFETCH(QString, logLine);
        QFETCH(bool, staysSignedIn);
        Google g;
        g.secrets.save(GoogleAuth::keychainAccount, "stored-refresh");
        g.start();
        QVERIFY(g.auth->isSignedIn());
        QCOMPARE(g.suite().value("kavo.shared.googleRefreshToken"), QJsonValue("stored-refresh"));
        QCOMPARE(g.auth->userEmail(), std::nullopt);
        g.tokenAnswer(status, body);
        LogCapture log;
        const Result<QString> token = awaitTask(g.auth->validAccessToken());
        QVERIFY(!token);
        QCOMPARE(token.error().description, QStringLiteral("Could not refresh access token — please sign in again."));
        const QStringList lines = log.linesContaining("[GoogleAuth]");
        if (logLine.isEmpty()) {
            QVERIFY(lines.isEmpty());
        } else {
            QCOMPARE(lines.size(), 1);
            QVERIFY2(lines.first().endsWith(logLine), qPrintable(lines.first()));
        }
        QCOMPARE(g.auth->isSignedIn(), staysSignedIn);
        QCOMPARE(awaitTask(g.secrets.read(GoogleAuth::keychainAccount)).value.has_value(), staysSignedIn);
        QVERIFY(!log.lines().join('\n').contains("stored-refresh"));
    }

    void signInFailures_data()
    {
        QTest::addColumn<QByteArray>("redirectQuery");
        QTest::addColumn<QByteArray>("tokenBody");
        QTest::addColumn<QString>("expected");
        QTest::addColumn<QString>("page");
        row("consent refused", QByteArray("error=access_denied"), QByteArray(), "No authorization code returned.", "Sign-in cancelled.");
        row("empty code", QByteArray("code="), QByteArray(), "No authorization code returned.", "Sign-in failed.");
        row("no refresh token", QByteArray("code=abc"), QByteArray("{\"access_token\":\"a\",\"expires_in\":10}"),
            "Bad response from Google.", "Sign-in failed.");
        row("not JSON", QByteArray("code=abc"), QByteArray("nope"), "Google's answer isn't valid JSON", "Sign-in failed.");
    }
    void signInFailures()
    {
        QFETCH(QByteArray, redirectQuery);
        QFETCH(QByteArray, tokenBody);
        QFETCH(QString, expected);
        QFETCH(QString, page);
        Google g;
        g.redirectQuery = redirectQuery;
        if (!tokenBody.isEmpty())
            g.tokenAnswer(200, tokenBody);
        const Result<void> done = awaitTask(g.auth->signIn());
        QVERIFY(!done);
        QVERIFY2(done.error().description.startsWith(expected), qPrintable(done.error().description));
        // The browser tab says how it ended, not "signed in".
        QCOMPARE(g.pageHeading(), page);
        QVERIFY(!g.auth->isSignedIn());
        QCOMPARE(awaitTask(g.secrets.read(GoogleAuth::keychainAccount)).value, std::nullopt);
        QVERIFY(!g.suite().contains("kavo.shared.googleRefreshToken"));
    }

    void concurrentSignInsShareOne()
    {
        // Two drops while signed out: one browser page, one code exchange, one outcome for both.
        Google g;
        g.tokenAnswer(200, "{\"access_token\":\"ya29.access\",\"refresh_token\":\"1//refresh\",\"expires_in\":3599}");
        g.server.route("GET", "/drive/v3/about", Response::json(200, "{\"user\":{\"emailAddress\":\"me@example.com\"}}"));
        QCoro::Task<Result<void>> first = g.auth->signIn();
        QCoro::Task<Result<void>> second = g.auth->signIn();
        const Result<void> secondDone = awaitTask(std::move(second));
        const Result<void> firstDone = awaitTask(std::move(first));
        QVERIFY(firstDone && secondDone);
        QCOMPARE(g.opened.size(), 1);
        QCOMPARE(g.server.requests("POST", "/token").size(), 1);

        // A failure reaches every caller; the next sign-in starts afresh.
        g.auth->signOut();
        g.browserAnswers = false;
        QCoro::Task<Result<void>> a = g.auth->signIn();
        QCoro::Task<Result<void>> b = g.auth->signIn();
        QTimer::singleShot(100, g.auth.get(), [&] { g.auth->cancelSignIn(); });
        const Result<void> bDone = awaitTask(std::move(b));
        const Result<void> aDone = awaitTask(std::move(a));
        QVERIFY(!aDone && !bDone);
        QCOMPARE(aDone.error().description, bDone.error().description);
        QCOMPARE(g.opened.size(), 2);
    }

    void unansweredSignInIsCancelled()
    {
        Google g;
        g.browserAnswers = false;
        QTimer::singleShot(100, g.auth.get(), [&] { g.auth->cancelSignIn(); });
        Result<void> done = awaitTask(g.auth->signIn());
        QVERIFY(!done);
        QCOMPARE(done.error().domain, WebAuthError::domain);
        // And with nobody cancelling, the wait gives up on its own.
        done = awaitTask(g.auth->signIn());
        QVERIFY(!done);
        QCOMPARE(done.error().code, int(WebAuthError::cancelledLogin));
        QCOMPARE(g.server.requests().size(), 0);
    }
};

using Drive = DriveStandIn;

class TestDrive : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void uploadsIntoTheFolderAndShares()
    {
        Drive d;
        d.server.enqueue("GET", "/drive/v3/files", Response::json(200, "{\"files\":[]}"));
        d.server.route("POST", "/drive/v3/files", Response::json(200, "{\"id\":\"folder-1\"}"));
        const QByteArray content = QByteArray(300000, 'k') + "end";
        const QString path = d.file(content);
        QList<double> progress;
        const ProgressCallback onProgress = [&](double f) { progress.append(f); };

        const Result<CloudUploadResult> first = awaitTask(d.uploader.upload(path, "application/pdf", onProgress));
        QVERIFY2(first, qPrintable(first ? QString() : first.error().description));
        QCOMPARE(first->providerFileID, QStringLiteral("file-9"));
        QCOMPARE(first->provider, StorageProvider::google);
        QVERIFY(!first->directURL);
        QVERIFY(awaitTask(d.uploader.upload(path, "application/pdf", onProgress)));
        QTRY_VERIFY(!progress.isEmpty() && progress.last() == 1.0);

        // The folder was looked up twice and created once, at the top of the Drive.
        const auto searches = d.server.requests("GET", "/drive/v3/files");
        QCOMPARE(searches.size(), 2);
        const QUrlQuery search(QString::fromUtf8(searches[0].rawQuery));
        QCOMPARE(search.queryItemValue("q", QUrl::FullyDecoded),
                 QStringLiteral("mimeType='application/vnd.google-apps.folder' and trashed=false and name='Kavo'"));
        QCOMPARE(search.queryItemValue("fields", QUrl::FullyDecoded), QStringLiteral("files(id,name)"));
        QCOMPARE(searches[0].header("Authorization"), QByteArray("Bearer tok"));
        const auto creations = d.server.requests("POST", "/drive/v3/files");
        QCOMPARE(creations.size(), 1);
        QCOMPARE(QJsonDocument::fromJson(creations[0].body).object(),
                 (QJsonObject{{"name", "Kavo"}, {"mimeType", "application/vnd.google-apps.folder"}}));

        const FakeServer::Request start = d.server.requests("POST", "/upload/drive/v3/files").value(0);
        QCOMPARE(start.header("X-Upload-Content-Type"), QByteArray("application/pdf"));
        QCOMPARE(QJsonDocument::fromJson(start.body).object(),
                 (QJsonObject{{"name", "Résumé 2026.pdf"}, {"parents", QJsonArray{"folder-1"}}}));
        // The session address is the upload's credential: the bytes go there without the token.
        const FakeServer::Request put = d.server.requests("PUT", "/session").value(0);
        QCOMPARE(put.rawQuery, QByteArray("upload_id=SECRET"));
        QVERIFY(!put.hasHeader("Authorization"));
        QCOMPARE(put.body, content);
    }

    void failures_data()
    {
        QTest::addColumn<QString>("step");
        QTest::addColumn<QString>("expected");
        row("start without Location", "start", "Drive HTTP 200: {\"kind\":\"none\"}");
        row("bytes answered 500", "bytes", "Drive HTTP 500: storage quota");
        row("bytes without id", "bytes-no-id", "Drive HTTP 200: {\"name\":\"x\"}");
        row("permission 403", "permission", "Drive HTTP 403: {\"error\":\"forbidden\"}");
        row("folder cannot be made", "folder", "Bad response from Drive.");
        row("folder search refused", "search", "Drive HTTP 401: {\"error\":{\"code\":401}}");
    }
    void failures()
    {
        QFETCH(QString, step);
        QFETCH(QString, expected);
        Drive d;
        if (step == "start")
            d.server.route("POST", "/upload/drive/v3/files", Response::json(200, "{\"kind\":\"none\"}"));
        if (step == "bytes")
            d.server.route("PUT", "/session", Response::text(500, "storage quota"));
        if (step == "bytes-no-id")
            d.server.route("PUT", "/session", Response::json(200, "{\"name\":\"x\"}"));
        if (step == "permission")
            d.server.route("POST", "/drive/v3/files/file-9/permissions", Response::json(403, "{\"error\":\"forbidden\"}"));
        if (step == "folder") {
            d.server.route("GET", "/drive/v3/files", Response::json(200, "{\"files\":[]}"));
            d.server.route("POST", "/drive/v3/files", Response::json(200, "{\"kind\":\"drive#file\"}"));
        }
        if (step == "search")
            d.server.route("GET", "/drive/v3/files", Response::json(401, "{\"error\":{\"code\":401}}"));
        const Result<CloudUploadResult> result = awaitTask(d.uploader.upload(d.file("data"), "text/plain", {}));
        QVERIFY(!result);
        QCOMPARE(result.error().description, expected);
        QCOMPARE(d.server.requests("DELETE", "/drive/v3/files/file-9").size(), 0); // the file is left alone
    }

    // A byte upload cut off part-way: the next attempt asks the session where it stands and
    // sends only the rest, in the same session; a session that is gone is replaced once.
    void interruptedUploadsResumeInTheirSession()
    {
        Drive d;
        const qint64 size = 3 << 20;
        const QString path = d.file(QByteArray(size, 'r'));
        Response cut = Response::json(200, "{}");
        cut.resetAfterBodyBytes = 1 << 20;
        d.server.enqueue("PUT", "/session", cut);
        d.server.enqueue("PUT", "/session", Response{308, {{"Range", "bytes=0-524287"}}, {}});
        UploadSession kept;
        const CloudUploader::SessionCallback keep = [&kept](const UploadSession &now) { kept = now; };
        const Result<CloudUploadResult> first = awaitTask(d.uploader.upload(path, "text/plain", {}, UploadSession{}, keep));
        QVERIFY(!first);
        QCOMPARE(first.error().code, int(TransportCode::networkConnectionLost));
        QVERIFY(!kept.isEmpty());
        QCOMPARE(kept.size, size);

        const Result<CloudUploadResult> second = awaitTask(d.uploader.upload(path, "text/plain", {}, kept, keep));
        QVERIFY2(second, qPrintable(second ? QString() : second.error().description));
        QCOMPARE(d.server.requests("POST", "/upload/drive/v3/files").size(), 1);
        const auto puts = d.server.requests("PUT", "/session");
        QCOMPARE(puts.size(), 3);
        QCOMPARE(puts[1].header("Content-Range"), "bytes */" + QByteArray::number(size));
        QCOMPARE(puts[1].bodySize, 0);
        QCOMPARE(puts[2].header("Content-Range"), "bytes 524288-" + QByteArray::number(size - 1) + '/' + QByteArray::number(size));
        QCOMPARE(puts[2].bodySize, size - 524288);
        QCOMPARE(kept.offset, 524288);

        // Gone (404): one new session, the whole file again.
        d.server.enqueue("PUT", "/session", Response::json(404, "{}"));
        const Result<CloudUploadResult> third = awaitTask(d.uploader.upload(path, "text/plain", {}, kept, keep));
        QVERIFY(third);
        QCOMPARE(d.server.requests("POST", "/upload/drive/v3/files").size(), 2);
        QCOMPARE(d.server.requests("PUT", "/session").last().bodySize, size);
        QVERIFY(!d.server.requests("PUT", "/session").last().hasHeader("Content-Range"));
    }

    // A session whose answers move back and forth between two offsets is given up on after a
    // bounded number of sends and bytes, with a sentence that says so.
    void aSessionThatNeverConvergesIsGivenUp()
    {
        Drive d;
        const qint64 size = 3 << 20;
        const QString path = d.file(QByteArray(size, 'o'));
        for (int i = 0; i < 200; ++i)
            d.server.enqueue("PUT", "/session", Response{308, {{"Range", i % 2 ? "bytes=0-2097151" : "bytes=0-1048575"}}, {}});
        const Result<CloudUploadResult> result = awaitTask(d.uploader.upload(path, "text/plain", {}));
        QVERIFY(!result);
        QCOMPARE(result.error().code, int(SendBudget::exhaustedCode));
        QCOMPARE(result.error().description,
                 QStringLiteral("Google Drive kept asking again for parts of the file it had been sent; "
                                "the upload was stopped after 14.0 MB for a file of 3.0 MB."));
        qint64 sent = 0;
        for (const FakeServer::Request &put : d.server.requests("PUT", "/session"))
            sent += put.bodySize;
        QVERIFY2(sent <= 2 * size + (8 << 20), qPrintable(QString::number(sent)));
        QVERIFY(d.server.requests("PUT", "/session").size() <= 10);
    }
};

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    TestGoogle google;
    TestDrive drive;
    return QTest::qExec(&google, argc, argv) | QTest::qExec(&drive, argc, argv);
}
#include "tst_google.moc"
