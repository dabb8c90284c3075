// kavo, as `kavo share` and in the tray, against kavo-devstack on the build's loopback root over
// TLS: sign in through a browser that follows redirects (curl -L), upload, download the link's
// bytes, sweep the Drive file of an expired link, and keep drops through kills, outages and
// throttling.

#include "cloud/dropboxuploader.h"
#include "demo.h"
#include "memorysecretstore.h"
#include "shareupload.h"

namespace {
// The rows of a test that runs once for each provider.
void providerRows()
{
    QTest::addColumn<bool>("dropbox");
    row("Drive", false);
    row("Dropbox", true);
}

// Google's own description of Drive v3, as its Go client ships it (Debian's
// golang-google-api-dev): each method's description is kept in the generated code as the
// discovery document's JSON, and each schema's fields as the structs' JSON names.
struct DriveReference {
    QList<QJsonObject> methods;
    QMap<QString, QStringList> schemas; // name: its fields

    bool load(const QString &path)
    {
        const QList<QByteArray> lines = readFile(path).split('\n');
        QByteArray block;
        QString schema;
        for (const QByteArray &line : lines) {
            if (line == "\t// {")
                block = "{";
            else if (!block.isEmpty() && line.startsWith("\t// "))
                block += line.mid(4);
            else if (!block.isEmpty()) {
                const QJsonObject method = QJsonDocument::fromJson(block).object();
                if (method.contains("httpMethod"))
                    methods.append(method);
                block.clear();
            }
            static const QRegularExpression type(QStringLiteral("^type (\\w+) struct \\{$"));
            static const QRegularExpression tag(QStringLiteral("json:\"([^,\"]+)"));
            if (const QRegularExpressionMatch m = type.match(QString::fromUtf8(line)); m.hasMatch())
                schema = m.captured(1);
            else if (line == "}")
                schema.clear();
            else if (const QRegularExpressionMatch t = tag.match(QString::fromUtf8(line));
                     !schema.isEmpty() && t.hasMatch() && t.captured(1) != "-")
                schemas[schema].append(t.captured(1));
        }
        return methods.size() > 20 && schemas.contains("File") && schemas.contains("Permission");
    }

