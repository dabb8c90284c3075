#include "cloud/googleauth.h"
#include "loopbackhttp.h"
#include "memorysecretstore.h"
#include "platform/milestone.h"
#include "platform/secretstore.h"
#include "service/backendapi.h"
#include "service/jsonreader.h"
#include "testutil.h"

#include <QElapsedTimer>
#include <QJsonDocument>
#include <QNetworkAccessManager>
#include <QTest>

using namespace std::chrono_literals;
using Response = FakeServer::Response;
Q_DECLARE_METATYPE(FakeServer::Response)

namespace {

QJsonObject jsonBody(const FakeServer::Request &request)
{
    return QJsonDocument::fromJson(request.body).object();
}

QStringList sortedKeys(const QJsonObject &object)
{
    QStringList keys = object.keys();
    keys.sort();
    return keys;
}

// A client of the fake server with its own key and keychain.
struct Client : LoopbackHttp {
    QString apiKey = QStringLiteral("k").repeated(64);
    MemorySecretStore secrets;
    BackendAPI api{&http, server.url(), [this] { return apiKey; }, &secrets};
};

QByteArray historyItem(const QByteArray &token, const QByteArray &extra = {})
{
    return "{\"token\":\"" + token
        + "\",\"filename\":\"a.pdf\",\"filesize\":12,\"mimetype\":\"application/pdf\","
          "\"custom_message\":\"\",\"protected\":false,\"download_count\":3,\"status\":\"active\","
          "\"view_url\":\"https://s/v/"
        + token + "\",\"download_url\":\"https://s/d/" + token + "\"" + extra + "}";
}

// Runs the named operation against the client and gives its error text, or "ok: <value>".
QString run(Client &c, const QString &operation)
{
    const auto outcome
        = [](const auto &result, const QString &value) { return result ? QStringLiteral("ok: ") + value : result.error().description; };
    if (operation == QLatin1String("history")) {
        const auto r = awaitTask(c.api.fetchHistory(15));
        return outcome(r, r ? QString::number(r->size()) : QString());
    }
    if (operation == QLatin1String("presets")) {
        const auto r = awaitTask(c.api.fetchPresets());
        return outcome(r, r ? QString::number(r->presets.size()) : QString());
    }
    if (operation == QLatin1String("password")) {
        const auto r = awaitTask(c.api.setPassword(QStringLiteral("t"), QStringLiteral("pw")));
        return outcome(r, QString());
    }
    if (operation == QLatin1String("rename")) {
        const auto r = awaitTask(c.api.rename(QStringLiteral("t"), QStringLiteral("new.pdf")));
        return outcome(r, r ? r.value() : QString());
    }
    if (operation == QLatin1String("expiry")) {
        const auto r = awaitTask(c.api.setExpiry(QStringLiteral("t"), 3));
        return outcome(r, r ? r.value().value_or(QStringLiteral("none")) : QString());
    }
    if (operation == QLatin1String("delete")) {
        const auto r = awaitTask(c.api.deleteLink(QStringLiteral("t")));
        return outcome(r, QString());
    }
    if (operation == QLatin1String("register")) {
        const auto r = awaitTask(c.api.registerUpload(RegistrationRequest{}));
        return outcome(r, r ? r->token + QLatin1Char(' ') + r->url : QString());
    }
    return QStringLiteral("unknown operation");
}

const QHash<QString, QString> paths = {
    {"history", "/api/history.php"},   {"presets", "/api/presets.php"},   {"password", "/api/set_password.php"},
    {"rename", "/api/rename.php"},     {"expiry", "/api/set_expiry.php"}, {"delete", "/api/delete.php"},
    {"register", "/api/register.php"},
};

} // namespace

class TestBackendAPI : public QObject
{
    Q_OBJECT
private Q_SLOTS:

