// The service's web pages: a link's page (/l/TOKEN) and its download (/d/TOKEN), sign-in and
// sign-up (which end in the kavo://setup link that hands the account to the app) and the
// dashboard. Everything shown is escaped; colours come from the link's preset.

#include "devhttp.h"
#include "devstack.h"

#include <QFile>
#include <QJsonDocument>
#include <QLocale>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QUrl>

#include <httplib.h>

using namespace DevHttp;

namespace {

const QString sessionCookie = QStringLiteral("kavo_session");

struct Colours {
    QString from = QStringLiteral("#4F46E5");
    QString to = QStringLiteral("#9333EA");
    QString accent = QStringLiteral("#F59E0B");
};

QString esc(const QString &text)
{
    return text.toHtmlEscaped();
}

// A stored colour goes into the style sheet only when it is a plain #RRGGBB.
QString colourOr(const QVariant &stored, const QString &fallback)
{
    static const QRegularExpression hex(QStringLiteral("^#[0-9A-Fa-f]{6}$"));
    const QString value = stored.toString();
    return hex.match(value).hasMatch() ? value : fallback;
}

QString document(const QString &title, const QString &body, const Colours &colours = {})
{
    return QStringLiteral(
               "<!doctype html><html lang=\"en\"><head><meta charset=\"utf-8\">"
               "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\"><title>%1</title><style>"
               "body{margin:0;min-height:100vh;display:flex;align-items:center;justify-content:center;"
               "font:15px/1.45 system-ui,sans-serif;background:linear-gradient(135deg,%2,%3);color:#1f2330}"
               ".card{background:#fff;border-radius:16px;padding:28px 32px;max-width:960px;margin:24px;overflow-x:auto;box-shadow:0 12px "
               "40px #0004}"
               "h1{font-size:20px;margin:0 0 6px;word-break:break-word}.muted{color:#667}.notice{color:#b42318;font-weight:600}"
               ".button,button{display:inline-block;border:0;border-radius:9px;padding:9px 20px;margin-top:14px;"
               "background:%4;color:#111;font-weight:600;text-decoration:none;cursor:pointer;font:inherit;font-weight:600}"
               "input{font:inherit;padding:7px 9px;border:1px solid #ccd;border-radius:7px;margin-right:6px}"
               "label{display:block;margin-top:10px}table{border-collapse:collapse;margin-top:12px}"
               "td,th{text-align:left;padding:5px 10px;border-bottom:1px solid #eee}td+td{white-space:nowrap}code{word-break:break-all}"
               "</style></head><body><main class=\"card\">%5</main></body></html>")
        .arg(esc(title), colours.from, colours.to, colours.accent, body);
}

void html(httplib::Response &response, int status, const QString &page)
{
    response.status = status;
    response.set_content(page.toStdString(), "text/html; charset=utf-8");
}

void message(httplib::Response &response, int status, const QString &title, const QString &text)
{
    html(response, status, document(title, QStringLiteral("<h1>%1</h1><p class=\"muted\">%2</p>").arg(esc(title), esc(text))));
}

QString sizeText(qint64 bytes)
{
    return QLocale::c().formattedDataSize(bytes, 1, QLocale::DataSizeSIFormat);
}

// "2026-12-07 14:05 UTC" for a stored ISO moment.
QString dateText(const QString &iso)
{
    const QDateTime moment = QDateTime::fromString(iso, Qt::ISODate);
    return moment.isValid() ? moment.toUTC().toString(QStringLiteral("yyyy-MM-dd HH:mm 'UTC'")) : iso;
}

QString cookie(const httplib::Request &request, const QString &name)
{
    for (const QString &part : str(request.get_header_value("Cookie")).split(QLatin1Char(';'))) {
        const QString pair = part.trimmed();
        if (pair.startsWith(name + QLatin1Char('=')))
            return pair.mid(name.size() + 1);
    }
    return {};
}

QString percent(const QString &value)
{
    return QString::fromLatin1(QUrl::toPercentEncoding(value));
}

QString accountForm(const QString &action, const QString &notice, const QString &name, const QString &email)
{
    const bool signup = action == QLatin1String("/signup.php");
    QString fields;
    if (signup)
        fields += QStringLiteral("<label>Name<br><input name=\"name\" value=\"%1\" required></label>").arg(esc(name));
    fields += QStringLiteral("<label>E-mail<br><input name=\"email\" type=\"email\" value=\"%1\" required></label>").arg(esc(email));
    const QString title = signup ? QStringLiteral("Create your Kavo account") : QStringLiteral("Sign in to Kavo");
    const QString other = signup ? QStringLiteral("<p class=\"muted\">Already have an account? <a href=\"/login.php\">Sign in</a></p>")
                                 : QStringLiteral("<p class=\"muted\">The demo account is demo@kavo.test. "
                                                  "New here? <a href=\"/signup.php\">Create an account</a></p>");
    return document(title,
                    QStringLiteral("<h1>%1</h1>%2<form method=\"post\" action=\"%3\">%4<button type=\"submit\">%5</button></form>%6")
                        .arg(esc(title), notice.isEmpty() ? QString() : QStringLiteral("<p class=\"notice\">%1</p>").arg(esc(notice)),
                             action, fields, signup ? QStringLiteral("Create account") : QStringLiteral("Sign in"), other));
}

} // namespace

