// The byte uploads over TLS on loopback, through the same uploaders and HTTP layer production
// runs: honest progress against a slow server, bounded memory, answers framed every way HTTP/1.1
// allows, resets, early refusals, certificate trust, the proxy environment and cancellation.

#include "cloud/driveuploader.h"
#include "cloud/dropboxuploader.h"
#include "cloud/googleauth.h"
#include "cloudstandins.h"
#include "fakeserver.h"
#include "platform/blockingwait.h"
#include "platform/http.h"
#include "platform/proxy.h"
#include "testutil.h"
#include "upload/retry.h"

#include <QCoreApplication>
#include <QFile>
#include <QNetworkAccessManager>
#include <QProcess>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <cstring>
#include <net/if.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

using namespace std::chrono_literals;
using Response = FakeServer::Response;

namespace {

constexpr qint64 MiB = 1 << 20;

// A file of `size` bytes of a repeating pattern (so the server's hash can be checked).
QString patternFile(const QTemporaryDir &dir, const QString &name, qint64 size)
{
    const QString path = dir.filePath(name);
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        qFatal("cannot write %s", qPrintable(path));
    QByteArray block(MiB, Qt::Uninitialized);
    for (qsizetype i = 0; i < block.size(); ++i)
        block[i] = char((i * 7 + i / 4096) % 251);
    for (qint64 left = size; left > 0; left -= block.size())
        file.write(block.constData(), std::min<qint64>(left, block.size()));
    return path;
}

QByteArray sha256Of(const QString &path)
{
    QFile file(path);
    file.open(QIODevice::ReadOnly);
    QCryptographicHash hash(QCryptographicHash::Sha256);
    hash.addData(&file);
    return hash.result();
}

// Brings the loopback interface of this process's network namespace up.
bool raiseLoopback()
{
    const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
    if (fd < 0)
        return false;
    struct ifreq request {};
    std::strncpy(request.ifr_name, "lo", IFNAMSIZ - 1);
    bool up = ::ioctl(fd, SIOCGIFFLAGS, &request) == 0;
    request.ifr_flags |= IFF_UP | IFF_RUNNING;
    up = up && ::ioctl(fd, SIOCSIFFLAGS, &request) == 0;
    ::close(fd);
    return up;
}

// What a user reads after a small request and a file upload to `url`, through both engines.
QStringList wordingFor(const QUrl &url, QStringList *codes)
{
    QNetworkAccessManager network;
    Http http(&network, 5s);
    QTemporaryDir dir;
    const QString path = dir.filePath("f.bin");
    writeFile(path, "bytes");
    QFile file(path);
    file.open(QIODevice::ReadOnly);
    const Result<HttpResponse> small = awaitTask(http.send(QNetworkRequest(url), "GET"));
    const Result<HttpResponse> bulk = awaitTask(http.sendFile("PUT", url, {}, &file, 0, 5));
    QStringList out;
    for (const Result<HttpResponse> *result : {&small, &bulk}) {
        out.append(*result ? QStringLiteral("answered") : userMessage(result->error()));
        if (codes)
            codes->append(*result ? QString() : QString::number(result->error().code));
    }
    return out;
}

bool underAddressSanitizer()
{
#if defined(__SANITIZE_ADDRESS__)
    return true;
#else
    return false;
#endif
}

// Peak resident memory since resetPeakMemory(), in MiB.
void resetPeakMemory()
{
    QFile clear(QStringLiteral("/proc/self/clear_refs"));
    if (clear.open(QIODevice::WriteOnly))
        clear.write("5");
}
qint64 peakMemoryMiB()
{
    QFile status(QStringLiteral("/proc/self/status"));
    status.open(QIODevice::ReadOnly);
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (line.startsWith("VmHWM:"))
            return line.mid(6).trimmed().split(' ').value(0).toLongLong() / 1024;
    }
    return -1;
}

// Each progress report next to what the server had read when it arrived.
struct ProgressLog {
    const FakeServer *server = nullptr;
    qint64 size = 0;
    QList<QPair<double, qint64>> reports;

