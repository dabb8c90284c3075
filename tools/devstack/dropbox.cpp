// The Dropbox stand-in: OAuth with PKCE (the redirect goes to vendrel://dropbox-auth), the
// account, upload sessions with offset checks, shared links, deletion. Files live under
// <state>/dropbox/, named after their path's hash.

#include "devhttp.h"
#include "devstack.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QRandomGenerator>
#include <QUrl>
#include <QUrlQuery>
#include <algorithm>

#include <httplib.h>

using namespace DevHttp;

namespace {

const QString dropboxAccountId = QStringLiteral("dbid:AAH4f99T0taONIb-OurWxbNQ6ywGRopQngc");
const QString dropboxScopes
    = QStringLiteral("account_info.read files.content.read files.content.write files.metadata.read sharing.read sharing.write");

void conflict(httplib::Response &response, const QString &summary, const QJsonObject &error)
{
    json(response, 409, {{QStringLiteral("error_summary"), summary}, {QStringLiteral("error"), error}});
}

// A union member with a nested union: {".tag": outer, outer: {".tag": inner}}, as
// "path/not_found" or "path_lookup/not_found".
QJsonObject nested(const QString &outer, const QString &inner)
{
    return {{QStringLiteral(".tag"), outer}, {outer, QJsonObject{{QStringLiteral(".tag"), inner}}}};
}

// One field of a route's argument, as the API's reference gives it: 's' a string, 'b' a
// boolean, 'u' an unsigned integer, 'o' a struct (its fields in `nested`), 't' a union (a tag
// string or an object with ".tag").
struct Field {
    const char *name;
    char type;
    bool required;
    const std::vector<Field> *nested = nullptr;
};

// Why `value` is not an argument of that shape ("cursor.offset: expected integer"), or empty.
QString argumentProblem(const QJsonValue &value, const std::vector<Field> &fields, const QString &where = {})
{
    if (!value.isObject())
        return (where.isEmpty() ? QStringLiteral("argument") : where) + QStringLiteral(": expected object");
    const QJsonObject object = value.toObject();
    for (auto it = object.begin(); it != object.end(); ++it)
        if (std::ranges::none_of(fields, [&](const Field &f) { return it.key() == QLatin1String(f.name); }))
            return QStringLiteral("unknown field '%1'").arg(where.isEmpty() ? it.key() : QString(where + QLatin1Char('.') + it.key()));
    for (const Field &field : fields) {
        const QString name
            = where.isEmpty() ? QString::fromLatin1(field.name) : QString(where + QLatin1Char('.') + QLatin1String(field.name));
        const QJsonValue given = object.value(QLatin1String(field.name));
        if (given.isUndefined()) {
            if (field.required)
                return QStringLiteral("missing required field '%1'").arg(name);
            continue;
        }
        switch (field.type) {
        case 's':
            if (!given.isString())
                return name + QStringLiteral(": expected string");
            break;
        case 'b':
            if (!given.isBool())
                return name + QStringLiteral(": expected boolean");
            break;
        case 'u':
            if (!given.isDouble() || given.toDouble() < 0 || given.toDouble() != double(given.toInteger()))
                return name + QStringLiteral(": expected integer");
            break;
        case 't':
            if (!given.isString() && !(given.isObject() && given.toObject().value(QStringLiteral(".tag")).isString()))
                return name + QStringLiteral(": expected union");
            break;
        case 'o':
            if (const QString nested = argumentProblem(given, *field.nested, name); !nested.isEmpty())
                return nested;
            break;
        default: // the tables below use only the types above
            break;
        }
    }
    return {};
}

const std::vector<Field> cursorFields = {{"session_id", 's', true}, {"offset", 'u', true}};
const std::vector<Field> commitFields
    = {{"path", 's', true},  {"mode", 't', false},           {"autorename", 'b', false}, {"client_modified", 's', false},
       {"mute", 'b', false}, {"strict_conflict", 'b', false}};
const std::vector<Field> startArgument = {{"close", 'b', false}, {"session_type", 't', false}, {"content_hash", 's', false}};
const std::vector<Field> appendArgument = {{"cursor", 'o', true, &cursorFields}, {"close", 'b', false}, {"content_hash", 's', false}};
const std::vector<Field> finishArgument
    = {{"cursor", 'o', true, &cursorFields}, {"commit", 'o', true, &commitFields}, {"content_hash", 's', false}};
const std::vector<Field> settingsFields
    = {{"requested_visibility", 't', false}, {"audience", 't', false},      {"access", 't', false}, {"allow_download", 'b', false},
       {"require_password", 'b', false},     {"link_password", 's', false}, {"expires", 's', false}};
const std::vector<Field> sharedLinkArgument = {{"path", 's', true}, {"settings", 'o', false, &settingsFields}};
const std::vector<Field> listLinksArgument = {{"path", 's', false}, {"cursor", 's', false}, {"direct_only", 'b', false}};
const std::vector<Field> metadataArgument = {{"path", 's', true},
                                             {"include_media_info", 'b', false},
                                             {"include_deleted", 'b', false},
                                             {"include_has_explicit_shared_members", 'b', false}};
const std::vector<Field> deleteArgument = {{"path", 's', true}, {"parent_rev", 's', false}};
// The most a content call's body may carry.
constexpr qint64 maxRequestBody = qint64(150) << 20;

QString timestamp(const QDateTime &when)
{
    return when.toUTC().toString(QStringLiteral("yyyy-MM-ddTHH:mm:ssZ"));
}

// files.FileMetadata with the fields the API always gives (and its ".tag" where a Metadata union
// is expected): a revision derived from the id, the times of the answer.
QJsonObject fileMetadata(const QString &path, const QString &id, qint64 size, const QDateTime &now)
{
    const QString rev = QString::fromLatin1(QCryptographicHash::hash(id.toUtf8(), QCryptographicHash::Sha1).toHex().left(16));
    return {{QStringLiteral(".tag"), QStringLiteral("file")},
            {QStringLiteral("name"), path.section(QLatin1Char('/'), -1)},
            {QStringLiteral("id"), id},
            {QStringLiteral("client_modified"), timestamp(now)},
            {QStringLiteral("server_modified"), timestamp(now)},
            {QStringLiteral("rev"), rev},
            {QStringLiteral("size"), size},
            {QStringLiteral("path_lower"), path.toLower()},
            {QStringLiteral("path_display"), path},
            {QStringLiteral("is_downloadable"), true}};
}

// sharing.FileLinkMetadata of a public link.
QJsonObject linkMetadata(const QString &url, const QString &path, const QString &id, qint64 size, const QDateTime &now)
{
    QJsonObject link = fileMetadata(path, id, size, now);
    link.remove(QStringLiteral("is_downloadable"));
    link.insert(QStringLiteral("url"), url);
    link.insert(QStringLiteral("link_permissions"),
                QJsonObject{{QStringLiteral("can_revoke"), true},
                            {QStringLiteral("resolved_visibility"), QJsonObject{{QStringLiteral(".tag"), QStringLiteral("public")}}},
                            {QStringLiteral("visibility_policies"), QJsonArray{}},
                            {QStringLiteral("can_set_expiry"), false},
                            {QStringLiteral("can_remove_expiry"), false},
                            {QStringLiteral("allow_download"), true},
                            {QStringLiteral("can_allow_download"), true},
                            {QStringLiteral("can_disallow_download"), false},
                            {QStringLiteral("allow_comments"), true},
                            {QStringLiteral("team_restricts_comments"), false}});
    return link;
}

} // namespace

