// The byte uploads against curl, over plain HTTP and over TLS, to the same loopback server.
//
//   bench_upload [--mib N] [--dir PATH] [--rounds R]
//   bench_upload --rtt-ms 50 --mbit 500 [--mib 512] [--rounds R]
//
// With --rtt-ms, the uploads go over TLS through a proxy of the bench's own that holds every
// byte back half the round trip each way and passes at most --mbit; the last line is then
// `dropbox_rtt<N>_vs_drive=<r>`: Dropbox's chunks each wait a round trip for their answer, where
// Drive's one PUT waits once.
//
// A file (1 GiB unless told) is uploaded through DriveUploader (folder lookup, session start, one
// PUT, permission) and DropboxUploader (start, 8 MiB chunks, finish, shared link), and sent by
// `curl -T` (one PUT of the whole file, the same bytes with the least overhead) to the same
// server, over http:// and then https://, R rounds each (3 unless told), alternating; the best
// times are compared. The server is the tests' fake server (it reads and hashes every body and
// keeps none) in a child process of its own, so the peak resident memory printed is the
// uploaders' alone. The last line is
// `drive_tls_vs_curl=<r> dropbox_tls_vs_curl=<r> peak_rss_mib=<n>`.

#include "cloud/driveuploader.h"
#include "cloud/dropboxuploader.h"
#include "cloud/googleauth.h"
#include "fakeserver.h"
#include "platform/blockingwait.h"
#include "platform/http.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QFile>
#include <QNetworkAccessManager>
#include <QProcess>
#include <QRandomGenerator>
#include <QSocketNotifier>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTimer>
#include <qcoro/qcorotask.h>

#include <cstdio>
#include <sys/resource.h>
#include <unistd.h>

namespace {

using Response = FakeServer::Response;

class Token : public AccessTokenSource
{
public:
    QCoro::Task<Result<QString>> validAccessToken() override { co_return QStringLiteral("bench"); }
};

Response sink(Response response)
{
    response.sinkBody = true;
    return response;
}

// One direction of a proxied connection: bytes read from `from` are written to `to` once half
// the round trip has passed, at most `bytesPerSecond`, with at most 4 MiB held (then `from` is
// read no further until some has left, so the sender feels the link's pace).
class DelayedPipe : public QObject
{
public:
    DelayedPipe(QTcpSocket *from, QTcpSocket *to, qint64 delayMs, double bytesPerSecond)
        : QObject(from)
        , m_from(from)
        , m_to(to)
        , m_delayMs(delayMs)
        , m_rate(bytesPerSecond)
    {
        m_clock.start();
        m_last = 0;
        connect(from, &QTcpSocket::readyRead, this, &DelayedPipe::take);
        m_pump.setTimerType(Qt::PreciseTimer);
        m_pump.setInterval(1);
        connect(&m_pump, &QTimer::timeout, this, &DelayedPipe::pump);
        m_pump.start();
    }

private:
    void take()
    {
        static constexpr qint64 limit = qint64(4) << 20;
        while (m_held < limit && m_from->bytesAvailable() > 0) {
            const QByteArray bytes = m_from->read(std::min<qint64>(limit - m_held, 256 << 10));
            m_queue.append({m_clock.elapsed() + m_delayMs, bytes});
            m_held += bytes.size();
        }
    }
    void pump()
    {
        const qint64 now = m_clock.elapsed();
        m_allowance = std::min(m_allowance + m_rate * double(now - m_last) / 1000.0, m_rate / 100.0 + 65536);
        m_last = now;
        while (!m_queue.isEmpty() && m_queue.first().due <= now && m_allowance >= 1) {
            QByteArray &head = m_queue.first().bytes;
            const qint64 n = std::min<qint64>(head.size(), qint64(m_allowance));
            m_to->write(head.constData(), n);
            m_allowance -= double(n);
            m_held -= n;
            if (n == head.size())
                m_queue.removeFirst();
            else
                head.remove(0, n);
        }
        take();
    }
    struct Piece {
        qint64 due;
        QByteArray bytes;
    };
    QTcpSocket *m_from;
    QTcpSocket *m_to;
    qint64 m_delayMs;
    double m_rate;
    double m_allowance = 0;
    qint64 m_last;
    qint64 m_held = 0;
    QList<Piece> m_queue;
    QElapsedTimer m_clock;
    QTimer m_pump;
};

// The child process: serves every call the uploaders and curl make until its input closes; with
// a round trip, through the delaying proxy (whose port it prints instead).
int serve(bool tls, qint64 roundTripMs = 0, double megabits = 0)
{
    FakeServer server{FakeServer::Options{tls}};
    // Drive's session address names the port the uploads reach the server on.
    QTcpServer proxy;
    if (roundTripMs > 0 && !proxy.listen(QHostAddress::LocalHost))
        qFatal("the proxy did not start");
    QUrl reached = server.url();
    if (roundTripMs > 0)
        reached.setPort(proxy.serverPort());
    const QByteArray session = reached.toString().toUtf8() + "/session?upload_id=bench";
    server.route("GET", QStringLiteral("/drive/v3/files"), Response::json(200, "{\"files\":[{\"id\":\"folder\"}]}"));
    server.route("POST", QStringLiteral("/upload/drive/v3/files"), Response{200, {{"Location", session}}, "{}"});
    server.route("PUT", QStringLiteral("/session"), sink(Response::json(200, "{\"id\":\"file\"}")));
    server.route("POST", QStringLiteral("/drive/v3/files/file/permissions"), Response::json(200, "{}"));
    server.route("POST", QStringLiteral("/2/files/upload_session/start"), Response::json(200, "{\"session_id\":\"s\"}"));
    server.route("POST", QStringLiteral("/2/files/upload_session/append_v2"), sink(Response::json(200, "null")));
    server.route("POST", QStringLiteral("/2/files/upload_session/finish"), sink(Response::json(200, "{\"id\":\"id:1\"}")));
    server.route("POST", QStringLiteral("/2/sharing/create_shared_link_with_settings"),
                 Response::json(200, "{\"url\":\"https://dbx.test/s/x?dl=0\"}"));
    if (roundTripMs > 0) {
        const int target = server.port();
        QObject::connect(&proxy, &QTcpServer::newConnection, [&proxy, target, roundTripMs, megabits] {
            while (QTcpSocket *client = proxy.nextPendingConnection()) {
                auto *upstream = new QTcpSocket(client);
                upstream->connectToHost(QHostAddress::LocalHost, quint16(target));
                const double rate = megabits * 1e6 / 8;
                new DelayedPipe(client, upstream, roundTripMs / 2, rate);
                new DelayedPipe(upstream, client, roundTripMs / 2, rate);
                QObject::connect(client, &QTcpSocket::disconnected, client, &QObject::deleteLater);
                QObject::connect(upstream, &QTcpSocket::disconnected, client, &QTcpSocket::disconnectFromHost);
            }
        });
    }
    std::printf("%d\n", roundTripMs > 0 ? int(proxy.serverPort()) : server.port());
    std::fflush(stdout);
    QSocketNotifier input(STDIN_FILENO, QSocketNotifier::Read);
    QObject::connect(&input, &QSocketNotifier::activated, [] {
        char byte;
        if (::read(STDIN_FILENO, &byte, 1) <= 0)
            QCoreApplication::quit();
    });
    return QCoreApplication::exec();
}

void writeRandomFile(const QString &path, qint64 size)
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        qFatal("cannot write %s", qPrintable(path));
    QByteArray chunk(1 << 20, Qt::Uninitialized);
    for (qint64 left = size; left > 0; left -= chunk.size()) {
        QRandomGenerator::global()->fillRange(reinterpret_cast<quint32 *>(chunk.data()), chunk.size() / 4);
        file.write(chunk.constData(), std::min<qint64>(left, chunk.size()));
    }
}

