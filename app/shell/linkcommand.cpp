#include "linkcommand.h"

#include "cloud/storageprovider.h"
#include "links/linkactions.h"
#include "platform/blockingwait.h"
#include "platform/desktop.h"
#include "service/backendapi.h"
#include "service/linktexts.h"
#include "service/presetsstore.h"
#include "shell/accountstore.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QTextStream>

#include "platform/terminaltext.h"
#include <QUrl>

#include <cstdio>
#include <termios.h>
#include <unistd.h>

const char *const linksUsage = "usage: kavo links [--limit N] [--search TEXT] [--json]\n"
                               "  The account's links, newest first: a table on a terminal, else one JSON object a line.\n"
                               "  --limit N      how many (1 to 500; 15 unless given)\n"
                               "  --search TEXT  only links whose file name contains TEXT\n"
                               "  --json         JSON lines also on a terminal\n";

const char *const linkUsage = "usage: kavo link TOKEN_OR_URL copy\n"
                              "       kavo link TOKEN_OR_URL password [--remove]\n"
                              "       kavo link TOKEN_OR_URL expiry DAYS\n"
                              "       kavo link TOKEN_OR_URL rename NAME\n"
                              "       kavo link TOKEN_OR_URL design PRESET\n"
                              "       kavo link TOKEN_OR_URL send EMAIL [--message TEXT]\n"
                              "       kavo link TOKEN_OR_URL delete [--yes]\n"
                              "  copy      put the link on the clipboard and print it\n"
                              "  password  set a password, read from the terminal without echo or from standard input;\n"
                              "            --remove clears it\n"
                              "  expiry    1, 3, 7, 14, 30, 90, 180 or 365 days from now, or never (0)\n"
                              "  rename    the file name the download page shows\n"
                              "  design    the branding preset, by name or number\n"
                              "  send      e-mail the link, with an optional note\n"
                              "  delete    delete the link and its file in your Drive or Dropbox (asks first unless --yes)\n"
                              "Exit status: 0 done, 1 refused (the reason on standard error), 2 bad usage.\n";

namespace {

constexpr int done = 0;
constexpr int refused = 1;
constexpr int badUsage = 2;

QTextStream &err()
{
    static QTextStream stream(stderr);
    return stream;
}

int refuse(const QString &why)
{
    err() << "kavo: " << terminalSafe(why) << Qt::endl;
    return refused;
}

int misuse(const QString &why, const char *usage)
{
    err() << "kavo: " << terminalSafe(why) << Qt::endl << usage;
    err().flush();
    return badUsage;
}

bool isTerminal(int fd)
{
    return ::isatty(fd) == 1;
}

// One line from standard input without its line end; with a terminal there, the prompt goes to
// standard error and, for a secret, the typing is not echoed.
std::optional<QString> readLine(const QString &prompt, bool secret)
{
    const bool terminal = isTerminal(STDIN_FILENO);
    termios saved{};
    const bool hide = terminal && secret && ::tcgetattr(STDIN_FILENO, &saved) == 0;
    if (terminal) {
        err() << prompt;
        err().flush();
    }
    if (hide) {
        termios quiet = saved;
        quiet.c_lflag &= ~tcflag_t(ECHO);
        ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &quiet);
    }
    QByteArray line;
    bool ended = false;
    for (int c = std::getchar(); c != EOF; c = std::getchar()) {
        if (c == '\n') {
            ended = true;
            break;
        }
        line.append(char(c));
    }
    if (hide) {
        ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &saved);
        err() << Qt::endl;
    }
    if (line.endsWith('\r'))
        line.chop(1);
    if (!ended && line.isEmpty())
        return std::nullopt;
    return QString::fromUtf8(line);
}

QString expiryColumn(const HistoryItem &item)
{
    if (!item.expiresAt)
        return QStringLiteral("never");
    const QString date = LinkTexts::expiryDate(*item.expiresAt);
    if (date.isEmpty())
        return *item.expiresAt;
    return LinkTexts::hasExpired(*item.expiresAt) ? QStringLiteral("expired ") + date : date;
}

QJsonObject linkJson(const HistoryItem &item)
{
    return {{QStringLiteral("token"), item.token},
            {QStringLiteral("name"), item.filename},
            {QStringLiteral("size"), item.filesize},
            {QStringLiteral("provider"), rawValue(linkStorageProvider(item.provider))},
            {QStringLiteral("downloads"), item.downloadCount},
            {QStringLiteral("expires_at"), item.expiresAt ? QJsonValue(*item.expiresAt) : QJsonValue(QJsonValue::Null)},
            {QStringLiteral("protected"), item.isProtected},
            {QStringLiteral("status"), item.status},
            {QStringLiteral("url"), item.viewURL}};
}

