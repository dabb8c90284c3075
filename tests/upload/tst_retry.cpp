#include "cloud/driveuploader.h"
#include "fakeserver.h"
#include "platform/http.h"
#include "testutil.h"
#include "upload/retry.h"
#include "upload/uploaderror.h"

#include <QNetworkAccessManager>
#include <QTcpServer>
#include <QTest>
#include <qcoro/qcorotask.h>

using namespace std::chrono_literals;

namespace {

// Records the pauses asked for instead of sleeping.
struct PauseRecorder {
    QList<qint64> seconds;
    Retry::Pause pause()
    {
        return [this](std::chrono::milliseconds s) -> QCoro::Task<void> {
            seconds.append(s.count() / 1000);
            co_return;
        };
    }
};

// A fixed sequence of outcomes, one per attempt.
struct ScriptedOperation {
    QList<Result<int>> outcomes;
    int calls = 0;
    std::function<QCoro::Task<Result<int>>()> operation()
    {
        return [this]() -> QCoro::Task<Result<int>> {
            const Result<int> outcome = outcomes.value(calls, outcomes.last());
            ++calls;
            co_return outcome;
        };
    }
};

Error transport(int code)
{
    return Error{ErrorDomain::transport, code, QStringLiteral("transport failure %1").arg(code)};
}

} // namespace

