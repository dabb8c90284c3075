#include "devstack.h"

#include "certificates.h"
#include "devhttp.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QRandomGenerator>
#include <QUrl>

#include <httplib.h>

#include <thread>

#include <dirent.h>
#include <netinet/in.h>
#include <sys/socket.h>

using namespace DevHttp;

namespace {
// Shuts down this process's TCP connection whose peer is the loopback port `peerPort` (httplib
// hands its handlers no socket): whatever was to be written on it is lost.
void shutDownConnectionFrom(int peerPort)
{
    DIR *fds = opendir("/proc/self/fd");
    if (!fds)
        return;
    while (const dirent *entry = readdir(fds)) {
        const int fd = std::atoi(entry->d_name);
        sockaddr_storage peer{};
        socklen_t length = sizeof peer;
        if (fd <= 2 || getpeername(fd, reinterpret_cast<sockaddr *>(&peer), &length) != 0)
            continue;
        const int port = peer.ss_family == AF_INET ? ntohs(reinterpret_cast<const sockaddr_in &>(peer).sin_port)
            : peer.ss_family == AF_INET6           ? ntohs(reinterpret_cast<const sockaddr_in6 &>(peer).sin6_port)
                                                   : -1;
        if (port == peerPort)
            ::shutdown(fd, SHUT_RDWR);
    }
    closedir(fds);
}
}

namespace {

// The service words a refusal as plain text, except where its client reads an `error` key: the
// rename and delete endpoints answer {"error": "…"}.
void failAsText(httplib::Response &response, int status, const QString &message)
{
    response.status = status;
    response.set_content(message.toStdString(), "text/plain; charset=utf-8");
}

void failWithErrorKey(httplib::Response &response, int status, const QString &message)
{
    json(response, status, {{QStringLiteral("error"), message}});
}

void fail(const httplib::Request &request, httplib::Response &response, int status, const QString &message)
{
    if (request.path == "/api/rename.php" || request.path == "/api/delete.php")
        failWithErrorKey(response, status, message);
    else
        failAsText(response, status, message);
}

// The request's JSON object, or an empty one after answering 400.
std::optional<QJsonObject> jsonBody(const httplib::Request &request, httplib::Response &response)
{
    QJsonParseError parseError;
    const QJsonDocument document = QJsonDocument::fromJson(QByteArray::fromStdString(request.body), &parseError);
    if (parseError.error != QJsonParseError::NoError || !document.isObject()) {
        fail(request, response, 400, QStringLiteral("The request body must be a JSON object."));
        return std::nullopt;
    }
    return document.object();
}

QString iso(const QDateTime &moment)
{
    return moment.toUTC().toString(Qt::ISODate);
}

bool isInteger(const QJsonValue &value)
{
    return value.isDouble() && value.toDouble() == double(value.toInteger());
}

} // namespace

std::unique_lock<std::mutex> DevStack::lockSession(const QString &id)
{
    std::shared_ptr<std::mutex> lock;
    {
        std::lock_guard guard(m_sessionLocksMutex);
        std::shared_ptr<std::mutex> &slot = m_sessionLocks[id];
        if (!slot)
            slot = std::make_shared<std::mutex>();
        lock = slot;
    }
    return std::unique_lock(*lock);
}

DevStack::DevStack(Options options)
    : m_options(std::move(options))
{
    QDir().mkpath(m_options.stateDir);
    if (m_options.tls) {
        const QString folder = m_options.certificatesDir.isEmpty() ? m_options.stateDir : m_options.certificatesDir;
        const std::string problem = DevCertificates::ensure(folder.toStdString());
        if (!problem.empty()) {
            m_error = QString::fromStdString(problem);
            m_server = std::make_unique<httplib::Server>();
            return;
        }
        m_server = std::make_unique<httplib::SSLServer>(QString(folder + QStringLiteral("/server.pem")).toLocal8Bit().constData(),
                                                        QString(folder + QStringLiteral("/server.key")).toLocal8Bit().constData());
        if (!m_server->is_valid()) {
            m_error = QStringLiteral("cannot load the server certificate in ") + folder;
            return;
        }
    } else {
        m_server = std::make_unique<httplib::Server>();
    }
    m_db = std::make_unique<Database>(m_options.stateDir + QStringLiteral("/devstack.sqlite"));
    if (!m_db->isOpen()) {
        m_error = QStringLiteral("cannot open the state database: ") + m_db->lastError();
        return;
    }
    seed();
    routeService();
    routeGoogle();
    routeDropbox();
    routePages();
    if (m_options.testHooks)
        routeTestHooks();
}