struct Best {
    double drive = 1e9;
    double dropbox = 1e9;
    double fixedChunks = 1e9; // Dropbox with chunks that do not grow (on a far link only)
    double curl = 1e9;
};

template<typename Upload>
double timed(const char *label, Upload upload)
{
    QElapsedTimer clock;
    clock.start();
    const Result<CloudUploadResult> result = awaitTask(upload());
    const double seconds = clock.elapsed() / 1000.0;
    if (!result)
        qFatal("%s failed: %s", label, qPrintable(result.error().description));
    return seconds;
}

Best measure(bool tls, const QString &file, const QString &caFile, int rounds, const QString &self, const QStringList &link = {})
{
    QProcess server;
    server.start(self, QStringList{QStringLiteral("--serve"), tls ? QStringLiteral("tls") : QStringLiteral("plain")} + link);
    if (!server.waitForReadyRead(10000))
        qFatal("the server did not start");
    const int port = server.readLine().trimmed().toInt();
    const QUrl root(QStringLiteral("%1://127.0.0.1:%2").arg(tls ? QStringLiteral("https") : QStringLiteral("http")).arg(port));
    const char *protocol = tls ? "https" : "http";

    QNetworkAccessManager network;
    Http http(&network, Http::defaultTimeout, FakeServer::testCaPem());
    Token token;
    DriveUploader drive(&http, Endpoints::allAt(root), &token);
    DropboxUploader dropbox(&http, Endpoints::allAt(root), &token, DropboxUploader::defaultChunkSize);

    Best best;
    for (int round = 0; round < rounds; ++round) {
        const double d = timed("DriveUploader", [&] { return drive.upload(file, QStringLiteral("application/octet-stream"), {}); });
        best.drive = std::min(best.drive, d);
        const double x = timed("DropboxUploader", [&] { return dropbox.upload(file, {}, {}); });
        best.dropbox = std::min(best.dropbox, x);
        if (!link.isEmpty()) {
            // The same with chunks kept at (about) 8 MiB: a base that is not whole 4 MiB never grows.
            DropboxUploader fixed(&http, Endpoints::allAt(root), &token, DropboxUploader::defaultChunkSize + 1);
            const double f = timed("DropboxUploader (fixed chunks)", [&] { return fixed.upload(file, {}, {}); });
            best.fixedChunks = std::min(best.fixedChunks, f);
            std::printf("       Dropbox with fixed 8 MiB chunks %.3f s\n", f);
        }

        QElapsedTimer clock;
        clock.start();
        QProcess curl;
        QStringList arguments{QStringLiteral("-s"),
                              QStringLiteral("-f"),
                              QStringLiteral("-o"),
                              QStringLiteral("/dev/null"),
                              QStringLiteral("--http1.1"),
                              QStringLiteral("-H"),
                              QStringLiteral("Expect:"),
                              QStringLiteral("-H"),
                              QStringLiteral("Content-Type: application/octet-stream"),
                              QStringLiteral("-T"),
                              file,
                              root.toString() + QStringLiteral("/session?upload_id=bench")};
        if (tls)
            arguments.prepend(caFile), arguments.prepend(QStringLiteral("--cacert"));
        curl.start(QStringLiteral("curl"), arguments);
        if (!curl.waitForFinished(-1) || curl.exitCode() != 0)
            qFatal("curl failed: %s", curl.readAllStandardError().constData());
        const double c = clock.elapsed() / 1000.0;
        best.curl = std::min(best.curl, c);
        std::printf("%-5s round %d: DriveUploader %.3f s, DropboxUploader %.3f s, curl -T %.3f s\n", protocol, round + 1, d, x, c);
    }
    server.closeWriteChannel();
    server.waitForFinished(10000);
    return best;
}

} // namespace