    ProgressCallback callback()
    {
        return [this](double fraction) { reports.append({fraction, server->sunkBytes()}); };
    }
    // The largest distance between a report and the server's count, as a share of the size.
    double worstGap() const
    {
        double worst = 0;
        for (const auto &[fraction, received] : reports)
            worst = std::max(worst, std::abs(fraction * double(size) - double(received)) / double(size));
        return worst;
    }
    int completeReports() const
    {
        return int(std::count_if(reports.begin(), reports.end(), [](const auto &r) { return r.first >= 1.0; }));
    }
};

Response sinking(Response response)
{
    response.sinkBody = true;
    return response;
}

struct Drive : DriveStandIn {
    Result<CloudUploadResult> upload(const QString &path, ProgressCallback progress = {})
    {
        return awaitTask(uploader.upload(path, "application/octet-stream", std::move(progress)));
    }
    // Through the queue's retry, without its pauses: a misread answer would be sent again.
    Result<CloudUploadResult> uploadWithRetry(const QString &path)
    {
        std::function<QCoro::Task<Result<CloudUploadResult>>()> once
            = [this, path] { return uploader.upload(path, "application/octet-stream", {}); };
        return awaitTask(withRetry(once, [](std::chrono::milliseconds) -> QCoro::Task<void> { co_return; }));
    }
};

} // namespace