QVariantMap DevStack::linkRow(const QString &token) const
{
    const auto rows = m_db->query(QStringLiteral("SELECT * FROM links WHERE token = ?"), {token});
    return rows.isEmpty() ? QVariantMap() : rows.first();
}

bool DevStack::isExpired(const QVariantMap &link) const
{
    const QVariant expires = link.value(QStringLiteral("expires_at"));
    return !expires.isNull() && QDateTime::fromString(expires.toString(), Qt::ISODate) <= now();
}

QString DevStack::linkPage(const QVariantMap &link, const QString &notice) const
{
    const QString token = link.value(QStringLiteral("token")).toString();
    QVariant preset = link.value(QStringLiteral("preset_id"));
    auto rows = m_db->query(QStringLiteral("SELECT * FROM presets WHERE id = ?"), {preset});
    if (rows.isEmpty())
        rows = m_db->query(QStringLiteral("SELECT * FROM presets WHERE is_default = 1"));
    Colours colours;
    if (!rows.isEmpty()) {
        colours.from = colourOr(rows.first().value(QStringLiteral("gradient_from")), colours.from);
        colours.to = colourOr(rows.first().value(QStringLiteral("gradient_to")), colours.to);
        colours.accent = colourOr(rows.first().value(QStringLiteral("accent_color")), colours.accent);
    }
    const QString name = link.value(QStringLiteral("filename")).toString();
    const qint64 downloads = link.value(QStringLiteral("download_count")).toLongLong();
    QString body = QStringLiteral("<h1>%1</h1><p class=\"muted\">%2 · downloaded %3 %4</p>")
                       .arg(esc(name), sizeText(link.value(QStringLiteral("filesize")).toLongLong()), QString::number(downloads),
                            downloads == 1 ? QStringLiteral("time") : QStringLiteral("times"));
    const QString note = link.value(QStringLiteral("custom_message")).toString();
    if (!note.isEmpty())
        body += QStringLiteral("<p>%1</p>").arg(esc(note));
    if (!notice.isEmpty())
        body += QStringLiteral("<p class=\"notice\">%1</p>").arg(esc(notice));
    if (link.value(QStringLiteral("password")).toString().isEmpty())
        body += QStringLiteral("<a class=\"button\" href=\"/d/%1\">Download</a>").arg(esc(token));
    else
        body += QStringLiteral("<form method=\"post\" action=\"/d/%1\"><label>This file is protected with a password.<br>"
                               "<input name=\"password\" type=\"password\" autofocus required></label>"
                               "<button type=\"submit\">Download</button></form>")
                    .arg(esc(token));
    return document(name, body, colours);
}

QString DevStack::sessionAccount(const httplib::Request &request) const
{
    const QString session = cookie(request, sessionCookie);
    if (session.isEmpty())
        return {};
    const auto rows = m_db->query(QStringLiteral("SELECT account FROM sessions WHERE id = ?"), {session});
    return rows.isEmpty() ? QString() : rows.first().value(QStringLiteral("account")).toString();
}