// Columns padded to their widest cell; the name is cut so that a row fits a usual terminal.
void printTable(const QList<HistoryItem> &items)
{
    QList<QStringList> rows{{QStringLiteral("NAME"), QStringLiteral("SIZE"), QStringLiteral("PROVIDER"), QStringLiteral("DOWNLOADS"),
                             QStringLiteral("EXPIRES"), QStringLiteral("PASSWORD"), QStringLiteral("URL")}};
    for (const HistoryItem &item : items) {
        const QString name = item.filename.size() > 40 ? item.filename.left(39) + QChar(0x2026) : item.filename;
        rows.append({terminalSafe(name), LinkTexts::sizeText(item.filesize), displayName(linkStorageProvider(item.provider)),
                     QString::number(item.downloadCount), terminalSafe(expiryColumn(item)),
                     item.isProtected ? QStringLiteral("yes") : QStringLiteral("no"), terminalSafe(item.viewURL)});
    }
    QList<qsizetype> widths(rows.first().size(), 0);
    for (const QStringList &row : rows)
        for (qsizetype i = 0; i < row.size(); ++i)
            widths[i] = std::max(widths[i], row[i].size());
    QTextStream out(stdout);
    for (const QStringList &row : rows) {
        QString line;
        for (qsizetype i = 0; i < row.size(); ++i)
            line += i + 1 < row.size() ? row[i].leftJustified(widths[i] + 2) : row[i];
        out << line << Qt::endl;
    }
}

// The outcome of one link action, waited for.
struct Outcome {
    QString error;
    QString warning;
};

Outcome perform(LinkActions &actions, const QString &token, const std::function<void()> &start)
{
    std::optional<Outcome> outcome;
    const QMetaObject::Connection connection
        = QObject::connect(&actions, &LinkActions::finished, &actions,
                           [&outcome, &token](const QString &finished, const QString &, const QString &error, const QString &warning) {
                               if (finished == token)
                                   outcome = Outcome{error, warning};
                           });
    start();
    while (!outcome)
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    QObject::disconnect(connection);
    return *outcome;
}

int outcomeCode(const Outcome &outcome)
{
    if (!outcome.error.isEmpty())
        return refuse(outcome.error);
    if (!outcome.warning.isEmpty())
        err() << "kavo: Cleanup incomplete: " << terminalSafe(outcome.warning) << Qt::endl;
    return done;
}

// Parses `arguments` with `parser`'s options and --help; the exit code when that already
// answers the command (bad usage, or the help printed).
std::optional<int> parse(QCommandLineParser &parser, const QStringList &arguments, const char *usage)
{
    parser.addOption(QCommandLineOption(QStringLiteral("help")));
    if (!parser.parse(QStringList{QStringLiteral("kavo")} + arguments))
        return misuse(parser.errorText(), usage);
    if (parser.isSet(QStringLiteral("help"))) {
        std::fputs(usage, stdout);
        return done;
    }
    return std::nullopt;
}

std::optional<qint64> expiryDays(const QString &text)
{
    if (text.compare(QLatin1String("never"), Qt::CaseInsensitive) == 0)
        return 0;
    bool ok = false;
    const qint64 days = text.toLongLong(&ok);
    static const QList<qint64> choices{0, 1, 3, 7, 14, 30, 90, 180, 365};
    if (!ok || !choices.contains(days))
        return std::nullopt;
    return days;
}

} // namespace

namespace {
// A URL as compared: scheme and host in lower case, no default port, no trailing slash.
QString comparable(const QUrl &url)
{
    QUrl normal = url.adjusted(QUrl::StripTrailingSlash | QUrl::NormalizePathSegments);
    normal.setScheme(normal.scheme().toLower());
    normal.setHost(normal.host().toLower());
    if (normal.port() == (normal.scheme() == QLatin1String("https") ? 443 : 80))
        normal.setPort(-1);
    return normal.toString(QUrl::FullyEncoded);
}
}

std::optional<LinkReference> LinkReference::parse(const QString &text)
{
    static const QRegularExpression token(QStringLiteral("^[A-Za-z0-9_-]{1,64}$"));
    LinkReference reference;
    reference.m_text = text.trimmed();
    const QUrl url(reference.m_text, QUrl::StrictMode);
    if (url.isValid() && (url.scheme() == QLatin1String("https") || url.scheme() == QLatin1String("http")) && !url.host().isEmpty()) {
        reference.m_url = url;
        const QString last = url.path().section(QLatin1Char('/'), -1, -1, QString::SectionSkipEmpty);
        reference.m_token = token.match(last).hasMatch() ? last : QString();
        return reference;
    }
    if (!token.match(reference.m_text).hasMatch())
        return std::nullopt;
    reference.m_token = reference.m_text;
    return reference;
}

