// The real `kavo share` program against a fake Google and Kavo service on the loopback root the
// build was configured with, signing in through a "browser" script that follows the redirect.

#include "fakeserver.h"
#include "testutil.h"

#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>
#include <QUrlQuery>

using Response = FakeServer::Response;

namespace {

struct Run {
    int exitCode = -1;
    QByteArray out;
    QByteArray err;
};

class Home
{
public:
    QTemporaryDir dir;
    QString path(const QString &relative) const { return dir.path() + QLatin1Char('/') + relative; }

    QString browser(const QByteArray &script)
    {
        const QString file = path("browser.sh");
        writeFile(file, "#!/bin/sh\n" + script);
        QFile::setPermissions(file, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
        return file;
    }

    Run share(const QStringList &paths, const QString &browser)
    {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        for (const char *name : {"DISPLAY", "WAYLAND_DISPLAY", "DBUS_SESSION_BUS_ADDRESS"})
            env.remove(QString::fromLatin1(name));
        env.insert("HOME", dir.path());
        env.insert("XDG_CONFIG_HOME", path("config"));
        env.insert("XDG_DATA_HOME", path("data"));
        env.insert("XDG_RUNTIME_DIR", path("runtime"));
        env.insert("TMPDIR", path("tmp"));
        env.insert("BROWSER", browser);
        env.insert("BROWSER_LOG", path("browser.log"));
        env.insert("KAVO_BIN", KAVO_BINARY);
        QDir().mkpath(path("tmp"));
        QDir().mkpath(path("runtime"));
        QFile::setPermissions(path("runtime"), QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
        QProcess kavo;
        kavo.setProcessEnvironment(env);
        kavo.start(QStringLiteral(KAVO_BINARY), QStringList{"share"} + paths);
        Run run;
        // The fake server answers on this thread's event loop-free worker; just wait.
        if (!kavo.waitForFinished(60000)) {
            kavo.kill();
            kavo.waitForFinished();
        }
        run.exitCode = kavo.exitStatus() == QProcess::NormalExit ? kavo.exitCode() : -1;
        run.out = kavo.readAllStandardOutput();
        run.err = kavo.readAllStandardError();
        return run;
    }
};

const QByteArray followRedirect = R"SH(echo "$1" >> "$BROWSER_LOG"
uri=$(printf '%s' "$1" | sed -E 's/.*[?&]redirect_uri=([^&]*).*/\1/')
uri=$(printf '%b' "$(printf '%s' "$uri" | sed 's/%/\\x/g')")
curl -s -o /dev/null "$uri?code=e2e-code&scope=drive.file" &
)SH";

// What the desktop does with a vendrel:// link: start `kavo URL`.
const QByteArray answerOnTheVendrelScheme = "echo \"$1\" >> \"$BROWSER_LOG\"\n"
                                             "\"$KAVO_BIN\" \"vendrel:" "//dropbox-auth?code=dbx-e2e\" &\n";

const QByteArray refuse = R"(echo "$1" >> "$BROWSER_LOG"
exit 1
)";

// A fake server on the build's endpoint port, serving over TLS when the build's endpoints do
// with the certificate the build trusts.
FakeServer::Options buildEndpointServer(const QUrl &root)
{
    FakeServer::Options options;
    options.port = quint16(root.port());
    options.tls = root.scheme() == QLatin1String("https");
    options.certificateFile = QStringLiteral(KAVO_DEVSTACK_CA_DIR "/server.pem");
    options.keyFile = QStringLiteral(KAVO_DEVSTACK_CA_DIR "/server.key");
    return options;
}

} // namespace

