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
#include <QDirIterator>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <signal.h>

using namespace std::chrono_literals;

namespace {

// A private home for kavo, the devstack on the build's loopback port, and `kavo share` runs
// with a browser script.
struct Demo {
    const QUrl root{QStringLiteral(KAVO_SERVICE_ROOT)};
    QTemporaryDir home;
    QProcess devstack;
    QNetworkAccessManager network;
    Http http{&network, 20000ms, Endpoints::compiledIn().extraCaPem};
    BackendAPI api{&http, root, [] { return QStringLiteral(KAVO_BUILTIN_KEY); }, nullptr};
    QByteArray shareErrors;
    QByteArray printed; // everything every `kavo share` wrote

    ~Demo()
    {
        devstack.terminate();
        devstack.waitForFinished(5000);
    }
    // Why this build cannot run the demo here, or empty when it can.
    QString unavailable() const
    {
        if (root.host() != QLatin1String("127.0.0.1"))
            return QStringLiteral("the build's endpoints are not on loopback");
        if (!loopbackPortFree(quint16(root.port())))
            return portTakenMessage(root.port());
        return {};
    }
    QString path(const QString &relative) const { return home.path() + QLatin1Char('/') + relative; }
    bool startDevstack()
    {
        // The certificates the build trusts (made at configure time).
        devstack.start(KAVO_DEVSTACK, {"--state", path("state"), "--port", QString::number(root.port()), "--tls",
                                       "--certificates", KAVO_DEVSTACK_CA_DIR, "--test-hooks"});
        return devstack.waitForReadyRead(10000) && devstack.readLine().startsWith("kavo-devstack listening on https://127.0.0.1:");
    }
    // What every kavo here runs with: the private home, no desktop, the browser script.
    QProcessEnvironment environment(const QByteArray &browserScript)
    {
        writeFile(path("browser.sh"), "#!/bin/sh\n" + browserScript);
        QFile::setPermissions(path("browser.sh"), QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        for (const char *variable : {"DISPLAY", "WAYLAND_DISPLAY", "DBUS_SESSION_BUS_ADDRESS"})
            env.remove(QString::fromLatin1(variable));
        env.insert("HOME", home.path());
        env.insert("XDG_CONFIG_HOME", path("config"));
        env.insert("XDG_DATA_HOME", path("data"));
        env.insert("XDG_RUNTIME_DIR", path("runtime"));
        env.insert("TMPDIR", path("tmp"));
        env.insert("QT_QPA_PLATFORM", "offscreen");
        env.insert("BROWSER", path("browser.sh"));
        env.insert("KAVO_BIN", KAVO_BINARY);
        env.insert("KAVO_CA", KAVO_DEVSTACK_CA_DIR "/ca.pem"); // the browser script's curl trusts the devstack
        QDir().mkpath(path("tmp"));
        QDir().mkpath(path("runtime"));
        QFile::setPermissions(path("runtime"), QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
        return env;
    }
    // The token of the link `kavo share` printed, or empty when it failed.
    QString share(const QString &file, const QByteArray &browserScript)
    {
        QProcess kavo;
        kavo.setProcessEnvironment(environment(browserScript));
        kavo.start(KAVO_BINARY, {"share", file});
        kavo.waitForFinished(120000);
        shareErrors = kavo.readAllStandardError();
        const QByteArray out = kavo.readAllStandardOutput();
        printed += out + shareErrors;
        if (kavo.exitCode() != 0)
            return {};
        return QString::fromUtf8(out.trimmed()).section('/', -1);
    }
    Result<HttpResponse> download(const QString &token, const QString &query = {})
    {
        QUrl url = Endpoints::join(root, "/d/" + token);
        url.setQuery(query);
        return awaitTask(http.send(QNetworkRequest(url), "GET"));
    }
    // No secret that kavo holds was ever printed: the stored refresh tokens, the service key,
    // an upload session's address.
    bool printedNoSecret(const QString &account) const
    {
        const QByteArray token = DefaultsStore(home.path() + "/data/kavo/secrets.json").value(account).toString().toUtf8();
        return !token.isEmpty() && !printed.contains(token) && !printed.contains(KAVO_BUILTIN_KEY) && !printed.contains("upload_id");
    }
    HttpResponse hook(const QByteArray &method, const QString &path, const QByteArray &body = {})
    {
        const Result<HttpResponse> answer = awaitTask(http.send(QNetworkRequest(Endpoints::join(root, path)), method, body));
        return answer ? answer.value() : HttpResponse{};
    }
    // The devstack's request log, one "METHOD /path STATUS" a request.
    QStringList requests()
    {
        QStringList log;
        for (const QJsonValue entry : QJsonDocument::fromJson(hook("GET", "/__test/requests").body)["requests"].toArray())
            log.append(entry["method"].toString() + ' ' + entry["path"].toString() + ' ' + QString::number(entry["status"].toInt()));
        return log;
    }
    // Whether `zip` unpacks to a copy of `folder` (same entries, same bytes), under the folder's name.
    bool unpacksTo(const QByteArray &zip, const QString &folder)
    {
        QTemporaryDir out;
        writeFile(out.filePath("arrived.zip"), zip);
        runTool("/usr/bin/unzip", {"-q", out.filePath("arrived.zip"), "-d", out.filePath("tree")});
        const QString unpacked = out.filePath("tree/") + QFileInfo(folder).fileName();
        const QStringList expected = tree(folder), got = tree(unpacked);
        if (expected != got) {
            qWarning() << "expected" << expected << "got" << got;
            return false;
        }
        for (const QString &entry : expected) {
            QFile a(folder + '/' + entry), b(unpacked + '/' + entry);
            if (!entry.endsWith('/') && (!a.open(QIODevice::ReadOnly) || !b.open(QIODevice::ReadOnly) || a.readAll() != b.readAll()))
                return false;
        }
        return true;
    }
    static QStringList tree(const QString &folder)
    {
        QStringList entries;
        QDirIterator it(folder, QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden, QDirIterator::Subdirectories);
        while (it.hasNext()) {
            const QFileInfo info(it.next());
            entries.append(QDir(folder).relativeFilePath(info.filePath()) + (info.isDir() ? "/" : ""));
        }
        entries.sort();
        return entries;
    }
};

// A folder with a nested folder, a hidden file, an empty file and a name outside ASCII.
void writeTree(const QString &folder)
{
    writeFile(folder + "/readme.txt", "Shared with Kavo.\n");
    writeFile(folder + "/.hidden", "dot");
    writeFile(folder + "/empty.txt", "");
    writeFile(folder + QString::fromUtf8("/días/lunes — mañana.txt"), "rain\n");
    writeFile(folder + "/days/photos/shot.bin", QByteArray(70000, 'x'));
}

QByteArray pattern(qsizetype size, int step)
{
    QByteArray bytes(size, Qt::Uninitialized);
    for (qsizetype i = 0; i < size; ++i)
        bytes[i] = char((i * step) % 251);
    return bytes;
}

} // namespace

// Skips the test when the demo cannot run on this machine, and fails it when the devstack does
// not start.
#define START_DEVSTACK(demo)                                                                       \
    do {                                                                                           \
        if (const QString why = (demo).unavailable(); !why.isEmpty())                              \
            QSKIP(qPrintable(why));                                                                \
        QVERIFY2((demo).startDevstack(), "the devstack did not start");                            \
    } while (false)

class TestDevStackEndToEnd : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void googleRoadAgainstTheDevstack()
    {
        Demo demo;
        START_DEVSTACK(demo);
        const QByteArray bytes = pattern(300000, 31);
        writeFile(demo.path("files/photo 1.jpg"), bytes);

