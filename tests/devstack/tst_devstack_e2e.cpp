// kavo, as `kavo share` and in the tray, against kavo-devstack on the build's loopback root over
// TLS: sign in through a browser that follows redirects (curl -L), upload, download the link's
// bytes, sweep the Drive file of an expired link, and keep drops through kills, outages and
// throttling.

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
#include <QCryptographicHash>
#include <QDirIterator>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QProcess>
#include <QRandomGenerator>
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
        // The devstack waits for idle kept-alive connections before it exits.
        network.clearConnectionCache();
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
    // Signs in to the provider the defaults name by sharing a first file.
    bool signIn(const QByteArray &browserScript)
    {
        writeFile(path("files/first.txt"), "signs in");
        const bool shared = !share(path("files/first.txt"), browserScript).isEmpty();
        if (!shared)
            qWarning("signing in failed: %s", shareErrors.constData());
        return shared;
    }
    // A `kavo` of this home in the tray (no display: offscreen), once it takes drops. A restart
    // after a kill finds the old socket in place and is not waited for.
    std::unique_ptr<QProcess> startTray()
    {
        const bool first = !QFile::exists(path("runtime/kavo.socket"));
        auto tray = std::make_unique<QProcess>();
        tray->setProcessEnvironment(environment("exit 1\n"));
        tray->start(KAVO_BINARY, {});
        if (!tray->waitForStarted(5000) || (first && !QTest::qWaitFor([this] { return QFile::exists(path("runtime/kavo.socket")); }, 20000)))
            return nullptr;
        return tray;
    }
    // Hands `file` to the running tray as the file manager would.
    bool drop(const QString &file)
    {
        QProcess sender;
        sender.setProcessEnvironment(environment("exit 1\n"));
        sender.start(KAVO_BINARY, {file});
        return sender.waitForFinished(20000) && sender.exitStatus() == QProcess::NormalExit && sender.exitCode() == 0;
    }
    qint64 uploadBytes() { return QJsonDocument::fromJson(hook("GET", "/__test/stats").body)["upload_bytes"].toInteger(-1); }
    // The tray's upload queue as it is on disk.
    QByteArray journal() const
    {
        QFile file(path(".local/state/kavo/uploads.jsonl"));
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    }
    // Whether the tray's queue empties within `ms` and `filename` then has exactly one link, whose
    // download is `bytes`.
    bool deliveredOnce(const QString &filename, const QByteArray &bytes, int ms)
    {
        if (!QTest::qWaitFor([this] { return journal().trimmed().isEmpty(); }, ms))
            return false;
        const QList<HistoryItem> made = links(filename);
        return made.size() == 1 && download(made.first().token)->body == bytes;
    }
    QList<HistoryItem> links(const QString &filename)
    {
        QList<HistoryItem> found;
        const Result<QList<HistoryItem>> history = awaitTask(api.fetchHistory(100));
        for (const HistoryItem &item : history.value())
            if (item.filename == filename)
                found.append(item);
        return found;
    }
    // Nothing kavo keeps secret is in the queue file: no refresh token, no service key, no
    // session address, no password.
    bool journalHoldsNoSecret() const
    {
        const QByteArray queue = journal();
        const QJsonObject secrets = DefaultsStore(home.path() + "/data/kavo/secrets.json").all();
        for (const QJsonValue secret : secrets)
            if (const QByteArray value = secret.toString().toUtf8(); !value.isEmpty() && queue.contains(value))
                return false;
        return !queue.isEmpty() && !queue.contains(KAVO_BUILTIN_KEY) && !queue.contains("upload_id") && !queue.contains("Bearer")
            && !queue.contains("password");
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

// `mebibytes` of bytes that never repeat a mebibyte, written without holding them all.
void writeLargeFile(const QString &path, int mebibytes)
{
    QDir().mkpath(QFileInfo(path).path());
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    QRandomGenerator generator(20261208);
    QByteArray chunk(1 << 20, Qt::Uninitialized);
    for (int i = 0; i < mebibytes; ++i) {
        generator.fillRange(reinterpret_cast<quint32 *>(chunk.data()), chunk.size() / 4);
        QCOMPARE(file.write(chunk), chunk.size());
    }
}

QByteArray digest(const QString &path)
{
    QFile file(path);
    QCryptographicHash hash(QCryptographicHash::Sha256);
    return file.open(QIODevice::ReadOnly) && hash.addData(&file) ? hash.result() : QByteArray();
}

const QByteArray googleBrowser = "curl --cacert \"$KAVO_CA\" -s -L -o /dev/null \"$1\" &\n";
// The desktop would hand the vendrel:// redirect to `kavo URL`; this browser does the same.
const QByteArray dropboxBrowser = "loc=$(curl --cacert \"$KAVO_CA\" -s -o /dev/null -w '%{redirect_url}' \"$1\")\n\"$KAVO_BIN\" \"$loc\" &\n";

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
        const QString token = demo.share(demo.path("files/photo 1.jpg"), googleBrowser);
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

        const QString token = demo.share(demo.path("files/") + name, dropboxBrowser);
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
        QVERIFY(demo.signIn(googleBrowser));

        const std::unique_ptr<QProcess> tray = demo.startTray();
        QVERIFY(tray);
        QTest::qWait(500);
        ::kill(pid_t(tray->processId()), SIGSTOP);
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
        ::kill(pid_t(tray->processId()), SIGCONT);
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
        QCOMPARE(tray->state(), QProcess::Running);
        tray->terminate();
        QVERIFY(tray->waitForFinished(10000));
    }

    // What the services refuse reaches the user as the job's sentence, and a failed upload is
    // never registered.
    void refusalsReachTheUser()
    {
        Demo demo;
        START_DEVSTACK(demo);
        writeFile(demo.path("files/notes.txt"), "notes");
        demo.hook("POST", "/__test/fail",
                  "{\"path\":\"/upload/drive/v3/files\",\"status\":403,\"body\":{\"error\":{\"code\":403,\"message\":\"The user's Drive storage quota has been exceeded.\"}}}");
        QVERIFY(demo.share(demo.path("files/notes.txt"), googleBrowser).isEmpty());
        QCOMPARE(demo.shareErrors.trimmed().split('\n').last(),
                 QByteArray("kavo: Drive HTTP 403: {\"error\":{\"code\":403,\"message\":\"The user's Drive storage quota has been exceeded.\"}}"));
        QVERIFY(demo.requests().contains("POST /upload/drive/v3/files 403"));
        QVERIFY(demo.requests().filter("/api/register.php").isEmpty());

        // The service's own refusal, with the upload already in Drive.
        demo.hook("POST", "/__test/fail", "{\"path\":\"/api/register.php\",\"status\":500,\"body\":\"Database is read-only.\"}");
        QVERIFY(demo.share(demo.path("files/notes.txt"), googleBrowser).isEmpty());
        QCOMPARE(demo.shareErrors.trimmed().split('\n').last(), QByteArray("kavo: Backend HTTP 500: Database is read-only."));

        // A source that is gone fails before any sign-in, with the job's sentence alone.
        QVERIFY(demo.share(demo.path("files/ghost.pdf"), "exit 1\n").isEmpty());
        QCOMPARE(demo.shareErrors.trimmed().split('\n').last(), QByteArray("kavo: Couldn't read source: ghost.pdf \xe2\x80\x94 No such file or directory"));

        // Nothing injected: the same file goes through.
        QVERIFY2(!demo.share(demo.path("files/notes.txt"), googleBrowser).isEmpty(), demo.shareErrors.constData());
    }

    // A 300 MiB upload killed halfway goes on where it stopped once kavo starts again: the
    // provider gets little more than the file once, holds the same bytes, and one link is made.
    void aKilledUploadResumesWhereItStopped_data()
    {
        QTest::addColumn<bool>("dropbox");
        QTest::newRow("Drive") << false;
        QTest::newRow("Dropbox") << true;
    }
    void aKilledUploadResumesWhereItStopped()
    {
        QFETCH(bool, dropbox);
        Demo demo;
        START_DEVSTACK(demo);
        if (dropbox)
            writeFile(demo.path("config/kavo/defaults.json"), "{\"prefs.selectedProvider\":\"dropbox\"}");
        QVERIFY(demo.signIn(dropbox ? dropboxBrowser : googleBrowser));
        constexpr qint64 size = qint64(300) << 20;
        const QString big = demo.path("files/big.bin");
        writeLargeFile(big, 300);
        const qint64 before = demo.uploadBytes();

        std::unique_ptr<QProcess> tray = demo.startTray();
        QVERIFY(tray);
        QVERIFY(demo.drop(big));
        // Killed near half way: the bytes move at hundreds of MiB a second, so the kill is sent at
        // 40 % and lands a little later.
        QVERIFY(QTest::qWaitFor([&] { return demo.uploadBytes() - before >= size * 2 / 5; }, 120000));
        ::kill(pid_t(tray->processId()), SIGKILL);
        QVERIFY(tray->waitForFinished(5000));
        const qint64 sentBeforeKill = demo.uploadBytes() - before;
        QVERIFY2(sentBeforeKill < size * 9 / 10, "the upload was nearly done before it was killed");
        QVERIFY(demo.links("big.bin").isEmpty());
        QVERIFY(demo.journal().contains("big.bin"));
        QVERIFY(demo.journalHoldsNoSecret());

        tray = demo.startTray();
        QVERIFY(tray);
        QTRY_VERIFY_WITH_TIMEOUT(!demo.links("big.bin").isEmpty() && demo.journal().trimmed().isEmpty(), 180000);
        const qint64 sent = demo.uploadBytes() - before;
        qInfo("%s: %lld MiB arrived before the kill, %lld MiB in all", dropbox ? "Dropbox" : "Drive",
              (long long)(sentBeforeKill >> 20), (long long)(sent >> 20));
        QVERIFY(sent >= size);
        QVERIFY(sent <= qint64(320) << 20);
        const QList<HistoryItem> links = demo.links("big.bin");
        QCOMPARE(links.size(), 1);
        QCOMPARE(links.first().filesize, size);
        QCOMPARE(demo.requests().filter("POST /api/register.php").size(), 2); // the sign-in's file and this one
        const QString stored = dropbox ? demo.path("state/dropbox/")
                + QString::fromLatin1(QCryptographicHash::hash(links.first().driveFileID.toUtf8(), QCryptographicHash::Sha1).toHex())
                                       : demo.path("state/drive/") + links.first().driveFileID;
        QCOMPARE(digest(stored), digest(big));
        if (!dropbox) // the restart asked the session where it stood
            QVERIFY(demo.requests().contains("PUT /upload/drive/v3/files 308"));
        tray->terminate();
        QVERIFY(tray->waitForFinished(10000));
    }

    // A drop made while the services cannot be reached waits for them and goes through once they
    // are back, without using up its attempts.
    void aDropWaitsForTheServiceToComeBack()
    {
        Demo demo;
        START_DEVSTACK(demo);
        QVERIFY(demo.signIn(googleBrowser));
        std::unique_ptr<QProcess> tray = demo.startTray();
        QVERIFY(tray);

        demo.devstack.terminate();
        QVERIFY(demo.devstack.waitForFinished(5000));
        writeFile(demo.path("files/offline.txt"), "written on a train");
        QVERIFY(demo.drop(demo.path("files/offline.txt")));
        QTest::qWait(8000); // longer than the three attempts of a transient failure would last
        QVERIFY(demo.journal().contains("offline.txt"));
        QVERIFY(demo.startDevstack());
        QVERIFY2(demo.deliveredOnce("offline.txt", "written on a train", 60000), tray->readAllStandardError().constData());
        QCOMPARE(tray->state(), QProcess::Running);
        tray->terminate();
        QVERIFY(tray->waitForFinished(10000));
    }

    // A 429 with Retry-After is waited out and said; a storm of 503s ends the job with its text
    // within the documented bound (15 s of waiting, plus the requests).
    void throttledAnswersAreWaitedOut()
    {
        Demo demo;
        START_DEVSTACK(demo);
        QVERIFY(demo.signIn(googleBrowser));

        writeFile(demo.path("files/later.txt"), "later");
        demo.hook("POST", "/__test/fail",
                  "{\"path\":\"/upload/drive/v3/files\",\"method\":\"POST\",\"status\":429,\"headers\":{\"Retry-After\":\"2\"},"
                  "\"body\":{\"error\":{\"code\":429,\"message\":\"Too many requests\"}}}");
        QElapsedTimer clock;
        clock.start();
        const QString token = demo.share(demo.path("files/later.txt"), "exit 1\n");
        QVERIFY2(!token.isEmpty(), demo.shareErrors.constData());
        QVERIFY(clock.elapsed() >= 2000);
        QVERIFY2(demo.shareErrors.contains("kavo: Waiting to retry\xe2\x80\xa6 2 s\n"), demo.shareErrors.constData());
        QCOMPARE(demo.requests().filter("POST /upload/drive/v3/files").mid(1),
                 (QStringList{"POST /upload/drive/v3/files 429", "POST /upload/drive/v3/files 200"}));
        QCOMPARE(demo.download(token)->body, QByteArray("later"));

        demo.hook("POST", "/__test/fail",
                  "{\"path\":\"/upload/drive/v3/files\",\"method\":\"POST\",\"status\":503,\"times\":5,\"body\":\"Backend Error\"}");
        clock.restart();
        QVERIFY(demo.share(demo.path("files/later.txt"), "exit 1\n").isEmpty());
        const qint64 took = clock.elapsed();
        qInfo("five 503s ended the job after %lld ms", (long long)took);
        QCOMPARE(demo.shareErrors.trimmed().split('\n').last(), QByteArray("kavo: Drive HTTP 503: Backend Error"));
        QCOMPARE(demo.requests().filter("POST /upload/drive/v3/files 503").size(), 5);
        QVERIFY(took >= 7500);  // 1 + 2 + 4 + 8 s, each at least half
        QVERIFY(took <= 25000); // at most 15 s of waiting, plus five requests and the start
        QCOMPARE(demo.requests().filter("POST /api/register.php").size(), 2);
    }

    // The service registered the link but kavo was killed before the answer came: the restarted
    // kavo finds that link instead of making a second one.
    void aRestartDuringRegistrationMakesOneLink()
    {
        Demo demo;
        START_DEVSTACK(demo);
        QVERIFY(demo.signIn(googleBrowser));
        std::unique_ptr<QProcess> tray = demo.startTray();
        QVERIFY(tray);

        demo.hook("POST", "/__test/stall", "{\"path\":\"/api/register.php\",\"seconds\":60}");
        writeFile(demo.path("files/minutes.txt"), "minutes of the meeting");
        QVERIFY(demo.drop(demo.path("files/minutes.txt")));
        QTRY_COMPARE_WITH_TIMEOUT(demo.links("minutes.txt").size(), 1, 20000); // registered; the answer is held
        QVERIFY(demo.journal().contains("\"registration_sent\":true"));
        ::kill(pid_t(tray->processId()), SIGKILL);
        QVERIFY(tray->waitForFinished(5000));
        QVERIFY(demo.journalHoldsNoSecret());

        tray = demo.startTray();
        QVERIFY(tray);
        QVERIFY(demo.deliveredOnce("minutes.txt", "minutes of the meeting", 30000));
        QCOMPARE(demo.requests().filter("POST /upload/drive/v3/files").size(), 2); // the bytes went up once
        tray->terminate();
        QVERIFY(tray->waitForFinished(10000));
    }
};

QTEST_GUILESS_MAIN(TestDevStackEndToEnd)
#include "tst_devstack_e2e.moc"