class TestKavoShare : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void signInUploadAndShare()
    {
        const QUrl root(QStringLiteral(KAVO_SERVICE_ROOT));
        if (root.host() != QLatin1String("127.0.0.1"))
            QSKIP("the build's endpoints are not on loopback");
        if (!loopbackPortFree(quint16(root.port())))
            QSKIP(qPrintable(portTakenMessage(root.port())));
        FakeServer server(buildEndpointServer(root));
        QVERIFY2(server.port() == root.port(), "the loopback port of the build is taken");
        const QByteArray base = server.url().toString().toUtf8();
        server.route("POST", "/token", Response::json(200, "{\"access_token\":\"ya29.e2e-access\",\"refresh_token\":\"1//e2e-refresh\",\"expires_in\":3600}"));
        server.route("GET", "/oauth2/v3/userinfo", Response::json(200, "{\"email\":\"e2e@example.com\"}"));
        server.route("GET", "/drive/v3/files", Response::json(200, "{\"files\":[{\"id\":\"folder-1\"}]}"));
        server.route("POST", "/upload/drive/v3/files", Response{200, {{"Location", base + "/session?upload_id=e2e-session"}}, "{}"});
        server.route("PUT", "/session", Response::json(200, "{\"id\":\"drive-file-1\"}"));
        server.route("POST", "/drive/v3/files/drive-file-1/permissions", Response::json(200, "{}"));
        server.route("GET", "/api/presets.php", Response::json(200, "{\"presets\":[]}"));
        server.route("POST", "/api/register.php", Response::json(200, "{\"token\":\"tok-1\",\"url\":\"https://kavo.test/l/tok-1\"}"));
        server.route("GET", "/api/history.php", Response::json(200, "{\"items\":[]}"));

        Home home;
        QByteArray bytes(150000, Qt::Uninitialized);
        for (qsizetype i = 0; i < bytes.size(); ++i)
            bytes[i] = char((i * 7919) % 251);
        writeFile(home.path("files/report 1.pdf"), bytes);

        // First run: no Google account yet, so the browser signs in.
        const Run first = home.share({home.path("files/report 1.pdf")}, home.browser(followRedirect));
        QVERIFY2(first.exitCode == 0, first.err.constData());
        QCOMPARE(first.out, QByteArray("https://kavo.test/l/tok-1\n"));
        QVERIFY(QFile::exists(home.path("browser.log")));
        QCOMPARE(server.requests("PUT", "/session").value(0).body, bytes);
        const QJsonObject registration = QJsonDocument::fromJson(server.requests("POST", "/api/register.php").value(0).body).object();
        QCOMPARE(registration.value("drive_file_id").toString(), QStringLiteral("drive-file-1"));
        QCOMPARE(registration.value("original_filename").toString(), QStringLiteral("report 1.pdf"));
        QCOMPARE(registration.value("google_refresh_token").toString(), QStringLiteral("1//e2e-refresh"));
        const QString verifier = QUrlQuery(QString::fromUtf8(server.requests("POST", "/token").value(0).body)).queryItemValue("code_verifier", QUrl::FullyDecoded);
        QCOMPARE(verifier.size(), 43);

        // Second run: the stored refresh token is enough; a folder arrives as its zip.
        QFile::remove(home.path("browser.log"));
        writeFile(home.path("files/Holiday/beach.txt"), "sand");
        writeFile(home.path("files/Holiday/days/monday.txt"), "rain");
        const Run second = home.share({home.path("files/Holiday")}, home.browser(refuse));
        QVERIFY2(second.exitCode == 0, second.err.constData());
        QVERIFY(!QFile::exists(home.path("browser.log")));
        const auto tokens = server.requests("POST", "/token");
        QCOMPARE(tokens.size(), 2);
        QVERIFY(tokens[1].body.contains("grant_type=refresh_token"));
        const QByteArray zip = server.requests("PUT", "/session").value(1).body;
        QVERIFY(zip.startsWith("PK\x03\x04"));
        writeFile(home.path("arrived.zip"), zip);
        QStringList entries = QString::fromUtf8(runTool("/usr/bin/unzip", {"-Z1", home.path("arrived.zip")})).split('\n', Qt::SkipEmptyParts);
        entries.sort();
        QCOMPARE(entries, (QStringList{"Holiday/", "Holiday/beach.txt", "Holiday/days/", "Holiday/days/monday.txt"}));
        QVERIFY(second.err.contains("Holiday.zip"));

        // Nothing secret is ever printed.
        const QByteArray printed = first.out + first.err + second.out + second.err;
        for (const QByteArray &secret : {QByteArray("ya29.e2e-access"), QByteArray("1//e2e-refresh"), QByteArray("e2e-code"),
                                         verifier.toUtf8(), QByteArray("e2e-session"), QByteArray(KAVO_BUILTIN_KEY)})
            QVERIFY2(!printed.contains(secret), secret.constData());
    }

    void dropboxSignInArrivesThroughTheChannel()
    {
        const QUrl root(QStringLiteral(KAVO_SERVICE_ROOT));
        if (root.host() != QLatin1String("127.0.0.1"))
            QSKIP("the build's endpoints are not on loopback");
        if (!loopbackPortFree(quint16(root.port())))
            QSKIP(qPrintable(portTakenMessage(root.port())));
        FakeServer server(buildEndpointServer(root));
        QVERIFY2(server.port() == root.port(), "the loopback port of the build is taken");
        server.route("POST", "/oauth2/token", Response::json(200, "{\"access_token\":\"sl.e2e\",\"refresh_token\":\"dbx-refresh\",\"expires_in\":14400}"));
        server.route("POST", "/2/users/get_current_account", Response::json(200, "{\"email\":\"d@example.com\"}"));
        server.route("POST", "/2/files/upload_session/start", Response::json(200, "{\"session_id\":\"s1\"}"));
        server.route("POST", "/2/files/upload_session/finish", Response::json(200, "{\"id\":\"id:1\"}"));
        server.route("POST", "/2/sharing/create_shared_link_with_settings", Response::json(200, "{\"url\":\"https://dbx.test/s/x/notes.txt?dl=0\"}"));
        server.route("GET", "/api/presets.php", Response::json(200, "{\"presets\":[]}"));
        server.route("POST", "/api/register.php", Response::json(200, "{\"token\":\"tok-d\",\"url\":\"https://kavo.test/l/tok-d\"}"));
        server.route("GET", "/api/history.php", Response::json(200, "{\"items\":[]}"));

        Home home;
        writeFile(home.path("config/kavo/defaults.json"), "{\"prefs.selectedProvider\":\"dropbox\"}");
        writeFile(home.path("files/notes.txt"), "dropbox bytes");
        const Run run = home.share({home.path("files/notes.txt")}, home.browser(answerOnTheVendrelScheme));
        QVERIFY2(run.exitCode == 0, run.err.constData());
        QCOMPARE(run.out, QByteArray("https://kavo.test/l/tok-d\n"));
        QCOMPARE(server.requests("POST", "/2/files/upload_session/finish").value(0).body, QByteArray("dropbox bytes"));
        const QJsonObject registration = QJsonDocument::fromJson(server.requests("POST", "/api/register.php").value(0).body).object();
        QCOMPARE(registration.value("provider").toString(), QStringLiteral("dropbox"));
        QCOMPARE(registration.value("direct_url").toString(), QStringLiteral("https://dbx.test/s/x/notes.txt?dl=1"));
        QVERIFY(registration.value("drive_file_id").toString().endsWith("/notes.txt"));
        const QByteArray printed = run.out + run.err;
        QVERIFY(!printed.contains("sl.e2e") && !printed.contains("dbx-refresh"));
    }

    void failureEndsInTheJobsMessage()
    {
        Home home;
        const Run run = home.share({home.path("files/ghost.pdf")}, home.browser(refuse));
        QCOMPARE(run.exitCode, 1);
        QVERIFY(run.out.isEmpty());
        QVERIFY2(run.err.contains("kavo: Couldn't read source: ghost.pdf \xe2\x80\x94 No such file or directory\n"), run.err.constData());
        QVERIFY(!QFile::exists(home.path("browser.log")));
    }
};

QTEST_GUILESS_MAIN(TestKavoShare)
#include "tst_kavoshare.moc"