std::optional<HistoryItem> LinkReference::findIn(const QList<HistoryItem> &links) const
{
    if (!m_url.isEmpty()) {
        const QString wanted = comparable(m_url);
        for (const HistoryItem &item : links)
            for (const QString &given : {item.viewURL, item.downloadURL})
                if (!given.isEmpty() && comparable(QUrl(given)) == wanted)
                    return item;
    }
    if (!m_token.isEmpty())
        for (const HistoryItem &item : links)
            if (item.token == m_token)
                return item;
    return std::nullopt;
}

int runLinksCommand(const QStringList &arguments, const LinkCommandSetup &setup)
{
    QCommandLineParser parser;
    parser.addOption({QStringLiteral("limit"), {}, QStringLiteral("N")});
    parser.addOption({QStringLiteral("search"), {}, QStringLiteral("TEXT")});
    parser.addOption(QCommandLineOption(QStringLiteral("json")));
    if (const std::optional<int> answered = parse(parser, arguments, linksUsage))
        return *answered;
    if (!parser.positionalArguments().isEmpty())
        return misuse(QStringLiteral("links takes no argument \"%1\"").arg(parser.positionalArguments().first()), linksUsage);
    qint64 limit = 15;
    if (parser.isSet(QStringLiteral("limit"))) {
        bool ok = false;
        limit = parser.value(QStringLiteral("limit")).toLongLong(&ok);
        if (!ok || limit < 1 || limit > 500)
            return misuse(QStringLiteral("--limit takes a number from 1 to 500"), linksUsage);
    }
    const QString search = parser.value(QStringLiteral("search"));

    const LinkCommandParts &parts = setup();
    if (const std::optional<QString> problem = parts.account->waitUntilLoaded())
        return refuse(*problem);
    const Result<QList<HistoryItem>> links = awaitTask(parts.backend->fetchHistory(limit, search));
    if (!links)
        return refuse(links.error().description);
    if (parser.isSet(QStringLiteral("json")) || !isTerminal(STDOUT_FILENO)) {
        QTextStream out(stdout);
        for (const HistoryItem &item : links.value())
            out << terminalSafeJson(QJsonDocument(linkJson(item)).toJson(QJsonDocument::Compact)) << '\n';
        return done;
    }
    if (links->isEmpty()) {
        err() << (search.isEmpty() ? QStringLiteral("kavo: No links yet.")
                                   : QStringLiteral("kavo: No links match \"%1\".").arg(terminalSafe(search)))
              << Qt::endl;
        return done;
    }
    printTable(links.value());
    return done;
}

