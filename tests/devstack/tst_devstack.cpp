// The real kavo-devstack process, driven through the application's own service client.

#include "backend/backendapi.h"
#include "platform/endpoints.h"
#include "testutil.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonArray>
#include <QNetworkAccessManager>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

using namespace std::chrono_literals;

namespace {

// One devstack process on a free port over a state folder.
class Stack
{
public:
    explicit Stack(const QString &state)
    {
        m_process.start(KAVO_DEVSTACK, {"--state", state, "--port", "0", "--test-hooks"});
        if (m_process.waitForReadyRead(10000)) {
            const QByteArray line = m_process.readLine().trimmed();
            const QByteArray prefix = "kavo-devstack listening on ";
            if (line.startsWith(prefix))
                root = QUrl(QString::fromUtf8(line.mid(prefix.size())));
        }
    }
    ~Stack()
    {
        m_process.terminate();
        if (!m_process.waitForFinished(5000))
            m_process.kill();
        m_process.waitForFinished();
    }
    QUrl root;

private:
    QProcess m_process;
};

struct Client {
    QNetworkAccessManager network;
    Http http{&network, 5000ms};
    QString key = QStringLiteral(KAVO_BUILTIN_KEY);
    BackendAPI api;
    explicit Client(const QUrl &root)
        : api(&http, root, [this] { return key; }, nullptr)
    {
    }
    QJsonObject hook(const QUrl &root, const QByteArray &method, const QString &path, const QByteArray &body = {})
    {
        const Result<HttpResponse> response = awaitTask(http.send(QNetworkRequest(Endpoints::join(root, path)), method, body));
        return response ? QJsonDocument::fromJson(response->body).object() : QJsonObject();
    }
};

RegistrationRequest upload(const QString &name)
{
    RegistrationRequest r;
    r.driveFileID = "drive-" + name;
    r.filename = name;
    r.filesize = 1234;
    r.mimetype = "application/pdf";
    r.expiryDays = 7;
    r.presetID = 2;
    return r;
}

} // namespace

class TestDevStack : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void serviceRoundTrip()
    {
        QTemporaryDir state;
        Stack stack(state.path());
        QCOMPARE(stack.root.host(), QStringLiteral("127.0.0.1"));
        QVERIFY(stack.root.port() > 0);
        Client c(stack.root);

        const Result<BackendAPI::PresetList> presets = awaitTask(c.api.fetchPresets());
        QVERIFY2(presets, qPrintable(presets ? QString() : presets.error().description));
        QCOMPARE(presets->presets.size(), 3);
        QCOMPARE(presets->defaultID, 1);

        const Result<Registration> link = awaitTask(c.api.registerUpload(upload("report.pdf")));
        QVERIFY2(link, qPrintable(link ? QString() : link.error().description));
        QVERIFY(link->url.endsWith("/l/" + link->token));
        QVERIFY(awaitTask(c.api.registerUpload(upload("other.pdf"))));

        Result<QList<HistoryItem>> history = awaitTask(c.api.fetchHistory(15, QStringLiteral("REPORT")));
        QVERIFY2(history, qPrintable(history ? QString() : history.error().description));
        QCOMPARE(history->size(), 1);
        const HistoryItem item = history->first();
        QCOMPARE(item.token, link->token);
        QCOMPARE(item.filename, QStringLiteral("report.pdf"));
        QCOMPARE(item.driveFileID, QStringLiteral("drive-report.pdf"));
        QCOMPARE(item.provider, QStringLiteral("google"));
        QCOMPARE(item.presetID, 2);
        QCOMPARE(item.status, QStringLiteral("active"));
        QVERIFY(item.expiresAt);

        QVERIFY(awaitTask(c.api.setPassword(link->token, "secret")));
        QCOMPARE(awaitTask(c.api.fetchHistory(15, QStringLiteral("report"))).value().first().status, QStringLiteral("protected"));
        QVERIFY(awaitTask(c.api.setPassword(link->token, "")));
        QCOMPARE(awaitTask(c.api.rename(link->token, "  final.pdf ")).value(), QStringLiteral("final.pdf"));
        QCOMPARE(awaitTask(c.api.rename(link->token, "")).error().description, QStringLiteral("Backend HTTP 409: That name can't be used."));
        QVERIFY(awaitTask(c.api.setPreset(link->token, 3)));
        QVERIFY(awaitTask(c.api.setExpiry(link->token, 0)).value() == std::nullopt); // never expires
        QVERIFY(awaitTask(c.api.setExpiry(link->token, 1)).value().has_value());
        QVERIFY(awaitTask(c.api.sendLink(link->token, "friend@example.com", "")));
        QCOMPARE(awaitTask(c.api.sendLink(link->token, "nobody", "")).error().description,
                 QStringLiteral("Backend HTTP 400: {\"error\":\"That address doesn't look right.\"}"));
        QCOMPARE(c.hook(stack.root, "GET", "/__test/outbox").value("outbox").toArray().size(), 1);

        // Two days on, the one-day link is expired and awaits its Drive cleanup.
        c.hook(stack.root, "POST", "/__test/clock", "{\"advance_seconds\":172800}");
        QCOMPARE(awaitTask(c.api.fetchHistory(15, QStringLiteral("final"))).value().first().status, QStringLiteral("expired"));
        const Result<HttpResponse> expired = awaitTask(c.http.send(c.api.authorizedRequest(c.api.url("api/expired.php")), "GET"));
        const QJsonObject expiredBody = QJsonDocument::fromJson(expired->body).object();
        QCOMPARE(expiredBody.value("count").toInteger(), 1);
        QCOMPARE(expiredBody.value("items").toArray().first().toObject().value("token").toString(), link->token);

        QVERIFY(awaitTask(c.api.deleteLink(link->token, QString(), "google")));
        QCOMPARE(awaitTask(c.api.deleteLink(link->token, QString(), "google")).error().description,
                 QStringLiteral("Backend HTTP 404: No such link."));
        QCOMPARE(awaitTask(c.api.fetchHistory(15)).value().size(), 1);
    }

    void refusals()
    {
        QTemporaryDir state;
        Stack stack(state.path());
        Client c(stack.root);
        c.key = QStringLiteral("f").repeated(64);
        QCOMPARE(awaitTask(c.api.fetchHistory(15)).error().description,
                 QStringLiteral("Backend HTTP 401: {\"error\":\"Unknown API key. Sign in again.\"}"));
        c.key.clear();
        QCOMPARE(awaitTask(c.api.fetchPresets()).error().code, 401);
        c.key = QStringLiteral(KAVO_BUILTIN_KEY);
        RegistrationRequest missing = upload("x.pdf");
        missing.driveFileID.clear();
        QCOMPARE(awaitTask(c.api.registerUpload(missing)).error().description,
                 QStringLiteral("Backend HTTP 400: {\"error\":\"missing drive_file_id\"}"));
    }

    void stateSurvivesARestart()
    {
        QTemporaryDir state;
        QString token;
        {
            Stack stack(state.path());
            Client c(stack.root);
            token = awaitTask(c.api.registerUpload(upload("kept.pdf"))).value().token;
        }
        Stack again(state.path());
        Client c(again.root);
        const Result<QList<HistoryItem>> history = awaitTask(c.api.fetchHistory(15));
        QVERIFY(history);
        QCOMPARE(history->size(), 1);
        QCOMPARE(history->first().token, token);
    }
};

QTEST_GUILESS_MAIN(TestDevStack)
#include "tst_devstack.moc"