    // A call made before the stored key was read (the panel opened at start) waits for it instead
    // of going out with an empty key.
    void callsWaitUntilTheKeyIsRead()
    {
        Client c;
        const QString stored = c.apiKey;
        c.apiKey.clear();
        Milestone read;
        c.api.setKeyRead([&read] { return read.reached(); });
        c.server.route("GET", "/api/presets.php", Response::json(200, "{\"presets\":[]}"));
        c.server.route("POST", "/api/rename.php", Response::json(200, "{\"filename\":\"b.pdf\"}"));
        QCoro::Task<Result<BackendAPI::PresetList>> presets = c.api.fetchPresets();
        QCoro::Task<Result<QString>> renamed = c.api.rename(QStringLiteral("t1"), QStringLiteral("b.pdf"));
        QTest::qWait(100);
        QVERIFY(c.server.requests().isEmpty());
        c.apiKey = stored;
        read.reach();
        QVERIFY(awaitTask(std::move(presets)));
        QVERIFY(awaitTask(std::move(renamed)));
        QCOMPARE(c.server.requests().size(), 2);
        for (const FakeServer::Request &request : c.server.requests())
            QCOMPARE(request.header("X-Api-Key"), stored.toUtf8());
    }

    // A registration the service took, whose answer is lost with a closed connection (on a
    // connection kept from an earlier call, or a new one), is not sent again behind Kavo's back:
    // it fails, and the queue's search for an earlier registration decides what comes next.
    void aRegistrationIsNeverResentByTheTransport()
    {
        for (const bool reused : {true, false}) {
            Client c;
            c.server.route("GET", "/api/presets.php", Response::json(200, "{\"presets\":[]}"));
            if (reused)
                QVERIFY(awaitTask(c.api.fetchPresets())); // leaves a kept-alive connection
            Response closed = Response::json(200, "{\"token\":\"t1\",\"url\":\"https://s/l/t1\"}");
            closed.resetAfterBodyBytes = 1;
            c.server.enqueue("POST", "/api/register.php", closed);
            c.server.route("POST", "/api/register.php", Response::json(200, "{\"token\":\"t2\",\"url\":\"https://s/l/t2\"}"));
            RegistrationRequest request;
            request.driveFileID = "file-1";
            request.filename = "a.pdf";
            const Result<Registration> done = awaitTask(c.api.registerUpload(request));
            QTest::qWait(200);
            QCOMPARE(c.server.requests("POST", "/api/register.php").size(), 1);
            QVERIFY2(!done, qPrintable(done ? done->token : QString()));
            QCOMPARE(done.error().domain, ErrorDomain::transport);
        }
    }

    void registrationBodyHasExactlyWhatIsPresent()
    {
        Client c;
        c.server.route("POST", "/api/register.php", Response::json(200, "{\"token\":\"t1\",\"url\":\"https://s/l/t1\",\"extra\":1}"));
        RegistrationRequest plain;
        plain.driveFileID = "file-1";
        plain.filename = "Résumé.pdf";
        plain.filesize = 1234;
        plain.mimetype = "application/pdf";
        plain.expiryDays = 7;
        const Result<Registration> done = awaitTask(c.api.registerUpload(plain));
        QVERIFY(done);
        QCOMPARE(done->token, QStringLiteral("t1"));
        QCOMPARE(done->url, QStringLiteral("https://s/l/t1"));

        const FakeServer::Request first = c.server.requests().value(0);
        QCOMPARE(first.header("Content-Type"), QByteArray("application/json"));
        const QJsonObject body = jsonBody(first);
        QCOMPARE(sortedKeys(body), (QStringList{"drive_file_id", "expiry_days", "filesize", "mimetype", "original_filename", "provider"}));
        QVERIFY(first.body.contains("\"filesize\":1234"));
        QVERIFY(first.body.contains("\"expiry_days\":7"));
        QCOMPARE(body.value("provider").toString(), QStringLiteral("google"));
        QCOMPARE(body.value("original_filename").toString(), QStringLiteral("Résumé.pdf"));

        // A Dropbox upload while a Google refresh token is stored still carries the token.
        c.secrets.save(BackendAPI::googleTokenAccount, "refresh-123");
        RegistrationRequest full = plain;
        full.provider = StorageProvider::dropbox;
        full.presetID = 5;
        full.directURL = "https://dl/x?dl=1";
        full.customMessage = "";
        full.password = "pw";
        QVERIFY(awaitTask(c.api.registerUpload(full)));
        const FakeServer::Request second = c.server.requests().value(1);
        const QJsonObject fullBody = jsonBody(second);
        QCOMPARE(sortedKeys(fullBody),
                 (QStringList{"custom_message", "direct_url", "drive_file_id", "expiry_days", "filesize", "google_refresh_token",
                              "mimetype", "original_filename", "password", "preset_id", "provider"}));
        QCOMPARE(fullBody.value("provider").toString(), QStringLiteral("dropbox"));
        QCOMPARE(fullBody.value("google_refresh_token").toString(), QStringLiteral("refresh-123"));
        QVERIFY(second.body.contains("\"preset_id\":5"));
    }