void DevStack::routePages()
{
    using httplib::Request;
    using httplib::Response;
    m_db->exec(QStringLiteral("CREATE TABLE IF NOT EXISTS sessions (id TEXT PRIMARY KEY, account TEXT)"));

    m_server->Get(R"(/l/([A-Za-z0-9]+))", [this](const Request &request, Response &response) {
        const QVariantMap link = linkRow(str(request.matches[1]));
        if (link.isEmpty())
            return message(response, 404, QStringLiteral("Link not found"), QStringLiteral("This link doesn't exist, or it was deleted."));
        if (isExpired(link))
            return message(response, 410, QStringLiteral("Link expired"), QStringLiteral("This link has expired."));
        html(response, 200, linkPage(link));
    });

    // The file itself: refused after expiry, and without the right password when one is set.
    // The password comes from the link page's form or, for scripts, the query.
    const auto download = [this](const Request &request, Response &response) {
        const QVariantMap link = linkRow(str(request.matches[1]));
        if (link.isEmpty())
            return message(response, 404, QStringLiteral("Link not found"), QStringLiteral("This link doesn't exist, or it was deleted."));
        if (isExpired(link))
            return message(response, 410, QStringLiteral("Link expired"), QStringLiteral("This link has expired."));
        const QString hash = link.value(QStringLiteral("password")).toString();
        const QString given
            = request.method == "POST" ? formOf(request).value(QStringLiteral("password")) : str(request.get_param_value("password"));
        if (!hash.isEmpty() && passwordHash(given) != hash)
            return html(
                response, 403,
                linkPage(link,
                         given.isEmpty() ? QStringLiteral("This link needs a password.") : QStringLiteral("That password isn't right.")));
        const QString cloudFile = link.value(QStringLiteral("drive_file_id")).toString();
        const bool dropbox = link.value(QStringLiteral("provider")).toString() == QLatin1String("dropbox");
        auto file = std::make_shared<QFile>(dropbox ? dropboxFilePath(cloudFile) : driveFilePath(cloudFile));
        if (!file->open(QIODevice::ReadOnly))
            return message(response, 404, QStringLiteral("File gone"), QStringLiteral("The file is gone from the cloud."));
        m_db->exec(QStringLiteral("UPDATE links SET download_count = download_count + 1 WHERE token = ?"),
                   {link.value(QStringLiteral("token"))});
        response.set_header(
            "Content-Disposition",
            QByteArray("attachment; filename*=UTF-8''" + QUrl::toPercentEncoding(link.value(QStringLiteral("filename")).toString()))
                .toStdString());
        response.set_content_provider(size_t(file->size()), link.value(QStringLiteral("mimetype")).toString().toStdString(),
                                      [file](size_t offset, size_t length, httplib::DataSink &sink) {
                                          file->seek(qint64(offset));
                                          const QByteArray chunk = file->read(qint64(std::min<size_t>(length, 1 << 20)));
                                          return !chunk.isEmpty() && sink.write(chunk.constData(), size_t(chunk.size()));
                                      });
    };
    m_server->Get(R"(/d/([A-Za-z0-9]+))", download);
    m_server->Post(R"(/d/([A-Za-z0-9]+))", download);

    // Signing in or up ends on a page whose button opens the app with the account.
    const auto welcome = [this](Response &response, const QVariantMap &account) {
        const QString session = random(32);
        m_db->exec(QStringLiteral("INSERT INTO sessions VALUES (?, ?)"), {session, account.value(QStringLiteral("api_key"))});
        response.set_header(
            "Set-Cookie",
            QString(sessionCookie + QLatin1Char('=') + session + QStringLiteral("; Path=/; HttpOnly; SameSite=Lax")).toStdString());
        const QString name = account.value(QStringLiteral("name")).toString();
        const QString email = account.value(QStringLiteral("email")).toString();
        const QString setup = QStringLiteral("kavo://setup?key=%1&email=%2&name=%3")
                                  .arg(percent(account.value(QStringLiteral("api_key")).toString()), percent(email), percent(name));
        html(response, 200,
             document(QStringLiteral("Welcome to Kavo"),
                      QStringLiteral(
                          "<h1>Welcome, %1</h1><p class=\"muted\">Signed in as %2. Open Kavo to finish setting it up on this computer.</p>"
                          "<a class=\"button\" id=\"open-kavo\" href=\"%3\">Open Kavo</a>"
                          "<p class=\"muted\">Nothing happened? Run <code>kavo '%3'</code> in a terminal. "
                          "Your links are on the <a href=\"/dashboard/\">dashboard</a>.</p>")
                          .arg(esc(name), esc(email), esc(setup))));
    };
    m_server->Get("/login.php", [](const Request &, Response &response) {
        html(response, 200, accountForm(QStringLiteral("/login.php"), QString(), QString(), QStringLiteral("demo@kavo.test")));
    });
    m_server->Post("/login.php", [this, welcome](const Request &request, Response &response) {
        const QString email = formOf(request).value(QStringLiteral("email")).trimmed();
        const auto rows = m_db->query(QStringLiteral("SELECT * FROM accounts WHERE lower(email) = lower(?)"), {email});
        if (rows.isEmpty())
            return html(response, 404,
                        accountForm(QStringLiteral("/login.php"), QStringLiteral("No account uses that address."), QString(), email));
        welcome(response, rows.first());
    });
    m_server->Get("/signup.php", [](const Request &, Response &response) {
        html(response, 200, accountForm(QStringLiteral("/signup.php"), QString(), QString(), QString()));
    });
    m_server->Post("/signup.php", [this, welcome](const Request &request, Response &response) {
        const QMap<QString, QString> form = formOf(request);
        const QString name = form.value(QStringLiteral("name")).trimmed();
        const QString email = form.value(QStringLiteral("email")).trimmed();
        static const QRegularExpression address(QStringLiteral("^[^@\\s]+@[^@\\s]+$"));
        if (name.isEmpty() || !address.match(email).hasMatch())
            return html(
                response, 400,
                accountForm(QStringLiteral("/signup.php"), QStringLiteral("Enter your name and a valid e-mail address."), name, email));
        QByteArray key(32, Qt::Uninitialized);
        QRandomGenerator::system()->fillRange(reinterpret_cast<quint32 *>(key.data()), key.size() / 4);
        const bool created = m_db->locked([&] {
            if (!m_db->query(QStringLiteral("SELECT 1 FROM accounts WHERE lower(email) = lower(?)"), {email}).isEmpty())
                return false;
            return m_db->exec(QStringLiteral("INSERT INTO accounts VALUES (?, ?, ?)"), {QString::fromLatin1(key.toHex()), email, name});
        });
        if (!created)
            return html(response, 409,
                        accountForm(QStringLiteral("/signup.php"), QStringLiteral("An account already uses that address."), name, email));
        welcome(response,
                QVariantMap{{QStringLiteral("api_key"), QString::fromLatin1(key.toHex())},
                            {QStringLiteral("email"), email},
                            {QStringLiteral("name"), name}});
    });
    m_server->Post("/logout.php", [this](const Request &request, Response &response) {
        m_db->exec(QStringLiteral("DELETE FROM sessions WHERE id = ?"), {cookie(request, sessionCookie)});
        response.set_header("Set-Cookie", QString(sessionCookie + QStringLiteral("=; Path=/; Max-Age=0")).toStdString());
        response.set_redirect("/login.php", 303);
    });

    m_server->Get("/dashboard", [](const Request &, Response &response) { response.set_redirect("/dashboard/", 301); });
    m_server->Get("/dashboard/", [this](const Request &request, Response &response) {
        const QString key = sessionAccount(request);
        if (key.isEmpty())
            return response.set_redirect("/login.php", 303);
        const auto account = m_db->query(QStringLiteral("SELECT name, email FROM accounts WHERE api_key = ?"), {key});
        QString rows;
        for (const QVariantMap &row :
             m_db->query(QStringLiteral("SELECT * FROM links WHERE account = ? ORDER BY created_at DESC, rowid DESC"), {key})) {
            const QJsonObject item = linkJson(row);
            const QString expires = item.value(QStringLiteral("expires_at")).isNull()
                ? QStringLiteral("never")
                : dateText(item.value(QStringLiteral("expires_at")).toString());
            rows += QStringLiteral(
                        "<tr><td><a href=\"/l/%1\">%2</a></td><td>%3</td><td>%4</td><td>%5</td><td>%6</td><td>%7</td><td>%8</td></tr>")
                        .arg(esc(item.value(QStringLiteral("token")).toString()), esc(item.value(QStringLiteral("filename")).toString()),
                             sizeText(item.value(QStringLiteral("filesize")).toInteger()),
                             esc(item.value(QStringLiteral("provider")).toString()),
                             esc(dateText(item.value(QStringLiteral("created_at")).toString())), esc(expires),
                             QString::number(item.value(QStringLiteral("download_count")).toInteger()),
                             esc(item.value(QStringLiteral("status")).toString()));
        }
        const QString table = rows.isEmpty() ? QStringLiteral("<p class=\"muted\">No links yet. Drop a file on Kavo to make one.</p>")
                                             : QStringLiteral("<table><tr><th>File</th><th>Size</th><th>Cloud</th><th>Created</th>"
                                                              "<th>Expires</th><th>Downloads</th><th>Status</th></tr>%1</table>")
                                                   .arg(rows);
        const QString who = account.isEmpty() ? QString() : account.first().value(QStringLiteral("email")).toString();
        html(response, 200,
             document(QStringLiteral("Your Kavo links"),
                      QStringLiteral("<h1>Your links</h1><p class=\"muted\">%1</p>%2"
                                     "<form method=\"post\" action=\"/logout.php\"><button type=\"submit\">Sign out</button></form>")
                          .arg(esc(who), table)));
    });
}
