// The cloud files of links: a deleted link's (CloudCleanup, what each answer of Drive or Dropbox
// leaves the user to read) and the expired links' that the sweeper deletes (DriveCleaner).

#include "cloud/googleauth.h"
#include "links/cloudcleanup.h"
#include "links/drivecleaner.h"
#include "loopbackhttp.h"
#include "platform/milestone.h"
#include "service/backendapi.h"
#include "testutil.h"
#include "upload/retry.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QTcpServer>
#include <QTest>

using namespace std::chrono_literals;
using Response = FakeServer::Response;

namespace {

class FakeGoogle : public CloudAuth, public AccessTokenSource
{
public:
    bool signedIn = true;
    int tokenRequests = 0;
    std::optional<Error> tokenError;
    bool isSignedIn() const override { return signedIn; }
    QCoro::Task<Result<void>> signIn() override { co_return Result<void>(); }
    QCoro::Task<Result<QString>> validAccessToken() override
    {
        ++tokenRequests;
        if (tokenError)
            co_return Error(*tokenError);
        co_return QStringLiteral("drive-token");
    }
};

struct Sweep : LoopbackHttp {
    BackendAPI backend{&http, server.url(), [] { return QStringLiteral("api-key"); }, nullptr};
    FakeGoogle google;
    CloudCleanup cleanup{&http, Endpoints::allAt(server.url()), &google, nullptr};
    QStringList lines;
    std::unique_ptr<DriveCleaner> cleaner;

    explicit Sweep(std::chrono::milliseconds firstDelay = 15s, std::chrono::milliseconds period = 6h)
    {
        DriveCleaner::Options options;
        options.firstDelay = firstDelay;
        options.period = period;
        options.print = [this](const QString &line) { lines.append(line); };
        cleaner = std::make_unique<DriveCleaner>(&backend, &cleanup, &google, &google, options);
        cleanup.setRetryPause([](std::chrono::milliseconds) -> QCoro::Task<void> { co_return; });
        server.route("POST", "/api/delete.php", Response::json(200, "{}"));
    }
    void expired(const QByteArray &items)
    {
        server.route("GET", "/api/expired.php", Response::json(200, "{\"count\":3,\"items\":[" + items + "]}"));
    }
    QStringList reported() const
    {
        QStringList tokens;
        for (const auto &r : server.requests("POST", "/api/delete.php"))
            tokens.append(QJsonDocument::fromJson(r.body).object().value("token").toString());
        return tokens;
    }
};

// A token source that answers with its token, or fails as a signed-out one when it has none.
class Tokens : public AccessTokenSource
{
public:
    QString token;
    explicit Tokens(QString token)
        : token(std::move(token))
    {
    }
    QCoro::Task<Result<QString>> validAccessToken() override
    {
        if (token.isEmpty())
            co_return Error{QStringLiteral("auth"), 1, QStringLiteral("Not signed in.")};
        co_return QString(token);
    }
};

QJsonObject jsonBody(const FakeServer::Request &request)
{
    return QJsonDocument::fromJson(request.body).object();
}

// The HTTP layer and a fake provider for a deleted link's cloud file.
using Files = LoopbackHttp;

const QString dropboxUnreachable = QStringLiteral("We removed the share link, but couldn't reach Dropbox to delete the file. It's still in "
                                                  "the Vendrel2App folder in your Dropbox \u2014 clean up manually if needed.");
const QString dropboxSignIn = QStringLiteral("We removed the share link, but couldn't clean up the file in your Dropbox (sign-in issue). "
                                             "You can delete it manually from the Vendrel2App folder in Dropbox.");
const QString driveUnreachable = QStringLiteral("We removed the share link, but couldn't reach Google Drive to delete the file. It's still "
                                                "in the Vendrel folder in your Drive \u2014 clean up manually if needed.");
const QString driveSignIn = QStringLiteral("We removed the share link, but couldn't clean up the file in your Google Drive (sign-in "
                                           "issue). You can delete it manually from the Vendrel folder in Drive.");

const QByteArray threeItems = "{\"token\":\"t1\",\"drive_file_id\":\"f1\"},{\"token\":\"t2\",\"drive_file_id\":\"f2\"},"
                              "{\"token\":\"t3\",\"drive_file_id\":\"f3\"}";

} // namespace

