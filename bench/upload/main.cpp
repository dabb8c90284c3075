// DriveUploader against curl on the same loopback server, and the uploader's peak memory.
//
//   bench_upload [--mib N] [--dir PATH]
//
// A 1 GiB file is uploaded through DriveUploader (folder lookup, session start, one streamed PUT,
// permission) to a loopback server that discards the body, then sent by `curl -T` to the same
// server's session URL, three times each. The last line is `drive_vs_curl=<ratio> peak_rss_mib=<n>`:
// the uploader's best wall time over curl's best, and the peak resident memory of this process (server included; it keeps
// no body).

#include "cloud/driveuploader.h"
#include "cloud/googleauth.h"
#include "platform/blockingwait.h"
#include "platform/http.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QNetworkAccessManager>
#include <QProcess>
#include <QRandomGenerator>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QThread>
#include <qcoro/qcorotask.h>

#include <cstdio>
#include <sys/resource.h>

namespace {

// Answers the four Drive calls; request bodies are counted and dropped.
class SinkServer : public QObject
{
public:
    quint16 port = 0;
    std::atomic<qint64> received{0};

    void start(QThread *thread)
    {
        m_server = new QTcpServer;
        m_server->moveToThread(thread);
        QObject::connect(m_server, &QTcpServer::newConnection, m_server, [this] {
            while (QTcpSocket *socket = m_server->nextPendingConnection())
                serve(socket);
        });
        QMetaObject::invokeMethod(m_server, [this] { m_server->listen(QHostAddress::LocalHost, 0); port = m_server->serverPort(); },
                                  Qt::BlockingQueuedConnection);
    }

private:
    struct Connection {
        QByteArray head;
        qint64 remaining = -1; // -1: reading the head
        QByteArray method;
        QByteArray path;
    };

    void serve(QTcpSocket *socket)
    {
        auto state = std::make_shared<Connection>();
        QObject::connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
        QObject::connect(socket, &QTcpSocket::readyRead, socket, [this, socket, state] {
            for (;;) {
                if (state->remaining < 0) {
                    state->head += socket->read(65536);
                    const qsizetype end = state->head.indexOf("\r\n\r\n");
                    if (end < 0)
                        return;
                    const QByteArray head = state->head.left(end);
                    QByteArray rest = state->head.mid(end + 4);
                    state->head.clear();
                    const QList<QByteArray> line = head.split('\n').value(0).trimmed().split(' ');
                    state->method = line.value(0);
                    state->path = line.value(1);
                    state->remaining = 0;
                    for (const QByteArray &h : head.split('\n')) {
                        const QByteArray lower = h.trimmed().toLower();
                        if (lower.startsWith("content-length:"))
                            state->remaining = lower.mid(15).trimmed().toLongLong();
                        if (lower == "expect: 100-continue")
                            socket->write("HTTP/1.1 100 Continue\r\n\r\n");
                    }
                    state->remaining -= rest.size();
                    received += rest.size();
                } else if (state->remaining > 0) {
                    const qint64 skipped = socket->skip(state->remaining);
                    if (skipped <= 0)
                        return;
                    state->remaining -= skipped;
                    received += skipped;
                }
                if (state->remaining > 0)
                    continue;
                answer(socket, state->method, state->path);
                state->remaining = -1;
                if (socket->bytesAvailable() == 0)
                    return;
            }
        });
    }

    void answer(QTcpSocket *socket, const QByteArray &method, const QByteArray &path)
    {
        QByteArray status = "200 OK";
        QByteArray headers;
        QByteArray body = "{}";
        if (method == "GET" && path.startsWith("/drive/v3/files"))
            body = "{\"files\":[{\"id\":\"folder\"}]}";
        else if (method == "POST" && path.startsWith("/upload/drive/v3/files"))
            headers = "Location: http://127.0.0.1:" + QByteArray::number(port) + "/session?upload_id=bench\r\n";
        else if (method == "PUT")
            body = "{\"id\":\"file\"}";
        socket->write("HTTP/1.1 " + status + "\r\n" + headers + "Content-Type: application/json\r\nContent-Length: "
                      + QByteArray::number(body.size()) + "\r\n\r\n" + body);
    }

    QTcpServer *m_server = nullptr;
};

class Token : public AccessTokenSource
{
public:
    QCoro::Task<Result<QString>> validAccessToken() override { co_return QStringLiteral("bench"); }
};

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

} // namespace

int main(int argc, char *argv[])
{
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    qint64 mib = 1024;
    QString base = QDir::tempPath();
    for (int i = 1; i + 1 < args.size(); ++i) {
        if (args[i] == QLatin1String("--mib"))
            mib = args[i + 1].toLongLong();
        if (args[i] == QLatin1String("--dir"))
            base = args[i + 1];
    }
    QTemporaryDir work(base + QStringLiteral("/kavo-upload-bench-XXXXXX"));
    const QString file = work.path() + QStringLiteral("/payload.bin");
    writeRandomFile(file, mib * 1024 * 1024);
    std::printf("file: %lld MiB\n", mib);

    QThread serverThread;
    serverThread.start();
    SinkServer server;
    server.start(&serverThread);
    const QUrl root(QStringLiteral("http://127.0.0.1:%1").arg(server.port));

    QNetworkAccessManager network;
    Http http(&network);
    Token token;
    DriveUploader uploader(&http, Endpoints::allAt(root), &token);

    // Loopback moves a gigabyte in well under a second, so single runs are noisy: the best of
    // three alternating runs of each is compared.
    double driveSeconds = 1e9;
    double curlSeconds = 1e9;
    for (int round = 0; round < 3; ++round) {
        const qint64 before = server.received;
        QElapsedTimer clock;
        clock.start();
        const Result<CloudUploadResult> result = awaitTask(uploader.upload(file, QStringLiteral("application/octet-stream"), {}));
        const double seconds = clock.elapsed() / 1000.0;
        if (!result)
            qFatal("upload failed: %s", qPrintable(result.error().description));
        driveSeconds = std::min(driveSeconds, seconds);
        std::printf("DriveUploader: %.3f s, %lld bytes received\n", seconds, qint64(server.received) - before);

        const qint64 curlBefore = server.received;
        clock.restart();
        QProcess curl;
        curl.start(QStringLiteral("curl"), {QStringLiteral("-s"), QStringLiteral("-o"), QStringLiteral("/dev/null"),
                                            QStringLiteral("-H"), QStringLiteral("Content-Type: application/octet-stream"),
                                            QStringLiteral("-T"), file, root.toString() + QStringLiteral("/session?upload_id=bench")});
        if (!curl.waitForFinished(-1) || curl.exitCode() != 0)
            qFatal("curl failed: %s", curl.readAllStandardError().constData());
        const double curlRun = clock.elapsed() / 1000.0;
        curlSeconds = std::min(curlSeconds, curlRun);
        std::printf("curl -T: %.3f s, %lld bytes received\n", curlRun, qint64(server.received) - curlBefore);
    }

    QMetaObject::invokeMethod(&serverThread, [] {}, Qt::QueuedConnection);
    serverThread.quit();
    serverThread.wait();

    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    std::printf("drive_vs_curl=%.3f peak_rss_mib=%ld\n", driveSeconds / curlSeconds, usage.ru_maxrss / 1024);
    return 0;
}
