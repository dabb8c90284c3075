#include "platform/singleinstance.h"
#include "platform/webauthsession.h"
#include "shell/urldispatcher.h"
#include "testutil.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <atomic>
#include <latch>
#include <thread>

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {
// An environment for real kavo processes: a runtime folder of the test's own, no display, no
// session bus.
QProcessEnvironment kavoEnvironment(const QString &home)
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    for (const char *variable : {"DISPLAY", "WAYLAND_DISPLAY", "DBUS_SESSION_BUS_ADDRESS"})
        env.remove(QString::fromLatin1(variable));
    env.insert("HOME", home);
    env.insert("XDG_CONFIG_HOME", home + "/config");
    env.insert("XDG_DATA_HOME", home + "/data");
    env.insert("XDG_RUNTIME_DIR", home + "/runtime");
    env.insert("QT_QPA_PLATFORM", "offscreen");
    QDir().mkpath(home + "/runtime");
    QFile::setPermissions(home + "/runtime", QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    return env;
}

struct Kavo : QProcess {
    Kavo(const QString &home, const QStringList &arguments)
    {
        setProcessEnvironment(kavoEnvironment(home));
        setWorkingDirectory(home);
        start(KAVO_BINARY, arguments);
    }
    ~Kavo() override
    {
        if (state() != NotRunning) {
            ::kill(pid_t(processId()), SIGCONT);
            kill();
            waitForFinished(5000);
        }
    }
};
}

