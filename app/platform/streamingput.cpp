#include "streamingput.h"

#include <QFile>
#include <QFileInfo>
#include <QPointer>
#include <QSslSocket>
#include <QTimer>
#include <qcoro/qcorosignal.h>

namespace {

constexpr qint64 chunkSize = 1 << 20;
constexpr qint64 inFlight = 4 << 20;

QNetworkReply::NetworkError replyErrorFor(QAbstractSocket::SocketError error)
{
    switch (error) {
    case QAbstractSocket::ConnectionRefusedError:
        return QNetworkReply::ConnectionRefusedError;
    case QAbstractSocket::RemoteHostClosedError:
        return QNetworkReply::RemoteHostClosedError;
    case QAbstractSocket::HostNotFoundError:
        return QNetworkReply::HostNotFoundError;
    case QAbstractSocket::SocketTimeoutError:
        return QNetworkReply::TimeoutError;
    case QAbstractSocket::SslHandshakeFailedError:
    case QAbstractSocket::SslInternalError:
    case QAbstractSocket::SslInvalidUserDataError:
        return QNetworkReply::SslHandshakeFailedError;
    case QAbstractSocket::NetworkError:
        return QNetworkReply::TemporaryNetworkFailureError;
    default:
        return QNetworkReply::UnknownNetworkError;
    }
}

// One PUT: writes the head and the file, then collects the answer.
class Put : public QObject
{
    Q_OBJECT
public:
    Put(QUrl url, QByteArray head, QString filePath, qint64 size, Http::Progress progress, std::chrono::milliseconds timeout)
        : m_url(std::move(url))
        , m_head(std::move(head))
        , m_file(filePath)
        , m_size(size)
        , m_progress(std::move(progress))
    {
        m_idle.setSingleShot(true);
        m_idle.setInterval(timeout);
        connect(&m_idle, &QTimer::timeout, this, [this] {
            fail(transportError(QNetworkReply::TimeoutError, QStringLiteral("The upload timed out")));
        });
    }

    void start()
    {
        if (!m_file.open(QIODevice::ReadOnly)) {
            finish(Error{ErrorDomain::file, int(m_file.error()),
                         QStringLiteral("Couldn't read ") + QFileInfo(m_file.fileName()).fileName() + QStringLiteral(": ") + m_file.errorString()});
            return;
        }
        connect(&m_socket, &QAbstractSocket::errorOccurred, this, [this](QAbstractSocket::SocketError error) {
            // A server may close right after a complete answer.
            if (error == QAbstractSocket::RemoteHostClosedError && answerComplete())
                return;
            fail(transportError(replyErrorFor(error), m_socket.errorString()));
        });
        connect(&m_socket, &QAbstractSocket::disconnected, this, [this] {
            if (!m_done)
                answerComplete() ? finish(m_response) : fail(transportError(QNetworkReply::RemoteHostClosedError, QStringLiteral("Connection closed")));
        });
        connect(&m_socket, &QIODevice::bytesWritten, this, [this] { pump(); });
        connect(&m_socket, &QIODevice::readyRead, this, [this] { read(); });
        const auto begin = [this] {
            m_socket.write(m_head);
            pump();
        };
        const bool tls = m_url.scheme() == QLatin1String("https");
        if (tls) {
            connect(&m_socket, &QSslSocket::encrypted, this, begin);
            m_socket.connectToHostEncrypted(m_url.host(), quint16(m_url.port(443)));
        } else {
            connect(&m_socket, &QAbstractSocket::connected, this, begin);
            m_socket.connectToHost(m_url.host(), quint16(m_url.port(80)));
        }
        m_idle.start();
    }