        // Signing in: curl plays a browser that follows the consent page's redirect.
        const QString token = demo.share(demo.path("files/photo 1.jpg"), "curl --cacert \"$KAVO_CA\" -s -L -o /dev/null \"$1\" &\n");
        QVERIFY2(!token.isEmpty(), demo.shareErrors.constData());
        QCOMPARE(demo.download(token)->body, bytes);
        const HttpResponse page = demo.hook("GET", "/l/" + token);
        QVERIFY(page.body.contains("photo 1.jpg") && page.body.contains("300.0 kB · downloaded 1 time<"));

        // A password keeps the file from anyone without it; the page's form sends it.
        QVERIFY(awaitTask(demo.api.setPassword(token, "open sesame")));
        QCOMPARE(demo.download(token)->status, 403);
        QCOMPARE(demo.download(token, "password=open%20sesame")->body, bytes);
        QNetworkRequest form(Endpoints::join(demo.root, "/d/" + token));
        form.setHeader(QNetworkRequest::ContentTypeHeader, "application/x-www-form-urlencoded");
        QCOMPARE(awaitTask(demo.http.send(form, "POST", "password=open+sesame"))->body, bytes);

        // A folder, shared with the stored sign-in, arrives as its zip.
        writeTree(demo.path("files/Holiday"));
        const QString folderToken = demo.share(demo.path("files/Holiday"), "exit 1\n");
        QVERIFY2(!folderToken.isEmpty(), demo.shareErrors.constData());
        QVERIFY(demo.unpacksTo(demo.download(folderToken)->body, demo.path("files/Holiday")));
        QVERIFY(demo.printedNoSecret(GoogleAuth::keychainAccount));

