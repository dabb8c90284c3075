#include "fakeserver.h"

#include <QHash>
#include <QUrlQuery>

#include <httplib.h>

#include <atomic>
#include <chrono>
#include <deque>
#include <mutex>
#include <thread>

FakeServer::Response FakeServer::Response::json(int status, const QByteArray &body)
{
    return Response{status, {{"Content-Type", "application/json"}}, body};
}

FakeServer::Response FakeServer::Response::text(int status, const QByteArray &body)
{
    return Response{status, {{"Content-Type", "text/plain; charset=utf-8"}}, body};
}

FakeServer::Response FakeServer::Response::dropped()
{
    Response r;
    r.drop = true;
    return r;
}

FakeServer::Response FakeServer::Response::delayed(int delayMs, Response then)
{
    then.delayMs = delayMs;
    return then;
}

QByteArray FakeServer::Request::header(const QByteArray &name) const
{
    for (const auto &[key, value] : headers) {
        if (key.compare(name, Qt::CaseInsensitive) == 0)
            return value;
    }
    return {};
}

bool FakeServer::Request::hasHeader(const QByteArray &name) const
{
    for (const auto &entry : headers) {
        if (entry.first.compare(name, Qt::CaseInsensitive) == 0)
            return true;
    }
    return false;
}

QList<QPair<QString, QString>> FakeServer::Request::queryItems() const
{
    return QUrlQuery(QString::fromUtf8(rawQuery)).queryItems(QUrl::FullyDecoded);
}

struct FakeServer::Impl {
    httplib::Server server;
    std::thread thread;
    int port = 0;
    std::atomic<bool> stopping{false};
    mutable std::mutex mutex;
    QHash<QString, Response> routes;
    QHash<QString, std::deque<Response>> queued;
    QList<Request> log;

    static QString key(const QByteArray &method, const QString &path)
    {
        return QString::fromLatin1(method) + QLatin1Char(' ') + path;
    }

    Response take(const QByteArray &method, const QString &path)
    {
        std::lock_guard lock(mutex);
        const QString k = key(method, path);
        auto it = queued.find(k);
        if (it != queued.end() && !it->empty()) {
            Response r = it->front();
            it->pop_front();
            return r;
        }
        if (routes.contains(k))
            return routes.value(k);
        return Response::text(404, "no route for " + k.toUtf8());
    }

    void handle(const httplib::Request &req, httplib::Response &res)
    {
        Request entry;
        entry.method = QByteArray::fromStdString(req.method);
        const QByteArray target = QByteArray::fromStdString(req.target);
        const int q = target.indexOf('?');
        entry.path = QUrl::fromPercentEncoding(q < 0 ? target : target.left(q));
        entry.rawQuery = q < 0 ? QByteArray() : target.mid(q + 1);
        for (const auto &[name, value] : req.headers) {
            if (name == "REMOTE_ADDR" || name == "REMOTE_PORT" || name == "LOCAL_ADDR" || name == "LOCAL_PORT")
                continue;
            entry.headers.append({QByteArray::fromStdString(name), QByteArray::fromStdString(value)});
        }
        entry.body = QByteArray::fromStdString(req.body);
        {
            std::lock_guard lock(mutex);
            log.append(entry);
        }

        const Response response = take(entry.method, entry.path);
        const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(response.delayMs);
        while (std::chrono::steady_clock::now() < until && !stopping)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));

        res.status = response.status;
        std::string contentType = "application/octet-stream";
        for (const auto &[name, value] : response.headers) {
            if (name.compare("Content-Type", Qt::CaseInsensitive) == 0)
                contentType = value.toStdString();
            else
                res.set_header(name.toStdString(), value.toStdString());
        }
        if (response.drop) {
            // Headers go out, then the connection closes before the promised body.
            res.set_content_provider(16, contentType,
                                     [](size_t, size_t, httplib::DataSink &) { return false; });
            return;
        }
        res.set_content(response.body.toStdString(), contentType);
    }
};

FakeServer::FakeServer()
    : d(std::make_unique<Impl>())
{
    const auto handler = [this](const httplib::Request &req, httplib::Response &res) { d->handle(req, res); };
    const char *pattern = R"(/.*)";
    d->server.Get(pattern, handler);
    d->server.Post(pattern, handler);
    d->server.Put(pattern, handler);
    d->server.Patch(pattern, handler);
    d->server.Delete(pattern, handler);
    d->server.Options(pattern, handler);
    d->port = d->server.bind_to_any_port("127.0.0.1");
    d->thread = std::thread([this] { d->server.listen_after_bind(); });
}

FakeServer::~FakeServer()
{
    d->stopping = true;
    d->server.stop();
    d->thread.join();
}

QUrl FakeServer::url() const
{
    return QUrl(QStringLiteral("http://127.0.0.1:%1").arg(d->port));
}

int FakeServer::port() const
{
    return d->port;
}

void FakeServer::route(const QByteArray &method, const QString &path, Response response)
{
    std::lock_guard lock(d->mutex);
    d->routes.insert(Impl::key(method, path), std::move(response));
}

void FakeServer::enqueue(const QByteArray &method, const QString &path, Response response)
{
    std::lock_guard lock(d->mutex);
    d->queued[Impl::key(method, path)].push_back(std::move(response));
}

QList<FakeServer::Request> FakeServer::requests() const
{
    std::lock_guard lock(d->mutex);
    return d->log;
}

QList<FakeServer::Request> FakeServer::requests(const QByteArray &method, const QString &path) const
{
    QList<Request> matching;
    for (const Request &r : requests()) {
        if (r.method == method && r.path == path)
            matching.append(r);
    }
    return matching;
}

void FakeServer::clearLog()
{
    std::lock_guard lock(d->mutex);
    d->log.clear();
}