class TestSingleInstance : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    // With no instance the sender says so; with one, it is answered only once the handler has
    // dealt with the request, and a refusal reaches the sender's standard error and exit code.
    void secondKavoHandsOverItsArguments()
    {
        QTemporaryDir home;
        Kavo alone(home.path(), {"a.txt"});
        QVERIFY(alone.waitForFinished(10000));
        QCOMPARE(alone.exitCode(), 1);
        QVERIFY(alone.readAllStandardError().contains("Kavo isn't running"));

        SingleInstance instance(home.path() + "/runtime");
        QCOMPARE(instance.claim(), SingleInstance::Claim::instance);
        QList<QStringList> handled;
        SingleInstance::Answer answer{"Not now.", {}};
        QVERIFY(instance.listen([&](const QStringList &arguments) {
            handled.append(arguments);
            return answer;
        }));

        Kavo refused(home.path(), {"a.txt"});
        QTRY_COMPARE_WITH_TIMEOUT(refused.state(), QProcess::NotRunning, 10000);
        QCOMPARE(refused.exitCode(), 1);
        QCOMPARE(refused.readAllStandardError(), QByteArray("kavo: Not now.\n"));

        answer = {};
        Kavo kavo(home.path(), {"notes 1.txt", "vendrel://dropbox-auth?code=abc", "file:///tmp/x.pdf"});
        QTRY_COMPARE_WITH_TIMEOUT(kavo.state(), QProcess::NotRunning, 10000);
        QCOMPARE(kavo.exitCode(), 0);
        QCOMPARE(handled.size(), 2);
        QCOMPARE(handled.last(), (QStringList{home.path() + "/notes 1.txt", "vendrel://dropbox-auth?code=abc", "file:///tmp/x.pdf"}));
        QCOMPARE(kavo.readAllStandardOutput(), QByteArray());

        // What became of a link reaches whoever opened it; text the link brought is escaped.
        answer = {{},
                  "Kavo is signed in as \x1b]0;owned\x07"
                  "a@b.c."};
        Kavo link(home.path(), {"kavo://setup?key=k"});
        QTRY_COMPARE_WITH_TIMEOUT(link.state(), QProcess::NotRunning, 10000);
        QCOMPARE(link.exitCode(), 0);
        QCOMPARE(link.readAllStandardOutput(), QByteArray("Kavo is signed in as \\x1b]0;owned\\x07a@b.c.\n"));
    }

    // The lock elects the instance, not the socket file: a stale socket does not block the next
    // instance, a second claim loses even inside the same process, and the lock goes with its
    // holder.
    // Eight claims released at the same instant, over a stale socket: exactly one wins, the
    // losers' looks do not release its lock, and the lock goes with the winner.
    void theLockElectsOneInstance()
    {
        QTemporaryDir runtime;
        writeFile(runtime.path() + "/kavo.socket", "stale");
        std::vector<std::unique_ptr<SingleInstance>> claimants;
        for (int i = 0; i < 8; ++i)
            claimants.push_back(std::make_unique<SingleInstance>(runtime.path()));
        QVERIFY(!claimants.front()->instanceRunning());
        std::latch start(8);
        std::atomic<SingleInstance *> winner{nullptr};
        std::atomic<int> won{0};
        std::vector<std::thread> threads;
        for (auto &claimant : claimants) {
            threads.emplace_back([&start, &won, &winner, raw = claimant.get()] {
                start.arrive_and_wait();
                if (raw->claim() == SingleInstance::Claim::instance) {
                    ++won;
                    winner = raw;
                }
            });
        }
        for (std::thread &thread : threads)
            thread.join();
        QCOMPARE(int(won), 1);
        QVERIFY(winner.load()->listen({}));
        for (auto &claimant : claimants)
            QVERIFY(claimant->instanceRunning());
        std::erase_if(claimants, [&](const auto &claimant) { return claimant.get() != winner.load(); });
        QVERIFY(claimants.front()->instanceRunning());
        claimants.clear();
        SingleInstance next(runtime.path());
        QVERIFY(!next.instanceRunning());
        QCOMPARE(next.claim(), SingleInstance::Claim::instance);
    }

    // Without XDG_RUNTIME_DIR the socket lives in a folder only this user can reach; one that
    // others could write to, or that someone else owns, is refused rather than used.
    void withoutARuntimeFolderTheSocketStaysPrivate()
    {
        QTemporaryDir tmp;
        const QByteArray savedRuntime = qgetenv("XDG_RUNTIME_DIR"), savedTmp = qgetenv("TMPDIR");
        qunsetenv("XDG_RUNTIME_DIR");
        qputenv("TMPDIR", QFile::encodeName(tmp.path()));
        const QString folder = tmp.path() + "/kavo-" + QString::number(::getuid());
        QCOMPARE(SingleInstance::runtimeDirectory(), folder);
        struct stat info {};
        QCOMPARE(::stat(QFile::encodeName(folder).constData(), &info), 0);
        QCOMPARE(info.st_mode & 0777, 0700u);

        ::chmod(QFile::encodeName(folder).constData(), 0777);
        QString problem;
        QCOMPARE(SingleInstance::runtimeDirectory(&problem), QString());
        QVERIFY(problem.startsWith(folder + " is not a folder private to you"));
        SingleInstance refused;
        QCOMPARE(refused.claim(), SingleInstance::Claim::failed);
        QCOMPARE(refused.forward({"a.txt"}).status, SingleInstance::Status::failed);
        QVERIFY(!QFile::exists(folder + "/kavo.lock"));

        QProcess kavo;
        QProcessEnvironment env = kavoEnvironment(tmp.path());
        env.remove("XDG_RUNTIME_DIR");
        env.insert("TMPDIR", tmp.path());
        kavo.setProcessEnvironment(env);
        kavo.start(KAVO_BINARY, {});
        QVERIFY(kavo.waitForFinished(10000));
        QCOMPARE(kavo.exitCode(), 1);
        QVERIFY(kavo.readAllStandardError().contains("is not a folder private to you"));

        // A link in its place, even to a private folder, is not the folder.
        QVERIFY(QDir(folder).removeRecursively());
        QDir().mkpath(tmp.path() + "/elsewhere");
        ::chmod(QFile::encodeName(tmp.path() + "/elsewhere").constData(), 0700);
        QVERIFY(QFile::link(tmp.path() + "/elsewhere", folder));
        QCOMPARE(SingleInstance::runtimeDirectory(), QString());
        if (::getuid() == 0) {
            QFile::remove(folder);
            QDir().mkpath(folder);
            ::chmod(QFile::encodeName(folder).constData(), 0700);
            QCOMPARE(::chown(QFile::encodeName(folder).constData(), 65534, 65534), 0);
            QCOMPARE(SingleInstance::runtimeDirectory(), QString());
        }
        qputenv("XDG_RUNTIME_DIR", savedRuntime);
        qputenv("TMPDIR", savedTmp);
    }

    void dispatcherSortsArguments()
    {
        UrlDispatcher dispatcher;
        QSignalSpy files(&dispatcher, &UrlDispatcher::filesDropped);
        // Without a taker (a `kavo share` run) a sign-in link is refused, not lost in silence.
        QCOMPARE(dispatcher.dispatch({"kavo://setup?key=k"}).refusal,
                 QStringLiteral("Kavo is busy with `kavo share` and can't take a sign-in link now. Open it again once that has finished."));
        QList<QUrl> setup;
        dispatcher.setSetupLinkHandler([&setup](const QUrl &link) -> SingleInstance::Answer {
            setup.append(link);
            return {{}, "took " + link.query()};
        });
        WebAuthSession session([](const QUrl &) { return true; });
        connect(&dispatcher, &UrlDispatcher::dropboxRedirectReceived, &session, &WebAuthSession::deliver);
        QCoro::Task<Result<QUrl>> waiting = session.run(QUrl("https://auth.example/"));

        const SingleInstance::Answer took
            = dispatcher.dispatch({"/abs/a.txt", "rel/b.txt", "kavo://setup?key=k&email=e", "VENDREL://dropbox-auth?code=xyz",
                                   "vendrel://setup?key=2", "kavo://unknown"},
                                  "/work");
        QCOMPARE(files.size(), 1);
        QCOMPARE(files.first().first().value<QList<QUrl>>(),
                 (QList<QUrl>{QUrl::fromLocalFile("/abs/a.txt"), QUrl::fromLocalFile("/work/rel/b.txt")}));
        QCOMPARE(setup.size(), 2);
        QCOMPARE(setup.at(0).query(), QStringLiteral("key=k&email=e"));
        QCOMPARE(took.note, QStringLiteral("took key=k&email=e\ntook key=2"));
        QCOMPARE(took.refusal, QString());
        const Result<QUrl> answer = awaitTask(std::move(waiting));
        QVERIFY(answer);
        QCOMPARE(answer->query(), QStringLiteral("code=xyz"));
    }
};

QTEST_GUILESS_MAIN(TestSingleInstance)
#include "tst_singleinstance.moc"
