#include "cloud/googleauth.h"
#include "fakeserver.h"
#include "links/cloudcleanup.h"
#include "links/drivecleaner.h"
#include "platform/milestone.h"
#include "service/backendapi.h"
#include "testutil.h"

#include <QJsonDocument>
#include <QNetworkAccessManager>
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

struct Sweep {
    FakeServer server;
    QNetworkAccessManager network;
    Http http{&network, 2000ms};
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

const QByteArray threeItems = "{\"token\":\"t1\",\"drive_file_id\":\"f1\"},{\"token\":\"t2\",\"drive_file_id\":\"f2\"},"
                              "{\"token\":\"t3\",\"drive_file_id\":\"f3\"}";

} // namespace

class TestDriveCleaner : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    // The first sweep comes at start: it waits for the stored service key to be read.
    void waitsUntilTheKeyIsRead()
    {
        Sweep s;
        Milestone read;
        s.backend.setKeyRead([&read] { return read.reached(); });
        s.expired(threeItems);
        s.server.route("DELETE", "/drive/v3/files/f1", Response::json(204, ""));
        s.server.route("DELETE", "/drive/v3/files/f2", Response::json(204, ""));
        s.server.route("DELETE", "/drive/v3/files/f3", Response::json(204, ""));
        QCoro::Task<void> sweep = s.cleaner->sweep();
        QTest::qWait(100);
        QVERIFY(s.server.requests().isEmpty());
        read.reach();
        awaitTask(std::move(sweep));
        QCOMPARE(s.reported(), (QStringList{"t1", "t2", "t3"}));
    }

    void notSignedInSendsNothing()
    {
        Sweep s;
        s.google.signedIn = false;
        s.expired(threeItems);
        awaitTask(s.cleaner->sweep());
        QVERIFY(s.server.requests().isEmpty());
        QVERIFY(s.lines.isEmpty());
        QCOMPARE(s.google.tokenRequests, 0);
    }

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

        const FakeServer::Request fetch = s.server.requests("GET", "/api/expired.php").value(0);
        QCOMPARE(fetch.header("X-Api-Key"), QByteArray("api-key"));
        QCOMPARE(s.server.requests("DELETE", "/drive/v3/files/f1").value(0).header("Authorization"), QByteArray("Bearer drive-token"));
        const FakeServer::Request report = s.server.requests("POST", "/api/delete.php").value(0);
        QCOMPARE(report.header("Content-Type"), QByteArray("application/json"));
        QCOMPARE(report.header("X-Api-Key"), QByteArray("api-key"));
        QCOMPARE(QJsonDocument::fromJson(report.body).object().keys(), QStringList{"token"});
        QVERIFY(!s.cleaner->isRunning());
    }

    void fileAlreadyGoneIsReportedQuietly()
    {
        Sweep s;
        s.expired("{\"token\":\"t1\",\"drive_file_id\":\"f1\"}");
        s.server.route("DELETE", "/drive/v3/files/f1", Response::json(404, "not found"));
        s.server.route("POST", "/api/delete.php", Response::text(500, "report failed"));
        awaitTask(s.cleaner->sweep());
        QCOMPARE(s.reported(), QStringList{"t1"});
        QCOMPARE(s.lines, QStringList{"DriveCleaner: sweeping 1 expired item(s)"});
    }

    void failedReportIsLogged()
    {
        Sweep s;
        s.expired("{\"token\":\"t1\",\"drive_file_id\":\"f1\"}");
        s.server.route("DELETE", "/drive/v3/files/f1", Response::json(204, ""));
        s.server.route("POST", "/api/delete.php", Response::text(500, "\xff\xfe"));
        awaitTask(s.cleaner->sweep());
        QCOMPARE(s.lines.value(1), QStringLiteral("DriveCleaner: failed for t1: Backend HTTP 500: "));
    }

    void passEndsEarly_data()
    {
        QTest::addColumn<int>("status");
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<QString>("line"); // empty: silent
        QTest::newRow("service error") << 500 << QByteArray("down") << "DriveCleaner: fetchExpired failed: Backend HTTP 500: down";
        QTest::newRow("empty list") << 200 << QByteArray("{\"count\":0,\"items\":[]}") << "";
        QTest::newRow("count missing") << 200 << QByteArray("{\"items\":[]}")
                                       << "DriveCleaner: fetchExpired failed: The service's answer couldn't be read: count is missing.";
        QTest::newRow("item without file")
            << 200 << QByteArray("{\"count\":1,\"items\":[{\"token\":\"t\"}]}")
            << "DriveCleaner: fetchExpired failed: The service's answer couldn't be read: items[0].drive_file_id is missing.";
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

    void noTokenSkipsThePass()
    {
        Sweep s;
        s.expired(threeItems);
        s.google.tokenError = Error{GoogleAuthError::domain, 4, QStringLiteral("Could not refresh access token — please sign in again.")};
        awaitTask(s.cleaner->sweep());
        QCOMPARE(s.lines.value(1),
                 QStringLiteral("DriveCleaner: no access token, skipping: Could not refresh access token — please sign in again."));
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

QTEST_GUILESS_MAIN(TestDriveCleaner)
#include "tst_drivecleaner.moc"