DevStack::~DevStack() = default;

void DevStack::seed()
{
    const QStringList schema = {
        QStringLiteral("CREATE TABLE IF NOT EXISTS accounts (api_key TEXT PRIMARY KEY, email TEXT, name TEXT)"),
        QStringLiteral("CREATE TABLE IF NOT EXISTS presets (id INTEGER PRIMARY KEY, name TEXT, is_default INTEGER, "
                       "gradient_from TEXT, gradient_to TEXT, accent_color TEXT)"),
        QStringLiteral("CREATE TABLE IF NOT EXISTS links (token TEXT PRIMARY KEY, account TEXT, drive_file_id TEXT, provider TEXT, "
                       "filename TEXT, filesize INTEGER, mimetype TEXT, custom_message TEXT, password TEXT, preset_id INTEGER, "
                       "expires_at TEXT, created_at TEXT, download_count INTEGER DEFAULT 0, direct_url TEXT, "
                       "google_refresh_token TEXT)"),
        QStringLiteral("CREATE TABLE IF NOT EXISTS outbox (id INTEGER PRIMARY KEY AUTOINCREMENT, token TEXT, recipient TEXT, "
                       "note TEXT, sent_at TEXT)"),
    };
    for (const QString &statement : schema)
        m_db->exec(statement);
    m_db->exec(QStringLiteral("INSERT OR IGNORE INTO accounts VALUES (?, ?, 'Admin')"), {m_options.builtinApiKey, m_options.builtinEmail});
    m_db->exec(QStringLiteral("INSERT OR IGNORE INTO accounts VALUES (?, 'demo@kavo.test', 'Demo')"), {QStringLiteral("d").repeated(64)});
    m_db->exec(QStringLiteral("INSERT OR IGNORE INTO presets VALUES (1, 'Kavo', 1, '#4F46E5', '#9333EA', '#F59E0B'), "
                              "(2, 'Ocean', 0, '#0EA5E9', '#1E3A8A', '#22D3EE'), (3, 'Forest', 0, '#166534', '#65A30D', '#FACC15')"));
}

std::optional<DevStack::InjectedFailure> DevStack::takePartialFailure(const httplib::Request &request)
{
    std::lock_guard lock(m_hooksMutex);
    if (!m_partialFailures.contains(request.path))
        return std::nullopt;
    return m_partialFailures.take(request.path);
}

QDateTime DevStack::now() const
{
    return QDateTime::currentDateTimeUtc().addSecs(m_clockOffset);
}

QString DevStack::baseUrl() const
{
    return (m_options.tls ? QStringLiteral("https") : QStringLiteral("http")) + QStringLiteral("://127.0.0.1:%1").arg(m_port);
}

QString DevStack::account(const httplib::Request &request, httplib::Response &response)
{
    const QString key = str(request.get_header_value("X-Api-Key"));
    if (!key.isEmpty() && !m_db->query(QStringLiteral("SELECT 1 FROM accounts WHERE api_key = ?"), {key}).isEmpty())
        return key;
    fail(request, response, 401, QStringLiteral("Unknown API key. Sign in again."));
    return {};
}

