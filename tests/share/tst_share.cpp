// kavo-share's own upload path against a loopback fake of Google and the service, and its dialog
// loaded offscreen.

#include "loopbackhttp.h"
#include "platform/desktop.h"
#include "platform/endpoints.h"
#include "platform/http.h"
#include "sharedialog.h"
#include "shareupload.h"
#include "testutil.h"

#include "memorysecretstore.h"
#include "platform/secretstore.h"
#include <QJsonDocument>
#include <QJsonObject>

#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

using namespace std::chrono_literals;
using Response = FakeServer::Response;

namespace {

struct Share : LoopbackHttp {
    QTemporaryDir dir;
    DefaultsStore suite = DefaultsStore::suite(dir.path());
    ShareUpload upload{&http, Endpoints::allAt(server.url()), suite};
    RecordingClipboard clipboard;

    // Google and the service answering as they do when all goes well.
    void serviceWorks()
    {
        suite.setValue(ShareUpload::apiKeyKey, QStringLiteral("k").repeated(64));
        suite.setValue(ShareUpload::refreshTokenKey, QStringLiteral("1//old"));
        server.route("POST", "/token",
                     Response::json(200, "{\"access_token\":\"ya29.a\",\"expires_in\":3599,\"refresh_token\":\"1//new\"}"));
        server.enqueue("GET", "/drive/v3/files", Response::json(200, "{\"files\":[]}"));
        server.route("GET", "/drive/v3/files", Response::json(200, "{\"files\":[{\"id\":\"folder-1\"}]}"));
        server.route("POST", "/drive/v3/files", Response::json(200, "{\"id\":\"folder-1\"}"));
        Response session = Response::json(200, "");
        session.headers.append({"Location", server.url().toString().toUtf8() + "/upload/session?upload_id=s1"});
        server.route("POST", "/upload/drive/v3/files", session);
        server.route("PUT", "/upload/session", Response::json(200, "{\"id\":\"file-1\"}"));
        server.route("POST", "/drive/v3/files/file-1/permissions", Response::json(200, "{}"));
        server.route("POST", "/api/register.php", Response::json(200, "{\"url\":\"http://kavo.test/l/abc\"}"));
    }
    QString file(const QByteArray &bytes = "quarterly numbers")
    {
        writeFile(dir.filePath("files/report.pdf"), bytes);
        return dir.filePath("files/report.pdf");
    }
    Result<QString> perform(const QString &path, qint64 days = 7) { return awaitTask(upload.perform(QUrl::fromLocalFile(path), days)); }
};

} // namespace