    void answersBecomeTheirTexts_data()
    {
        QTest::addColumn<QString>("operation");
        QTest::addColumn<int>("status");
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<QString>("expected");
        row("404 plain body", "history", 404, QByteArray("not here"), "Backend HTTP 404: not here");
        row("non-UTF-8 error body", "password", 500, QByteArray("\xff\xfe\xfd"), "Backend HTTP 500: ");
        row("error key is only for rename", "password", 409, QByteArray("{\"error\":\"x\"}"), "Backend HTTP 409: {\"error\":\"x\"}");
        row("rename 409 error key", "rename", 409, QByteArray("{\"error\":\"name taken\"}"), "Backend HTTP 409: name taken");
        row("rename 409 plain", "rename", 409, QByteArray("conflict"), "Backend HTTP 409: conflict");
        row("rename 200 empty object", "rename", 200, QByteArray("{}"), "Bad response from backend.");
        row("rename 200 ok", "rename", 200, QByteArray("{\"filename\":\"s.pdf\"}"), "ok: s.pdf");
        row("delete 500 empty", "delete", 500, QByteArray(), "Backend HTTP 500: ");
        row("delete 500 neither", "delete", 500, QByteArray("\xff\x00\xfe", 3), "Backend HTTP 500: Unknown error");
        row("delete 500 error key", "delete", 500, QByteArray("{\"error\":\"gone\"}"), "Backend HTTP 500: gone");
        row("delete 200", "delete", 200, QByteArray("whatever"), "ok: ");
        row("expiry 200 empty", "expiry", 200, QByteArray(), "ok: none");
        row("expiry 200 numeric", "expiry", 200, QByteArray("{\"expires_at\":5}"), "ok: none");
        row("expiry 200 date", "expiry", 200, QByteArray("{\"expires_at\":\"2027-01-01\"}"), "ok: 2027-01-01");
        row("register 201", "register", 201, QByteArray("{\"token\":\"t\",\"url\":\"u\"}"), "ok: t u");
        row("register numeric url", "register", 200, QByteArray("{\"token\":\"t\",\"url\":5}"), "Bad response from backend.");
        // Valid JSON of another kind than an object is a bad response.
        for (const char *other : {"[1]", "42", "\"ok\"", "null", " true "})
            QTest::addRow("register %s", other) << "register" << 200 << QByteArray(other) << "Bad response from backend.";
        row("register 400", "register", 400, QByteArray("missing drive_file_id"), "Backend HTTP 400: missing drive_file_id");
    }
    void answersBecomeTheirTexts()
    {
        QFETCH(QString, operation);
        QFETCH(int, status);
        QFETCH(QByteArray, body);
        QFETCH(QString, expected);
        Client c;
        const QByteArray method = operation == "history" || operation == "presets" ? "GET" : "POST";
        c.server.route(method, paths.value(operation), Response::text(status, body));
        QCOMPARE(run(c, operation), expected);
    }

