// kavo share against kavo-devstack on the build's loopback root: sign in through a browser that
// follows redirects (curl -L), upload, download the link's bytes, and sweep the Drive file of
// an expired link.

#include "backend/backendapi.h"
#include "backend/cloudcleanup.h"
#include "cloud/dropboxauth.h"
#include "cloud/googleauth.h"
#include "platform/defaultsstore.h"
#include "platform/endpoints.h"
#include "platform/secretstore.h"
#include "sweeper/drivecleaner.h"
#include "testutil.h"

#include <QDir>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

using namespace std::chrono_literals;

class TestDevStackEndToEnd : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void googleRoadAgainstTheDevstack()
    {
        const QUrl root(QStringLiteral(KAVO_SERVICE_ROOT));
        if (root.host() != QLatin1String("127.0.0.1"))
            QSKIP("the build's endpoints are not on loopback");
        QTemporaryDir home;
        const auto path = [&](const QString &relative) -> QString { return home.path() + QLatin1Char('/') + relative; };

        QProcess devstack;
        devstack.start(KAVO_DEVSTACK, {"--state", path("state"), "--port", QString::number(root.port()), "--test-hooks"});
        QVERIFY2(devstack.waitForReadyRead(10000), "the devstack did not start (is the port taken?)");
        QVERIFY(devstack.readLine().startsWith("kavo-devstack listening on http://127.0.0.1:"));

        writeFile(path("browser.sh"), "#!/bin/sh\ncurl -s -L -o /dev/null \"$1\" &\n");
        QFile::setPermissions(path("browser.sh"), QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
        QByteArray bytes(300000, Qt::Uninitialized);
        for (qsizetype i = 0; i < bytes.size(); ++i)
            bytes[i] = char((i * 31) % 256);
        writeFile(path("files/photo 1.jpg"), bytes);

        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        for (const char *name : {"DISPLAY", "WAYLAND_DISPLAY", "DBUS_SESSION_BUS_ADDRESS"})
            env.remove(QString::fromLatin1(name));
        env.insert("HOME", home.path());
        env.insert("XDG_CONFIG_HOME", path("config"));
        env.insert("XDG_DATA_HOME", path("data"));
        env.insert("XDG_RUNTIME_DIR", path("runtime"));
        env.insert("TMPDIR", path("tmp"));
        env.insert("BROWSER", path("browser.sh"));
        QDir().mkpath(path("tmp"));
        QDir().mkpath(path("runtime"));
        QProcess kavo;
        kavo.setProcessEnvironment(env);
        kavo.start(KAVO_BINARY, {"share", path("files/photo 1.jpg")});
        QVERIFY(kavo.waitForFinished(60000));
        const QByteArray err = kavo.readAllStandardError();
        QVERIFY2(kavo.exitCode() == 0, err.constData());
        const QUrl link(QString::fromUtf8(kavo.readAllStandardOutput().trimmed()));
        QCOMPARE(link.host(), QStringLiteral("127.0.0.1"));
        const QString token = link.path().section('/', -1);

        // The link serves exactly the uploaded bytes.
        QNetworkAccessManager network;
        Http http(&network, 10000ms);
        const QUrl download = Endpoints::join(root, "/d/" + token);
        const Result<HttpResponse> fetched = awaitTask(http.send(QNetworkRequest(download), "GET"));
        QVERIFY(fetched);
        QCOMPARE(fetched->status, 200);
        QCOMPARE(fetched->body, bytes);

        // A password keeps the file from anyone without it.
        BackendAPI api(&http, root, [] { return QStringLiteral(KAVO_BUILTIN_KEY); }, nullptr);
        QVERIFY(awaitTask(api.setPassword(token, "open sesame")));
        QCOMPARE(awaitTask(http.send(QNetworkRequest(download), "GET"))->status, 403);
        QUrl withPassword = download;
        withPassword.setQuery("password=open%20sesame");
        QCOMPARE(awaitTask(http.send(QNetworkRequest(withPassword), "GET"))->body, bytes);

        // Three days on a one-day link has expired; one sweep removes its Drive file.
        QVERIFY(awaitTask(api.setExpiry(token, 1)));
        QVERIFY(awaitTask(http.send(QNetworkRequest(Endpoints::join(root, "/__test/clock")), "POST", "{\"advance_seconds\":259200}")));
        QCOMPARE(awaitTask(http.send(QNetworkRequest(withPassword), "GET"))->status, 410);
        const QString refreshToken = DefaultsStore(path("data/kavo/secrets.json")).value(GoogleAuth::keychainAccount).toString();
        QVERIFY(!refreshToken.isEmpty());
        MemorySecretStore secrets;
        secrets.save(GoogleAuth::keychainAccount, refreshToken);
        QTemporaryDir suite;
        GoogleAuth google(&http, Endpoints::compiledIn(), &secrets, DefaultsStore::suite(suite.path()), GoogleAuth::Options{});
        QStringList lines;
        DriveCleaner::Options options;
        options.print = [&](const QString &line) { lines.append(line); };
        DriveCleaner cleaner(&http, &api, Endpoints::compiledIn(), &google, &google, options);
        awaitTask(cleaner.sweep());
        QCOMPARE(lines, QStringList{"DriveCleaner: sweeping 1 expired item(s)"});
        QVERIFY(awaitTask(api.fetchHistory(15)).value().isEmpty());
        QCOMPARE(QDir(path("state/drive")).entryList(QDir::Files).size(), 0);

        devstack.terminate();
        devstack.waitForFinished(5000);
    }

    void dropboxRoadAgainstTheDevstack()
    {
        const QUrl root(QStringLiteral(KAVO_SERVICE_ROOT));
        if (root.host() != QLatin1String("127.0.0.1"))
            QSKIP("the build's endpoints are not on loopback");
        QTemporaryDir home;
        const auto path = [&](const QString &relative) -> QString { return home.path() + QLatin1Char('/') + relative; };
        QProcess devstack;
        devstack.start(KAVO_DEVSTACK, {"--state", path("state"), "--port", QString::number(root.port())});
        QVERIFY2(devstack.waitForReadyRead(10000), "the devstack did not start (is the port taken?)");

        // The desktop would hand the vendrel:// redirect to `kavo URL`; this browser does the same.
        writeFile(path("browser.sh"), "#!/bin/sh\nloc=$(curl -s -o /dev/null -w '%{redirect_url}' \"$1\")\n\"$KAVO_BIN\" \"$loc\" &\n");
        QFile::setPermissions(path("browser.sh"), QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
        writeFile(path("config/kavo/defaults.json"), "{\"prefs.selectedProvider\":\"dropbox\"}");
        QByteArray bytes(20000000, Qt::Uninitialized);
        for (qsizetype i = 0; i < bytes.size(); ++i)
            bytes[i] = char((i * 131) % 251);
        const QString name = QString::fromUtf8("Résumé — 日本 😀.pdf");
        writeFile(path("files/") + name, bytes);

        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        for (const char *variable : {"DISPLAY", "WAYLAND_DISPLAY", "DBUS_SESSION_BUS_ADDRESS"})
            env.remove(QString::fromLatin1(variable));
        env.insert("HOME", home.path());
        env.insert("XDG_CONFIG_HOME", path("config"));
        env.insert("XDG_DATA_HOME", path("data"));
        env.insert("XDG_RUNTIME_DIR", path("runtime"));
        env.insert("TMPDIR", path("tmp"));
        env.insert("BROWSER", path("browser.sh"));
        env.insert("KAVO_BIN", KAVO_BINARY);
        QDir().mkpath(path("tmp"));
        QDir().mkpath(path("runtime"));
        QProcess kavo;
        kavo.setProcessEnvironment(env);
        kavo.start(KAVO_BINARY, {"share", path("files/") + name});
        QVERIFY(kavo.waitForFinished(120000));
        QVERIFY2(kavo.exitCode() == 0, kavo.readAllStandardError().constData());
        const QString token = QString::fromUtf8(kavo.readAllStandardOutput().trimmed()).section('/', -1);

        QNetworkAccessManager network;
        Http http(&network, 20000ms);
        const Result<HttpResponse> fetched = awaitTask(http.send(QNetworkRequest(Endpoints::join(root, "/d/" + token)), "GET"));
        QVERIFY(fetched);
        QCOMPARE(fetched->status, 200);
        QVERIFY(fetched->body == bytes);

        // Deleting the link removes the Dropbox file first, quietly.
        BackendAPI api(&http, root, [] { return QStringLiteral(KAVO_BUILTIN_KEY); }, nullptr);
        const HistoryItem item = awaitTask(api.fetchHistory(15)).value().first();
        QCOMPARE(item.provider, QStringLiteral("dropbox"));
        QVERIFY(item.driveFileID.endsWith("/" + name));
        MemorySecretStore secrets;
        secrets.save(DropboxAuth::keychainAccount, DefaultsStore(path("data/kavo/secrets.json")).value(DropboxAuth::keychainAccount).toString());
        DropboxAuth dropbox(&http, Endpoints::compiledIn(), &secrets, DropboxAuth::Options{});
        CloudCleanup cleanup(&http, Endpoints::compiledIn(), nullptr, &dropbox);
        api.setCleanup(&cleanup);
        const Result<std::optional<QString>> deleted = awaitTask(api.deleteLink(item.token, item.driveFileID, item.provider));
        QVERIFY(deleted);
        QCOMPARE(deleted.value(), std::nullopt);
        QCOMPARE(QDir(path("state/dropbox")).entryList(QDir::Files).size(), 0);
        QCOMPARE(awaitTask(http.send(QNetworkRequest(Endpoints::join(root, "/d/" + token)), "GET"))->status, 404);

        devstack.terminate();
        devstack.waitForFinished(5000);
    }
};

QTEST_GUILESS_MAIN(TestDevStackEndToEnd)
#include "tst_devstack_e2e.moc"