    std::optional<Result<HttpResponse>> outcome;

Q_SIGNALS:
    void done();

private:
    void pump()
    {
        m_idle.start();
        while (m_sent < m_size && m_socket.bytesToWrite() < inFlight) {
            const QByteArray chunk = m_file.read(std::min(chunkSize, m_size - m_sent));
            if (chunk.isEmpty()) {
                fail(Error{ErrorDomain::file, int(m_file.error()), QStringLiteral("The file ended before its announced size")});
                return;
            }
            m_socket.write(chunk);
            m_sent += chunk.size();
        }
        // What has left the socket's buffer, less the head, is the body sent so far.
        const qint64 handedOver = m_head.size() + m_sent;
        const qint64 bodyOut = std::max<qint64>(0, handedOver - m_socket.bytesToWrite() - m_head.size());
        if (m_progress && m_size > 0 && bodyOut != m_reported) {
            m_reported = bodyOut;
            m_progress(bodyOut, m_size);
        }
    }

    void read()
    {
        m_idle.start();
        m_buffer += m_socket.readAll();
        if (answerComplete())
            finish(m_response);
    }

    // Parses what has arrived; true once a final answer with its whole body is in.
    bool answerComplete()
    {
        for (;;) {
            const qsizetype end = m_buffer.indexOf("\r\n\r\n");
            if (end < 0)
                return false;
            const QList<QByteArray> lines = m_buffer.left(end).split('\n');
            const int status = lines.value(0).split(' ').value(1).toInt();
            if (status >= 100 && status < 200) { // an interim answer such as 100 Continue
                m_buffer.remove(0, end + 4);
                continue;
            }
            HttpResponse response;
            response.status = status;
            qint64 length = -1;
            for (qsizetype i = 1; i < lines.size(); ++i) {
                const qsizetype colon = lines[i].indexOf(':');
                if (colon <= 0)
                    continue;
                const QByteArray name = lines[i].left(colon).trimmed();
                const QByteArray value = lines[i].mid(colon + 1).trimmed();
                response.headers.append({name, value});
                if (name.compare("Content-Length", Qt::CaseInsensitive) == 0)
                    length = value.toLongLong();
            }
            const QByteArray body = m_buffer.mid(end + 4);
            if (length >= 0 && body.size() < length)
                return false;
            if (length < 0 && m_socket.state() == QAbstractSocket::ConnectedState)
                return false; // the body runs until the server closes
            response.body = length >= 0 ? body.left(length) : body;
            m_response = response;
            return true;
        }
    }

    void fail(const Error &error)
    {
        if (!m_done)
            finish(error);
    }

    void finish(Result<HttpResponse> result)
    {
        if (m_done)
            return;
        m_done = true;
        m_idle.stop();
        if (m_progress && result && m_size > 0 && m_reported != m_size)
            m_progress(m_size, m_size);
        outcome = std::move(result);
        m_socket.abort();
        Q_EMIT done();
    }

    QUrl m_url;
    QByteArray m_head;
    QFile m_file;
    qint64 m_size;
    qint64 m_sent = 0;
    qint64 m_reported = -1;
    Http::Progress m_progress;
    QSslSocket m_socket;
    QTimer m_idle;
    QByteArray m_buffer;
    HttpResponse m_response;
    bool m_done = false;
};

} // namespace

QCoro::Task<Result<HttpResponse>> streamingPut(QUrl url, QList<QPair<QByteArray, QByteArray>> headers, QString filePath,
                                               qint64 size, Http::Progress progress, std::chrono::milliseconds timeout)
{
    QByteArray target = url.path(QUrl::FullyEncoded).toUtf8();
    if (target.isEmpty())
        target = "/";
    if (url.hasQuery())
        target += '?' + url.query(QUrl::FullyEncoded).toUtf8();
    const bool defaultPort = url.port() < 0;
    QByteArray head = "PUT " + target + " HTTP/1.1\r\nHost: " + url.host(QUrl::FullyEncoded).toUtf8()
        + (defaultPort ? QByteArray() : ':' + QByteArray::number(url.port())) + "\r\nContent-Length: "
        + QByteArray::number(size) + "\r\nConnection: close\r\n";
    for (const auto &[name, value] : headers)
        head += name + ": " + value + "\r\n";
    head += "\r\n";

    auto put = std::make_unique<Put>(url, head, filePath, size, std::move(progress), timeout);
    put->start();
    if (!put->outcome) {
        auto finished = qCoro(put.get(), &Put::done);
        co_await finished;
    }
    co_return Result<HttpResponse>(*put->outcome);
}

#include "streamingput.moc"