    void unreadableAnswersAreClearErrors_data()
    {
        QTest::addColumn<QString>("operation");
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<QString>("expected");
        row("register not JSON", "register", QByteArray("<html>oops</html>"), "isn't valid JSON");
        row("truncated", "history", QByteArray("{\"items\":[") + historyItem("a").left(40), "isn't valid JSON");
        row("deeply nested", "history", QByteArray(100000, '['), "isn't valid JSON");
        row("invalid UTF-8 inside a string", "history", QByteArray("{\"items\":[\"\xff\xfe\"]}"), "isn't valid JSON");
        row("items missing", "history", QByteArray("{\"list\":[]}"), "items is missing.");
        row("not an object", "history", QByteArray("[]"), "the answer is an array, expected an object.");
        row("item not an object", "history", QByteArray("{\"items\":[3]}"), "items[0] is a number, expected an object.");
        row("null custom message", "history", "{\"items\":[" + historyItem("a") + "," + historyItem("b", ",\"custom_message\":null") + "]}",
            "items[1].custom_message is null, expected a string.");
        row("missing filename", "history", QByteArray("{\"items\":[{\"token\":\"x\"}]}"), "items[0].filename is missing.");
        row("fractional size", "history", "{\"items\":[" + historyItem("a", ",\"filesize\":1.5") + "]}",
            "items[0].filesize is a number, expected an integer.");
        row("preset with string id", "presets",
            QByteArray("{\"presets\":[{\"id\":\"1\",\"name\":\"n\",\"is_default\":true,\"gradient_from\":\"#"
                       "000000\",\"gradient_to\":\"#000000\",\"accent_color\":\"#000000\"}]}"),
            "presets[0].id is a string, expected an integer.");
    }
    void unreadableAnswersAreClearErrors()
    {
        QFETCH(QString, operation);
        QFETCH(QByteArray, body);
        QFETCH(QString, expected);
        Client c;
        c.server.route(operation == "register" ? "POST" : "GET", paths.value(operation), Response::json(200, body));
        const QString text = run(c, operation);
        QVERIFY2(text.contains(expected) && !text.startsWith("ok"), qPrintable(text));
    }

    // The service key (history) and a registration (with the Google refresh token in it) never
    // follow a 302 or 307 to another origin: a clear error naming it, and nothing reaches it.
    void credentialsNeverFollowARedirectElsewhere()
    {
        FakeServer service;
        FakeServer elsewhere;
        elsewhere.route("GET", "/api/history.php", Response::json(200, "[]"));
        elsewhere.route("POST", "/api/register.php", Response::json(200, "{\"token\":\"t\",\"url\":\"https://elsewhere/l/t\"}"));
        const QByteArray away = elsewhere.url().toString().toUtf8();
        QNetworkAccessManager network;
        Http http{&network, 5000ms, FakeServer::testCaPem()};
        MemorySecretStore secrets;
        secrets.save(QStringLiteral("Vendrel.GoogleOAuth"), QStringLiteral("1//refresh"));
        BackendAPI api{&http, service.url(), [] { return QStringLiteral("k").repeated(64); }, &secrets};
        RegistrationRequest request;
        request.driveFileID = QStringLiteral("file-1");
        request.filename = QStringLiteral("a.pdf");
        request.filesize = 12;
        request.mimetype = QStringLiteral("application/pdf");
        for (const int status : {302, 307}) {
            service.route("GET", "/api/history.php", Response{status, {{"Location", away + "/api/history.php"}}, {}});
            service.route("POST", "/api/register.php", Response{status, {{"Location", away + "/api/register.php"}}, {}});
            const auto history = awaitTask(api.fetchHistory(10));
            QVERIFY(!history);
            QCOMPARE(
                history.error().description,
                QStringLiteral("127.0.0.1 sent Kavo on to another site (127.0.0.1:%1); Kavo doesn't follow it there with your sign-in.")
                    .arg(elsewhere.url().port()));
            const auto registration = awaitTask(api.registerUpload(request));
            QVERIFY(!registration);
            QCOMPARE(registration.error().code, int(TransportCode::redirectedElsewhere));
        }
        QCOMPARE(elsewhere.requests().size(), 0);
        QCOMPARE(service.requests().size(), 4);

        // Within the origin a 307 is followed, and a 302 turns the POST into a GET.
        service.route("GET", "/api/history.php", Response{307, {{"Location", "/api/history2.php"}}, {}});
        service.route("GET", "/api/history2.php", Response::json(200, "{\"items\":[]}"));
        QVERIFY(awaitTask(api.fetchHistory(10)));
        service.route("POST", "/api/set_password.php", Response{302, {{"Location", "/api/moved.php"}}, {}});
        service.route("GET", "/api/moved.php", Response::json(200, "{}"));
        QVERIFY(awaitTask(api.setPassword(QStringLiteral("t"), QStringLiteral("pw"))));
        QCOMPARE(service.requests().last().method, QByteArray("GET"));
        QCOMPARE(service.requests().last().body, QByteArray());
    }

