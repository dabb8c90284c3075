#include "cloud/dropboxauth.h"
#include "cloud/oauth.h"
#include "fakeserver.h"
#include "platform/secretstore.h"
#include "testutil.h"

#include <QJsonDocument>
#include <QNetworkAccessManager>
#include <QTest>
#include <QTimer>
#include <QUrlQuery>

using namespace std::chrono_literals;
using Response = FakeServer::Response;

namespace {

QMap<QString, QString> formFields(const QByteArray &body)
{
    QMap<QString, QString> fields;
    for (const QByteArray &pair : body.split('&')) {
        const qsizetype eq = pair.indexOf('=');
        fields.insert(QUrl::fromPercentEncoding(pair.left(eq)), QUrl::fromPercentEncoding(pair.mid(eq + 1)));
    }
    return fields;
}

// Dropbox on a fake server, and a "browser" whose answer comes back the way a vendrel:// link
// does: handed to deliverRedirect.
struct Dropbox {
    FakeServer server;
    QNetworkAccessManager network;
    Http http{&network, 2000ms};
    MemorySecretStore secrets;
    QDateTime clock = QDateTime(QDate(2026, 12, 6), QTime(12, 0), Qt::UTC);
    QList<QUrl> opened;
    QString redirect = QStringLiteral("vendrel://dropbox-auth?code=dbx-code");
    std::unique_ptr<DropboxAuth> auth;

    Dropbox() { start(); }
    void start()
    {
        DropboxAuth::Options options;
        options.now = [this] { return clock; };
        options.signInTimeout = 1s;
        options.browser = [this](const QUrl &url) {
            opened.append(url);
            QTimer::singleShot(0, auth.get(), [this] { auth->deliverRedirect(QUrl(redirect)); });
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
    void signInThroughTheVendrelLink()
    {
        Dropbox d;
        d.server.enqueue("POST", "/oauth2/token", Response::json(200, "{\"access_token\":\"sl.access\",\"refresh_token\":\"dbx-refresh\",\"expires_in\":14400,\"token_type\":\"bearer\"}"));
        d.server.route("POST", "/2/users/get_current_account", Response::json(200, "{\"email\":\"d@example.com\",\"name\":{\"display_name\":\"Dee Bee\"}}"));
        const Result<void> done = awaitTask(d.auth->signIn());
        QVERIFY2(done, qPrintable(done ? QString() : done.error().description));
        QVERIFY(d.auth->isSignedIn());
        QCOMPARE(d.auth->accountEmail(), QStringLiteral("d@example.com"));
        QCOMPARE(d.auth->accountName(), QStringLiteral("Dee Bee"));
        QCOMPARE(d.secrets.read(DropboxAuth::keychainAccount), QStringLiteral("dbx-refresh"));

        const QUrl url = d.opened.value(0);
        QCOMPARE(url.path(), QStringLiteral("/oauth2/authorize"));
        const auto items = QUrlQuery(url).queryItems(QUrl::FullyDecoded);
        QStringList names;
        for (const auto &item : items)
            names.append(item.first);
        QCOMPARE(names, (QStringList{"client_id", "response_type", "redirect_uri", "code_challenge", "code_challenge_method",
                                     "token_access_type", "force_reapprove"}));
        QCOMPARE(items.value(0).second, Endpoints::compiledIn().dropboxAppKey);
        QCOMPARE(items.value(2).second, QStringLiteral("vendrel://dropbox-auth"));
        QCOMPARE(items.value(5).second, QStringLiteral("offline"));
        QCOMPARE(items.value(6).second, QStringLiteral("true"));

        const FakeServer::Request exchange = d.server.requests("POST", "/oauth2/token").value(0);
        QCOMPARE(exchange.header("Content-Type"), QByteArray("application/x-www-form-urlencoded"));
        const auto form = formFields(exchange.body);
        QCOMPARE(form.keys(), (QStringList{"client_id", "code", "code_verifier", "grant_type", "redirect_uri"}));
        QCOMPARE(form.value("code"), QStringLiteral("dbx-code"));
        QCOMPARE(form.value("grant_type"), QStringLiteral("authorization_code"));
        QCOMPARE(OAuth::challengeFor(form.value("code_verifier")), items.value(3).second);

        const FakeServer::Request account = d.server.requests("POST", "/2/users/get_current_account").value(0);
        QCOMPARE(account.body, QByteArray("null"));
        QCOMPARE(account.header("Authorization"), QByteArray("Bearer sl.access"));
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
        QTest::newRow("400 with JSON") << "vendrel://dropbox-auth?code=c" << 400 << QByteArray("{\"error\":\"invalid_grant\"}")
                                       << "Bad response from Dropbox: {\"error\":\"invalid_grant\"}";
        QTest::newRow("200 without refresh token") << "vendrel://dropbox-auth?code=c" << 200
                                                   << QByteArray("{\"access_token\":\"a\",\"expires_in\":10}")
                                                   << "Bad response from Dropbox: {\"access_token\":\"a\",\"expires_in\":10}";
        QTest::newRow("no code") << "vendrel://dropbox-auth?error=access_denied" << 200 << QByteArray() << "Dropbox didn't return an authorization code.";
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
        QCOMPARE(d.secrets.read(DropboxAuth::keychainAccount), std::nullopt);
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

        d.server.enqueue("POST", "/oauth2/token", Response::json(200, "{\"access_token\":\"fresh\",\"expires_in\":100,\"refresh_token\":\"rotated\"}"));
        QCOMPARE(awaitTask(d.auth->validAccessToken()).value(), QStringLiteral("fresh"));
        QCOMPARE(d.secrets.read(DropboxAuth::keychainAccount), QStringLiteral("stored")); // a returned token is ignored
        const auto form = formFields(d.server.requests("POST", "/oauth2/token").value(1).body);
        QCOMPARE(form.keys(), (QStringList{"client_id", "grant_type", "refresh_token"}));
        QCOMPARE(form.value("refresh_token"), QStringLiteral("stored"));
        d.clock = d.clock.addSecs(70); // exactly 30 s left
        d.server.enqueue("POST", "/oauth2/token", Response::json(200, "{\"access_token\":\"again\",\"expires_in\":100}"));
        QCOMPARE(awaitTask(d.auth->validAccessToken()).value(), QStringLiteral("again"));
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

QTEST_GUILESS_MAIN(TestDropbox)
#include "tst_dropbox.moc"