int main(int argc, char *argv[])
{
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    if (args.size() >= 3 && args[1] == QLatin1String("--serve"))
        return serve(args[2] == QLatin1String("tls"), args.value(3).toLongLong(), args.value(4).toDouble());

    qint64 mib = 1024;
    int rounds = 3;
    qint64 roundTripMs = 0;
    double megabits = 500;
    QString base = QDir::tempPath();
    for (int i = 1; i + 1 < args.size(); ++i) {
        if (args[i] == QLatin1String("--mib"))
            mib = args[i + 1].toLongLong();
        if (args[i] == QLatin1String("--dir"))
            base = args[i + 1];
        if (args[i] == QLatin1String("--rounds"))
            rounds = std::max(1, args[i + 1].toInt());
        if (args[i] == QLatin1String("--rtt-ms"))
            roundTripMs = args[i + 1].toLongLong();
        if (args[i] == QLatin1String("--mbit"))
            megabits = args[i + 1].toDouble();
    }
    if (roundTripMs > 0 && !args.contains(QLatin1String("--mib")))
        mib = 512;
    QTemporaryDir work(base + QStringLiteral("/kavo-upload-bench-XXXXXX"));
    const QString file = work.path() + QStringLiteral("/payload.bin");
    writeRandomFile(file, mib * 1024 * 1024);
    const QString caFile = work.path() + QStringLiteral("/ca.pem");
    QFile ca(caFile);
    if (!ca.open(QIODevice::WriteOnly) || ca.write(FakeServer::testCaPem()) <= 0)
        qFatal("cannot write the CA");
    ca.close();
    std::printf("file: %lld MiB, %d rounds\n", mib, rounds);
    if (roundTripMs > 0) {
        std::printf("through a link of %lld ms round trip and %.0f Mbit/s\n", roundTripMs, megabits);
        const Best far = measure(true, file, caFile, rounds, QCoreApplication::applicationFilePath(),
                                 {QString::number(roundTripMs), QString::number(megabits)});
        std::printf("best, s: drive %.2f dropbox %.2f (fixed 8 MiB chunks %.2f) curl %.2f\n", far.drive, far.dropbox, far.fixedChunks,
                    far.curl);
        std::printf("dropbox_fixed_chunks_rtt%lld_vs_drive=%.3f\n", roundTripMs, far.fixedChunks / far.drive);
        std::printf("dropbox_rtt%lld_vs_drive=%.3f\n", roundTripMs, far.dropbox / far.drive);
        return 0;
    }

    const Best plain = measure(false, file, caFile, rounds, QCoreApplication::applicationFilePath());
    const Best tls = measure(true, file, caFile, rounds, QCoreApplication::applicationFilePath());
    const double mibs = double(mib);
    std::printf("best, MiB/s: http drive %.0f dropbox %.0f curl %.0f; https drive %.0f dropbox %.0f curl %.0f\n", mibs / plain.drive,
                mibs / plain.dropbox, mibs / plain.curl, mibs / tls.drive, mibs / tls.dropbox, mibs / tls.curl);
    std::printf("drive_http_vs_curl=%.3f dropbox_http_vs_curl=%.3f\n", plain.drive / plain.curl, plain.dropbox / plain.curl);

    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    std::printf("drive_tls_vs_curl=%.3f dropbox_tls_vs_curl=%.3f peak_rss_mib=%ld\n", tls.drive / tls.curl, tls.dropbox / tls.curl,
                usage.ru_maxrss / 1024);
    return 0;
}