QString DevStack::dropboxFilePath(const QString &path) const
{
    return m_options.stateDir + QStringLiteral("/dropbox/")
        + QString::fromLatin1(QCryptographicHash::hash(path.toUtf8(), QCryptographicHash::Sha1).toHex());
}

bool DevStack::dropboxUser(const httplib::Request &request, httplib::Response &response)
{
    const QString header = str(request.get_header_value("Authorization"));
    const QString token = header.startsWith(QLatin1String("Bearer ")) ? header.mid(7) : QString();
    if (!token.isEmpty()
        && !m_db->query(QStringLiteral("SELECT 1 FROM dropbox_access WHERE access_token = ? AND expires_at > ?"),
                        {token, now().toSecsSinceEpoch()})
                .isEmpty())
        return true;
    // An expired token is told apart from one never issued, as Dropbox does.
    const bool known
        = !token.isEmpty() && !m_db->query(QStringLiteral("SELECT 1 FROM dropbox_access WHERE access_token = ?"), {token}).isEmpty();
    const QString tag = known ? QStringLiteral("expired_access_token") : QStringLiteral("invalid_access_token");
    json(response, 401,
         QJsonObject{{QStringLiteral("error_summary"), QString(tag + QStringLiteral("/.."))},
                     {QStringLiteral("error"), QJsonObject{{QStringLiteral(".tag"), tag}}}});
    return false;
}

