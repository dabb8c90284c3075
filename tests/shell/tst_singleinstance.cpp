#include "platform/webauthsession.h"
#include "shell/singleinstance.h"
#include "shell/urldispatcher.h"
#include "testutil.h"

#include <QProcess>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <atomic>
#include <thread>

class TestSingleInstance : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void secondKavoHandsOverItsArguments()
    {
        QTemporaryDir runtime;
        SingleInstance instance(runtime.path() + "/kavo.socket");
        QVERIFY(instance.listen());
        QSignalSpy received(&instance, &SingleInstance::received);

        QProcess kavo;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("XDG_RUNTIME_DIR", runtime.path());
        env.insert("QT_QPA_PLATFORM", "offscreen");
        kavo.setProcessEnvironment(env);
        kavo.setWorkingDirectory(runtime.path());
        kavo.start(KAVO_BINARY, {"notes 1.txt", "vendrel://dropbox-auth?code=abc", "file:///tmp/x.pdf"});
        QTRY_COMPARE_WITH_TIMEOUT(kavo.state(), QProcess::NotRunning, 10000);
        QCOMPARE(kavo.exitCode(), 0);
        QCOMPARE(received.size(), 1);
        QCOMPARE(received.first().first().toStringList(),
                 (QStringList{runtime.path() + "/notes 1.txt", "vendrel://dropbox-auth?code=abc", "file:///tmp/x.pdf"}));
    }

    void withoutAnInstanceTheProgramSaysSo()
    {
        QTemporaryDir runtime;
        QProcess kavo;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("XDG_RUNTIME_DIR", runtime.path());
        env.insert("QT_QPA_PLATFORM", "offscreen");
        kavo.setProcessEnvironment(env);
        kavo.start(KAVO_BINARY, {"a.txt"});
        QVERIFY(kavo.waitForFinished(10000));
        QCOMPARE(kavo.exitCode(), 1);
        QVERIFY(kavo.readAllStandardError().contains("Kavo isn't running"));
    }

    void onlyOneInstanceListens()
    {
        QTemporaryDir runtime;
        const QString name = runtime.path() + "/kavo.socket";
        // A socket file left by a process that died does not block the next instance.
        writeFile(name, "stale");
        SingleInstance first(name);
        QVERIFY(first.listen());
        std::atomic<int> secondListened{-1};
        std::thread second([&] { secondListened = SingleInstance(name).listen() ? 1 : 0; });
        QTRY_VERIFY(secondListened != -1);
        second.join();
        QCOMPARE(int(secondListened), 0);
    }

    void dispatcherSortsArguments()
    {
        UrlDispatcher dispatcher;
        QSignalSpy files(&dispatcher, &UrlDispatcher::filesDropped);
        QSignalSpy setup(&dispatcher, &UrlDispatcher::setupLinkReceived);
        WebAuthSession session([](const QUrl &) { return true; });
        connect(&dispatcher, &UrlDispatcher::dropboxRedirectReceived, &session, &WebAuthSession::deliver);
        QCoro::Task<Result<QUrl>> waiting = session.run(QUrl("https://auth.example/"));

        dispatcher.dispatch({"/abs/a.txt", "rel/b.txt", "kavo://setup?key=k&email=e", "VENDREL://dropbox-auth?code=xyz",
                             "vendrel://setup?key=2", "kavo://unknown"},
                            "/work");
        QCOMPARE(files.size(), 1);
        QCOMPARE(files.first().first().value<QList<QUrl>>(),
                 (QList<QUrl>{QUrl::fromLocalFile("/abs/a.txt"), QUrl::fromLocalFile("/work/rel/b.txt")}));
        QCOMPARE(setup.size(), 2);
        QCOMPARE(setup.at(0).first().toUrl().query(), QStringLiteral("key=k&email=e"));
        const Result<QUrl> answer = awaitTask(std::move(waiting));
        QVERIFY(answer);
        QCOMPARE(answer->query(), QStringLiteral("code=xyz"));
    }
};

QTEST_GUILESS_MAIN(TestSingleInstance)
#include "tst_singleinstance.moc"