        // Three days on, a one-day link has expired; one sweep removes its Drive file.
        QVERIFY(awaitTask(demo.api.setExpiry(token, 1)));
        QVERIFY(awaitTask(demo.http.send(QNetworkRequest(Endpoints::join(demo.root, "/__test/clock")), "POST", "{\"advance_seconds\":259200}")));
        QCOMPARE(demo.download(token, "password=open%20sesame")->status, 410);
        MemorySecretStore secrets;
        secrets.save(GoogleAuth::keychainAccount, DefaultsStore(demo.path("data/kavo/secrets.json")).value(GoogleAuth::keychainAccount).toString());
        QTemporaryDir suite;
        GoogleAuth google(&demo.http, Endpoints::compiledIn(), &secrets, DefaultsStore::suite(suite.path()), GoogleAuth::Options{});
        QStringList lines;
        DriveCleaner::Options options;
        options.print = [&](const QString &line) { lines.append(line); };
        DriveCleaner cleaner(&demo.http, &demo.api, Endpoints::compiledIn(), &google, &google, options);
        awaitTask(cleaner.sweep());
        QCOMPARE(lines, QStringList{"DriveCleaner: sweeping 1 expired item(s)"});
        const QList<HistoryItem> left = awaitTask(demo.api.fetchHistory(15)).value();
        QCOMPARE(left.size(), 1);
        QCOMPARE(left.first().token, folderToken); // not expired: its file stays
        QCOMPARE(QDir(demo.path("state/drive")).entryList(QDir::Files), QStringList{left.first().driveFileID});
    }

    void dropboxRoadAgainstTheDevstack()
    {
        Demo demo;
        START_DEVSTACK(demo);
        writeFile(demo.path("config/kavo/defaults.json"), "{\"prefs.selectedProvider\":\"dropbox\"}");
        // Several chunks, and a name Dropbox only takes escaped in its ASCII-only header.
        const QByteArray bytes = pattern(20000000, 131);
        const QString name = QString::fromUtf8("Résumé — 日本 😀.pdf");
        writeFile(demo.path("files/") + name, bytes);

        // The desktop would hand the vendrel:// redirect to `kavo URL`; this browser does the same.
        const QString token = demo.share(demo.path("files/") + name,
                                         "loc=$(curl --cacert \"$KAVO_CA\" -s -o /dev/null -w '%{redirect_url}' \"$1\")\n\"$KAVO_BIN\" \"$loc\" &\n");
        QVERIFY2(!token.isEmpty(), demo.shareErrors.constData());
        const Result<HttpResponse> fetched = demo.download(token);
        QVERIFY(fetched && fetched->status == 200);
        QVERIFY(fetched->body == bytes);
        // 20 MB went up in 8 MiB pieces: an empty start, two appends, the finish with the rest.
        QCOMPARE(demo.requests().filter("/2/files/upload_session/"),
                 (QStringList{"POST /2/files/upload_session/start 200", "POST /2/files/upload_session/append_v2 200",
                              "POST /2/files/upload_session/append_v2 200", "POST /2/files/upload_session/finish 200"}));

        writeTree(demo.path("files/Holiday"));
        const QString folderToken = demo.share(demo.path("files/Holiday"), "exit 1\n");
        QVERIFY2(!folderToken.isEmpty(), demo.shareErrors.constData());
        QVERIFY(demo.unpacksTo(demo.download(folderToken)->body, demo.path("files/Holiday")));
        QVERIFY(demo.printedNoSecret(DropboxAuth::keychainAccount));

        // Deleting the link removes the Dropbox file first, quietly.
        const HistoryItem item = awaitTask(demo.api.fetchHistory(15)).value().last();
        QCOMPARE(item.token, token);
        QCOMPARE(item.provider, QStringLiteral("dropbox"));
        QVERIFY(item.driveFileID.endsWith("/" + name));
        MemorySecretStore secrets;
        secrets.save(DropboxAuth::keychainAccount, DefaultsStore(demo.path("data/kavo/secrets.json")).value(DropboxAuth::keychainAccount).toString());
        DropboxAuth dropbox(&demo.http, Endpoints::compiledIn(), &secrets, DropboxAuth::Options{});
        CloudCleanup cleanup(&demo.http, Endpoints::compiledIn(), nullptr, &dropbox);
        demo.api.setCleanup(&cleanup);
        const Result<std::optional<QString>> deleted = awaitTask(demo.api.deleteLink(item.token, item.driveFileID, item.provider));
        QVERIFY(deleted);
        QCOMPARE(deleted.value(), std::nullopt);
        QCOMPARE(QDir(demo.path("state/dropbox")).entryList(QDir::Files).size(), 1); // the folder's zip stays
        QCOMPARE(demo.download(token)->status, 404);
    }