void DevStack::routeDropbox()
{
    using httplib::Request;
    using httplib::Response;
    for (const QString &statement : {
             QStringLiteral("CREATE TABLE IF NOT EXISTS dropbox_codes (code TEXT PRIMARY KEY, challenge TEXT, redirect_uri TEXT)"),
             QStringLiteral("CREATE TABLE IF NOT EXISTS dropbox_refresh (refresh_token TEXT PRIMARY KEY)"),
             QStringLiteral("CREATE TABLE IF NOT EXISTS dropbox_access (access_token TEXT PRIMARY KEY, expires_at INTEGER)"),
             QStringLiteral("CREATE TABLE IF NOT EXISTS dropbox_sessions (session_id TEXT PRIMARY KEY, size INTEGER)"),
             QStringLiteral("CREATE TABLE IF NOT EXISTS dropbox_files (path TEXT PRIMARY KEY, id TEXT, size INTEGER, shared_url TEXT)"),
         })
        m_db->exec(statement);
    // Columns added since the first devstack.
    m_db->addMissingColumns(QStringLiteral("dropbox_sessions"),
                            {QStringLiteral("closed INTEGER DEFAULT 0"), QStringLiteral("created_at INTEGER DEFAULT 0")});
    m_db->addMissingColumns(QStringLiteral("dropbox_codes"),
                            {QStringLiteral("created_at INTEGER DEFAULT 0"), QStringLiteral("offline INTEGER DEFAULT 0")});
    QDir().mkpath(m_options.stateDir + QStringLiteral("/dropbox/sessions"));

    // Only the registered app, to its registered redirect (Kavo's vendrel:// link), with PKCE.
    m_server->Get("/oauth2/authorize", [this](const Request &request, Response &response) {
        const QString redirect = str(request.get_param_value("redirect_uri"));
        const QString challenge = str(request.get_param_value("code_challenge"));
        const QString why = str(request.get_param_value("client_id")) != m_options.dropboxAppKey ? QStringLiteral("Invalid client_id.")
            : redirect != QLatin1String("vendrel://dropbox-auth")
            ? QStringLiteral("Invalid redirect_uri. It must exactly match one of the redirect URIs you've pre-configured for your app.")
            : challenge.isEmpty() || str(request.get_param_value("response_type")) != QLatin1String("code")
                || str(request.get_param_value("code_challenge_method")) != QLatin1String("S256")
            ? QStringLiteral("Missing or wrong authorization parameters.")
            : QString();
        if (!why.isEmpty()) {
            response.status = 400;
            response.set_content(why.toStdString(), "text/plain");
            return;
        }
        const QString code = random(43);
        // As with Dropbox, only token_access_type=offline is answered with a refresh token.
        const bool offline = str(request.get_param_value("token_access_type")) == QLatin1String("offline");
        m_db->exec(QStringLiteral("INSERT INTO dropbox_codes (code, challenge, redirect_uri, created_at, offline) VALUES (?, ?, ?, ?, ?)"),
                   {code, challenge, redirect, now().toSecsSinceEpoch(), offline ? 1 : 0});
        QString answer = redirect + QStringLiteral("?code=") + code;
        if (request.has_param("state"))
            answer += QStringLiteral("&state=") + QString::fromLatin1(QUrl::toPercentEncoding(str(request.get_param_value("state"))));
        response.set_redirect(answer.toStdString());
    });

    m_server->Post("/oauth2/token", [this](const Request &request, Response &response) {
        const QMap<QString, QString> form = formOf(request);
        if (form.value(QStringLiteral("client_id")) != m_options.dropboxAppKey)
            return json(response, 400,
                        {{QStringLiteral("error"), QStringLiteral("invalid_client")},
                         {QStringLiteral("error_description"), QStringLiteral("Invalid client_id or client_secret")}});
        const auto access = [&](qint64 seconds) {
            const QString token = QStringLiteral("sl.") + random(60);
            m_db->exec(QStringLiteral("INSERT INTO dropbox_access VALUES (?, ?)"), {token, now().toSecsSinceEpoch() + seconds});
            return token;
        };
        if (form.value(QStringLiteral("grant_type")) == QLatin1String("authorization_code")) {
            const auto rows
                = m_db->query(QStringLiteral("SELECT * FROM dropbox_codes WHERE code = ?"), {form.value(QStringLiteral("code"))});
            m_db->exec(QStringLiteral("DELETE FROM dropbox_codes WHERE code = ?"), {form.value(QStringLiteral("code"))});
            if (rows.isEmpty() || rows.first().value(QStringLiteral("created_at")).toLongLong() < now().toSecsSinceEpoch() - 600
                || rows.first().value(QStringLiteral("challenge")).toString() != s256(form.value(QStringLiteral("code_verifier")))
                || rows.first().value(QStringLiteral("redirect_uri")).toString() != form.value(QStringLiteral("redirect_uri")))
                return json(response, 400,
                            {{QStringLiteral("error"), QStringLiteral("invalid_grant")},
                             {QStringLiteral("error_description"), QStringLiteral("code doesn't exist or has expired")}});
            QJsonObject granted{
                {QStringLiteral("access_token"), access(14400)},          {QStringLiteral("expires_in"), 14400},
                {QStringLiteral("token_type"), QStringLiteral("bearer")}, {QStringLiteral("scope"), dropboxScopes},
                {QStringLiteral("account_id"), dropboxAccountId},         {QStringLiteral("uid"), QStringLiteral("12345678")}};
            if (rows.first().value(QStringLiteral("offline")).toInt() != 0) {
                const QString refresh = random(64);
                m_db->exec(QStringLiteral("INSERT INTO dropbox_refresh VALUES (?)"), {refresh});
                granted.insert(QStringLiteral("refresh_token"), refresh);
            }
            return json(response, 200, granted);
        }
        if (form.value(QStringLiteral("grant_type")) == QLatin1String("refresh_token")
            && !m_db->query(QStringLiteral("SELECT 1 FROM dropbox_refresh WHERE refresh_token = ?"),
                            {form.value(QStringLiteral("refresh_token"))})
                    .isEmpty())
            return json(response, 200,
                        {{QStringLiteral("access_token"), access(14400)},
                         {QStringLiteral("expires_in"), 14400},
                         {QStringLiteral("token_type"), QStringLiteral("bearer")}});
        json(response, 400, {{QStringLiteral("error"), QStringLiteral("invalid_grant")}});
    });

    m_server->Post("/2/users/get_current_account", [this](const Request &request, Response &response) {
        if (!dropboxUser(request, response))
            return;
        // A users.FullAccount with every field the API reference marks as always there.
        json(response, 200,
             {{QStringLiteral("account_id"), dropboxAccountId},
              {QStringLiteral("name"),
               QJsonObject{{QStringLiteral("given_name"), QStringLiteral("Devstack")},
                           {QStringLiteral("surname"), QStringLiteral("User")},
                           {QStringLiteral("familiar_name"), QStringLiteral("Devstack")},
                           {QStringLiteral("display_name"), QStringLiteral("Devstack User")},
                           {QStringLiteral("abbreviated_name"), QStringLiteral("DU")}}},
              {QStringLiteral("email"), QStringLiteral("dropbox-user@kavo.test")},
              {QStringLiteral("email_verified"), true},
              {QStringLiteral("disabled"), false},
              {QStringLiteral("locale"), QStringLiteral("en")},
              {QStringLiteral("referral_link"), QStringLiteral("https://db.tt/devstack")},
              {QStringLiteral("is_paired"), false},
              {QStringLiteral("account_type"), QJsonObject{{QStringLiteral(".tag"), QStringLiteral("basic")}}},
              {QStringLiteral("root_info"),
               QJsonObject{{QStringLiteral(".tag"), QStringLiteral("user")},
                           {QStringLiteral("root_namespace_id"), QStringLiteral("3235641")},
                           {QStringLiteral("home_namespace_id"), QStringLiteral("3235641")}}}});
    });

    // Content calls: parameters in Dropbox-API-Arg, which Dropbox refuses unless plain ASCII. The
    // body is counted as it arrives, so that a request cut short still counts what it sent.
    // A refusal of the call itself, in Dropbox's words: 400 with a plain-text reason.
    const auto badCall = [](Response &response, const char *path, const QString &why) {
        response.status = 400;
        // It may come before the body was read: what is left of it must not be taken for a request.
        response.set_header("Connection", "close");
        response.set_content(QStringLiteral("Error in call to API function \"%1\": %2").arg(QLatin1String(path + 4), why).toStdString(),
                             "text/plain");
    };
    const auto content = [this, badCall](const char *path, const std::vector<Field> &argument,
                                         std::function<void(const QJsonObject &arg, const std::string &body, Response &)> handle) {
        m_server->Post(
            path,
            [this, path, &argument, handle, badCall](const Request &request, Response &response, const httplib::ContentReader &reader) {
                if (str(request.get_header_value("Content-Length")).toLongLong() > maxRequestBody)
                    return badCall(response, path, QStringLiteral("Request body too large: a call takes at most 150 MiB."));
                const std::string type = request.get_header_value("Content-Type");
                if (type != "application/octet-stream" && type != "text/plain; charset=dropbox-cors-hack")
                    return badCall(
                        response, path,
                        QStringLiteral("Bad HTTP \"Content-Type\" header: \"%1\".  Expecting one of \"application/octet-stream\", "
                                       "\"text/plain; charset=dropbox-cors-hack\".")
                            .arg(str(type)));
                std::string body;
                const bool whole = reader([&](const char *data, size_t size) {
                    body.append(data, size);
                    m_uploadBytes += qint64(size);
                    return true;
                });
                if (!whole || !dropboxUser(request, response))
                    return;
                const std::string raw = request.get_header_value("Dropbox-API-Arg");
                if (std::ranges::any_of(raw, [](char c) { return static_cast<unsigned char>(c) >= 0x7F; })) {
                    response.status = 400;
                    response.set_content(std::string("Error in call to API function \"") + (path + 4)
                                             + R"(": HTTP header "Dropbox-API-Arg": could not decode input as JSON)",
                                         "text/plain");
                    return;
                }
                QJsonParseError parsed;
                const QJsonDocument arg = QJsonDocument::fromJson(QByteArray::fromStdString(raw), &parsed);
                if (parsed.error != QJsonParseError::NoError)
                    return badCall(response, path, QStringLiteral("HTTP header \"Dropbox-API-Arg\": could not decode input as JSON"));
                if (const QString problem = argumentProblem(arg.object(), argument); !problem.isEmpty() || !arg.isObject())
                    return badCall(response, path,
                                   QStringLiteral("HTTP header \"Dropbox-API-Arg\": ")
                                       + (problem.isEmpty() ? QStringLiteral("expected object") : problem));
                handle(arg.object(), body, response);
            });
    };
    const auto append = [this](const QString &session, const QByteArray &bytes) {
        QFile file(m_options.stateDir + QStringLiteral("/dropbox/sessions/") + session);
        file.open(QIODevice::Append);
        file.write(bytes);
        m_db->exec(QStringLiteral("UPDATE dropbox_sessions SET size = size + ? WHERE session_id = ?"), {qint64(bytes.size()), session});
    };
    // The cursor's offset must be what the session holds, as Dropbox insists; a session lives a
    // week.
    // The finish call words its refusals as Dropbox does, nested under "lookup_failed".
    const auto checkCursor = [this](const QJsonObject &cursor, Response &response, bool finishing = false) -> bool {
        const auto refuse = [&](const QString &summary, const QJsonObject &error) {
            if (finishing)
                conflict(response, QStringLiteral("lookup_failed/") + summary,
                         {{QStringLiteral(".tag"), QStringLiteral("lookup_failed")}, {QStringLiteral("lookup_failed"), error}});
            else
                conflict(response, summary, error);
        };
        const auto rows
            = m_db->query(QStringLiteral("SELECT size FROM dropbox_sessions WHERE session_id = ? AND created_at >= ?"),
                          {cursor.value(QStringLiteral("session_id")).toString(), now().toSecsSinceEpoch() - dropboxSessionLifetime});
        if (rows.isEmpty()) {
            refuse(QStringLiteral("not_found/.."), {{QStringLiteral(".tag"), QStringLiteral("not_found")}});
            return false;
        }
        const qint64 size = rows.first().value(QStringLiteral("size")).toLongLong();
        if (cursor.value(QStringLiteral("offset")).toInteger() != size) {
            refuse(QStringLiteral("incorrect_offset/.."),
                   {{QStringLiteral(".tag"), QStringLiteral("incorrect_offset")}, {QStringLiteral("correct_offset"), size}});
            return false;
        }
        return true;
    };
    content("/2/files/upload_session/start", startArgument,
            [this, append](const QJsonObject &arg, const std::string &body, Response &response) {
                const QString session = random(32);
                m_db->exec(QStringLiteral("INSERT INTO dropbox_sessions (session_id, size, created_at, closed) VALUES (?, 0, ?, ?)"),
                           {session, now().toSecsSinceEpoch(), arg.value(QStringLiteral("close")).toBool() ? 1 : 0});
                append(session, QByteArray::fromStdString(body));
                json(response, 200, {{QStringLiteral("session_id"), session}});
            });
    content("/2/files/upload_session/append_v2", appendArgument,
            [this, append, checkCursor](const QJsonObject &arg, const std::string &body, Response &response) {
                const QJsonObject cursor = arg.value(QStringLiteral("cursor")).toObject();
                const QString session = cursor.value(QStringLiteral("session_id")).toString();
                const std::unique_lock oneAtATime = lockSession(QStringLiteral("dropbox:") + session);
                if (!checkCursor(cursor, response))
                    return;
                // A closed session takes no more appends (finish still commits it).
                if (m_db->query(QStringLiteral("SELECT closed FROM dropbox_sessions WHERE session_id = ?"), {session})
                        .value(0)
                        .value(QStringLiteral("closed"))
                        .toInt())
                    return conflict(response, QStringLiteral("closed/.."), {{QStringLiteral(".tag"), QStringLiteral("closed")}});
                append(session, QByteArray::fromStdString(body));
                if (arg.value(QStringLiteral("close")).toBool())
                    m_db->exec(QStringLiteral("UPDATE dropbox_sessions SET closed = 1 WHERE session_id = ?"), {session});
                response.status = 200;
                response.set_content("null", "application/json");
            });
    content("/2/files/upload_session/finish", finishArgument,
            [this, append, checkCursor](const QJsonObject &arg, const std::string &body, Response &response) {
                const QJsonObject cursor = arg.value(QStringLiteral("cursor")).toObject();
                const QString session = cursor.value(QStringLiteral("session_id")).toString();
                const std::unique_lock oneAtATime = lockSession(QStringLiteral("dropbox:") + session);
                if (!checkCursor(cursor, response, true))
                    return;
                append(session, QByteArray::fromStdString(body));
                const QJsonObject commit = arg.value(QStringLiteral("commit")).toObject();
                QString path = commit.value(QStringLiteral("path")).toString();
                if (!path.startsWith(QLatin1Char('/')))
                    return conflict(response, QStringLiteral("path/malformed_path/.."),
                                    {{QStringLiteral(".tag"), QStringLiteral("path")},
                                     {QStringLiteral("reason"), QJsonObject{{QStringLiteral(".tag"), QStringLiteral("malformed_path")}}}});
                // "add" (the default) keeps a file already there: the new one is renamed "name (1).ext"
                // when autorename is asked for, else refused. "overwrite" replaces it.
                const QJsonValue modeValue = commit.value(QStringLiteral("mode"));
                const QString mode = modeValue.isObject() ? modeValue.toObject().value(QStringLiteral(".tag")).toString()
                                                          : modeValue.toString(QStringLiteral("add"));
                const auto taken = [this](const QString &candidate) {
                    return !m_db->query(QStringLiteral("SELECT 1 FROM dropbox_files WHERE lower(path) = lower(?)"), {candidate}).isEmpty();
                };
                if (mode != QLatin1String("overwrite") && taken(path)) {
                    if (!commit.value(QStringLiteral("autorename")).toBool())
                        return conflict(
                            response, QStringLiteral("path/conflict/file/.."),
                            {{QStringLiteral(".tag"), QStringLiteral("path")},
                             {QStringLiteral("reason"),
                              QJsonObject{{QStringLiteral(".tag"), QStringLiteral("conflict")},
                                          {QStringLiteral("conflict"), QJsonObject{{QStringLiteral(".tag"), QStringLiteral("file")}}}}}});
                    const QString folder = path.section(QLatin1Char('/'), 0, -2);
                    const QString name = path.section(QLatin1Char('/'), -1);
                    const qsizetype dot = name.lastIndexOf(QLatin1Char('.'));
                    const QString stem = dot > 0 ? name.left(dot) : name;
                    const QString extension = dot > 0 ? name.mid(dot) : QString();
                    for (int n = 1;; ++n) {
                        const QString candidate = folder + QLatin1Char('/') + stem + QStringLiteral(" (%1)").arg(n) + extension;
                        if (!taken(candidate)) {
                            path = candidate;
                            break;
                        }
                    }
                }
                QFile::remove(dropboxFilePath(path));
                QFile::rename(m_options.stateDir + QStringLiteral("/dropbox/sessions/") + session, dropboxFilePath(path));
                const qint64 size = m_db->query(QStringLiteral("SELECT size FROM dropbox_sessions WHERE session_id = ?"), {session})
                                        .value(0)
                                        .value(QStringLiteral("size"))
                                        .toLongLong();
                m_db->exec(QStringLiteral("DELETE FROM dropbox_sessions WHERE session_id = ?"), {session});
                const QString id = QStringLiteral("id:") + random(22);
                m_db->exec(QStringLiteral("INSERT OR REPLACE INTO dropbox_files (path, id, size) VALUES (?, ?, ?)"), {path, id, size});
                json(response, 200, fileMetadata(path, id, size, now()));
            });

    const auto api = [this, badCall](const char *path, const std::vector<Field> &argument,
                                     std::function<void(const QJsonObject &body, Response &)> handle) {
        m_server->Post(path, [this, path, &argument, handle, badCall](const Request &request, Response &response) {
            if (!dropboxUser(request, response))
                return;
            const std::string type = request.get_header_value("Content-Type");
            if (!type.starts_with("application/json"))
                return badCall(response, path,
                               QStringLiteral("Bad HTTP \"Content-Type\" header: \"%1\".  Expecting one of \"application/json\", "
                                              "\"application/json; charset=utf-8\", \"text/plain; charset=dropbox-cors-hack\".")
                                   .arg(str(type)));
            QJsonParseError parsed;
            const QJsonDocument body = QJsonDocument::fromJson(QByteArray::fromStdString(request.body), &parsed);
            if (parsed.error != QJsonParseError::NoError)
                return badCall(response, path, QStringLiteral("request body: could not decode input as JSON"));
            if (const QString problem = argumentProblem(body.object(), argument); !problem.isEmpty() || !body.isObject())
                return badCall(response, path,
                               QStringLiteral("request body: ") + (problem.isEmpty() ? QStringLiteral("expected object") : problem));
            handle(body.object(), response);
        });
    };
    api("/2/sharing/create_shared_link_with_settings", sharedLinkArgument, [this](const QJsonObject &body, Response &response) {
        const QString path = body.value(QStringLiteral("path")).toString();
        const auto rows = m_db->query(QStringLiteral("SELECT * FROM dropbox_files WHERE lower(path) = lower(?)"), {path});
        if (rows.isEmpty())
            return conflict(response, QStringLiteral("path/not_found/.."), nested(QStringLiteral("path"), QStringLiteral("not_found")));
        const QVariantMap file = rows.first();
        const QString stored = file.value(QStringLiteral("path")).toString();
        const QString id = file.value(QStringLiteral("id")).toString();
        const qint64 size = file.value(QStringLiteral("size")).toLongLong();
        if (!file.value(QStringLiteral("shared_url")).toString().isEmpty())
            return conflict(response, QStringLiteral("shared_link_already_exists/metadata/.."),
                            {{QStringLiteral(".tag"), QStringLiteral("shared_link_already_exists")},
                             {QStringLiteral("shared_link_already_exists"),
                              QJsonObject{{QStringLiteral(".tag"), QStringLiteral("metadata")},
                                          {QStringLiteral("metadata"),
                                           linkMetadata(file.value(QStringLiteral("shared_url")).toString(), stored, id, size, now())}}}});
        const QString url = baseUrl() + QStringLiteral("/s/") + random(15) + QLatin1Char('/')
            + QString::fromLatin1(QUrl::toPercentEncoding(stored.section(QLatin1Char('/'), -1))) + QStringLiteral("?dl=0");
        m_db->exec(QStringLiteral("UPDATE dropbox_files SET shared_url = ? WHERE path = ?"), {url, stored});
        json(response, 200, linkMetadata(url, stored, id, size, now()));
    });
    api("/2/sharing/list_shared_links", listLinksArgument, [this](const QJsonObject &body, Response &response) {
        QJsonArray links;
        for (const QVariantMap &row :
             m_db->query(QStringLiteral("SELECT * FROM dropbox_files WHERE lower(path) = lower(?) AND shared_url IS NOT NULL"),
                         {body.value(QStringLiteral("path")).toString()}))
            links.append(linkMetadata(row.value(QStringLiteral("shared_url")).toString(), row.value(QStringLiteral("path")).toString(),
                                      row.value(QStringLiteral("id")).toString(), row.value(QStringLiteral("size")).toLongLong(), now()));
        json(response, 200, {{QStringLiteral("links"), links}, {QStringLiteral("has_more"), false}});
    });
    api("/2/files/get_metadata", metadataArgument, [this](const QJsonObject &body, Response &response) {
        const auto rows = m_db->query(QStringLiteral("SELECT * FROM dropbox_files WHERE lower(path) = lower(?)"),
                                      {body.value(QStringLiteral("path")).toString()});
        if (rows.isEmpty())
            return conflict(response, QStringLiteral("path/not_found/.."), nested(QStringLiteral("path"), QStringLiteral("not_found")));
        const QVariantMap file = rows.first();
        json(response, 200,
             fileMetadata(file.value(QStringLiteral("path")).toString(), file.value(QStringLiteral("id")).toString(),
                          file.value(QStringLiteral("size")).toLongLong(), now()));
    });
    api("/2/files/delete_v2", deleteArgument, [this](const QJsonObject &body, Response &response) {
        const auto rows = m_db->query(QStringLiteral("SELECT * FROM dropbox_files WHERE lower(path) = lower(?)"),
                                      {body.value(QStringLiteral("path")).toString()});
        if (rows.isEmpty())
            return conflict(response, QStringLiteral("path_lookup/not_found/.."),
                            nested(QStringLiteral("path_lookup"), QStringLiteral("not_found")));
        const QVariantMap file = rows.first();
        const QString path = file.value(QStringLiteral("path")).toString();
        m_db->exec(QStringLiteral("DELETE FROM dropbox_files WHERE path = ?"), {path});
        QFile::remove(dropboxFilePath(path));
        json(response, 200,
             {{QStringLiteral("metadata"),
               fileMetadata(path, file.value(QStringLiteral("id")).toString(), file.value(QStringLiteral("size")).toLongLong(), now())}});
    });
}