class TestRetry : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    // Transport failures over loopback, as the network gives them: an answer too late (twice,
    // then one in time), a connection dropped on every try, a port nobody listens on. Each is tried
    // three times at most, waiting 1 s then 3 s, and said without the request's query.
    void transportFailuresAreTriedThreeTimes_data()
    {
        QTest::addColumn<QString>("failure");
        QTest::addColumn<int>("code"); // of the last failure; 0: the third try succeeds
        row("timed out twice", QStringLiteral("timeout"), 0);
        row("dropped", QStringLiteral("drop"), int(TransportCode::networkConnectionLost));
        row("refused", QStringLiteral("refused"), int(TransportCode::cannotConnectToHost));
    }
    void transportFailuresAreTriedThreeTimes()
    {
        QFETCH(QString, failure);
        QFETCH(int, code);
        FakeServer server;
        using Response = FakeServer::Response;
        const Response late = Response::delayed(2000, Response::text(200, "late"));
        if (failure == "timeout") {
            server.enqueue("POST", QStringLiteral("/upload"), late);
            server.enqueue("POST", QStringLiteral("/upload"), late);
            server.route("POST", QStringLiteral("/upload"), Response::text(200, "on time"));
        } else {
            server.route("POST", QStringLiteral("/upload"), Response::dropped());
        }
        QUrl url(server.url().toString() + QStringLiteral("/upload?upload_id=SECRET"));
        if (failure == "refused") { // a port that was just free: nothing listens there
            QTcpServer probe;
            QVERIFY(probe.listen(QHostAddress::LocalHost));
            url.setPort(probe.serverPort());
        }
        QNetworkAccessManager manager;
        Http http(&manager, failure == "timeout" ? 300ms : 5000ms, FakeServer::testCaPem());
        PauseRecorder pauses;
        int attempts = 0;
        LogCapture log;
        std::function<QCoro::Task<Result<HttpResponse>>()> attempt = [&] {
            ++attempts;
            return http.send(QNetworkRequest(url), "POST", "payload");
        };
        const Result<HttpResponse> result = awaitTask(withRetry(attempt, pauses.pause()));
        QCOMPARE(attempts, 3);
        QCOMPARE(pauses.seconds, (QList<qint64>{1, 3})); // no third pause
        const QStringList lines = log.linesContaining(QStringLiteral("transient network error"));
        QCOMPARE(lines.size(), 2);
        QVERIFY2(lines[0].contains(QStringLiteral("com.quorvane.vendrel.upload: transient network error (attempt 1/3) — retrying in 1s: ")),
                 qPrintable(lines[0]));
        QVERIFY2(lines[1].contains(QStringLiteral("(attempt 2/3) — retrying in 3s: ")), qPrintable(lines[1]));
        if (code == 0) {
            QVERIFY2(result, qPrintable(result ? QString() : result.error().description));
            QCOMPARE(result->body, QByteArray("on time"));
            return;
        }
        QVERIFY(!result);
        QCOMPARE(result.error().domain, ErrorDomain::transport);
        QCOMPARE(result.error().code, code);
        QVERIFY2(!result.error().description.contains(QStringLiteral("SECRET")), qPrintable(result.error().description));
        if (failure == "drop")
            QCOMPARE(userMessage(result.error()), QStringLiteral("Connection dropped during upload. Check your network and try again."));
    }

    // A 503 storm: five answers end the operation with the last one, after four waits that grow
    // 1, 2, 4, 8 s, each shortened at random by at most half. A Retry-After (seconds or an HTTP
    // date) is waited for as given, up to the longest honoured. The storm through a real server
    // is in the end-to-end tests.
    void throttledAnswersBackOffWithinTheirBound()
    {
        QList<qint64> waits;
        int attempts = 0;
        std::function<QCoro::Task<Result<int>>()> once = [&]() -> QCoro::Task<Result<int>> {
            ++attempts;
            co_return throttling(Error{QStringLiteral("service"), 503, QStringLiteral("Backend HTTP 503: busy")},
                                 HttpResponse{503, {}, "busy"});
        };
        const Retry::Pause record = [&waits](std::chrono::milliseconds wait) -> QCoro::Task<void> {
            waits.append(wait.count());
            co_return;
        };
        QVERIFY(!awaitTask(withRetry(once, record)));
        QCOMPARE(attempts, Retry::maxThrottledAnswers);
        QCOMPARE(waits.size(), 4);
        for (int i = 0; i < waits.size(); ++i) {
            const qint64 full = qint64(1000) << i;
            QVERIFY2(waits[i] >= full / 2 && waits[i] <= full, qPrintable(QString::number(waits[i])));
        }

        const QDateTime now = QDateTime::fromString(QStringLiteral("2026-12-07T10:00:00Z"), Qt::ISODate);
        QCOMPARE(retryAfterDelay("2", now), std::optional(std::chrono::milliseconds(2000)));
        QCOMPARE(retryAfterDelay("Mon, 07 Dec 2026 10:00:30 GMT", now), std::optional(std::chrono::milliseconds(30000)));
        QCOMPARE(retryAfterDelay("soon", now), std::nullopt);
        Error asked{QStringLiteral("service"), 429, QStringLiteral("x")};
        asked.throttled = true;
        asked.retryAfter = std::chrono::milliseconds(2000);
        QCOMPARE(Retry::throttledWait(asked, 1), std::chrono::milliseconds(2000));
        asked.retryAfter = std::chrono::hours(1);
        QCOMPARE(Retry::throttledWait(asked, 1), Retry::longestRetryAfter);

        // Drive words its rate limits as 403 with a reason; other 403s are refusals.
        const auto drive403 = [](const QByteArray &reason) {
            return DriveError::http(
                HttpResponse{403, {{"Retry-After", "3"}}, "{\"error\":{\"errors\":[{\"reason\":\"" + reason + "\"}]}}"});
        };
        QVERIFY(drive403("userRateLimitExceeded").throttled);
        QCOMPARE(drive403("rateLimitExceeded").retryAfter, std::optional(std::chrono::milliseconds(3000)));
        QVERIFY(!drive403("insufficientFilePermissions").throttled);
    }

    void onlyTransientCodesAreRetried_data()
    {
        QTest::addColumn<int>("code");
        QTest::addColumn<int>("attempts");
        QTest::addColumn<QString>("message");
        const QString dropped = QStringLiteral("Connection dropped during upload. Check your network and try again.");
        const QString secure = QStringLiteral("Network issue — the secure connection failed. Try a different network "
                                              "(WiFi vs ethernet) or check for a captive-portal sign-in page.");
        row("-1009 offline", -1009, 1, "You're offline. Reconnect and try again.");
        row("-1003 host not found", -1003, 1, dropped);
        row("-1200 secure connection", -1200, 3, secure);
        row("-1202 untrusted", -1202, 1, secure);
        row("-1205 client certificate", -1205, 1, secure);
        row("-1001 timed out", -1001, 3, dropped);
        row("-1004 cannot connect", -1004, 3, dropped);
        row("-999 cancelled", -999, 1, "transport failure -999");
    }
    void onlyTransientCodesAreRetried()
    {
        QFETCH(int, code);
        QFETCH(int, attempts);
        QFETCH(QString, message);
        ScriptedOperation op{{transport(code)}};
        PauseRecorder pauses;
        const Result<int> result = awaitTask(withRetry(op.operation(), pauses.pause()));
        QVERIFY(!result);
        QCOMPARE(op.calls, attempts);
        QCOMPARE(pauses.seconds.size(), attempts - 1);
        QCOMPARE(result.error().code, code);
        QCOMPARE(userMessage(result.error()), message);
    }

    void urlQueriesAreCutFromDescriptions()
    {
        const Error e
            = transportError(QNetworkReply::RemoteHostClosedError,
                             QStringLiteral("Error transferring https://host/upload/drive/v3/files?upload_id=ABC&x=1 - server replied: "));
        QCOMPARE(e.description, QStringLiteral("Error transferring https://host/upload/drive/v3/files - server replied: "));
    }

    void nonNetworkErrorsPassAtOnce()
    {
        const Error backend{QStringLiteral("backend"), 404, QStringLiteral("Backend HTTP 404: gone")};
        ScriptedOperation op{{backend, 7}};
        const Result<int> result = awaitTask(withRetry(op.operation(), PauseRecorder().pause()));
        QVERIFY(!result);
        QCOMPARE(op.calls, 1);
        QCOMPARE(userMessage(result.error()), QStringLiteral("Backend HTTP 404: gone"));
        // The same code in another domain is not a transport error.
        ScriptedOperation other{{Error{QStringLiteral("drive"), -1001, QStringLiteral("odd")}}};
        QVERIFY(!awaitTask(withRetry(other.operation(), PauseRecorder().pause())));
        QCOMPARE(other.calls, 1);
    }
};

QTEST_GUILESS_MAIN(TestRetry)
#include "tst_retry.moc"