    // Two `kavo FILE` against an instance that is stopped: both wait for it instead of giving up
    // or starting another, and once it goes on each file is uploaded and registered exactly once.
    void aPausedInstanceTakesEachDropOnce()
    {
        Demo demo;
        START_DEVSTACK(demo);
        writeFile(demo.path("files/first.txt"), "signs in");
        QVERIFY2(!demo.share(demo.path("files/first.txt"), "curl --cacert \"$KAVO_CA\" -s -L -o /dev/null \"$1\" &\n").isEmpty(),
                 demo.shareErrors.constData());

        QProcess tray;
        tray.setProcessEnvironment(demo.environment("exit 1\n"));
        tray.start(KAVO_BINARY, {});
        QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(demo.path("runtime/kavo.socket")), 20000);
        QTest::qWait(500);
        ::kill(pid_t(tray.processId()), SIGSTOP);
        std::vector<std::unique_ptr<QProcess>> senders;
        for (const QString &name : QStringList{"a.txt", "b.txt"}) {
            writeFile(demo.path("files/") + name, name.toUtf8());
            senders.push_back(std::make_unique<QProcess>());
            senders.back()->setProcessEnvironment(demo.environment("exit 1\n"));
            senders.back()->start(KAVO_BINARY, {demo.path("files/") + name});
        }
        QTest::qWait(5000); // longer than any patience a sender might have
        for (const auto &sender : senders)
            QCOMPARE(sender->state(), QProcess::Running);
        ::kill(pid_t(tray.processId()), SIGCONT);
        for (const auto &sender : senders) {
            QVERIFY(sender->waitForFinished(15000));
            QCOMPARE(sender->exitCode(), 0);
        }
        QTRY_COMPARE_WITH_TIMEOUT(demo.requests().filter("POST /api/register.php 200").size(), 3, 30000);
        QTest::qWait(1000);
        QStringList names;
        const QList<HistoryItem> links = awaitTask(demo.api.fetchHistory(15)).value();
        for (const HistoryItem &item : links)
            names.append(item.filename);
        names.sort();
        QCOMPARE(names, (QStringList{"a.txt", "b.txt", "first.txt"}));
        QCOMPARE(demo.requests().filter("POST /upload/drive/v3/files").size(), 3);
        QCOMPARE(tray.state(), QProcess::Running);
        tray.terminate();
        QVERIFY(tray.waitForFinished(10000));
    }

    // What the services refuse reaches the user as the job's sentence, and a failed upload is
    // never registered.
    void refusalsReachTheUser()
    {
        Demo demo;
        START_DEVSTACK(demo);
        writeFile(demo.path("files/notes.txt"), "notes");
        const QByteArray browser = "curl --cacert \"$KAVO_CA\" -s -L -o /dev/null \"$1\" &\n";
        demo.hook("POST", "/__test/fail",
                  "{\"path\":\"/upload/drive/v3/files\",\"status\":403,\"body\":{\"error\":{\"code\":403,\"message\":\"The user's Drive storage quota has been exceeded.\"}}}");
        QVERIFY(demo.share(demo.path("files/notes.txt"), browser).isEmpty());
        QCOMPARE(demo.shareErrors.trimmed().split('\n').last(),
                 QByteArray("kavo: Drive HTTP 403: {\"error\":{\"code\":403,\"message\":\"The user's Drive storage quota has been exceeded.\"}}"));
        QVERIFY(demo.requests().contains("POST /upload/drive/v3/files 403"));
        QVERIFY(demo.requests().filter("/api/register.php").isEmpty());

        // The service's own refusal, with the upload already in Drive.
        demo.hook("POST", "/__test/fail", "{\"path\":\"/api/register.php\",\"status\":500,\"body\":\"Database is read-only.\"}");
        QVERIFY(demo.share(demo.path("files/notes.txt"), browser).isEmpty());
        QCOMPARE(demo.shareErrors.trimmed().split('\n').last(), QByteArray("kavo: Backend HTTP 500: Database is read-only."));

        // A source that is gone fails before any sign-in, with the job's sentence alone.
        QVERIFY(demo.share(demo.path("files/ghost.pdf"), "exit 1\n").isEmpty());
        QCOMPARE(demo.shareErrors.trimmed().split('\n').last(), QByteArray("kavo: Couldn't read source: ghost.pdf \xe2\x80\x94 No such file or directory"));

        // Nothing injected: the same file goes through.
        QVERIFY2(!demo.share(demo.path("files/notes.txt"), browser).isEmpty(), demo.shareErrors.constData());
    }
};

QTEST_GUILESS_MAIN(TestDevStackEndToEnd)
#include "tst_devstack_e2e.moc"