class TestBulkTransfer : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    // Against a server that reads 1.5 MiB a second: every report is within 2 % of what the
    // server has read, 1.0 comes once and last, and memory stays bounded.
    void slowServerGetsHonestProgress_data()
    {
        QTest::addColumn<bool>("dropbox");
        QTest::addColumn<qint64>("size");
        row("Drive, 100 MiB in one PUT", false, 100 * MiB);
        row("Dropbox, 40 MiB in 8 MiB chunks", true, 40 * MiB);
    }
    void slowServerGetsHonestProgress()
    {
        QFETCH(bool, dropbox);
        QFETCH(qint64, size);
        Drive d;
        const QString path = patternFile(d.files, "big.bin", size);
        const auto slow = [](const QByteArray &answer) {
            Response response = sinking(Response::json(200, answer));
            response.readBytesPerSecond = 3 * MiB / 2;
            return response;
        };
        d.server.route("PUT", "/session", slow("{\"id\":\"file-9\"}"));
        d.server.route("POST", "/2/files/upload_session/start", Response::json(200, "{\"session_id\":\"s\"}"));
        d.server.route("POST", "/2/files/upload_session/append_v2", slow("null"));
        d.server.route("POST", "/2/files/upload_session/finish", slow("{\"id\":\"id:1\"}"));
        d.server.route("POST", "/2/sharing/create_shared_link_with_settings",
                       Response::json(200, "{\"url\":\"https://dbx.test/s/x?dl=0\"}"));
        DropboxUploader chunked(&d.http, Endpoints::allAt(d.server.url()), &d.token, 8 * MiB);
        ProgressLog log{&d.server, size, {}};

        resetPeakMemory();
        const Result<CloudUploadResult> result
            = dropbox ? awaitTask(chunked.upload(path, {}, log.callback())) : d.upload(path, log.callback());
        const qint64 peak = peakMemoryMiB();
        QVERIFY2(result, qPrintable(result ? QString() : result.error().description));

        QCOMPARE(d.server.sunkBytes(), size);
        if (dropbox)
            QCOMPARE(d.server.requests("POST", "/2/files/upload_session/append_v2").size(), 4);
        else
            QCOMPARE(d.server.requests("PUT", "/session").value(0).bodySha256, sha256Of(path));
        QVERIFY2(log.reports.size() > 50, qPrintable(QString::number(log.reports.size())));
        QVERIFY2(log.worstGap() <= 0.02, qPrintable(QStringLiteral("progress ran %1 % away from the server").arg(log.worstGap() * 100)));
        QCOMPARE(log.reports.last().first, 1.0);
        QCOMPARE(log.completeReports(), 1);
        qInfo("worst gap %.2f %% of the file, peak memory %lld MiB", log.worstGap() * 100, peak);
        if (!underAddressSanitizer()) // it keeps freed memory
            QVERIFY2(peak < 64, qPrintable(QStringLiteral("peak memory %1 MiB").arg(peak)));
    }

    void earlyRefusalNeverShowsComplete()
    {
        Drive d;
        const QString path = patternFile(d.files, "refused.bin", 20 * MiB);
        Response refusal = sinking(Response::json(400, "{\"error\":\"too big\"}"));
        refusal.answerAfterBodyBytes = 2 * MiB;
        d.server.route("PUT", "/session", refusal);
        ProgressLog log{&d.server, 20 * MiB, {}};
        const Result<CloudUploadResult> result = d.upload(path, log.callback());
        QVERIFY(!result);
        QCOMPARE(result.error().description, QStringLiteral("Drive HTTP 400: {\"error\":\"too big\"}"));
        // How far the client got before it read the refusal depends on the machine's load (half
        // the file has been seen on a busy one); it must stop well short of the end, and no
        // report may claim the whole file.
        QCOMPARE(log.completeReports(), 0);
        for (const auto &report : log.reports)
            QVERIFY2(report.first < 0.9, qPrintable(QString::number(report.first)));
    }

    void answersFramedAnyWaySucceedOnce_data()
    {
        QTest::addColumn<int>("framing");
        row("chunked", int(Response::Framing::chunked));
        row("close-delimited", int(Response::Framing::closeDelimited));
        row("content-length", int(Response::Framing::contentLength));
    }
    void answersFramedAnyWaySucceedOnce()
    {
        QFETCH(int, framing);
        Drive d;
        Response answer = sinking(Response::json(200, "{\"id\":\"file-9\",\"name\":\"framed.bin\"}"));
        answer.framing = Response::Framing(framing);
        d.server.route("PUT", "/session", answer);
        const Result<CloudUploadResult> result = d.uploadWithRetry(patternFile(d.files, "framed.bin", 3 * MiB));
        QVERIFY2(result, qPrintable(result ? QString() : result.error().description));
        QCOMPARE(result->providerFileID, QStringLiteral("file-9"));
        QCOMPARE(d.server.requests("PUT", "/session").size(), 1);
    }

    void resetPartWayIsRetriedAndSucceeds()
    {
        Drive d;
        const qint64 size = 12 * MiB;
        const QString path = patternFile(d.files, "reset.bin", size);
        Response reset = sinking(Response::json(200, "{}"));
        reset.resetAfterBodyBytes = 5 * MiB;
        d.server.enqueue("PUT", "/session", reset);
        d.server.route("PUT", "/session", sinking(Response::json(200, "{\"id\":\"file-9\"}")));
        LogCapture logs;
        const Result<CloudUploadResult> result = d.uploadWithRetry(path);
        QVERIFY2(result, qPrintable(result ? QString() : result.error().description));
        const QList<FakeServer::Request> puts = d.server.requests("PUT", "/session");
        QCOMPARE(puts.size(), 2);
        QCOMPARE(puts[0].bodySize, 5 * MiB);
        QCOMPARE(puts[1].bodySize, size);
        QCOMPARE(puts[1].bodySha256, sha256Of(path));
        const QStringList retried = logs.linesContaining("transient network error (attempt 1/3)");
        QCOMPARE(retried.size(), 1);
    }

    void onlyTrustedCertificatesAreAccepted()
    {
        // A client that trusts the system store alone, as the production build does, refuses the
        // loopback certificate on both engines: untrusted, worded as a failed secure connection,
        // and not worth a retry. Trusting the CA makes both succeed.
        Drive d;
        const QString path = patternFile(d.files, "small.bin", MiB);
        QNetworkAccessManager network;
        Http production(&network, 5000ms);
        QFile file(path);
        QVERIFY(file.open(QIODevice::ReadOnly));
        const QUrl session = Endpoints::join(d.server.url(), "/session");

        const Result<HttpResponse> small
            = awaitTask(production.send(QNetworkRequest(Endpoints::join(d.server.url(), "/drive/v3/files")), "GET"));
        const Result<HttpResponse> bulk = awaitTask(production.sendFile("PUT", session, {}, &file, 0, MiB));
        for (const Result<HttpResponse> *refused : {&small, &bulk}) {
            QVERIFY(!*refused);
            QCOMPARE(refused->error().domain, ErrorDomain::transport);
            QCOMPARE(refused->error().code, int(TransportCode::serverCertificateUntrusted));
            QVERIFY(userMessage(refused->error()).startsWith("Network issue — the secure connection failed."));
            QVERIFY(!Retry::isTransient(refused->error()));
        }
        QVERIFY(awaitTask(d.http.send(QNetworkRequest(Endpoints::join(d.server.url(), "/drive/v3/files")), "GET")));
        const Result<HttpResponse> trusted = awaitTask(d.http.sendFile("PUT", session, {}, &file, 0, MiB));
        QVERIFY2(trusted, qPrintable(trusted ? QString() : trusted.error().description));
        QCOMPARE(trusted->status, 201);
    }

    void proxyRules_data()
    {
        QTest::addColumn<QString>("target");
        QTest::addColumn<QStringList>("environment");
        QTest::addColumn<QString>("expected"); // the proxy URL, "direct" or "refused"
        const QStringList none;
        row("nothing set", "https://api.test/x", none, "direct");
        row("https_proxy", "https://api.test/x", QStringList{"https_proxy=http://p.test:3128"}, "http://p.test:3128");
        row("lower case first", "https://api.test/x", QStringList{"HTTPS_PROXY=http://upper.test:1", "https_proxy=http://lower.test:2"},
            "http://lower.test:2");
        row("HTTP_PROXY is ignored", "http://api.test/x", QStringList{"HTTP_PROXY=http://p.test:1"}, "direct");
        row("http_proxy not for https", "https://api.test/x", QStringList{"http_proxy=http://p.test:1"}, "direct");
        row("all_proxy socks5h", "https://api.test/x", QStringList{"all_proxy=socks5h://127.0.0.1:9050"}, "socks5h://127.0.0.1:9050");
        row("no scheme, no port", "https://api.test/x", QStringList{"https_proxy=p.test"}, "http://p.test:1080");
        row("no_proxy domain", "https://www.api.test/x", QStringList{"https_proxy=http://p.test:1", "no_proxy=other.test,.api.test"},
            "direct");
        row("no_proxy is not a substring match", "https://notapi.test/x", QStringList{"https_proxy=http://p.test:1", "no_proxy=api.test"},
            "http://p.test:1");
        row("NO_PROXY star", "https://api.test/x", QStringList{"https_proxy=http://p.test:1", "NO_PROXY=*"}, "direct");
        row("no_proxy network", "https://10.1.2.3/x", QStringList{"https_proxy=http://p.test:1", "no_proxy=10.0.0.0/8"}, "direct");
        row("no_proxy IPv6", "https://[::1]:8765/x", QStringList{"https_proxy=http://p.test:1", "no_proxy=::1"}, "direct");
        row("unsupported scheme", "https://api.test/x", QStringList{"https_proxy=socks4://p.test:1"}, "refused");
    }
    void proxyRules()
    {
        QFETCH(QString, target);
        QFETCH(QStringList, environment);
        QFETCH(QString, expected);
        const ProxyEnvironment::Lookup lookup = [&environment](const char *name) {
            for (const QString &entry : environment) {
                if (entry.section('=', 0, 0) == QLatin1String(name))
                    return entry.section('=', 1);
            }
            return QString();
        };
        const Result<ProxyChoice> choice = ProxyEnvironment::choose(QUrl(target), lookup);
        if (expected == "refused") {
            QVERIFY(!choice);
            QVERIFY(choice.error().description.contains("https_proxy"));
            return;
        }
        QVERIFY(choice);
        QCOMPARE(choice->isDirect() ? QStringLiteral("direct") : choice->proxy.toString(), expected);
    }

    // A transfer that cannot finish says why: cancelled, a file shorter than announced (nothing
    // is sent past its end), a server that stops answering (soon after the limit, not seconds
    // later as curl's averaged low-speed check would).
    void offlineIsWordedAsOffline()
    {
        // A network namespace of its own has no interface but a loopback that starts down, and no
        // packet can leave it: there the machine is as offline as it gets. This test runs again
        // inside two such namespaces (loopback down, then up) and checks the wording there.
        const QByteArray inside = qgetenv("KAVO_OFFLINE_CASE");
        const QString offline = QStringLiteral("You're offline. Reconnect and try again.");
        const QString dropped = QStringLiteral("Connection dropped during upload. Check your network and try again.");
        QTcpServer closed;
        QVERIFY(closed.listen(QHostAddress::LocalHost));
        const quint16 port = closed.serverPort();
        closed.close(); // a loopback port nobody listens on
        const QUrl closedPort(QStringLiteral("http://127.0.0.1:%1/x").arg(port));
        if (inside == "loopback-down") {
            // Connecting to 127.0.0.1 fails as unreachable.
            QStringList codes;
            QCOMPARE(wordingFor(closedPort, &codes), (QStringList{offline, offline}));
            QCOMPARE(codes, (QStringList{"-1009", "-1009"}));
            return;
        }
        if (inside == "loopback-up") {
            QVERIFY(raiseLoopback());
            // Loopback works (the port refuses); a name cannot be resolved, as there is no network.
            QCOMPARE(wordingFor(closedPort, nullptr), (QStringList{dropped, dropped}));
            QCOMPARE(wordingFor(QUrl("http://files.kavo-unresolvable.invalid/x"), nullptr), (QStringList{offline, offline}));
            return;
        }

        // Here, on the machine's own network: a closed loopback port is a connection that failed.
        QCOMPARE(wordingFor(closedPort, nullptr), (QStringList{dropped, dropped}));
        for (const char *which : {"loopback-down", "loopback-up"}) {
            QProcess child;
            QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
            environment.insert("KAVO_OFFLINE_CASE", which);
            environment.remove("http_proxy");
            environment.remove("https_proxy");
            environment.remove("all_proxy");
            child.setProcessEnvironment(environment);
            child.start("unshare", {"--net", QCoreApplication::applicationFilePath(), "offlineIsWordedAsOffline"});
            QVERIFY(child.waitForFinished(60000));
            const QByteArray output = child.readAllStandardOutput() + child.readAllStandardError();
            if (child.exitCode() != 0 && output.contains("unshare:"))
                KAVO_SKIP_WITHOUT("network namespaces: " + QString::fromLocal8Bit(output.trimmed()));
            QVERIFY2(child.exitCode() == 0, output.constData());
            QVERIFY2(output.contains("PASS   : TestBulkTransfer::offlineIsWordedAsOffline()"), output.constData());
        }
    }

    void unfinishedTransfersSayWhy()
    {
        Drive d;
        QFile file(patternFile(d.files, "cut.bin", 8 * MiB));
        QVERIFY(file.open(QIODevice::ReadOnly));
        Response slow = sinking(Response::json(200, "{}"));
        slow.readBytesPerSecond = MiB;
        d.server.route("PUT", "/slow", slow);
        d.server.route("PUT", "/quiet", Response::delayed(5000, Response::json(200, "{}")));
        const auto put = [&file, &d](Http &http, const char *path, qint64 length) {
            return awaitTask(http.sendFile("PUT", Endpoints::join(d.server.url(), path), {}, &file, 0, length));
        };

        QTimer::singleShot(300, [&d] { d.http.cancelTransfers(); });
        QCOMPARE(put(d.http, "/slow", 8 * MiB).error().code, int(TransportCode::cancelled));

        const Result<HttpResponse> truncated = put(d.http, "/session", 9 * MiB);
        QCOMPARE(truncated.error().domain, ErrorDomain::file);
        QCOMPARE(truncated.error().description, QStringLiteral("Couldn't read cut.bin: the file ended before its announced size"));

        d.server.route("PUT", "/endless", Response::text(500, QByteArray(Http::maxAnswerBytes + 1, 'x')));
        QCOMPARE(put(d.http, "/endless", MiB).error().code, int(TransportCode::dataLengthExceedsMaximum));

        QNetworkAccessManager network;
        Http impatient(&network, 1000ms, FakeServer::testCaPem());
        QElapsedTimer clock;
        clock.start();
        QCOMPARE(put(impatient, "/quiet", MiB).error().code, int(TransportCode::timedOut));
        QVERIFY2(clock.elapsed() < 4000, qPrintable(QString::number(clock.elapsed())));
    }
};

QTEST_GUILESS_MAIN(TestBulkTransfer)
#include "tst_bulktransfer.moc"