    void answersAreReadUpToTheirBound()
    {
        Client c;
        // The longest history anyone asks for (500 items) with long messages is read whole...
        const auto history = [](int count, int messageBytes) -> QByteArray {
            QByteArray body = "{\"items\":[";
            const QByteArray message(messageBytes, 'm');
            for (int i = 0; i < count; ++i)
                body += (i ? "," : "") + historyItem("t" + QByteArray::number(i), ",\"custom_message\":\"" + message + "\"");
            return body + "]}";
        };
        c.server.enqueue("GET", "/api/history.php", Response::json(200, history(500, 15000)));
        const Result<QList<HistoryItem>> items = awaitTask(c.api.fetchHistory(500));
        QVERIFY2(items, qPrintable(items ? QString() : items.error().description));
        QCOMPARE(items->size(), 500);
        QCOMPARE(items->last().token, QStringLiteral("t499"));

        // ...a longer one is refused, whether its length is announced or not.
        for (const auto framing : {Response::Framing::contentLength, Response::Framing::chunked}) {
            Response huge = Response::json(200, history(600, 15000));
            huge.framing = framing;
            c.server.enqueue("GET", "/api/history.php", huge);
            const Result<QList<HistoryItem>> refused = awaitTask(c.api.fetchHistory(500));
            QVERIFY(!refused);
            QCOMPARE(refused.error().code, int(TransportCode::dataLengthExceedsMaximum));
            QCOMPARE(refused.error().description, QStringLiteral("The server's answer was refused: it was longer than 7.8125 MiB."));
        }

        // Other answers have a few MiB; a 50 MB error page is refused, not quoted.
        c.server.route("POST", "/api/set_password.php", Response::text(500, QByteArray(50'000'000, 'x')));
        QCOMPARE(run(c, "password"), QStringLiteral("The server's answer was refused: it was longer than 4 MiB."));
        // An error text within the bound is quoted only as far as a message can show.
        c.server.route("POST", "/api/set_password.php", Response::text(500, QByteArray(1'000'000, 'x')));
        const QString quoted = run(c, "password");
        QCOMPARE(quoted, QStringLiteral("Backend HTTP 500: ") + QString(299, u'x') + QChar(0x2026));
    }

    void answersMustArriveWholeInTime_data()
    {
        QTest::addColumn<Response>("answer");
        row("silent", Response::delayed(3000, Response::json(200, "{\"items\":[]}")));
        Response dribbled = Response::json(200, "{\"items\":[]}" + QByteArray(100, ' '));
        dribbled.dribbleMs = 100; // never idle, never done
        row("a byte at a time", dribbled);
    }