QJsonObject DevStack::linkJson(const QVariantMap &row) const
{
    const QString token = row.value(QStringLiteral("token")).toString();
    const QVariant expires = row.value(QStringLiteral("expires_at"));
    const bool expired = isExpired(row);
    const bool isProtected = !row.value(QStringLiteral("password")).toString().isEmpty();
    QJsonObject item{
        {QStringLiteral("token"), token},
        {QStringLiteral("drive_file_id"), row.value(QStringLiteral("drive_file_id")).toString()},
        {QStringLiteral("filename"), row.value(QStringLiteral("filename")).toString()},
        {QStringLiteral("filesize"), row.value(QStringLiteral("filesize")).toLongLong()},
        {QStringLiteral("mimetype"), row.value(QStringLiteral("mimetype")).toString()},
        {QStringLiteral("custom_message"), row.value(QStringLiteral("custom_message")).toString()},
        {QStringLiteral("protected"), isProtected},
        {QStringLiteral("expires_at"), expires.isNull() ? QJsonValue(QJsonValue::Null) : QJsonValue(expires.toString())},
        {QStringLiteral("created_at"), row.value(QStringLiteral("created_at")).toString()},
        {QStringLiteral("download_count"), row.value(QStringLiteral("download_count")).toLongLong()},
        {QStringLiteral("preset_id"),
         row.value(QStringLiteral("preset_id")).isNull() ? QJsonValue(QJsonValue::Null)
                                                         : QJsonValue(row.value(QStringLiteral("preset_id")).toLongLong())},
        {QStringLiteral("status"),
         expired           ? QStringLiteral("expired")
             : isProtected ? QStringLiteral("protected")
                           : QStringLiteral("active")},
        {QStringLiteral("provider"), row.value(QStringLiteral("provider")).toString()},
        {QStringLiteral("view_url"), QString(baseUrl() + QStringLiteral("/l/") + token)},
        {QStringLiteral("download_url"), QString(baseUrl() + QStringLiteral("/d/") + token)},
    };
    return item;
}

