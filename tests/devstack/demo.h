#pragma once

// A private home for kavo next to kavo-devstack on the build's loopback root over TLS, for the
// tests that run the real `kavo` binary.

#include "cloud/dropboxauth.h"
#include "cloud/googleauth.h"
#include "links/cloudcleanup.h"
#include "links/drivecleaner.h"
#include "platform/defaultsstore.h"
#include "platform/endpoints.h"
#include "platform/secretstore.h"
#include "service/backendapi.h"
#include "testutil.h"

#include <QCryptographicHash>
#include <QDir>
#include <QDirIterator>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QProcess>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

#include <signal.h>

#include <signal.h>

using namespace std::chrono_literals;

// A private home for kavo, the devstack on the build's loopback port, and `kavo share` runs
// with a browser script.
// What kavo said, without the one line about where it keeps secrets on a machine without a
// secret service.
inline QByteArray said(QByteArray text)
{
    static const QRegularExpression notice(QStringLiteral("^kavo: keeping secrets in [^\n]*\n"), QRegularExpression::MultilineOption);
    return QString::fromUtf8(text).remove(notice).toUtf8();
}

struct Demo {
    QTemporaryDir home;
    QProcess devstack;
    // Where the devstack listens: on loopback, a port the system chose as the Demo was made, so
    // that nothing else listening anywhere stands in its way. Invalid when it did not start.
    QUrl root{startDevstack()};
    QNetworkAccessManager network;
    Http http{&network, 20000ms, Endpoints::compiledIn().extraCaPem};
    BackendAPI api{&http, root, [] { return QStringLiteral(KAVO_BUILTIN_KEY); }, nullptr};
    QByteArray shareErrors;
    QByteArray printed; // everything every `kavo share` wrote
    // The session bus every kavo here runs on; with none (the default) the secrets go to a file.
    QString bus;

