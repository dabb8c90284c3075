// The Google stand-in: OAuth 2.0 with PKCE (the verifier is checked against the challenge),
// user info, and the Drive v3 calls Kavo makes. File bytes live under <state>/drive/.

#include "devhttp.h"
#include "devstack.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QUrl>
#include <QUrlQuery>

#include <httplib.h>

using namespace DevHttp;

namespace {

void oauthError(httplib::Response &response, const QString &error, const QString &description)
{
    json(response, 400, {{QStringLiteral("error"), error}, {QStringLiteral("error_description"), description}});
}

// An error in Google's shape: the code, the message, the errors with their reason, the status.
void driveError(httplib::Response &response, int status, const QString &message, const QString &reasonGiven = {})
{
    const QString reason = !reasonGiven.isEmpty() ? reasonGiven
        : status == 401                           ? QStringLiteral("authError")
        : status == 404                           ? QStringLiteral("notFound")
        : status >= 500                           ? QStringLiteral("backendError")
                                                  : QStringLiteral("badRequest");
    const QString state = status == 401 ? QStringLiteral("UNAUTHENTICATED")
        : status == 403                 ? QStringLiteral("PERMISSION_DENIED")
        : status == 404                 ? QStringLiteral("NOT_FOUND")
        : status >= 500                 ? QStringLiteral("INTERNAL")
                                        : QStringLiteral("INVALID_ARGUMENT");
    const QJsonObject entry{
        {QStringLiteral("domain"), QStringLiteral("global")}, {QStringLiteral("reason"), reason}, {QStringLiteral("message"), message}};
    // A refusal may come before the body was read: what is left of it must not be taken for a request.
    response.set_header("Connection", "close");
    json(response, status,
         {{QStringLiteral("error"),
           QJsonObject{{QStringLiteral("code"), status},
                       {QStringLiteral("message"), message},
                       {QStringLiteral("errors"), QJsonArray{entry}},
                       {QStringLiteral("status"), state}}}});
}

// Whether `fields` is a selection files.list understands: top-level fields of its answer and,
// in files(...), fields of a file.
bool validListFields(const QString &fields)
{
    static const QStringList top
        = {QStringLiteral("kind"), QStringLiteral("nextPageToken"), QStringLiteral("incompleteSearch"), QStringLiteral("files")};
    static const QStringList file
        = {QStringLiteral("id"),           QStringLiteral("name"),       QStringLiteral("mimeType"), QStringLiteral("parents"),
           QStringLiteral("trashed"),      QStringLiteral("size"),       QStringLiteral("kind"),     QStringLiteral("createdTime"),
           QStringLiteral("modifiedTime"), QStringLiteral("webViewLink")};
    static const QRegularExpression item(QStringLiteral("^\\s*(\\w+)(?:\\(([^()]*)\\))?\\s*$"));
    // Split at top-level commas only.
    QStringList parts;
    int depth = 0;
    QString current;
    for (const QChar c : fields) {
        depth += c == QLatin1Char('(') ? 1 : c == QLatin1Char(')') ? -1 : 0;
        if (depth < 0)
            return false;
        if (c == QLatin1Char(',') && depth == 0) {
            parts.append(current);
            current.clear();
        } else {
            current += c;
        }
    }
    parts.append(current);
    if (depth != 0)
        return false;
    for (const QString &part : parts) {
        const QRegularExpressionMatch m = item.match(part);
        if (!m.hasMatch() || !top.contains(m.captured(1)))
            return false;
        if (m.capturedLength(2) > 0) {
            if (m.captured(1) != QLatin1String("files"))
                return false;
            for (const QString &sub : m.captured(2).split(QLatin1Char(',')))
                if (!file.contains(sub.trimmed()))
                    return false;
        }
    }
    return true;
}

// The terms of a files.list query Kavo's kind of search uses, joined by "and": name = 'x',
// mimeType = 'x', trashed = true|false; no value when the query is not valid.
std::optional<QMap<QString, QString>> listQuery(const QString &q)
{
    static const QRegularExpression term(
        QStringLiteral("^\\s*(name|mimeType)\\s*=\\s*'((?:[^'\\\\]|\\\\.)*)'\\s*$|^\\s*(trashed)\\s*=\\s*(true|false)\\s*$"));
    QMap<QString, QString> terms;
    if (q.trimmed().isEmpty())
        return terms;
    for (const QString &part : q.split(QStringLiteral(" and "))) {
        const QRegularExpressionMatch m = term.match(part);
        if (!m.hasMatch())
            return std::nullopt;
        if (m.capturedLength(1) > 0)
            terms.insert(m.captured(1),
                         QString(m.captured(2))
                             .replace(QStringLiteral("\\'"), QStringLiteral("'"))
                             .replace(QStringLiteral("\\\\"), QStringLiteral("\\")));
        else
            terms.insert(m.captured(3), m.captured(4));
    }
    return terms;
}

} // namespace