    void answersMustArriveWholeInTime()
    {
        QFETCH(Response, answer);
        Client c;
        QNetworkAccessManager network;
        Http impatient(&network, 700ms, FakeServer::testCaPem());
        BackendAPI api(
            &impatient, c.server.url(), [] { return QString(); }, nullptr);
        c.server.route("GET", "/api/history.php", answer);
        QElapsedTimer clock;
        clock.start();
        const Result<QList<HistoryItem>> items = awaitTask(api.fetchHistory(15));
        QVERIFY(!items);
        QCOMPARE(items.error().domain, ErrorDomain::transport);
        QCOMPARE(items.error().code, int(TransportCode::timedOut));
        QCOMPARE(items.error().description, QStringLiteral("The request timed out: no whole answer within 0.7 s."));
        QVERIFY2(clock.elapsed() < 2000, qPrintable(QString::number(clock.elapsed())));
    }

    void signedOutStillSendsAnEmptyKey()
    {
        Client c;
        c.apiKey.clear();
        c.server.route("GET", "/api/presets.php", Response::json(200, "{\"presets\":[]}"));
        QVERIFY(awaitTask(c.api.fetchPresets()));
        const FakeServer::Request request = c.server.requests().value(0);
        QVERIFY(request.hasHeader("X-Api-Key"));
        QCOMPARE(request.header("X-Api-Key"), QByteArray());
    }

    void historyDecodingRules()
    {
        Client c;
        QByteArray nul = historyItem("n", ",\"expires_at\":null,\"provider\":null,\"drive_file_id\":null");
        nul.replace("\"filename\":\"a.pdf\"", "\"filename\":\"a\\u0000b.pdf\"");
        const QByteArray body = "{\"items\":["
            + historyItem("a",
                          ",\"provider\":\"dropbox\",\"drive_file_id\":\"/x/a.pdf\","
                          "\"preset_id\":4,\"expires_at\":\"2027-01-01\",\"unknown\":[1]")
            + "," + nul + "]}";
        c.server.route("GET", "/api/history.php", Response::json(200, body));
        const Result<QList<HistoryItem>> items = awaitTask(c.api.fetchHistory(15));
        QVERIFY2(items, qPrintable(items ? QString() : items.error().description));
        QCOMPARE(items->size(), 2);
        const HistoryItem &first = items->at(0);
        QCOMPARE(first.provider, QStringLiteral("dropbox"));
        QCOMPARE(first.driveFileID, QStringLiteral("/x/a.pdf"));
        QCOMPARE(first.presetID, 4);
        QCOMPARE(first.expiresAt, QStringLiteral("2027-01-01"));
        QCOMPARE(first.downloadCount, 3);
        const HistoryItem &second = items->at(1);
        QCOMPARE(second.provider, QStringLiteral("google"));
        QCOMPARE(second.driveFileID, QString());
        QCOMPARE(second.expiresAt, std::nullopt);
        QCOMPARE(second.filename, QString::fromUtf8("a\0b.pdf", 7));
    }

    void sendLinkSendsTheNoteOnlyWhenThereIsOne()
    {
        Client c;
        c.server.route("POST", "/api/send_link.php", Response::json(200, "{}"));
        QVERIFY(awaitTask(c.api.sendLink("tok", "friend@example.com", QString())));
        QVERIFY(awaitTask(c.api.sendLink("tok", "friend@example.com", "see you")));
        const auto sent = c.server.requests("POST", "/api/send_link.php");
        QCOMPARE(sortedKeys(jsonBody(sent[0])), (QStringList{"to", "token"}));
        QCOMPARE(jsonBody(sent[1]).value("note").toString(), QStringLiteral("see you"));
        QCOMPARE(jsonBody(sent[1]).value("to").toString(), QStringLiteral("friend@example.com"));
    }
};

QTEST_GUILESS_MAIN(TestBackendAPI)
#include "tst_backendapi.moc"