    ~Demo()
    {
        // The devstack waits for idle kept-alive connections before it exits.
        network.clearConnectionCache();
        devstack.terminate();
        devstack.waitForFinished(5000);
    }
    QString path(const QString &relative) const { return home.path() + QLatin1Char('/') + relative; }
    // Every endpoint at this devstack, as every kavo here has them (KAVO_DEVSTACK_ROOT).
    Endpoints endpoints() const { return Endpoints::allAt(root); }
    // Starts the devstack on that port (0: one the system chooses); where it listens, or an
    // invalid URL when it did not start. The certificates are the ones the build trusts.
    QUrl startDevstack(int port = 0)
    {
        devstack.start(
            KAVO_DEVSTACK,
            {"--state", path("state"), "--port", QString::number(port), "--tls", "--certificates", KAVO_DEVSTACK_CA_DIR, "--test-hooks"});
        if (!devstack.waitForReadyRead(10000))
            return {};
        static const QRegularExpression listening(QStringLiteral("^kavo-devstack listening on (https://127\\.0\\.0\\.1:\\d+)$"));
        const QRegularExpressionMatch match = listening.match(QString::fromUtf8(devstack.readLine().trimmed()));
        return match.hasMatch() ? QUrl(match.captured(1)) : QUrl();
    }
    // What every kavo here runs with: the private home, no desktop, the browser script.
    QProcessEnvironment environment(const QByteArray &browserScript)
    {
        writeFile(path("browser.sh"), "#!/bin/sh\n" + browserScript);
        QFile::setPermissions(path("browser.sh"), QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        for (const char *variable : {"DISPLAY", "WAYLAND_DISPLAY", "DBUS_SESSION_BUS_ADDRESS"})
            env.remove(QString::fromLatin1(variable));
        if (!bus.isEmpty())
            env.insert("DBUS_SESSION_BUS_ADDRESS", bus);
        env.insert("HOME", home.path());
        env.insert("XDG_CONFIG_HOME", path("config"));
        env.insert("XDG_DATA_HOME", path("data"));
        env.insert("XDG_RUNTIME_DIR", path("runtime"));
        env.insert("TMPDIR", path("tmp"));
        env.insert("QT_QPA_PLATFORM", "offscreen");
        env.insert("BROWSER", path("browser.sh"));
        env.insert("KAVO_BIN", KAVO_BINARY);
        env.insert("KAVO_CA", KAVO_DEVSTACK_CA_DIR "/ca.pem"); // the browser script's curl trusts the devstack
        env.insert("KAVO_DEVSTACK_ROOT", root.toString());
        QDir().mkpath(path("tmp"));
        QDir().mkpath(path("runtime"));
        QFile::setPermissions(path("runtime"), QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
        return env;
    }
    // The token of the link `kavo share` printed, or empty when it failed.
    QString share(const QString &file, const QByteArray &browserScript) { return share(KAVO_BINARY, {"share", file}, browserScript); }
    // The same for a file named by bytes, which a process argument given as text cannot carry:
    // a shell hands them over.
    QString shareBytes(const QByteArray &file, const QByteArray &browserScript)
    {
        return share("/bin/sh", {"-c", "exec \"$0\" share \"$(printf '%b' \"$1\")\"", KAVO_BINARY, printfEscaped(file)}, browserScript);
    }
    // Hands the file named by these bytes to the running tray, as a file manager would.
    bool dropBytes(const QByteArray &file)
    {
        QProcess sender;
        sender.setProcessEnvironment(environment("exit 1\n"));
        sender.start("/bin/sh", {"-c", "exec \"$0\" \"$(printf '%b' \"$1\")\"", KAVO_BINARY, printfEscaped(file)});
        return sender.waitForFinished(20000) && sender.exitStatus() == QProcess::NormalExit && sender.exitCode() == 0;
    }
    static QString printfEscaped(const QByteArray &bytes)
    {
        QString escaped;
        for (const char c : bytes)
            escaped
                += uchar(c) < 0x80 && c != '\\' ? QString(QLatin1Char(c)) : QStringLiteral("\\0%1").arg(uchar(c), 3, 8, QLatin1Char('0'));
        return escaped;
    }
    QString share(const QString &program, const QStringList &arguments, const QByteArray &browserScript)
    {
        QProcess kavo;
        kavo.setProcessEnvironment(environment(browserScript));
        kavo.start(program, arguments);
        kavo.waitForFinished(120000);
        shareErrors = kavo.readAllStandardError();
        const QByteArray out = kavo.readAllStandardOutput();
        printed += out + shareErrors;
        if (kavo.exitCode() != 0)
            return {};
        return QString::fromUtf8(out.trimmed()).section('/', -1);
    }
    Result<HttpResponse> download(const QString &token, const QString &query = {})
    {
        QUrl url = Endpoints::join(root, "/d/" + token);
        url.setQuery(query);
        return awaitTask(http.send(QNetworkRequest(url), "GET", {}, nullptr, qsizetype(1) << 30)); // files, not answers
    }
    // No secret that kavo holds was ever printed: the stored refresh tokens, the service key,
    // an upload session's address.
    bool printedNoSecret(const QString &account) const
    {
        const QByteArray token = DefaultsStore(home.path() + "/data/kavo/secrets.json").value(account).toString().toUtf8();
        return !token.isEmpty() && !printed.contains(token) && !printed.contains(KAVO_BUILTIN_KEY) && !printed.contains("upload_id");
    }
    HttpResponse hook(const QByteArray &method, const QString &path, const QByteArray &body = {})
    {
        const Result<HttpResponse> answer = awaitTask(http.send(QNetworkRequest(Endpoints::join(root, path)), method, body));
        return answer ? answer.value() : HttpResponse{};
    }
    // The devstack's request log, one "METHOD /path STATUS" a request.
    QStringList requests()
    {
        QStringList log;
        for (const QJsonValue entry : QJsonDocument::fromJson(hook("GET", "/__test/requests").body)["requests"].toArray())
            log.append(entry["method"].toString() + ' ' + entry["path"].toString() + ' ' + QString::number(entry["status"].toInt()));
        return log;
    }
    // Signs in to the provider the defaults name by sharing a first file.
    bool signIn(const QByteArray &browserScript)
    {
        writeFile(path("files/first.txt"), "signs in");
        const bool shared = !share(path("files/first.txt"), browserScript).isEmpty();
        if (!shared)
            qWarning("signing in failed: %s", shareErrors.constData());
        return shared;
    }
    // A `kavo` of this home in the tray (no display: offscreen), once it takes drops. A restart
    // after a kill finds the old socket in place and is not waited for.
    std::unique_ptr<QProcess> startTray()
    {
        const bool first = !QFile::exists(path("runtime/kavo.socket"));
        auto tray = std::make_unique<QProcess>();
        tray->setProcessEnvironment(environment("exit 1\n"));
        tray->start(KAVO_BINARY, {});
        if (!tray->waitForStarted(5000)
            || (first && !QTest::qWaitFor([this] { return QFile::exists(path("runtime/kavo.socket")); }, 20000)))
            return nullptr;
        return tray;
    }
    // New uploads go to Dropbox, or to Drive (the default).
    void chooseProvider(bool dropbox)
    {
        if (dropbox)
            writeFile(path("config/kavo/defaults.json"), "{\"prefs.selectedProvider\":\"dropbox\"}");
    }
    // With that provider chosen, signs in to it (as signIn does), then starts the tray.
    std::unique_ptr<QProcess> signInAndStartTrayWith(bool dropbox);
    // Signs in (as signIn does), then starts the tray.
    std::unique_ptr<QProcess> signInAndStartTray(const QByteArray &browserScript) { return signIn(browserScript) ? startTray() : nullptr; }
    // Ends a tray as the session's end would; whether it went.
    static bool stop(QProcess &tray)
    {
        tray.terminate();
        return tray.waitForFinished(10000);
    }
    // One run of `kavo ARGUMENTS` with `input` on its standard input (in `env`, or this home's).
    struct Run {
        int code = -1;
        QByteArray out;
        QByteArray err;
    };
    Run kavo(const QStringList &arguments, const QByteArray &input = {}, const std::optional<QProcessEnvironment> &env = {})
    {
        QProcess process;
        process.setProcessEnvironment(env.value_or(environment("exit 1\n")));
        process.start(KAVO_BINARY, arguments);
        process.write(input);
        process.closeWriteChannel();
        Run run;
        if (!process.waitForFinished(60000) || process.exitStatus() != QProcess::NormalExit)
            return run;
        run = {process.exitCode(), process.readAllStandardOutput(), said(process.readAllStandardError())};
        printed += run.out + run.err;
        return run;
    }
    // Hands `file` to the running tray as the file manager would.
    bool drop(const QString &file) { return kavo({file}).code == 0; }
    qint64 uploadBytes() { return QJsonDocument::fromJson(hook("GET", "/__test/stats").body)["upload_bytes"].toInteger(-1); }
    // The tray's upload queue as it is on disk.
    QByteArray journal() const { return readFile(path(".local/state/kavo/uploads.jsonl")); }
    // Whether the tray's queue empties within `ms` and `filename` then has exactly one link, whose
    // download is `bytes`.
    bool deliveredOnce(const QString &filename, const QByteArray &bytes, int ms)
    {
        if (!QTest::qWaitFor([this] { return journal().trimmed().isEmpty(); }, ms))
            return false;
        const QList<HistoryItem> made = links(filename);
        return made.size() == 1 && download(made.first().token)->body == bytes;
    }
    QList<HistoryItem> links(const QString &filename)
    {
        QList<HistoryItem> found;
        const Result<QList<HistoryItem>> history = awaitTask(api.fetchHistory(100));
        for (const HistoryItem &item : history.value())
            if (item.filename == filename)
                found.append(item);
        return found;
    }
    // Nothing kavo keeps secret is in the queue file: no refresh token, no service key, no
    // session address, no password.
    bool journalHoldsNoSecret() const
    {
        const QByteArray queue = journal();
        const QJsonObject secrets = DefaultsStore(home.path() + "/data/kavo/secrets.json").all();
        for (const QJsonValue secret : secrets)
            if (const QByteArray value = secret.toString().toUtf8(); !value.isEmpty() && queue.contains(value))
                return false;
        return !queue.isEmpty() && !queue.contains(KAVO_BUILTIN_KEY) && !queue.contains("upload_id") && !queue.contains("Bearer")
            && !queue.contains("password");
    }
    // Whether `zip` unpacks to a copy of `folder` (same entries, same bytes), under the folder's name.
    bool unpacksTo(const QByteArray &zip, const QString &folder)
    {
        QTemporaryDir out;
        writeFile(out.filePath("arrived.zip"), zip);
        runTool("/usr/bin/unzip", {"-q", out.filePath("arrived.zip"), "-d", out.filePath("tree")});
        const QString unpacked = out.filePath("tree/") + QFileInfo(folder).fileName();
        const QStringList expected = tree(folder), got = tree(unpacked);
        if (expected != got) {
            qWarning() << "expected" << expected << "got" << got;
            return false;
        }
        for (const QString &entry : expected) {
            QFile a(folder + '/' + entry), b(unpacked + '/' + entry);
            if (!entry.endsWith('/') && (!a.open(QIODevice::ReadOnly) || !b.open(QIODevice::ReadOnly) || a.readAll() != b.readAll()))
                return false;
        }
        return true;
    }
    static QStringList tree(const QString &folder)
    {
        QStringList entries;
        QDirIterator it(folder, QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden, QDirIterator::Subdirectories);
        while (it.hasNext()) {
            const QFileInfo info(it.next());
            entries.append(QDir(folder).relativeFilePath(info.filePath()) + (info.isDir() ? "/" : ""));
        }
        entries.sort();
        return entries;
    }
};

// A folder with a nested folder, a hidden file, an empty file and a name outside ASCII.
inline void writeTree(const QString &folder)
{
    writeFile(folder + "/readme.txt", "Shared with Kavo.\n");
    writeFile(folder + "/.hidden", "dot");
    writeFile(folder + "/empty.txt", "");
    writeFile(folder + QString::fromUtf8("/días/lunes — mañana.txt"), "rain\n");
    writeFile(folder + "/days/photos/shot.bin", QByteArray(70000, 'x'));
}

inline QByteArray pattern(qsizetype size, int step)
{
    QByteArray bytes(size, Qt::Uninitialized);
    for (qsizetype i = 0; i < size; ++i)
        bytes[i] = char((i * step) % 251);
    return bytes;
}

// `mebibytes` of bytes that never repeat a mebibyte, written without holding them all.
inline void writeLargeFile(const QString &path, int mebibytes)
{
    QDir().mkpath(QFileInfo(path).path());
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    QRandomGenerator generator(20261208);
    QByteArray chunk(1 << 20, Qt::Uninitialized);
    for (int i = 0; i < mebibytes; ++i) {
        generator.fillRange(reinterpret_cast<quint32 *>(chunk.data()), chunk.size() / 4);
        QCOMPARE(file.write(chunk), chunk.size());
    }
}

inline QByteArray digest(const QString &path)
{
    QFile file(path);
    QCryptographicHash hash(QCryptographicHash::Sha256);
    return file.open(QIODevice::ReadOnly) && hash.addData(&file) ? hash.result() : QByteArray();
}

inline const QByteArray googleBrowser = "curl --cacert \"$KAVO_CA\" -s -L -o /dev/null \"$1\" &\n";
// The desktop would hand the vendrel:// redirect to `kavo URL`; this browser does the same.
inline const QByteArray dropboxBrowser
    = "loc=$(curl --cacert \"$KAVO_CA\" -s -o /dev/null -w '%{redirect_url}' \"$1\")\n\"$KAVO_BIN\" \"$loc\" &\n";

inline std::unique_ptr<QProcess> Demo::signInAndStartTrayWith(bool dropbox)
{
    chooseProvider(dropbox);
    return signInAndStartTray(dropbox ? dropboxBrowser : googleBrowser);
}

// Fails the test when the devstack did not start.
#define START_DEVSTACK(demo) QVERIFY2((demo).root.isValid(), "the devstack did not start")
