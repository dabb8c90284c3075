#include "platform/defaultsstore.h"
#include "platform/endpoints.h"
#include "platform/jsoninteger.h"
#include "platform/secretstore.h"
#include "platform/terminaltext.h"
#include "testutil.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QTemporaryDir>
#include <QTest>

#include <sys/stat.h>

namespace {
int unixMode(const QString &path)
{
    struct stat info {};
    if (::stat(QFile::encodeName(path).constData(), &info) != 0)
        return -1;
    return int(info.st_mode & 0777);
}
}

class TestPlatform : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void defaultsKeepJsonTypes()
    {
        QTemporaryDir dir;
        DefaultsStore store = DefaultsStore::standard(dir.path());
        QVERIFY(store.setValue(QStringLiteral("prefs.expiryDays"), 14));
        QVERIFY(store.setValue(QStringLiteral("prefs.selectedProvider"), QStringLiteral("dropbox")));
        QVERIFY(store.setValue(QStringLiteral("account.bootstrapped"), true));
        QVERIFY(store.setValue(QStringLiteral("text.number"), QStringLiteral("14")));

        // A fresh store over the same file sees what the first one wrote, types intact.
        const DefaultsStore reread(store.filePath());
        QVERIFY(reread.value(QStringLiteral("prefs.expiryDays")).isDouble());
        QCOMPARE(reread.value(QStringLiteral("prefs.expiryDays")).toInteger(), 14);
        QVERIFY(reread.value(QStringLiteral("text.number")).isString());
        QCOMPARE(reread.value(QStringLiteral("account.bootstrapped")), QJsonValue(true));
        QVERIFY(reread.value(QStringLiteral("missing")).isUndefined());
        QCOMPARE(store.filePath(), dir.path() + QStringLiteral("/kavo/defaults.json"));
        QCOMPARE(DefaultsStore::suite(dir.path()).filePath(), dir.path() + QStringLiteral("/kavo/group.com.marrowbeck.Vendrel.json"));

        QVERIFY(store.remove(QStringLiteral("prefs.selectedProvider")));
        QVERIFY(!reread.contains(QStringLiteral("prefs.selectedProvider")));
        QVERIFY(reread.contains(QStringLiteral("prefs.expiryDays")));
    }

    void defaultsFileIsPrivate()
    {
        QTemporaryDir dir;
        DefaultsStore store = DefaultsStore::suite(dir.path());
        QVERIFY(store.setValue(QStringLiteral("kavo.shared.apiKey"), QStringLiteral("k")));
        QCOMPARE(unixMode(store.filePath()), 0600);
        // Nothing but the file and its (empty, private) lock is left in the folder: the atomic
        // write's temporary is gone.
        const QStringList left = QDir(dir.path() + QStringLiteral("/kavo")).entryList(QDir::Files);
        QCOMPARE(left, (QStringList{QFileInfo(store.filePath()).fileName(), QFileInfo(store.filePath()).fileName() + ".lock"}));
        QCOMPARE(unixMode(store.filePath() + ".lock"), 0600);
    }

    void corruptDefaultsReadEmptyAndRecover_data()
    {
        QTest::addColumn<QByteArray>("content");
        row("garbage", QByteArray("{\"a\": 1,,, "));
        row("array", QByteArray("[1, 2]"));
        row("binary", QByteArray("\xff\xfe\x00\x01", 4));
        row("empty", QByteArray());
    }
    void corruptDefaultsReadEmptyAndRecover()
    {
        QFETCH(QByteArray, content);
        QTemporaryDir dir;
        const QString path = dir.path() + QStringLiteral("/kavo/defaults.json");
        writeFile(path, content);
        DefaultsStore store(path);
        QVERIFY(store.all().isEmpty());
        QVERIFY(store.value(QStringLiteral("a")).isUndefined());
        QVERIFY(store.setValue(QStringLiteral("a"), 2));
        QCOMPARE(store.value(QStringLiteral("a")).toInteger(), 2);
    }

    void unwritableDefaultsReportFailureAndKeepValues()
    {
        QTemporaryDir dir;
        // The folder the file should live in is a plain file, so nothing can be written.
        writeFile(dir.path() + QStringLiteral("/kavo"), "x");
        DefaultsStore store = DefaultsStore::standard(dir.path());
        QVERIFY(!store.setValue(QStringLiteral("a"), 1));
        QVERIFY(store.value(QStringLiteral("a")).isUndefined());
    }

    // A full disk under the configuration (defaults, shared suite) or the data folder (the secret
    // file): a write that does not fit fails, leaves the file as it was, whole, and the log names
    // the file and why.
    void fullDiskKeepsTheOldFile_data()
    {
        QTest::addColumn<bool>("secrets");
        row("defaults", false);
        row("secret file", true);
    }
    void fullDiskKeepsTheOldFile()
    {
        QFETCH(bool, secrets);
        FullDisk disk(64);
        QVERIFY2(!disk.path().isEmpty(), qPrintable(disk.problem()));
        const QString path = disk.path() + (secrets ? "/kavo/secrets.json" : "/kavo/defaults.json");
        DefaultsStore store(path);
        FileSecretStore secretFile(path);
        const auto put = [&](const QString &key, const QString &value) {
            if (!secrets)
                return store.setValue(key, value);
            secretFile.save(key, value);
            return secretFile.value(key) == value;
        };
        QVERIFY(put("kavo.shared.apiKey", QString("k").repeated(64)));
        const QByteArray before = readFile(path);
        disk.fill(0);
        LogCapture log;
        QVERIFY(!put("more", QString("x").repeated(2000))); // fits Qt's write buffer, not the disk
        QCOMPARE(readFile(path), before);
        QCOMPARE(store.value("kavo.shared.apiKey").toString(), QString("k").repeated(64));
        QCOMPARE(log.linesContaining("cannot write " + path + ": ").size(), 1);
        // No temporary file left beside it.
        QCOMPARE(QDir(disk.path() + "/kavo").entryList(QDir::Files | QDir::Hidden),
                 (QStringList{QFileInfo(path).fileName(), QFileInfo(path).fileName() + ".lock"}));
    }

    void fileSecretStore()
    {
        QTemporaryDir dir;
        const QString path = dir.path() + QStringLiteral("/kavo/secrets.json");
        FileSecretStore store(path);
        QCOMPARE(awaitTask(store.read(QStringLiteral("Vendrel.BackendApiKey"))).value, std::nullopt);
        store.save(QStringLiteral("Vendrel.BackendApiKey"), QStringLiteral("secret-1"));
        store.save(QStringLiteral("Vendrel.BackendApiKey"), QStringLiteral("secret-2"));
        QCOMPARE(FileSecretStore(path).value(QStringLiteral("Vendrel.BackendApiKey")), QStringLiteral("secret-2"));
        QCOMPARE(unixMode(path), 0600);
        store.remove(QStringLiteral("Vendrel.BackendApiKey"));
        store.remove(QStringLiteral("never.saved"));
        QCOMPARE(awaitTask(store.read(QStringLiteral("Vendrel.BackendApiKey"))).value, std::nullopt);
    }

    void endpointJoin_data()
    {
        QTest::addColumn<QString>("root");
        QTest::addColumn<QString>("path");
        row("plain", "http://127.0.0.1:8765", "api/history.php");
        row("root slash", "http://127.0.0.1:8765/", "api/history.php");
        row("both slashes", "http://127.0.0.1:8765//", "/api/history.php");
        row("path slash", "http://127.0.0.1:8765", "/api/history.php");
    }
    void endpointJoin()
    {
        QFETCH(QString, root);
        QFETCH(QString, path);
        QCOMPARE(Endpoints::join(QUrl(root), path).toString(), QStringLiteral("http://127.0.0.1:8765/api/history.php"));
    }

    // A run of a devstack build may name the devstack's root; only a root on loopback of the
    // compiled-in scheme is taken, so no environment sends the keys and tokens elsewhere.
    void devstackRootFromTheEnvironment_data()
    {
        QTest::addColumn<QString>("given");
        QTest::addColumn<QString>("taken"); // empty: refused
        row("IPv4", "https://127.0.0.1:40123", "https://127.0.0.1:40123");
        row("trailing slash", "https://127.0.0.1:40123/", "https://127.0.0.1:40123");
        row("other loopback", "https://127.0.0.2:9", "https://127.0.0.2:9");
        row("IPv6", "https://[::1]:40123", "https://[::1]:40123");
        row("no port", "https://127.0.0.1", "");
        row("other scheme", "http://127.0.0.1:40123", "");
        row("a name", "https://localhost:40123", "");
        row("elsewhere", "https://192.0.2.1:40123", "");
        row("mapped elsewhere", "https://[::ffff:192.0.2.1]:443", "");
        row("user", "https://evil@127.0.0.1:40123", "");
        row("path", "https://127.0.0.1:40123/api", "");
        row("query", "https://127.0.0.1:40123/?x=1", "");
        row("fragment", "https://127.0.0.1:40123#x", "");
        row("not a URL", "https://127.0.0.1:40123\x1b]0;", "");
    }
    void devstackRootFromTheEnvironment()
    {
        QFETCH(QString, given);
        QFETCH(QString, taken);
        const std::optional<QUrl> root = Endpoints::loopbackRoot(given, QUrl(QStringLiteral("https://127.0.0.1:8765")));
        QCOMPARE(root ? root->toString() : QString(), taken);
        // This (devstack) build: every endpoint follows the variable; a refused value leaves them.
        qputenv("KAVO_DEVSTACK_ROOT", given.toUtf8());
        const Endpoints endpoints = Endpoints::current();
        qunsetenv("KAVO_DEVSTACK_ROOT");
        const QUrl expected = taken.isEmpty() ? Endpoints::compiledIn().serviceBaseUrl : QUrl(taken);
        for (const QUrl &url : {endpoints.serviceBaseUrl, endpoints.googleAuthUrl, endpoints.googleTokenUrl, endpoints.googleApiUrl,
                                endpoints.googleUploadUrl, endpoints.dropboxWebUrl, endpoints.dropboxApiUrl, endpoints.dropboxContentUrl})
            QCOMPARE(url, expected);
        QCOMPARE(endpoints.builtinApiKey, Endpoints::compiledIn().builtinApiKey);
    }

    // Whole JSON numbers, as every reader of JSON here takes them (the service's answers, the
    // preferences, the upload journal).
    void jsonIntegers_data()
    {
        QTest::addColumn<QByteArray>("json");
        QTest::addColumn<bool>("whole");
        QTest::addColumn<qint64>("value");
        row("small", QByteArray("3"), true, qint64(3));
        row("written as a fraction", QByteArray("3.0"), true, qint64(3));
        row("negative", QByteArray("-7"), true, qint64(-7));
        row("above 2^53, exact", QByteArray("9007199254740993"), true, qint64(9007199254740993));
        row("largest", QByteArray("9223372036854775807"), true, std::numeric_limits<qint64>::max());
        row("smallest", QByteArray("-9223372036854775808"), true, std::numeric_limits<qint64>::min());
        row("just too large", QByteArray("9223372036854775808"), false, qint64(0));
        row("too large", QByteArray("9.25e18"), false, qint64(0));
        row("huge", QByteArray("1e300"), false, qint64(0));
        row("fraction", QByteArray("3.5"), false, qint64(0));
        row("text", QByteArray("\"3\""), false, qint64(0));
        row("true", QByteArray("true"), false, qint64(0));
        row("null", QByteArray("null"), false, qint64(0));
    }
    void jsonIntegers()
    {
        QFETCH(QByteArray, json);
        QFETCH(bool, whole);
        QFETCH(qint64, value);
        const QJsonValue parsed = QJsonDocument::fromJson("[" + json + "]").array().at(0);
        const std::optional<qint64> read = jsonInteger(parsed);
        QCOMPARE(read.has_value(), whole);
        if (whole)
            QCOMPARE(*read, value);
    }
};

int main(int argc, char *argv[])
{
    becomeRootOfOwnNamespace(argc, argv);
    QCoreApplication app(argc, argv);
    TestPlatform test;
    return QTest::qExec(&test, argc, argv);
}
#include "tst_platform.moc"