int runLinkCommand(const QStringList &arguments, const LinkCommandSetup &setup)
{
    QCommandLineParser parser;
    parser.addOption(QCommandLineOption(QStringLiteral("remove")));
    parser.addOption(QCommandLineOption(QStringLiteral("yes")));
    parser.addOption({QStringLiteral("message"), {}, QStringLiteral("TEXT")});
    if (const std::optional<int> answered = parse(parser, arguments, linkUsage))
        return *answered;
    const QStringList words = parser.positionalArguments();
    if (words.size() < 2)
        return misuse(QStringLiteral("link needs a link and what to do with it"), linkUsage);
    const std::optional<LinkReference> reference = LinkReference::parse(words[0]);
    if (!reference)
        return misuse(QStringLiteral("\"%1\" is neither a share link nor a link token").arg(words[0]), linkUsage);
    const QString verb = words[1];
    const QStringList rest = words.mid(2);
    static const QHash<QString, int> valueCount{
        {QStringLiteral("copy"), 0},   {QStringLiteral("password"), 0}, {QStringLiteral("expiry"), 1}, {QStringLiteral("rename"), 1},
        {QStringLiteral("design"), 1}, {QStringLiteral("send"), 1},     {QStringLiteral("delete"), 0}};
    if (!valueCount.contains(verb))
        return misuse(QStringLiteral("unknown action \"%1\"").arg(verb), linkUsage);
    if (rest.size() != valueCount.value(verb))
        return misuse(valueCount.value(verb) ? QStringLiteral("%1 takes one value").arg(verb)
                                             : QStringLiteral("%1 takes no value").arg(verb),
                      linkUsage);
    const auto onlyFor
        = [&](const char *option, const char *forVerb) { return parser.isSet(QLatin1String(option)) && verb != QLatin1String(forVerb); };
    if (onlyFor("remove", "password") || onlyFor("yes", "delete") || onlyFor("message", "send"))
        return misuse(QStringLiteral("that option is not one of %1's").arg(verb), linkUsage);

    // What the command needs from the user comes before the service is asked anything.
    std::optional<qint64> days;
    if (verb == QLatin1String("expiry"))
        days = expiryDays(rest[0]);
    if (verb == QLatin1String("expiry") && !days)
        return misuse(QStringLiteral("DAYS is one of 1, 3, 7, 14, 30, 90, 180, 365 or never"), linkUsage);
    QString password;
    if (verb == QLatin1String("password") && !parser.isSet(QStringLiteral("remove"))) {
        const std::optional<QString> typed = readLine(QStringLiteral("New password: "), true);
        if (!typed || typed->isEmpty())
            return misuse(QStringLiteral("no password was given (to clear it, use --remove)"), linkUsage);
        password = *typed;
    }
    if (verb == QLatin1String("delete") && !parser.isSet(QStringLiteral("yes")) && !isTerminal(STDIN_FILENO))
        return misuse(QStringLiteral("delete asks first; without a terminal to ask on, add --yes"), linkUsage);

    const LinkCommandParts &parts = setup();
    if (const std::optional<QString> problem = parts.account->waitUntilLoaded())
        return refuse(*problem);
    // The service lists links, it has no lookup by token: the link is found among the newest.
    const Result<QList<HistoryItem>> links = awaitTask(parts.backend->fetchHistory(500));
    if (!links)
        return refuse(links.error().description);
    const std::optional<HistoryItem> found = reference->findIn(links.value());
    if (!found)
        return refuse(QStringLiteral("No link %1 among your links.").arg(reference->text()));
    const HistoryItem item = *found;
    const QString token = item.token;
    LinkActions &actions = *parts.actions;

    if (verb == QLatin1String("copy")) {
        const QString problem = parts.clipboard->setText(item.viewURL);
        QTextStream(stdout) << terminalSafe(item.viewURL) << Qt::endl;
        if (!problem.isEmpty())
            return refuse(QStringLiteral("The link isn't on the clipboard: %1.").arg(problem));
        return done;
    }
    if (verb == QLatin1String("password"))
        return outcomeCode(perform(actions, token, [&] { actions.setPassword(token, password); }));
    if (verb == QLatin1String("expiry"))
        return outcomeCode(perform(actions, token, [&] { actions.setExpiry(token, *days); }));
    if (verb == QLatin1String("rename")) {
        const QString name = LinkActions::renamed(item.filename, rest[0]);
        if (name.isEmpty()) {
            if (rest[0].trimmed().isEmpty())
                return misuse(QStringLiteral("the new name is empty"), linkUsage);
            err() << "kavo: It is already called " << terminalSafe(item.filename) << '.' << Qt::endl;
            return done;
        }
        return outcomeCode(perform(actions, token, [&] { actions.rename(token, item.filename, rest[0]); }));
    }
    if (verb == QLatin1String("design")) {
        awaitTask(parts.presets->refresh());
        if (parts.presets->presets().isEmpty())
            return refuse(parts.presets->lastError().value_or(QStringLiteral("The service offers no designs.")));
        std::optional<BrandingPreset> chosen;
        bool isNumber = false;
        const qint64 id = rest[0].toLongLong(&isNumber);
        QStringList names;
        for (const BrandingPreset &preset : parts.presets->presets()) {
            names.append(preset.name);
            if (!chosen && ((isNumber && preset.id == id) || preset.name.compare(rest[0].trimmed(), Qt::CaseInsensitive) == 0))
                chosen = preset;
        }
        if (!chosen)
            return refuse(QStringLiteral("No design \"%1\". The designs: %2.").arg(rest[0], names.join(QStringLiteral(", "))));
        return outcomeCode(perform(actions, token, [&] { actions.setPreset(token, chosen->id); }));
    }
    if (verb == QLatin1String("send"))
        return outcomeCode(perform(actions, token, [&] { actions.sendLink(token, rest[0], parser.value(QStringLiteral("message"))); }));

    // delete
    if (!parser.isSet(QStringLiteral("yes"))) {
        const QString where = displayName(linkStorageProvider(item.provider));
        const std::optional<QString> answer
            = readLine(QStringLiteral("Delete the link to %1 and the file in your %2? [y/N] ").arg(item.filename, where), false);
        if (!answer || !QStringList{QStringLiteral("y"), QStringLiteral("yes")}.contains(answer->trimmed().toLower()))
            return refuse(QStringLiteral("Nothing was deleted."));
    }
    return outcomeCode(perform(actions, token, [&] { actions.deleteLink(token, item.driveFileID, item.provider); }));
}