void DevStack::routeService()
{
    using httplib::Request;
    using httplib::Response;

    m_server->Get("/api/presets.php", [this](const Request &request, Response &response) {
        if (account(request, response).isEmpty())
            return;
        QJsonArray presets;
        std::optional<qint64> defaultID;
        for (const QVariantMap &row : m_db->query(QStringLiteral("SELECT * FROM presets ORDER BY id"))) {
            const bool isDefault = row.value(QStringLiteral("is_default")).toLongLong() != 0;
            if (isDefault)
                defaultID = row.value(QStringLiteral("id")).toLongLong();
            presets.append(QJsonObject{{QStringLiteral("id"), row.value(QStringLiteral("id")).toLongLong()},
                                       {QStringLiteral("name"), row.value(QStringLiteral("name")).toString()},
                                       {QStringLiteral("is_default"), isDefault},
                                       {QStringLiteral("gradient_from"), row.value(QStringLiteral("gradient_from")).toString()},
                                       {QStringLiteral("gradient_to"), row.value(QStringLiteral("gradient_to")).toString()},
                                       {QStringLiteral("accent_color"), row.value(QStringLiteral("accent_color")).toString()}});
        }
        QJsonObject body{{QStringLiteral("presets"), presets}};
        body.insert(QStringLiteral("default_id"), defaultID ? QJsonValue(*defaultID) : QJsonValue(QJsonValue::Null));
        json(response, 200, body);
    });

    m_server->Get("/api/history.php", [this](const Request &request, Response &response) {
        const QString key = account(request, response);
        if (key.isEmpty())
            return;
        const qint64 limit = std::clamp<qint64>(str(request.get_param_value("limit")).toLongLong(), 1, 500);
        const QString q = str(request.get_param_value("q"));
        QJsonArray items;
        const auto rows
            = m_db->query(QStringLiteral("SELECT * FROM links WHERE account = ? AND (? = '' OR instr(lower(filename), lower(?)) > 0) "
                                         "ORDER BY created_at DESC, rowid DESC LIMIT ?"),
                          {key, q, q, limit});
        for (const QVariantMap &row : rows)
            items.append(linkJson(row));
        json(response, 200, {{QStringLiteral("items"), items}});
    });

    m_server->Post("/api/register.php", [this](const Request &request, Response &response) {
        const QString key = account(request, response);
        if (key.isEmpty())
            return;
        const std::optional<QJsonObject> body = jsonBody(request, response);
        if (!body)
            return;
        for (const char *name : {"drive_file_id", "original_filename", "mimetype", "provider"}) {
            if (!body->value(QLatin1String(name)).isString() || body->value(QLatin1String(name)).toString().isEmpty())
                return fail(request, response, 400, QStringLiteral("missing %1").arg(QLatin1String(name)));
        }
        for (const char *name : {"filesize", "expiry_days"}) {
            if (!isInteger(body->value(QLatin1String(name))))
                return fail(request, response, 400, QStringLiteral("%1 must be an integer").arg(QLatin1String(name)));
        }
        const QString provider = body->value(QStringLiteral("provider")).toString();
        if (provider != QLatin1String("google") && provider != QLatin1String("dropbox"))
            return fail(request, response, 400, QStringLiteral("unknown provider"));
        const qint64 days = body->value(QStringLiteral("expiry_days")).toInteger();
        const QJsonValue preset = body->value(QStringLiteral("preset_id"));
        const QString token = random(12);
        m_db->exec(QStringLiteral("INSERT INTO links (token, account, drive_file_id, provider, filename, filesize, mimetype, "
                                  "custom_message, password, preset_id, expires_at, created_at, direct_url, google_refresh_token) "
                                  "VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)"),
                   {token, key, body->value(QStringLiteral("drive_file_id")).toString(), provider,
                    body->value(QStringLiteral("original_filename")).toString(), body->value(QStringLiteral("filesize")).toInteger(),
                    body->value(QStringLiteral("mimetype")).toString(), body->value(QStringLiteral("custom_message")).toString(),
                    passwordHash(body->value(QStringLiteral("password")).toString()),
                    isInteger(preset) ? QVariant(preset.toInteger()) : QVariant(),
                    days > 0 ? QVariant(iso(now().addDays(days))) : QVariant(), iso(now()),
                    body->value(QStringLiteral("direct_url")).toString(), body->value(QStringLiteral("google_refresh_token")).toString()});
        json(response, 200,
             {{QStringLiteral("token"), token}, {QStringLiteral("url"), QString(baseUrl() + QStringLiteral("/l/") + token)}});
    });

    // The edits of one link: the body's token must name a link of the caller's account.
    const auto edit = [this](const char *path, std::function<void(const QString &token, const QJsonObject &body, Response &)> apply) {
        m_server->Post(path, [this, apply](const Request &request, Response &response) {
            const QString key = account(request, response);
            if (key.isEmpty())
                return;
            const std::optional<QJsonObject> body = jsonBody(request, response);
            if (!body)
                return;
            const QString token = body->value(QStringLiteral("token")).toString();
            if (m_db->query(QStringLiteral("SELECT 1 FROM links WHERE token = ? AND account = ?"), {token, key}).isEmpty())
                return fail(request, response, 404, QStringLiteral("No such link."));
            apply(token, *body, response);
        });
    };
    edit("/api/set_preset.php", [this](const QString &token, const QJsonObject &body, Response &response) {
        const QJsonValue id = body.value(QStringLiteral("preset_id"));
        if (!isInteger(id) || m_db->query(QStringLiteral("SELECT 1 FROM presets WHERE id = ?"), {id.toInteger()}).isEmpty())
            return failAsText(response, 400, QStringLiteral("No such preset."));
        m_db->exec(QStringLiteral("UPDATE links SET preset_id = ? WHERE token = ?"), {id.toInteger(), token});
        json(response, 200, {{QStringLiteral("ok"), true}});
    });
    edit("/api/set_password.php", [this](const QString &token, const QJsonObject &body, Response &response) {
        if (!body.value(QStringLiteral("password")).isString())
            return failAsText(response, 400, QStringLiteral("password must be a string"));
        m_db->exec(QStringLiteral("UPDATE links SET password = ? WHERE token = ?"),
                   {passwordHash(body.value(QStringLiteral("password")).toString()), token});
        json(response, 200, {{QStringLiteral("ok"), true}});
    });
    edit("/api/set_expiry.php", [this](const QString &token, const QJsonObject &body, Response &response) {
        const QJsonValue days = body.value(QStringLiteral("expiry_days"));
        if (!isInteger(days))
            return failAsText(response, 400, QStringLiteral("expiry_days must be an integer"));
        const QVariant expires = days.toInteger() > 0 ? QVariant(iso(now().addDays(days.toInteger()))) : QVariant();
        m_db->exec(QStringLiteral("UPDATE links SET expires_at = ? WHERE token = ?"), {expires, token});
        json(response, 200,
             {{QStringLiteral("expires_at"), expires.isNull() ? QJsonValue(QJsonValue::Null) : QJsonValue(expires.toString())}});
    });
    edit("/api/rename.php", [this](const QString &token, const QJsonObject &body, Response &response) {
        const QString name = body.value(QStringLiteral("filename")).toString().trimmed();
        if (name.isEmpty() || name.contains(QLatin1Char('/')))
            return failWithErrorKey(response, 409, QStringLiteral("That name can't be used."));
        m_db->exec(QStringLiteral("UPDATE links SET filename = ? WHERE token = ?"), {name, token});
        json(response, 200, {{QStringLiteral("filename"), name}});
    });
    edit("/api/send_link.php", [this](const QString &token, const QJsonObject &body, Response &response) {
        const QString to = body.value(QStringLiteral("to")).toString();
        if (!to.contains(QLatin1Char('@')))
            return failAsText(response, 400, QStringLiteral("That address doesn't look right."));
        m_db->exec(QStringLiteral("INSERT INTO outbox (token, recipient, note, sent_at) VALUES (?, ?, ?, ?)"),
                   {token, to, body.value(QStringLiteral("note")).toString(), iso(now())});
        json(response, 200, {{QStringLiteral("ok"), true}});
    });
    edit("/api/delete.php", [this](const QString &token, const QJsonObject &, Response &response) {
        m_db->exec(QStringLiteral("DELETE FROM links WHERE token = ?"), {token});
        json(response, 200, {{QStringLiteral("ok"), true}});
    });

    m_server->Get("/api/expired.php", [this](const Request &request, Response &response) {
        const QString key = account(request, response);
        if (key.isEmpty())
            return;
        QJsonArray items;
        const auto rows = m_db->query(QStringLiteral("SELECT token, drive_file_id FROM links WHERE account = ? AND provider = 'google' "
                                                     "AND expires_at IS NOT NULL AND expires_at <= ? ORDER BY expires_at"),
                                      {key, iso(now())});
        for (const QVariantMap &row : rows)
            items.append(QJsonObject{{QStringLiteral("token"), row.value(QStringLiteral("token")).toString()},
                                     {QStringLiteral("drive_file_id"), row.value(QStringLiteral("drive_file_id")).toString()}});
        json(response, 200, {{QStringLiteral("count"), qint64(items.size())}, {QStringLiteral("items"), items}});
    });
}