class TestShare : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void notSignedInSendsNothing()
    {
        for (const QString &present : {QString(), ShareUpload::apiKeyKey, ShareUpload::refreshTokenKey}) {
            Share s;
            if (!present.isEmpty())
                s.suite.setValue(present, QStringLiteral("value"));
            const Result<QString> link = s.perform(s.file());
            QCOMPARE(link.error().description, QStringLiteral("Sign in to Kavo first — open the Kavo menu bar app."));
            QVERIFY(s.server.requests().isEmpty());
        }
    }

    // Where the tray keeps its secrets in the desktop's secret service, the share reads them
    // there: the suite holds none, and the rotated token goes back to the secret service only.
    // A locked keyring says so and sends nothing.
    void secretsComeFromTheSecretService()
    {
        Share s;
        s.serviceWorks();
        s.suite.remove(ShareUpload::apiKeyKey);
        s.suite.remove(ShareUpload::refreshTokenKey);
        MemorySecretStore secrets;
        secrets.setPrivate(true);
        secrets.save(QStringLiteral("Vendrel.BackendApiKey"), QStringLiteral("s").repeated(64));
        secrets.save(QStringLiteral("Vendrel.GoogleOAuth"), QStringLiteral("1//kept"));
        ShareUpload upload{&s.http, Endpoints::allAt(s.server.url()), s.suite, &secrets};
        const Result<QString> link = awaitTask(upload.perform(QUrl::fromLocalFile(s.file()), 7));
        QVERIFY2(link, qPrintable(link ? QString() : link.error().description));
        QVERIFY(s.server.requests("POST", "/token").value(0).body.contains("refresh_token=1%2F%2Fkept"));
        QCOMPARE(s.server.requests("POST", "/api/register.php").value(0).header("X-Api-Key"), QStringLiteral("s").repeated(64).toUtf8());
        // The registration carries the current refresh token (the rotated one), read from there too.
        QCOMPARE(QJsonDocument::fromJson(s.server.requests("POST", "/api/register.php").value(0).body)["google_refresh_token"].toString(),
                 QStringLiteral("1//new"));
        QCOMPARE(awaitTask(secrets.read(QStringLiteral("Vendrel.GoogleOAuth"))).value, QStringLiteral("1//new"));
        QVERIFY(!s.suite.contains(ShareUpload::refreshTokenKey));
        QVERIFY(!s.suite.contains(ShareUpload::apiKeyKey));

        secrets.setLocked(true);
        const qsizetype before = s.server.requests().size();
        const Result<QString> locked = awaitTask(upload.perform(QUrl::fromLocalFile(s.file()), 7));
        QVERIFY(!locked);
        QVERIFY(locked.error().is(SecretStore::errorDomain, SecretStore::locked));
        QCOMPARE(s.server.requests().size(), before);
    }

    // Drive fails for a moment: the folder search answered 500 is made again after a wait, and
    // the bytes answered 502 make the share ask the session where it stands and send only the
    // rest. A token that expired meanwhile is renewed once.
    void temporaryDriveFailuresAreWaitedOut()
    {
        Share s;
        s.server.enqueue("GET", "/drive/v3/files", Response::json(500, "{\"error\":{\"code\":500}}"));
        s.serviceWorks();
        int pauses = 0;
        s.upload.setRetryPause([&pauses](std::chrono::milliseconds) -> QCoro::Task<void> {
            ++pauses;
            co_return;
        });
        s.server.enqueue("PUT", "/upload/session", Response::dropped()); // the connection goes half-way
        s.server.enqueue("PUT", "/upload/session", Response::json(308, "")); // holding nothing yet
        s.server.enqueue("PUT", "/upload/session", Response::json(502, "<html>bad gateway</html>"));
        Response holds = Response::json(308, "");
        holds.headers.append(qMakePair(QByteArray("Range"), QByteArray("bytes=0-9")));
        s.server.enqueue("PUT", "/upload/session", holds);
        s.server.enqueue("POST", "/drive/v3/files/file-1/permissions", Response::json(401, "{\"error\":{\"code\":401}}"));
        const QByteArray bytes = "0123456789abcdefghij";
        const Result<QString> link = s.perform(s.file(bytes));
        QVERIFY2(link, qPrintable(link ? QString() : link.error().description));
        QCOMPARE(pauses, 3);
        const QList<FakeServer::Request> puts = s.server.requests("PUT", "/upload/session");
        QCOMPARE(puts.size(), 5);
        QCOMPARE(puts[1].header("Content-Range"), QByteArray("bytes */20"));
        QCOMPARE(puts[3].header("Content-Range"), QByteArray("bytes */20"));
        QCOMPARE(puts[4].header("Content-Range"), QByteArray("bytes 10-19/20"));
        QCOMPARE(puts[4].body, bytes.mid(10));
        QCOMPARE(s.server.requests("POST", "/token").size(), 2); // the permission's 401 renewed the token
        QCOMPARE(s.server.requests("POST", "/api/register.php").size(), 1);
    }

    void refusalsReadAsTheirSentences()
    {
        {
            Share s;
            s.serviceWorks();
            s.server.route("POST", "/token", Response::json(400, "{\"error\":\"invalid_grant\"}"));
            QCOMPARE(s.perform(s.file()).error().description,
                     QStringLiteral("Google sign-in expired. Re-connect Google Drive in the Kavo app."));
        }
        {
            Share s;
            s.serviceWorks();
            s.server.route("POST", "/upload/drive/v3/files", Response::json(403, "quota exceeded"));
            QCOMPARE(s.perform(s.file()).error().description, QStringLiteral("Drive session init failed: quota exceeded"));
        }
        {
            Share s;
            s.serviceWorks();
            s.server.route("POST", "/drive/v3/files/file-1/permissions", Response::json(403, "{}"));
            QCOMPARE(s.perform(s.file()).error().description, QStringLiteral("Couldn't make file shareable"));
        }
        {
            Share s;
            s.serviceWorks();
            s.server.route("POST", "/api/register.php", Response::json(500, "boom"));
            QCOMPARE(s.perform(s.file()).error().description, QStringLiteral("Registration failed: boom"));
        }
    }

    void dialogStates()
    {
        Share s;
        {
            ShareDialog nothing(SharedItem{}, &s.upload, &s.clipboard);
            QCOMPARE(nothing.status(), QStringLiteral("No file received."));
            QVERIFY(!nothing.canUpload());
            ShareDialog text(SharedItem::fromArguments({"mailto:ann@example.com"}), &s.upload, &s.clipboard);
            QCOMPARE(text.status(), QStringLiteral("Unsupported item type."));
            QVERIFY(!text.canUpload());
            // A file link without a path is refused before anything is sent.
            ShareDialog nameless(SharedItem::fromArguments({"file:"}), &s.upload, &s.clipboard);
            QCOMPARE(nameless.status(), QStringLiteral("Couldn't read file."));
            QVERIFY(!nameless.canUpload());
            nameless.startUpload();
            QTest::qWait(100);
            QVERIFY(s.server.requests().isEmpty());
        }

        // A failure can be retried by hand with another expiry; success copies and closes.
        s.serviceWorks();
        s.server.enqueue("POST", "/api/register.php", Response::json(500, "down"));
        ShareDialog dialog(SharedItem::fromArguments({s.file()}), &s.upload, &s.clipboard);
        QCOMPARE(dialog.selectedDays(), 7);
        dialog.startUpload();
        QCOMPARE(dialog.status(), QStringLiteral("Uploading…"));
        QVERIFY(!dialog.canUpload());
        QTRY_COMPARE(dialog.status(), QStringLiteral("Registration failed: down"));
        QVERIFY(dialog.canUpload());

        dialog.selectDays(90);
        QSignalSpy closed(&dialog, &QDialog::finished);
        dialog.startUpload();
        QTRY_COMPARE(dialog.status(), QStringLiteral("Link copied to clipboard!"));
        QCOMPARE(s.clipboard.texts, QStringList{QStringLiteral("http://kavo.test/l/abc")});
        QVERIFY(!dialog.canUpload());
        QVERIFY(closed.isEmpty());
        QVERIFY(closed.wait(2500));
        QCOMPARE(closed.first().first().toInt(), int(QDialog::Accepted));
        const QJsonObject last = QJsonDocument::fromJson(s.server.requests("POST", "/api/register.php").last().body).object();
        QCOMPARE(last.value("expiry_days").toInteger(), 90);

        // A desktop that takes no copy: the link stays in the dialog, to be selected, until the
        // user closes it; the upload happened, so closing is no cancel.
        s.clipboard.refusal = QStringLiteral("no desktop");
        ShareDialog kept(SharedItem::fromArguments({s.file()}), &s.upload, &s.clipboard);
        kept.show();
        QSignalSpy keptClosed(&kept, &QDialog::finished);
        kept.startUpload();
        QTRY_COMPARE(kept.status(), QStringLiteral("The link is ready but isn't on the clipboard (no desktop):\nhttp://kavo.test/l/abc"));
        QVERIFY(!keptClosed.wait(2500));
        QTest::keyClick(&kept, Qt::Key_Return);
        QCOMPARE(keptClosed.size(), 1);
        QCOMPARE(keptClosed.first().first().toInt(), int(QDialog::Accepted));
    }

    void uploadsRegistersAndKeepsTheRotatedToken()
    {
        Share s;
        s.serviceWorks();
        const Result<QString> link = s.perform(s.file("%PDF bytes"), 30);
        QVERIFY2(link, qPrintable(link ? QString() : link.error().description));
        QCOMPARE(link.value(), QStringLiteral("http://kavo.test/l/abc")); // no token in the answer is fine

        QCOMPARE(s.server.requests("PUT", "/upload/session").value(0).body, QByteArray("%PDF bytes"));
        QCOMPARE(s.server.requests("POST", "/upload/drive/v3/files").value(0).header("X-Upload-Content-Type"),
                 QByteArray("application/pdf"));
        QCOMPARE(s.suite.value(ShareUpload::refreshTokenKey).toString(), QStringLiteral("1//new"));
        const QJsonObject registration = QJsonDocument::fromJson(s.server.requests("POST", "/api/register.php").value(0).body).object();
        QCOMPARE(registration.value("google_refresh_token").toString(), QStringLiteral("1//new"));
        QCOMPARE(registration.value("provider").toString(), QStringLiteral("google"));
        QCOMPARE(registration.value("expiry_days").toInteger(), 30);
        QCOMPARE(registration.value("filesize").toInteger(), 10);
        QCOMPARE(registration.value("original_filename").toString(), QStringLiteral("report.pdf"));
        QVERIFY(!registration.contains("preset_id"));
        QCOMPARE(s.server.requests("POST", "/api/register.php").value(0).header("X-Api-Key"), QStringLiteral("k").repeated(64).toUtf8());

        // The first share created the folder; the next one finds it.
        QCOMPARE(s.server.requests("POST", "/drive/v3/files").size(), 1);
        QVERIFY(s.perform(s.file()));
        QCOMPARE(s.server.requests("POST", "/drive/v3/files").size(), 1);
    }

    void sharedItems()
    {
        using Kind = SharedItem::Kind;
        QCOMPARE(SharedItem::fromArguments({}).kind, Kind::none);
        QCOMPARE(SharedItem::fromArguments({"/tmp/a b.pdf"}).url, QUrl::fromLocalFile("/tmp/a b.pdf"));
        QCOMPARE(SharedItem::fromArguments({"file:///tmp/a%20b.pdf"}).url.toLocalFile(), QStringLiteral("/tmp/a b.pdf"));
        QCOMPARE(SharedItem::fromArguments({"https://example.com/report.pdf"}).kind, Kind::url);
        QCOMPARE(SharedItem::fromArguments({"mailto:ann@example.com"}).kind, Kind::unsupported);
        for (const char *nameless : {"file:", "file://", "file:///"})
            QCOMPARE(SharedItem::fromArguments({nameless}).kind, Kind::unreadable);
        QCOMPARE(SharedItem::fromArguments({"relative.txt"}).url, QUrl::fromLocalFile(QDir::current().absoluteFilePath("relative.txt")));
    }
};

QTEST_MAIN(TestShare)
#include "tst_share.moc"