class TestCloudFiles : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void oneFailingItemDoesNotStopThePass()
    {
        Sweep s;
        s.expired(threeItems);
        s.server.route("DELETE", "/drive/v3/files/f1", Response::json(204, ""));
        s.server.route("DELETE", "/drive/v3/files/f2", Response::json(403, "{\"error\":\"forbidden\"}"));
        s.server.route("DELETE", "/drive/v3/files/f3", Response::json(200, ""));
        awaitTask(s.cleaner->sweep());
        QCOMPARE(s.lines,
                 (QStringList{"DriveCleaner: sweeping 3 expired item(s)",
                              "DriveCleaner: failed for t2: Drive HTTP 403: {\"error\":\"forbidden\"}"}));
        QCOMPARE(s.reported(), (QStringList{"t1", "t3"}));
        QCOMPARE(s.google.tokenRequests, 4); // the pass's check, then the current token for each file
        QVERIFY(!s.cleaner->isRunning());
    }

    // One expired link, however its pass goes: what the log says, which links are reported gone,
    // and how many requests went out.
    void onePass_data()
    {
        QTest::addColumn<QString>("google"); // "signed out", "no token", or "": signed in
        QTest::addColumn<int>("driveStatus");
        QTest::addColumn<QByteArray>("report"); // the service's answer to the report: "status body"
        QTest::addColumn<QStringList>("lines");
        QTest::addColumn<int>("requests");
        const QString sweeping = QStringLiteral("DriveCleaner: sweeping 1 expired item(s)");
        row("not signed in: nothing sent", QStringLiteral("signed out"), 204, QByteArray("200 {}"), QStringList(), 0);
        row("no token: the pass is skipped", QStringLiteral("no token"), 204, QByteArray("200 {}"),
            QStringList{sweeping, "DriveCleaner: no access token, skipping: Could not refresh access token — please sign in again."}, 1);
        row("file already gone: reported quietly", QString(), 404, QByteArray("500 report failed"), QStringList{sweeping}, 3);
        row("failed report: logged", QString(), 204, QByteArray("500 \xff\xfe"),
            QStringList{sweeping, "DriveCleaner: failed for t1: Backend HTTP 500: "}, 3);
    }
    void onePass()
    {
        QFETCH(QString, google);
        QFETCH(int, driveStatus);
        QFETCH(QByteArray, report);
        Sweep s;
        s.google.signedIn = google != "signed out";
        if (google == "no token")
            s.google.tokenError
                = Error{GoogleAuthError::domain, 4, QStringLiteral("Could not refresh access token — please sign in again.")};
        s.expired("{\"token\":\"t1\",\"drive_file_id\":\"f1\"}");
        s.server.route("DELETE", "/drive/v3/files/f1", Response::json(driveStatus, ""));
        s.server.route("POST", "/api/delete.php", Response::text(report.left(3).toInt(), report.mid(4)));
        awaitTask(s.cleaner->sweep());
        QTEST(s.lines, "lines");
        QTEST(int(s.server.requests().size()), "requests");
        QCOMPARE(s.reported(), s.server.requests().size() == 3 ? QStringList{"t1"} : QStringList()); // sent, whatever the answer
        if (google == "signed out")
            QCOMPARE(s.google.tokenRequests, 0);
    }

    void passEndsEarly_data()
    {
        QTest::addColumn<int>("status");
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<QString>("line"); // empty: silent
        row("service error", 500, QByteArray("down"), "DriveCleaner: fetchExpired failed: Backend HTTP 500: down");
        row("empty list", 200, QByteArray("{\"count\":0,\"items\":[]}"), "");
        row("count missing", 200, QByteArray("{\"items\":[]}"),
            "DriveCleaner: fetchExpired failed: The service's answer couldn't be read: count is missing.");
        row("item without file", 200, QByteArray("{\"count\":1,\"items\":[{\"token\":\"t\"}]}"),
            "DriveCleaner: fetchExpired failed: The service's answer couldn't be read: items[0].drive_file_id is missing.");
    }
    void passEndsEarly()
    {
        QFETCH(int, status);
        QFETCH(QByteArray, body);
        QFETCH(QString, line);
        Sweep s;
        s.server.route("GET", "/api/expired.php", Response::json(status, body));
        awaitTask(s.cleaner->sweep());
        QCOMPARE(s.lines, line.isEmpty() ? QStringList() : QStringList{line});
        QCOMPARE(s.google.tokenRequests, 0);
        QCOMPARE(s.server.requests().size(), 1);
    }

    void passesDoNotOverlap()
    {
        Sweep s;
        s.server.route("GET", "/api/expired.php", Response::delayed(200, Response::json(200, "{\"count\":0,\"items\":[]}")));
        QCoro::Task<void> first = s.cleaner->sweep();
        QVERIFY(s.cleaner->isRunning());
        awaitTask(s.cleaner->sweep()); // returns at once
        awaitTask(std::move(first));
        QCOMPARE(s.server.requests().size(), 1);
        QVERIFY(!s.cleaner->isRunning());
    }

    // A deleted link's cloud file: what each answer of Drive or Dropbox leaves the user to read.
    void cloudFileCleanup_data()
    {
        QTest::addColumn<QString>("provider");
        QTest::addColumn<QString>("cloudAnswer"); // "status body", "no token", "unreachable"
        QTest::addColumn<QString>("message"); // empty: none
        row("drive 204", "google", "204 ", "");
        row("drive 404", "google", "404 gone", "");
        row("drive 410", "", "410 ", "");
        row("drive 401", "google", "401 ", driveSignIn);
        row("drive 403", "google", "403 ", driveSignIn);
        row("drive 200", "google", "200 {}",
            "We removed the share link, but Google Drive returned an unexpected response (HTTP 200). You may "
            "want to remove the file manually from the Vendrel folder in Drive.");
        row("drive 500", "other", "500 x",
            "We removed the share link, but Google Drive returned an unexpected response (HTTP 500). You may "
            "want to remove the file manually from the Vendrel folder in Drive.");
        row("drive no token", "google", "no token", driveUnreachable);
        row("drive unreachable", "google", "unreachable", driveUnreachable);
        row("dropbox 200", "dropbox", "200 {}", "");
        row("Dropbox 409 not found", "Dropbox", "409 {\"error_summary\":\"path_lookup/not_found/..\"}", "");
        // Any other refusal leaves the file, and its public link, in place.
        row("dropbox 409 no permission", "dropbox", "409 {\"error_summary\":\"path_write/no_write_permission/..\"}",
            "We removed the share link, but Dropbox returned an error: "
            "path_write/no_write_permission/... You may want to remove the file manually.");
        row("dropbox 409 malformed", "dropbox", "409 {\"error_summary\":\"path_lookup/malformed_path/.\"}",
            "We removed the share link, but Dropbox returned an error: path_lookup/malformed_path/.. "
            "You may want to remove the file manually.");
        row("dropbox 409 plain", "dropbox", "409 {}", "We removed the share link, but Dropbox returned an unexpected response (HTTP 409).");
        row("dropbox 401", "dropbox", "401 ", dropboxSignIn);
        row("dropbox 403", "DROPBOX", "403 ", dropboxSignIn);
        row("dropbox 500 summary", "dropbox", "500 {\"error_summary\":\"path_lookup/not_found/..\"}",
            "We removed the share link, but Dropbox returned an error: path_lookup/not_found/... You "
            "may want to remove the file manually.");
        row("dropbox 500 plain", "dropbox", "500 oops",
            "We removed the share link, but Dropbox returned an unexpected response (HTTP 500).");
        row("dropbox no token", "dropbox", "no token", dropboxUnreachable);
        row("dropbox unreachable", "dropbox", "unreachable", dropboxUnreachable);
    }
    void cloudFileCleanup()
    {
        QFETCH(QString, provider);
        QFETCH(QString, cloudAnswer);
        QFETCH(QString, message);
        Files c;
        Tokens google(cloudAnswer == "no token" ? QString() : QStringLiteral("g-token"));
        Tokens dropbox(cloudAnswer == "no token" ? QString() : QStringLiteral("d-token"));
        Endpoints endpoints = Endpoints::allAt(c.server.url());
        if (cloudAnswer == "unreachable") {
            QTcpServer probe;
            QVERIFY(probe.listen(QHostAddress::LocalHost));
            endpoints.googleApiUrl = endpoints.dropboxApiUrl = QUrl(QStringLiteral("http://127.0.0.1:%1").arg(probe.serverPort()));
        }
        CloudCleanup cleanup(&c.http, endpoints, &google, &dropbox);
        int pauses = 0; // temporary failures are tried again, without the waits here
        cleanup.setRetryPause([&pauses](std::chrono::milliseconds) -> QCoro::Task<void> {
            ++pauses;
            co_return;
        });
        const bool isDropbox = provider.toLower() == "dropbox";
        const int space = cloudAnswer.indexOf(' ');
        const int status = cloudAnswer.left(space).toInt();
        const QByteArray body = cloudAnswer.mid(space + 1).toUtf8();
        if (isDropbox)
            c.server.route("POST", "/2/files/delete_v2", Response::json(status, body));
        else
            c.server.route("DELETE", "/drive/v3/files/file-1", Response::json(status, body));

        const QString fileID = isDropbox ? QStringLiteral("/ABCDEF123456/a.pdf") : QStringLiteral("file-1");
        QCOMPARE(awaitTask(cleanup.clean(fileID, provider)).value_or(QString()), message);
        if (cloudAnswer.front().isDigit() && isDropbox) {
            const FakeServer::Request cloud = c.server.requests("POST", "/2/files/delete_v2").value(0);
            QCOMPARE(cloud.header("Authorization"), QByteArray("Bearer d-token"));
            QCOMPARE(cloud.header("Content-Type"), QByteArray("application/json"));
            QCOMPARE(jsonBody(cloud), (QJsonObject{{"path", fileID}}));
        } else if (cloudAnswer.front().isDigit()) {
            QCOMPARE(c.server.requests("DELETE", "/drive/v3/files/file-1").value(0).header("Authorization"), QByteArray("Bearer g-token"));
        }
        QCOMPARE(pauses > 0, status >= 500 || cloudAnswer == "unreachable");
    }

    void startTwiceKeepsOneSchedule()
    {
        Sweep s(100ms, 1500ms);
        s.expired("");
        s.cleaner->start();
        QTest::qWait(30);
        s.cleaner->start(); // replaces the first schedule
        QTRY_COMPARE(s.server.requests("GET", "/api/expired.php").size(), 1);
        // A second live schedule would sweep within 30 ms of the first; the next pass of the one
        // schedule comes a full period (1.5 s) after the first ends.
        QTest::qWait(300);
        QCOMPARE(s.server.requests("GET", "/api/expired.php").size(), 1);
        QTRY_COMPARE_WITH_TIMEOUT(s.server.requests("GET", "/api/expired.php").size(), 2, 6000);
        QTRY_VERIFY(!s.cleaner->isRunning()); // a pass cut off by the end of the test would strand its frame
    }
};

QTEST_GUILESS_MAIN(TestCloudFiles)
#include "tst_cloudfiles.moc"