void DevStack::routeTestHooks()
{
    m_server->Post("/__test/clock", [this](const httplib::Request &request, httplib::Response &response) {
        const std::optional<QJsonObject> body = jsonBody(request, response);
        if (!body)
            return;
        m_clockOffset += body->value(QStringLiteral("advance_seconds")).toInteger();
        json(response, 200, {{QStringLiteral("now"), iso(now())}});
    });
    m_server->Get("/__test/outbox", [this](const httplib::Request &, httplib::Response &response) {
        QJsonArray mails;
        for (const QVariantMap &row : m_db->query(QStringLiteral("SELECT token, recipient, note FROM outbox ORDER BY id")))
            mails.append(QJsonObject{{QStringLiteral("token"), row.value(QStringLiteral("token")).toString()},
                                     {QStringLiteral("to"), row.value(QStringLiteral("recipient")).toString()},
                                     {QStringLiteral("note"), row.value(QStringLiteral("note")).toString()}});
        json(response, 200, {{QStringLiteral("outbox"), mails}});
    });

    // {"path": "/api/register.php", "status": 503, "body": {...} or "text", "times": 2,
    //  "method": "POST", "headers": {"Retry-After": "2"}, "repeat": 1}: the next `times` requests
    // for that path (default 1; 0 clears), of that method when one is named, get that answer,
    // with those headers and the body `repeat` times over (a huge answer), instead of being served.
    m_server->Post("/__test/fail", [this](const httplib::Request &request, httplib::Response &response) {
        const std::optional<QJsonObject> body = jsonBody(request, response);
        if (!body)
            return;
        const std::string path = body->value(QStringLiteral("path")).toString().toStdString();
        if (path.empty() || path.front() != '/')
            return failAsText(response, 400, QStringLiteral("path must start with /"));
        InjectedFailure failure;
        failure.status = int(body->value(QStringLiteral("status")).toInteger(500));
        failure.remaining = int(body->value(QStringLiteral("times")).toInteger(1));
        const QJsonValue answer = body->value(QStringLiteral("body"));
        failure.body = answer.isObject() ? QJsonDocument(answer.toObject()).toJson(QJsonDocument::Compact).toStdString()
                                         : answer.toString().toStdString();
        failure.contentType = answer.isObject() ? "application/json" : "text/plain";
        const qint64 repeat = body->value(QStringLiteral("repeat")).toInteger(1);
        if (repeat < 1 || repeat * qint64(failure.body.size()) > (qint64(1) << 30))
            return failAsText(response, 400, QStringLiteral("repeat must make a body of 1 GiB at most"));
        const std::string once = failure.body;
        failure.body.reserve(size_t(repeat) * once.size());
        for (qint64 i = 1; i < repeat; ++i)
            failure.body += once;
        failure.method = body->value(QStringLiteral("method")).toString().toStdString();
        failure.afterBytes = body->value(QStringLiteral("after_bytes")).toInteger(-1);
        const QJsonObject headers = body->value(QStringLiteral("headers")).toObject();
        for (auto header = headers.begin(); header != headers.end(); ++header)
            failure.headers.append({header.key().toStdString(), header.value().toString().toStdString()});
        std::lock_guard lock(m_hooksMutex);
        if (failure.remaining > 0)
            m_failures.insert(path, failure);
        else
            m_failures.remove(path);
        json(response, 200, {{QStringLiteral("ok"), true}});
    });
    m_server->set_pre_routing_handler([this](const httplib::Request &request, httplib::Response &response) {
        std::lock_guard lock(m_hooksMutex);
        const std::optional<InjectedFailure> failure = take(m_failures, request);
        if (!failure)
            return httplib::Server::HandlerResponse::Unhandled;
        if (failure->afterBytes >= 0) { // the route answers it once that much of the body is in
            m_partialFailures.insert(request.path, *failure);
            return httplib::Server::HandlerResponse::Unhandled;
        }
        response.status = failure->status;
        for (const auto &[name, value] : failure->headers)
            response.set_header(name, value);
        // Answered before the request's body is read, as a server turning a request away does;
        // what is left of the body must not be taken for the next request.
        response.set_header("Connection", "close");
        response.set_content(failure->body, failure->contentType);
        return httplib::Server::HandlerResponse::Handled;
    });

    // {"path": "/api/register.php", "seconds": 30, "times": 1, "method": "POST", "close": false}:
    // the next `times` requests for that path are served as usual, and their answer is then held
    // back for that long: the work is done while the caller waits, times out or goes away. With
    // "close", the connection is then closed before a byte of the answer is sent: the work was
    // done and the caller never hears of it.
    m_server->Post("/__test/stall", [this](const httplib::Request &request, httplib::Response &response) {
        const std::optional<QJsonObject> body = jsonBody(request, response);
        if (!body)
            return;
        const std::string path = body->value(QStringLiteral("path")).toString().toStdString();
        if (path.empty() || path.front() != '/')
            return failAsText(response, 400, QStringLiteral("path must start with /"));
        Stall stall;
        stall.milliseconds = int(body->value(QStringLiteral("seconds")).toDouble(0) * 1000);
        stall.remaining = int(body->value(QStringLiteral("times")).toInteger(1));
        stall.method = body->value(QStringLiteral("method")).toString().toStdString();
        stall.close = body->value(QStringLiteral("close")).toBool();
        std::lock_guard lock(m_hooksMutex);
        if (stall.remaining > 0 && (stall.milliseconds > 0 || stall.close))
            m_stalls.insert(path, stall);
        else
            m_stalls.remove(path);
        json(response, 200, {{QStringLiteral("ok"), true}});
    });
    m_server->set_post_routing_handler([this](const httplib::Request &request, httplib::Response &) {
        int milliseconds = 0;
        bool close = false;
        {
            std::lock_guard lock(m_hooksMutex);
            const std::optional<Stall> stall = take(m_stalls, request);
            if (!stall)
                return;
            milliseconds = stall->milliseconds;
            close = stall->close;
        }
        // In slices, so that stopping the devstack does not wait for a held answer.
        for (int waited = 0; waited < milliseconds && !m_stopping; waited += 100)
            std::this_thread::sleep_for(std::chrono::milliseconds(std::min(100, milliseconds - waited)));
        if (close)
            shutDownConnectionFrom(request.remote_port);
    });

    // Every request served but the hooks' own: method, path and the status answered.
    m_server->set_logger([this](const httplib::Request &request, const httplib::Response &response) {
        // Hooks, and the rest of a turned-away request's body read as a request of its own.
        if (request.path.starts_with("/__test/") || request.method.empty())
            return;
        // The query's parameters and a JSON body, so that tests can hold the calls to the
        // providers' own descriptions of them.
        QJsonObject query;
        for (const auto &[name, value] : request.params)
            query.insert(str(name), str(value));
        QJsonObject entry{{QStringLiteral("method"), str(request.method)},
                          {QStringLiteral("path"), str(request.path)},
                          {QStringLiteral("status"), response.status},
                          {QStringLiteral("query"), query}};
        if (request.get_header_value("Content-Type").starts_with("application/json") && request.body.size() < (64 << 10))
            entry.insert(QStringLiteral("json"), QJsonDocument::fromJson(QByteArray::fromStdString(request.body)).object());
        std::lock_guard lock(m_hooksMutex);
        m_requestLog.append(entry);
    });
    // Upload body bytes the content endpoints have received, whole requests or not.
    m_server->Get("/__test/stats", [this](const httplib::Request &, httplib::Response &response) {
        json(response, 200, {{QStringLiteral("upload_bytes"), qint64(m_uploadBytes)}});
    });
    m_server->Get("/__test/requests", [this](const httplib::Request &, httplib::Response &response) {
        std::lock_guard lock(m_hooksMutex);
        json(response, 200, {{QStringLiteral("requests"), m_requestLog}});
    });
}

int DevStack::bind(int port)
{
    // A restarted devstack must get its port back while old connections sit in TIME_WAIT.
    m_server->set_socket_options([](socket_t socket) {
        const int yes = 1;
        ::setsockopt(socket, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof(yes));
    });
    m_port = port == 0 ? m_server->bind_to_any_port("127.0.0.1") : (m_server->bind_to_port("127.0.0.1", port) ? port : -1);
    if (m_port < 0)
        m_error = QStringLiteral("cannot listen on 127.0.0.1:%1").arg(port);
    return m_port;
}

bool DevStack::run()
{
    return m_server->listen_after_bind();
}

void DevStack::stop()
{
    m_stopping = true;
    m_server->stop();
}

template<class Hook>
std::optional<Hook> DevStack::take(QMap<std::string, Hook> &hooks, const httplib::Request &request)
{
    const auto found = hooks.find(request.path);
    if (found == hooks.end() || (!found->method.empty() && found->method != request.method))
        return std::nullopt;
    const Hook hook = *found;
    if (--found->remaining <= 0)
        hooks.erase(found);
    return hook;
}