QString DevStack::googleUser(const httplib::Request &request, httplib::Response &response)
{
    const QString header = str(request.get_header_value("Authorization"));
    const QString token = header.startsWith(QLatin1String("Bearer ")) ? header.mid(7) : QString();
    const auto rows = m_db->query(QStringLiteral("SELECT refresh_token FROM google_access WHERE access_token = ? AND expires_at > ?"),
                                  {token, now().toSecsSinceEpoch()});
    if (token.isEmpty() || rows.isEmpty()) {
        driveError(response, 401, QStringLiteral("Invalid Credentials"));
        return {};
    }
    return rows.first().value(QStringLiteral("refresh_token")).toString();
}

QString DevStack::driveFilePath(const QString &id) const
{
    return m_options.stateDir + QStringLiteral("/drive/") + id;
}

void DevStack::routeGoogle()
{
    using httplib::Request;
    using httplib::Response;
    const QStringList schema = {
        QStringLiteral("CREATE TABLE IF NOT EXISTS google_codes (code TEXT PRIMARY KEY, challenge TEXT, redirect_uri TEXT)"),
        QStringLiteral("CREATE TABLE IF NOT EXISTS google_refresh (refresh_token TEXT PRIMARY KEY)"),
        QStringLiteral("CREATE TABLE IF NOT EXISTS google_access (access_token TEXT PRIMARY KEY, refresh_token TEXT, expires_at INTEGER)"),
        QStringLiteral("CREATE TABLE IF NOT EXISTS drive_files (id TEXT PRIMARY KEY, name TEXT, mime TEXT, parent TEXT, size INTEGER, "
                       "public INTEGER DEFAULT 0, folder INTEGER DEFAULT 0)"),
        QStringLiteral(
            "CREATE TABLE IF NOT EXISTS drive_sessions (upload_id TEXT PRIMARY KEY, name TEXT, parent TEXT, mime TEXT, length INTEGER)"),
    };
    for (const QString &statement : schema)
        m_db->exec(statement);
    // Columns added since the first devstack.
    m_db->addMissingColumns(QStringLiteral("google_codes"),
                            {QStringLiteral("created_at INTEGER DEFAULT 0"), QStringLiteral("offline INTEGER DEFAULT 0")});
    m_db->addMissingColumns(QStringLiteral("drive_sessions"),
                            {QStringLiteral("created_at INTEGER DEFAULT 0"), QStringLiteral("file_id TEXT")});
    QDir().mkpath(m_options.stateDir + QStringLiteral("/drive/sessions"));

    // The consent page approves at once and sends the browser back with a code. As Google does
    // for a desktop client, it takes only the registered client, a loopback redirect on any port
    // with the registered path, and a scope that includes drive.file; a refusal is an error page.
    m_server->Get("/o/oauth2/v2/auth", [this](const Request &request, Response &response) {
        const QString redirect = str(request.get_param_value("redirect_uri"));
        const QString challenge = str(request.get_param_value("code_challenge"));
        const QUrl back(redirect, QUrl::StrictMode);
        const QString why = str(request.get_param_value("client_id")) != m_options.googleClientId
            ? QStringLiteral("invalid_client: The OAuth client was not found.")
            : back.scheme() != QLatin1String("http")
                || (back.host() != QLatin1String("127.0.0.1") && back.host() != QLatin1String("::1")
                    && back.host() != QLatin1String("localhost"))
                || back.path() != QLatin1String("/oauth2redirect")
            ? QStringLiteral(
                "redirect_uri_mismatch: The redirect URI in the request does not match the ones authorized for the OAuth client.")
            : !str(request.get_param_value("scope"))
                   .split(QLatin1Char(' '))
                   .contains(QStringLiteral("https://www.googleapis.com/auth/drive.file"))
            ? QStringLiteral("invalid_scope: Some requested scopes were invalid.")
            : challenge.isEmpty() || str(request.get_param_value("code_challenge_method")) != QLatin1String("S256")
                || str(request.get_param_value("response_type")) != QLatin1String("code")
            ? QStringLiteral("invalid_request: Missing or wrong authorization parameters.")
            : QString();
        if (!why.isEmpty()) {
            response.status = 400;
            response.set_content(QString(QStringLiteral("Error 400: ") + why).toStdString(), "text/plain");
            return;
        }
        const QString code = QStringLiteral("4/") + random(40);
        // As with Google, only a request for offline access is answered with a refresh token.
        const bool offline = str(request.get_param_value("access_type")) == QLatin1String("offline");
        m_db->exec(QStringLiteral("INSERT INTO google_codes (code, challenge, redirect_uri, created_at, offline) VALUES (?, ?, ?, ?, ?)"),
                   {code, challenge, redirect, now().toSecsSinceEpoch(), offline ? 1 : 0});
        QUrl answer = back;
        QUrlQuery query(answer);
        query.addQueryItem(QStringLiteral("code"), QString::fromLatin1(QUrl::toPercentEncoding(code)));
        if (request.has_param("state"))
            query.addQueryItem(QStringLiteral("state"),
                               QString::fromLatin1(QUrl::toPercentEncoding(str(request.get_param_value("state")))));
        query.addQueryItem(QStringLiteral("scope"), QString::fromLatin1(QUrl::toPercentEncoding(str(request.get_param_value("scope")))));
        answer.setQuery(query);
        response.set_redirect(answer.toString(QUrl::FullyEncoded).toStdString());
    });

    m_server->Post("/token", [this](const Request &request, Response &response) {
        QMap<QString, QString> form = formOf(request);
        // The client authenticates in the form or, as Google also takes, with HTTP Basic.
        const QString basic = str(request.get_header_value("Authorization"));
        if (basic.startsWith(QLatin1String("Basic "))) {
            const QString pair = QString::fromUtf8(QByteArray::fromBase64(basic.mid(6).toLatin1()));
            form.insert(QStringLiteral("client_id"), QUrl::fromPercentEncoding(pair.section(QLatin1Char(':'), 0, 0).toUtf8()));
            form.insert(QStringLiteral("client_secret"), QUrl::fromPercentEncoding(pair.section(QLatin1Char(':'), 1).toUtf8()));
        }
        if (form.value(QStringLiteral("client_id")) != m_options.googleClientId
            || form.value(QStringLiteral("client_secret")) != m_options.googleClientSecret) {
            json(response, 401,
                 {{QStringLiteral("error"), QStringLiteral("invalid_client")},
                  {QStringLiteral("error_description"), QStringLiteral("Unauthorized")}});
            return;
        }
        const auto grant = [&](const QString &refresh, bool withRefresh) {
            const QString access = QStringLiteral("ya29.") + random(60);
            m_db->exec(QStringLiteral("INSERT INTO google_access VALUES (?, ?, ?)"), {access, refresh, now().toSecsSinceEpoch() + 3599});
            QJsonObject body{{QStringLiteral("access_token"), access},
                             {QStringLiteral("expires_in"), 3599},
                             {QStringLiteral("token_type"), QStringLiteral("Bearer")},
                             {QStringLiteral("scope"), QStringLiteral("https://www.googleapis.com/auth/drive.file")}};
            if (withRefresh)
                body.insert(QStringLiteral("refresh_token"), refresh);
            json(response, 200, body);
        };
        if (form.value(QStringLiteral("grant_type")) == QLatin1String("authorization_code")) {
            const auto rows
                = m_db->query(QStringLiteral("SELECT * FROM google_codes WHERE code = ?"), {form.value(QStringLiteral("code"))});
            m_db->exec(QStringLiteral("DELETE FROM google_codes WHERE code = ?"), {form.value(QStringLiteral("code"))});
            // A code is good once, for ten minutes.
            if (rows.isEmpty() || rows.first().value(QStringLiteral("created_at")).toLongLong() < now().toSecsSinceEpoch() - 600)
                return oauthError(response, QStringLiteral("invalid_grant"), QStringLiteral("Malformed auth code."));
            if (rows.first().value(QStringLiteral("challenge")).toString() != s256(form.value(QStringLiteral("code_verifier"))))
                return oauthError(response, QStringLiteral("invalid_grant"), QStringLiteral("Invalid code verifier."));
            if (rows.first().value(QStringLiteral("redirect_uri")).toString() != form.value(QStringLiteral("redirect_uri")))
                return oauthError(response, QStringLiteral("redirect_uri_mismatch"), QStringLiteral("Bad Request"));
            if (rows.first().value(QStringLiteral("offline")).toInt() == 0)
                return grant(QStringLiteral("online-") + random(20), false); // the grant's own mark, never a refresh token
            const QString refresh = QStringLiteral("1//") + random(60);
            m_db->exec(QStringLiteral("INSERT INTO google_refresh VALUES (?)"), {refresh});
            return grant(refresh, true);
        }
        if (form.value(QStringLiteral("grant_type")) == QLatin1String("refresh_token")) {
            const QString refresh = form.value(QStringLiteral("refresh_token"));
            if (m_db->query(QStringLiteral("SELECT 1 FROM google_refresh WHERE refresh_token = ?"), {refresh}).isEmpty())
                return oauthError(response, QStringLiteral("invalid_grant"), QStringLiteral("Token has been expired or revoked."));
            return grant(refresh, false);
        }
        oauthError(response, QStringLiteral("unsupported_grant_type"), QStringLiteral("Invalid grant_type."));
    });

    // As with Google: with only the drive.file scope the user-info endpoint names the subject
    // and no e-mail; Drive's "about" (which wants its `fields`) names the account.
    m_server->Get("/oauth2/v3/userinfo", [this](const Request &request, Response &response) {
        if (googleUser(request, response).isEmpty())
            return;
        json(response, 200, {{QStringLiteral("sub"), QStringLiteral("100000000000000000001")}});
    });
    m_server->Get("/drive/v3/about", [this](const Request &request, Response &response) {
        if (googleUser(request, response).isEmpty())
            return;
        if (!request.has_param("fields"))
            return json(
                response, 400,
                {{QStringLiteral("error"),
                  QJsonObject{{QStringLiteral("code"), 400},
                              {QStringLiteral("message"), QStringLiteral("The 'fields' parameter is required for this method.")}}}});
        json(response, 200,
             {{QStringLiteral("user"),
               QJsonObject{{QStringLiteral("kind"), QStringLiteral("drive#user")},
                           {QStringLiteral("displayName"), QStringLiteral("Drive User")},
                           {QStringLiteral("emailAddress"), QStringLiteral("drive-user@kavo.test")}}}});
    });

    // Folder search: the expression Kavo sends names the folder MIME type and the name.
    m_server->Get("/drive/v3/files", [this](const Request &request, Response &response) {
        if (googleUser(request, response).isEmpty())
            return;
        // Drive refuses a query or a field selection it cannot parse, as it does.
        const QString q = str(request.get_param_value("q"));
        const std::optional<QMap<QString, QString>> terms = listQuery(q);
        if (!terms)
            return driveError(response, 400, QStringLiteral("Invalid Value"), QStringLiteral("invalid"));
        if (request.has_param("fields") && !validListFields(str(request.get_param_value("fields"))))
            return driveError(response, 400, QStringLiteral("Invalid field selection ") + str(request.get_param_value("fields")),
                              QStringLiteral("invalidParameter"));
        const QString name = terms->value(QStringLiteral("name"));
        const bool folders = terms->value(QStringLiteral("mimeType")) == QLatin1String("application/vnd.google-apps.folder");
        QJsonArray files;
        const auto rows = m_db->query(
            QStringLiteral("SELECT id, name FROM drive_files WHERE (? = 0 OR folder = 1) AND (? = '' OR name = ?) ORDER BY rowid"),
            {folders ? 1 : 0, name, name});
        for (const QVariantMap &row : rows)
            files.append(QJsonObject{{QStringLiteral("id"), row.value(QStringLiteral("id")).toString()},
                                     {QStringLiteral("name"), row.value(QStringLiteral("name")).toString()}});
        json(response, 200, {{QStringLiteral("files"), files}});
    });

    m_server->Post("/drive/v3/files", [this](const Request &request, Response &response) {
        if (googleUser(request, response).isEmpty())
            return;
        const QJsonObject body = QJsonDocument::fromJson(QByteArray::fromStdString(request.body)).object();
        const QString id = random(33);
        const bool folder = body.value(QStringLiteral("mimeType")).toString() == QLatin1String("application/vnd.google-apps.folder");
        m_db->exec(QStringLiteral("INSERT INTO drive_files (id, name, mime, parent, size, folder) VALUES (?, ?, ?, ?, 0, ?)"),
                   {id, body.value(QStringLiteral("name")).toString(), body.value(QStringLiteral("mimeType")).toString(),
                    body.value(QStringLiteral("parents")).toArray().first().toString(), folder ? 1 : 0});
        json(response, 200, {{QStringLiteral("id"), id}, {QStringLiteral("name"), body.value(QStringLiteral("name")).toString()}});
    });

    m_server->Post("/upload/drive/v3/files", [this](const Request &request, Response &response) {
        if (googleUser(request, response).isEmpty())
            return;
        if (str(request.get_param_value("uploadType")) != QLatin1String("resumable"))
            return driveError(response, 400, QStringLiteral("uploadType must be resumable"));
        const QJsonObject metadata = QJsonDocument::fromJson(QByteArray::fromStdString(request.body)).object();
        const QString parent = metadata.value(QStringLiteral("parents")).toArray().first().toString();
        if (!parent.isEmpty() && m_db->query(QStringLiteral("SELECT 1 FROM drive_files WHERE id = ? AND folder = 1"), {parent}).isEmpty())
            return driveError(response, 404, QStringLiteral("File not found: ") + parent);
        const QString uploadId = random(40);
        m_db->exec(
            QStringLiteral("INSERT INTO drive_sessions (upload_id, name, parent, mime, length, created_at) VALUES (?, ?, ?, ?, ?, ?)"),
            {uploadId, metadata.value(QStringLiteral("name")).toString(), parent, str(request.get_header_value("X-Upload-Content-Type")),
             str(request.get_header_value("X-Upload-Content-Length")).toLongLong(), now().toSecsSinceEpoch()});
        response.set_header(
            "Location",
            QString(baseUrl() + QStringLiteral("/upload/drive/v3/files?uploadType=resumable&upload_id=") + uploadId).toStdString());
        json(response, 200, {});
    });

    // The session's bytes go straight to disk as they arrive, and what arrived stays there when
    // the connection drops (rounded down to 256 KiB, as Drive keeps whole blocks only). A PUT
    // without Content-Range sends the whole file; "bytes A-B/N" sends from A, which must be where
    // the session stands; "bytes */N" with no body asks where it stands: 308 with the Range held
    // (none when nothing is), or 200 with the file once it is complete. A session lives a week.
    m_server->Put("/upload/drive/v3/files", [this](const Request &request, Response &response, const httplib::ContentReader &reader) {
        const QString uploadId = str(request.get_param_value("upload_id"));
        const std::unique_lock oneAtATime = lockSession(QStringLiteral("drive:") + uploadId);
        const auto sessions = m_db->query(QStringLiteral("SELECT * FROM drive_sessions WHERE upload_id = ?"), {uploadId});
        if (sessions.isEmpty()
            || sessions.first().value(QStringLiteral("created_at")).toLongLong() + driveSessionLifetime < now().toSecsSinceEpoch())
            return driveError(response, 404, QStringLiteral("No such upload session."));
        const QVariantMap session = sessions.first();
        const auto fileJson = [&session](const QString &id) {
            return QJsonObject{{QStringLiteral("id"), id},
                               {QStringLiteral("name"), session.value(QStringLiteral("name")).toString()},
                               {QStringLiteral("mimeType"), session.value(QStringLiteral("mime")).toString()}};
        };
        if (!session.value(QStringLiteral("file_id")).toString().isEmpty())
            return json(response, 200, fileJson(session.value(QStringLiteral("file_id")).toString()));
        const qint64 announced = session.value(QStringLiteral("length")).toLongLong();
        const QString partial = m_options.stateDir + QStringLiteral("/drive/sessions/") + uploadId;
        const qint64 held = QFileInfo(partial).size();
        const auto incomplete = [&response](qint64 held) {
            response.status = 308;
            if (held > 0)
                response.set_header("Range", "bytes=0-" + std::to_string(held - 1));
        };
        const QString range = str(request.get_header_value("Content-Range"));
        static const QRegularExpression query(QStringLiteral("^bytes \\*/(\\d+)$"));
        static const QRegularExpression part(QStringLiteral("^bytes (\\d+)-(\\d+)/(\\d+)$"));
        const qint64 length = str(request.get_header_value("Content-Length")).toLongLong();
        qint64 from = 0;
        if (range.isEmpty()) {
            if (length != announced)
                return driveError(response, 400, QStringLiteral("Content-Length does not match X-Upload-Content-Length."));
        } else if (const QRegularExpressionMatch asked = query.match(range); asked.hasMatch()) {
            if (asked.captured(1).toLongLong() != announced || length != 0)
                return driveError(response, 400, QStringLiteral("Invalid Content-Range for a status query."));
            return incomplete(held);
        } else if (const QRegularExpressionMatch sent = part.match(range); sent.hasMatch()) {
            from = sent.captured(1).toLongLong();
            if (sent.captured(3).toLongLong() != announced || sent.captured(2).toLongLong() - from + 1 != length
                || sent.captured(2).toLongLong() >= announced)
                return driveError(response, 400, QStringLiteral("Invalid Content-Range."));
            if (from > held)
                return driveError(response, 400, QStringLiteral("The upload must continue where the session stands."));
            // A chunk that does not end the file must be a whole number of 256 KiB blocks.
            if (sent.captured(2).toLongLong() + 1 < announced && length % (qint64(256) * 1024) != 0)
                return driveError(response, 400, QStringLiteral("Chunk size must be a multiple of 256 KiB."));
        } else {
            return driveError(response, 400, QStringLiteral("Invalid Content-Range."));
        }
        QFile file(partial);
        if (!file.open(QIODevice::ReadWrite) || !file.resize(from) || !file.seek(from))
            return driveError(response, 500, QStringLiteral("cannot store the upload"));
        // A failure injected part-way: once that much has come, what came is kept (in whole
        // blocks) and the failure is the answer.
        const std::optional<InjectedFailure> cut = takePartialFailure(request);
        qint64 received = 0;
        const bool whole = reader([&](const char *data, size_t size) {
            received += qint64(size);
            m_uploadBytes += qint64(size);
            return file.write(data, qint64(size)) == qint64(size) && !(cut && received >= cut->afterBytes);
        });
        const qint64 stands = from + received;
        if (cut && received >= cut->afterBytes) {
            file.resize(stands - stands % (qint64(256) * 1024));
            response.status = cut->status;
            response.set_header("Connection", "close");
            response.set_content(cut->body, cut->contentType);
            return;
        }
        if (!whole || received != length) {
            file.resize(stands - stands % (qint64(256) * 1024));
            return incomplete(file.size());
        }
        file.close();
        if (stands < announced)
            return incomplete(stands);
        const QString id = random(33);
        QFile::rename(partial, driveFilePath(id));
        m_db->exec(QStringLiteral("UPDATE drive_sessions SET file_id = ? WHERE upload_id = ?"), {id, uploadId});
        m_db->exec(QStringLiteral("INSERT INTO drive_files (id, name, mime, parent, size) VALUES (?, ?, ?, ?, ?)"),
                   {id, session.value(QStringLiteral("name")), session.value(QStringLiteral("mime")),
                    session.value(QStringLiteral("parent")), stands});
        json(response, 200, fileJson(id));
    });

    m_server->Post(R"(/drive/v3/files/([^/]+)/permissions)", [this](const Request &request, Response &response) {
        if (googleUser(request, response).isEmpty())
            return;
        const QString id = str(request.matches[1]);
        if (m_db->query(QStringLiteral("SELECT 1 FROM drive_files WHERE id = ?"), {id}).isEmpty())
            return driveError(response, 404, QStringLiteral("File not found: ") + id);
        // As Drive: a permission names its type and role; only "anyone" makes the file public.
        const QJsonObject body = QJsonDocument::fromJson(QByteArray::fromStdString(request.body)).object();
        for (const QString &field : {QStringLiteral("type"), QStringLiteral("role")})
            if (body.value(field).toString().isEmpty())
                return driveError(response, 400, QStringLiteral("The permission %1 field is required.").arg(field),
                                  QStringLiteral("required"));
        const QString type = body.value(QStringLiteral("type")).toString();
        if (type == QLatin1String("anyone"))
            m_db->exec(QStringLiteral("UPDATE drive_files SET public = 1 WHERE id = ?"), {id});
        json(response, 200,
             {{QStringLiteral("id"), type == QLatin1String("anyone") ? QStringLiteral("anyoneWithLink") : random(20)},
              {QStringLiteral("type"), type},
              {QStringLiteral("role"), body.value(QStringLiteral("role")).toString()}});
    });

    m_server->Delete(R"(/drive/v3/files/([^/]+))", [this](const Request &request, Response &response) {
        if (googleUser(request, response).isEmpty())
            return;
        const QString id = QUrl::fromPercentEncoding(request.matches[1].str().c_str());
        if (m_db->query(QStringLiteral("SELECT 1 FROM drive_files WHERE id = ?"), {id}).isEmpty())
            return driveError(response, 404, QStringLiteral("File not found: ") + id);
        m_db->exec(QStringLiteral("DELETE FROM drive_files WHERE id = ?"), {id});
        QFile::remove(driveFilePath(id));
        response.status = 204;
    });
}