    // What is wrong with one logged call to Drive ("METHOD /path"), or empty.
    QString problemWith(const QJsonObject &call) const
    {
        const QString verb = call["method"].toString();
        QString path = call["path"].toString();
        const QJsonObject query = call["query"].toObject();
        const bool upload = path.startsWith("/upload/");
        // The bytes go to the session address Drive handed out: a step of the resumable protocol,
        // not a method of its own.
        if (upload && verb == "PUT")
            return query.contains("upload_id") ? QString() : QStringLiteral("a PUT without its session");
        path.remove(QRegularExpression("^(/upload)?/drive/v3/"));
        static const QStringList global
            = {"alt", "fields", "key", "oauth_token", "prettyPrint", "quotaUser", "userIp", "callback", "$.xgafv"};
        for (const QJsonObject &method : methods) {
            QString pattern = QRegularExpression::escape(method["path"].toString());
            pattern.replace(QRegularExpression("\\\\\\{[^}]+\\\\\\}"), "[^/]+");
            if (method["httpMethod"].toString() != verb || !QRegularExpression("^" + pattern + "$").match(path).hasMatch())
                continue;
            const QString id = method["id"].toString();
            if (upload && !method.contains("mediaUpload"))
                return id + " takes no upload";
            const QJsonObject parameters = method["parameters"].toObject();
            for (auto it = query.begin(); it != query.end(); ++it) {
                const QJsonObject parameter = parameters[it.key()].toObject();
                if (upload && it.key() == "uploadType") {
                    if (it.value().toString() != "resumable")
                        return id + ": uploadType " + it.value().toString();
                } else if (parameter.isEmpty() && !global.contains(it.key())) {
                    return id + " has no parameter " + it.key();
                } else if (parameter.contains("enum") && !parameter["enum"].toArray().contains(it.value())) {
                    return id + ": " + it.key() + " cannot be " + it.value().toString();
                }
            }
            const QString request = method["request"].toObject()["$ref"].toString();
            for (const QString &field : call["json"].toObject().keys())
                if (request.isEmpty() || !schemas.value(request).contains(field))
                    return id + "'s body has no field " + field;
            return {};
        }
        return "no Drive method is " + verb + " " + call["path"].toString();
    }
};
}
#include <fcntl.h>
#include <sys/stat.h>

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

        // Every call to Drive is one Google describes, with its parameters and body fields.
        DriveReference drive;
        QVERIFY2(drive.load(KAVO_DRIVE_REFERENCE), KAVO_DRIVE_REFERENCE " is missing or unreadable (golang-google-api-dev)");
        const QJsonArray calls = QJsonDocument::fromJson(demo.hook("GET", "/__test/requests").body)["requests"].toArray();
        int checked = 0;
        for (const QJsonValue call : calls) {
            if (!call["path"].toString().contains("/drive/v3/"))
                continue;
            ++checked;
            QVERIFY2(drive.problemWith(call.toObject()).isEmpty(), qPrintable(drive.problemWith(call.toObject())));
        }
        QVERIFY(checked >= 5);
        QVERIFY(!drive
                     .problemWith(QJsonObject{{"method", "GET"},
                                              {"path", "/drive/v3/files"},
                                              {"query", QJsonObject{{"q", "x"}, {"orderBy", "x"}, {"spaces", "x"}, {"corpus", "nowhere"}}}})
                     .isEmpty());
        QVERIFY(!drive
                     .problemWith(QJsonObject{{"method", "POST"},
                                              {"path", "/drive/v3/files/f/permissions"},
                                              {"json", QJsonObject{{"role", "reader"}, {"kind", "x"}, {"public", true}}}})
                     .isEmpty());

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
        QVERIFY(awaitTask(
            demo.http.send(QNetworkRequest(Endpoints::join(demo.root, "/__test/clock")), "POST", "{\"advance_seconds\":259200}")));
        QCOMPARE(demo.download(token, "password=open%20sesame")->status, 410);
        MemorySecretStore secrets;
        secrets.save(GoogleAuth::keychainAccount,
                     DefaultsStore(demo.path("data/kavo/secrets.json")).value(GoogleAuth::keychainAccount).toString());
        QTemporaryDir suite;
        GoogleAuth google(&demo.http, demo.endpoints(), &secrets, DefaultsStore::suite(suite.path()), GoogleAuth::Options{});
        QStringList lines;
        DriveCleaner::Options options;
        options.print = [&](const QString &line) { lines.append(line); };
        CloudCleanup cleanup(&demo.http, demo.endpoints(), &google, nullptr);
        DriveCleaner cleaner(&demo.api, &cleanup, &google, &google, options);
        awaitTask(cleaner.sweep());
        QCOMPARE(lines, QStringList{"DriveCleaner: sweeping 1 expired item(s)"});
        const QList<HistoryItem> left = awaitTask(demo.api.fetchHistory(15)).value();
        QCOMPARE(left.size(), 1);
        QCOMPARE(left.first().token, folderToken); // not expired: its file stays
        QCOMPARE(QDir(demo.path("state/drive")).entryList(QDir::Files), QStringList{left.first().driveFileID});
    }

    // kavo-share finds the sign-ins where kavo keeps them: once `kavo` has signed in, kavo-share's
    // own road makes a link to the file's bytes, reading the secrets alone (as where a secret
    // service keeps them) and the suite's copies alone (as where they are in a plain file).
    void kavoShareReadsWhatKavoKept()
    {
        Demo demo;
        START_DEVSTACK(demo);
        QVERIFY(demo.signIn(googleBrowser));
        const QByteArray bytes = pattern(70000, 3);
        writeFile(demo.path("files/handed.bin"), bytes);
        FileSecretStore secrets(demo.path("data/kavo/secrets.json"));
        QTemporaryDir noSuite;
        ShareUpload fromSecrets(&demo.http, demo.endpoints(), DefaultsStore::suite(noSuite.path()), &secrets);
        ShareUpload fromSuite(&demo.http, demo.endpoints(), DefaultsStore::suite(demo.path("config")), nullptr);
        for (ShareUpload *upload : {&fromSecrets, &fromSuite}) {
            const Result<QString> link = awaitTask(upload->perform(QUrl::fromLocalFile(demo.path("files/handed.bin")), 7));
            QVERIFY2(link, qPrintable(link ? QString() : link.error().description));
            QCOMPARE(demo.download(QUrl(*link).path().section('/', -1))->body, bytes);
        }
    }

    // The devstack's clock passes the access token's life while the bytes are on their way: the
    // calls after them (Drive's permission, Dropbox's next chunk and its link) are refused once
    // with 401, the token is renewed, and the upload ends with one link.
    void anUploadOutlivesItsAccessToken_data() { providerRows(); }
    void anUploadOutlivesItsAccessToken()
    {
        QFETCH(bool, dropbox);
        Demo demo;
        START_DEVSTACK(demo);
        std::unique_ptr<QProcess> tray = demo.signInAndStartTrayWith(dropbox);
        QVERIFY(tray);
        const QByteArray bytes = pattern(20000000, 17);
        writeFile(demo.path("files/long.bin"), bytes);
        const qint64 before = demo.uploadBytes();
        // The answer to the (first) chunk is held back; meanwhile the token's hour (or four) passes.
        demo.hook("POST", "/__test/stall",
                  dropbox ? "{\"path\":\"/2/files/upload_session/append_v2\",\"seconds\":2}"
                          : "{\"path\":\"/upload/drive/v3/files\",\"method\":\"PUT\",\"seconds\":2}");
        QVERIFY(demo.drop(demo.path("files/long.bin")));
        QVERIFY(QTest::qWaitFor([&] { return demo.uploadBytes() - before >= (dropbox ? 8 << 20 : qint64(bytes.size())); }, 30000));
        demo.hook("POST", "/__test/clock", dropbox ? "{\"advance_seconds\":14500}" : "{\"advance_seconds\":3700}");
        QVERIFY2(demo.deliveredOnce(QStringLiteral("long.bin"), bytes, 60000), tray->readAllStandardError().constData());
        const QStringList log = demo.requests();
        const qsizetype refused = log.indexOf(
            QRegularExpression(dropbox ? "POST /2/files/upload_session/append_v2 401" : "POST /drive/v3/files/.*/permissions 401"));
        QVERIFY2(refused > 0, qPrintable(log.join(", ")));
        QVERIFY2(log.mid(refused).contains("POST " + QString(dropbox ? "/oauth2/token" : "/token") + " 200"), qPrintable(log.join(", ")));
    }

    // Temporary provider failures are waited out: Drive's folder search answered 500 and its
    // bytes answered 502 (the session is asked where it stands, then sent the rest); Dropbox's
    // commit and its deletion answered too_many_write_operations. One link each, and the file gone.
    void temporaryProviderFailuresAreWaitedOut_data() { providerRows(); }
    void temporaryProviderFailuresAreWaitedOut()
    {
        QFETCH(bool, dropbox);
        Demo demo;
        START_DEVSTACK(demo);
        std::unique_ptr<QProcess> tray = demo.signInAndStartTrayWith(dropbox);
        QVERIFY(tray);
        const QByteArray busy = "{\"error_summary\":\"too_many_write_operations/..\",\"error\":{\".tag\":\"too_many_write_operations\"}}";
        const qsizetype signIn = demo.requests().size();
        if (dropbox) {
            demo.hook("POST", "/__test/fail", "{\"path\":\"/2/files/upload_session/finish\",\"status\":409,\"body\":" + busy + "}");
        } else {
            demo.hook("POST", "/__test/fail",
                      "{\"path\":\"/drive/v3/files\",\"method\":\"GET\",\"status\":500,\"body\":\"backend error\"}");
            // Part-way: Drive keeps the first MiB (four whole blocks), then answers 502.
            demo.hook("POST", "/__test/fail",
                      "{\"path\":\"/upload/drive/v3/files\",\"method\":\"PUT\",\"status\":502,\"body\":\"<html>bad "
                      "gateway</html>\",\"after_bytes\":1048576}");
        }
        const QByteArray bytes = pattern(3000000, 5);
        writeFile(demo.path("files/weather.bin"), bytes);
        const qint64 sentBefore = demo.uploadBytes();
        QVERIFY(demo.drop(demo.path("files/weather.bin")));
        QVERIFY2(demo.deliveredOnce(QStringLiteral("weather.bin"), bytes, 60000), tray->readAllStandardError().constData());
        const QStringList log = demo.requests().mid(signIn);
        if (dropbox) {
            QCOMPARE(log.filter(QRegularExpression("^POST /2/files/upload_session/finish ")),
                     (QStringList{"POST /2/files/upload_session/finish 409", "POST /2/files/upload_session/finish 200"}));
            demo.hook("POST", "/__test/fail", "{\"path\":\"/2/files/delete_v2\",\"status\":409,\"body\":" + busy + "}");
        } else {
            QVERIFY(log.contains("GET /drive/v3/files 500"));
            const QStringList puts = log.filter(QRegularExpression("^PUT /upload/drive/v3/files "));
            QCOMPARE(puts,
                     (QStringList{"PUT /upload/drive/v3/files 502", "PUT /upload/drive/v3/files 308", "PUT /upload/drive/v3/files 200"}));
            // Only the rest went again: the bytes Drive kept were not sent twice.
            QVERIFY2(demo.uploadBytes() - sentBefore < bytes.size() + (512 << 10),
                     qPrintable(QString::number(demo.uploadBytes() - sentBefore)));
        }
        const HistoryItem item = demo.links(QStringLiteral("weather.bin")).value(0);
        const Demo::Run deleted = demo.kavo({"link", item.token, "delete", "--yes"});
        QCOMPARE(deleted.code, 0);
        QVERIFY2(!deleted.err.contains("Cleanup incomplete"), deleted.err.constData());
        if (dropbox)
            QCOMPARE(demo.requests().mid(signIn).filter(QRegularExpression("^POST /2/files/delete_v2 ")),
                     (QStringList{"POST /2/files/delete_v2 409", "POST /2/files/delete_v2 200"}));
    }

    // The service makes the link and the connection closes before its answer: the registration
    // is not sent again by the transport, and Kavo's own retry finds the link it made. One link.
    void aRegistrationWhoseAnswerIsLostMakesOneLink()
    {
        Demo demo;
        START_DEVSTACK(demo);
        std::unique_ptr<QProcess> tray = demo.signInAndStartTray(googleBrowser);
        QVERIFY(tray);
        const qsizetype before = demo.requests().filter("POST /api/register.php").size();
        demo.hook("POST", "/__test/stall", "{\"path\":\"/api/register.php\",\"close\":true,\"times\":3}");
        writeFile(demo.path("files/once.txt"), "once");
        QVERIFY(demo.drop(demo.path("files/once.txt")));
        QVERIFY(demo.deliveredOnce(QStringLiteral("once.txt"), "once", 60000));
        QTest::qWait(500);
        QCOMPARE(demo.links(QStringLiteral("once.txt")).size(), 1);
        // Sent once; the answer that never came is followed by a look at the history, which has it.
        QCOMPARE(demo.requests().filter("POST /api/register.php").size(), before + 1);
        QVERIFY(tray->readAllStandardError().contains("once.txt"));
    }

    void dropboxRoadAgainstTheDevstack()
    {
        Demo demo;
        START_DEVSTACK(demo);
        demo.chooseProvider(true);
        // Several chunks, and a name Dropbox only takes escaped in its ASCII-only header.
        const QByteArray bytes = pattern(20000000, 131);
        const QString name = QString::fromUtf8("Résumé — 日本 😀.pdf");
        writeFile(demo.path("files/") + name, bytes);

        const QString token = demo.share(demo.path("files/") + name, dropboxBrowser);
        QVERIFY2(!token.isEmpty(), demo.shareErrors.constData());
        const Result<HttpResponse> fetched = demo.download(token);
        QVERIFY(fetched && fetched->status == 200);
        QVERIFY(fetched->body == bytes);
        // 20 MB went up in pieces of 8 MiB or more: an empty start, appends, the finish with the rest.
        const QStringList session = demo.requests().filter("/2/files/upload_session/");
        QCOMPARE(session.first(), QStringLiteral("POST /2/files/upload_session/start 200"));
        QCOMPARE(session.last(), QStringLiteral("POST /2/files/upload_session/finish 200"));
        QVERIFY(session.size() >= 3 && session.size() <= 4);
        QCOMPARE(session.filter("append_v2 200").size(), session.size() - 2);

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
        secrets.save(DropboxAuth::keychainAccount,
                     DefaultsStore(demo.path("data/kavo/secrets.json")).value(DropboxAuth::keychainAccount).toString());
        DropboxAuth dropbox(&demo.http, demo.endpoints(), &secrets, DropboxAuth::Options{});
        CloudCleanup cleanup(&demo.http, demo.endpoints(), nullptr, &dropbox);
        QCOMPARE(awaitTask(cleanup.clean(item.driveFileID, item.provider)), std::nullopt);
        QVERIFY(awaitTask(demo.api.deleteLink(item.token)));
        QCOMPARE(QDir(demo.path("state/dropbox")).entryList(QDir::Files).size(), 1); // the folder's zip stays
        QCOMPARE(demo.download(token)->status, 404);

        // Two uploads that commit to the same path (sessions that are gone, replaced under their
        // path): Dropbox keeps the first and renames the second, and the second's link and its
        // deletion use the name Dropbox gave it.
        DropboxUploader uploader(&demo.http, demo.endpoints(), &dropbox, 8 << 20);
        writeFile(demo.path("files/twice.txt"), "first");
        const UploadSession gone{QStringLiteral("gone"), QStringLiteral("/SAMEFOLDER/twice.txt"), 0, 5, false};
        const Result<CloudUploadResult> first
            = awaitTask(uploader.upload(demo.path("files/twice.txt"), "text/plain", {}, gone, [](const UploadSession &) {}));
        QVERIFY(first);
        QCOMPARE(first->providerFileID, QStringLiteral("/SAMEFOLDER/twice.txt"));
        writeFile(demo.path("files/twice.txt"), "again");
        const Result<CloudUploadResult> second
            = awaitTask(uploader.upload(demo.path("files/twice.txt"), "text/plain", {}, gone, [](const UploadSession &) {}));
        QVERIFY(second);
        QCOMPARE(second->providerFileID, QStringLiteral("/SAMEFOLDER/twice (1).txt"));
        QVERIFY(second->directURL->contains("twice%20%281%29.txt"));
        const auto stored = [&demo](const QString &path) {
            return QFile::exists(demo.path("state/dropbox/") + QCryptographicHash::hash(path.toUtf8(), QCryptographicHash::Sha1).toHex());
        };
        QVERIFY(stored(first->providerFileID) && stored(second->providerFileID));
        QCOMPARE(awaitTask(cleanup.clean(second->providerFileID, QStringLiteral("dropbox"))), std::nullopt);
        QVERIFY(stored(first->providerFileID));
        QVERIFY(!stored(second->providerFileID));
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
        QVERIFY(Demo::stop(*tray));
    }

    // Names are bytes: a file and a folder whose names are not UTF-8, through `kavo share` and
    // through the tray, each at the top and inside the folder, are shared with their real bytes.
    void namesThatAreNotTextAreShared()
    {
        Demo demo;
        START_DEVSTACK(demo);
        QVERIFY(demo.signIn(googleBrowser));
        const QByteArray files = QFile::encodeName(demo.path("files"));
        QVERIFY(::mkdir(QByteArray(files + "/trip\xfe").constData(), 0700) == 0);
        for (const QByteArray &name : {QByteArray("/bad\xff.txt"), QByteArray("/trip\xfe/inner\xfd.txt")}) {
            QFile file;
            const int fd = ::open(QByteArray(files + name).constData(), O_WRONLY | O_CREAT | O_EXCL, 0600);
            QVERIFY(fd >= 0 && file.open(fd, QIODevice::WriteOnly, QFileDevice::AutoCloseHandle));
            file.write("bytes of " + name);
        }

        const QString token = demo.shareBytes(files + "/bad\xff.txt", googleBrowser);
        QVERIFY2(!token.isEmpty(), demo.shareErrors.constData());
        QCOMPARE(demo.download(token)->body, QByteArray("bytes of /bad\xff.txt"));
        QCOMPARE(demo.links(QString::fromUtf8("bad\uFFFD.txt")).size(), 1);

        std::unique_ptr<QProcess> tray = demo.startTray();
        QVERIFY(tray);
        QVERIFY(demo.dropBytes(files + "/trip\xfe"));
        QVERIFY(QTest::qWaitFor([&] { return demo.journal().trimmed().isEmpty(); }, 30000));
        const Result<QList<HistoryItem>> history = awaitTask(demo.api.fetchHistory(5));
        QVERIFY(history && !history->isEmpty());
        QVERIFY2(history->first().filename.endsWith(QString::fromUtf8(" - trip\uFFFD.zip")), qPrintable(history->first().filename));
        const QString zip = demo.path("trip.zip");
        writeFile(zip, demo.download(history->first().token)->body);
        QVERIFY(runTool("unzip", {"-Z1", zip}).contains("/inner\xfd.txt"));
        QCOMPARE(runTool("unzip", {"-p", zip, "*inner*"}), QByteArray("bytes of /trip\xfe/inner\xfd.txt"));
        QVERIFY(Demo::stop(*tray));
    }

    // A 300 MiB upload killed halfway goes on where it stopped once kavo starts again: the
    // provider gets little more than the file once, holds the same bytes, and one link is made.
    void aKilledUploadResumesWhereItStopped_data() { providerRows(); }
    void aKilledUploadResumesWhereItStopped()
    {
        QFETCH(bool, dropbox);
        Demo demo;
        START_DEVSTACK(demo);
        demo.chooseProvider(dropbox);
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
        qInfo("%s: %lld MiB arrived before the kill, %lld MiB in all", dropbox ? "Dropbox" : "Drive", (long long)(sentBeforeKill >> 20),
              (long long)(sent >> 20));
        QVERIFY(sent >= size);
        // Drive's one PUT resumes where the session stands (in whole 256 KiB blocks); Dropbox
        // sends again at most the chunk the kill cut (its chunks grow with the link).
        QVERIFY2(sent <= size + (dropbox ? ChunkSizer::largest : qint64(20) << 20), qPrintable(QString::number(sent >> 20)));
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
        QVERIFY(Demo::stop(*tray));
    }

    // `kavo FILE` is answered once the job is in the queue's file: a tray killed right after the
    // answer brings the job back and delivers it.
    void aDropTakenIsNeverLost()
    {
        Demo demo;
        START_DEVSTACK(demo);
        std::unique_ptr<QProcess> tray = demo.signInAndStartTray(googleBrowser);
        QVERIFY(tray);
        writeFile(demo.path("files/taken.txt"), "taken");
        QVERIFY(demo.drop(demo.path("files/taken.txt")));
        ::kill(pid_t(tray->processId()), SIGKILL);
        QVERIFY(tray->waitForFinished(5000));
        QVERIFY(demo.journal().contains("taken.txt") || !demo.links("taken.txt").isEmpty());
        tray = demo.startTray();
        QVERIFY(tray);
        QVERIFY(demo.deliveredOnce("taken.txt", "taken", 60000));
        QVERIFY(Demo::stop(*tray));
    }

    // Signed out of Kavo, a drop sends nothing to Drive and waits, across a restart, until the
    // set-up link signs the user in; then it goes through.
    void aDropWhileSignedOutWaitsForTheSignIn()
    {
        Demo demo;
        START_DEVSTACK(demo);
        QVERIFY(demo.signIn(googleBrowser));
        // Signed out as the panel's "Sign out" leaves it: no service key kept anywhere.
        FileSecretStore secrets(demo.path("data/kavo/secrets.json"));
        const QString key = secrets.value("Vendrel.BackendApiKey").value_or(QString());
        QCOMPARE(key.size(), 64);
        secrets.remove("Vendrel.BackendApiKey");
        QVERIFY(DefaultsStore::suite(demo.path("config")).remove("kavo.shared.apiKey"));

        std::unique_ptr<QProcess> tray = demo.startTray();
        QVERIFY(tray);
        const qint64 before = demo.uploadBytes();
        const qsizetype driveCalls = demo.requests().filter("drive").size();
        writeFile(demo.path("files/waits.txt"), "waits for the sign-in");
        QVERIFY(demo.drop(demo.path("files/waits.txt")));
        QTest::qWait(1500);
        QVERIFY(Demo::stop(*tray));
        QVERIFY(demo.journal().contains("waits.txt"));
        QCOMPARE(demo.uploadBytes(), before);
        QCOMPARE(demo.requests().filter("drive").size(), driveCalls);

        tray = demo.startTray();
        QVERIFY(tray);
        QTest::qWait(1000);
        QCOMPARE(demo.uploadBytes(), before);
        QCOMPARE(demo.requests().filter("drive").size(), driveCalls);
        QCOMPARE(demo.kavo({"kavo://setup?key=" + key + "&email=ann%40example.com"}).code, 0);
        QVERIFY(demo.deliveredOnce("waits.txt", "waits for the sign-in", 60000));
        QVERIFY(Demo::stop(*tray));
    }

    // The sign-ins live in a keyring that is locked, and the user dismisses its unlock prompt:
    // `kavo share` says so and stops. No new Google sign-in, no byte to Drive, nothing
    // registered, and the stored secrets are neither used nor replaced.
    void aLockedKeyringStopsTheShareBeforeAnything()
    {
        Demo demo;
        START_DEVSTACK(demo);
        QVERIFY(demo.signIn(googleBrowser));
        const QByteArray secretsBefore = readFile(demo.path("data/kavo/secrets.json"));
        const qint64 before = demo.uploadBytes();
        const qsizetype calls = demo.requests().size();
        writeFile(demo.path("files/locked.txt"), "stays here");
        // A session bus of the command's own whose secret service keeps both sign-ins locked.
        const QString script = QStringLiteral("\"$0\" --locked Vendrel.BackendApiKey Vendrel.GoogleOAuth > \"$3\" 2>/dev/null &\n"
                                              "for _ in $(seq 100); do grep -q ready \"$3\" && break; sleep 0.1; done\n"
                                              "\"$1\" share \"$2\"; code=$?; kill $!; exit $code\n");
        const QString token = demo.share("dbus-run-session",
                                         {"--config-file=" KAVO_TEST_SESSION_BUS_CONFIG, "--", "/bin/sh", "-c", script,
                                          KAVO_TEST_SECRET_SERVICE, KAVO_BINARY, demo.path("files/locked.txt"), demo.path("service.out")},
                                         "echo opened >> \"$HOME/browser-opened\"; exit 1\n");
        QVERIFY(token.isEmpty());
        QVERIFY2(said(demo.shareErrors)
                     .contains("kavo: Your keyring is locked, so Kavo can't read your sign-in to Kavo. "
                               "Unlock it when Kavo asks (or in your keyring app), then try again.\n"),
                 demo.shareErrors.constData());
        QVERIFY(!QFile::exists(demo.path("browser-opened")));
        QCOMPARE(demo.uploadBytes(), before);
        QCOMPARE(demo.requests().size(), calls);
        QCOMPARE(readFile(demo.path("data/kavo/secrets.json")), secretsBefore);
    }

    // A file that grows while it is uploaded is never linked cut: the first copy leaves Drive and
    // the link downloads the whole new file.
    void aFileGrowingWhileSentIsNeverSentCut()
    {
        Demo demo;
        START_DEVSTACK(demo);
        QVERIFY(demo.signIn(googleBrowser));
        const QString log = demo.path("files/recording.bin");
        writeLargeFile(log, 150);
        const qint64 before = demo.uploadBytes();
        std::unique_ptr<QProcess> tray = demo.startTray();
        QVERIFY(tray);
        // Drive's answer to the bytes is held back a while: the file grows after they were read.
        demo.hook("POST", "/__test/stall", "{\"path\":\"/upload/drive/v3/files\",\"method\":\"PUT\",\"seconds\":3}");
        QVERIFY(demo.drop(log));
        QVERIFY(QTest::qWaitFor([&] { return demo.uploadBytes() - before >= qint64(150) << 20; }, 60000));
        {
            QFile grow(log);
            QVERIFY(grow.open(QIODevice::Append));
            QCOMPARE(grow.write(QByteArray(1 << 20, 'g')), qint64(1) << 20);
        }
        QVERIFY(QTest::qWaitFor([&] { return demo.journal().trimmed().isEmpty(); }, 120000));
        const QList<HistoryItem> links = demo.links("recording.bin");
        QCOMPARE(links.size(), 1);
        QCOMPARE(links.first().filesize, (qint64(151) << 20));
        QCOMPARE(digest(demo.path("state/drive/") + links.first().driveFileID), digest(log));
        // Drive keeps the sign-in's file and this one, not the copy that was cut.
        QCOMPARE(QDir(demo.path("state/drive")).entryList(QDir::Files).size(), 2);
        QVERIFY(Demo::stop(*tray));
    }

    // A tray killed while it zips takes zip with it; the next start removes what the dead one
    // left in the temporary folder, zips the drop again and delivers it.
    void aKilledZipLeavesNothingBehind()
    {
        Demo demo;
        START_DEVSTACK(demo);
        QVERIFY(demo.signIn(googleBrowser));
        writeLargeFile(demo.path("files/big/one.bin"), 200);
        std::unique_ptr<QProcess> tray = demo.startTray();
        QVERIFY(tray);
        const QString dead = QString::number(tray->processId());
        // The zip processes working in this demo's temporary folder.
        const auto zips = [&demo] {
            QStringList found;
            for (const QString &pid : QDir("/proc").entryList(QDir::Dirs)) {
                const QByteArray command = readFile("/proc/" + pid + "/cmdline");
                if (command.startsWith("/usr/bin/zip") && command.contains(QFile::encodeName(demo.path("tmp"))))
                    found.append(pid);
            }
            return found;
        };
        QVERIFY(demo.drop(demo.path("files/big")));
        QVERIFY(QTest::qWaitFor([&] { return !zips().isEmpty(); }, 20000));
        ::kill(pid_t(tray->processId()), SIGKILL);
        QVERIFY(tray->waitForFinished(5000));
        QVERIFY2(QTest::qWaitFor([&] { return zips().isEmpty(); }, 3000), qPrintable(zips().join(' ')));
        QVERIFY(!QDir(demo.path("tmp")).entryList({"kavo-*-" + dead + "-*"}, QDir::Dirs).isEmpty());

        tray = demo.startTray();
        QVERIFY(tray);
        QVERIFY(QTest::qWaitFor([&] { return demo.journal().trimmed().isEmpty(); }, 120000));
        const Result<QList<HistoryItem>> history = awaitTask(demo.api.fetchHistory(1));
        QVERIFY(history && history->size() == 1);
        QVERIFY2(history->first().filename.endsWith(" - big.zip"), qPrintable(history->first().filename));
        QVERIFY(history->first().filesize > qint64(200) << 20);
        QCOMPARE(QDir(demo.path("tmp")).entryList({"kavo-*-" + dead + "-*"}, QDir::Dirs), QStringList());
        QCOMPARE(QDir(demo.path("tmp")).entryList({"kavo-staging-*"}, QDir::Dirs), QStringList());
        QVERIFY(Demo::stop(*tray));
    }

    // A drop made while the services cannot be reached waits for them and goes through once they
    // are back, without using up its attempts.
    void aDropWaitsForTheServiceToComeBack()
    {
        Demo demo;
        START_DEVSTACK(demo);
        std::unique_ptr<QProcess> tray = demo.signInAndStartTray(googleBrowser);
        QVERIFY(tray);

        demo.devstack.terminate();
        QVERIFY(demo.devstack.waitForFinished(5000));
        writeFile(demo.path("files/offline.txt"), "written on a train");
        QVERIFY(demo.drop(demo.path("files/offline.txt")));
        QTest::qWait(8000); // longer than the three attempts of a transient failure would last
        QVERIFY(demo.journal().contains("offline.txt"));
        QCOMPARE(demo.startDevstack(demo.root.port()), demo.root);
        QVERIFY2(demo.deliveredOnce("offline.txt", "written on a train", 60000), tray->readAllStandardError().constData());
        QCOMPARE(tray->state(), QProcess::Running);
        QVERIFY(Demo::stop(*tray));
    }
};

QTEST_GUILESS_MAIN(TestDevStackEndToEnd)
#include "tst_devstack_e2e.moc"
