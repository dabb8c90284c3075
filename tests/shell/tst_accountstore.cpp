#include "cloudstandins.h"
#include "platform/secretstore.h"
#include "shell/accountstore.h"
#include "testutil.h"

#include <QFile>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

namespace {

const QString builtinKey = QStringLiteral("b").repeated(64);
const QString builtinEmail = QStringLiteral("admin@kavo.test");

// Fresh defaults, suite and keychain, and a way to launch the store over them.
struct Launch {
    QTemporaryDir config;
    HeldSecretStore secrets;
    int changes = 0; // sign-ins and sign-outs the stores started here announced
    DefaultsStore defaults() const { return DefaultsStore::standard(config.path()); }
    DefaultsStore suite() const { return DefaultsStore::suite(config.path()); }
    std::unique_ptr<AccountStore> start()
    {
        auto store = std::make_unique<AccountStore>(&secrets, defaults(), suite(), AccountStore::BuiltinAccount{builtinKey, builtinEmail});
        QObject::connect(store.get(), &AccountStore::signedInOrOut, store.get(), [this] { ++changes; });
        return store;
    }
    QByteArray files() const
    {
        QFile a(defaults().filePath()), b(suite().filePath());
        a.open(QIODevice::ReadOnly);
        b.open(QIODevice::ReadOnly);
        return a.readAll() + "|" + b.readAll();
    }
};

} // namespace

class TestAccountStore : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    // The keychain gives the key back late (an unlock prompt): the store starts empty, then
    // shows the account, and nothing treats the wait as a first launch.
    void aKeyTheKeychainGivesLateShowsWhenItComes()
    {
        Launch launch;
        const QString key = QStringLiteral("k").repeated(64);
        launch.secrets.save("Vendrel.BackendApiKey", key);
        QVERIFY(launch.defaults().setValue("account.bootstrapped", true));
        QVERIFY(launch.defaults().setValue("account.email", "me@kavo.test"));
        launch.secrets.hold();
        const auto store = launch.start();
        QSignalSpy changed(store.get(), &AccountStore::changed);
        bool loaded = false;
        QCoro::connect(store->loaded(), this, [&loaded] { loaded = true; });
        QTest::qWait(50);
        QVERIFY(!loaded);
        QVERIFY(!store->isSignedIn());
        launch.secrets.release();
        QTRY_VERIFY(loaded);
        QCOMPARE(store->apiKey(), key);
        QCOMPARE(store->email(), QStringLiteral("me@kavo.test"));
        QCOMPARE(changed.size(), 1);
        QCOMPARE(launch.suite().value("kavo.shared.apiKey"), QJsonValue(key));
        QCOMPARE(launch.changes, 0);
    }

    // A keyring that stays locked (its unlock refused) is not a sign-out: nothing stored is
    // touched, the built-in account is not installed again, the command line is told why, and
    // an unlock later gives the account back.
    void aLockedKeyringIsNotASignOut()
    {
        Launch launch;
        const QString key = QStringLiteral("k").repeated(64);
        launch.secrets.save("Vendrel.BackendApiKey", key);
        QVERIFY(launch.defaults().setValue("account.bootstrapped", true));
        QVERIFY(launch.defaults().setValue("account.email", "me@kavo.test"));
        QVERIFY(launch.suite().setValue("kavo.shared.apiKey", key));
        launch.secrets.setLocked(true);
        const QByteArray before = launch.files();
        const auto store = launch.start();
        QSignalSpy unlocked(store.get(), &AccountStore::keyringUnlocked);
        QCOMPARE(store->waitUntilLoaded(),
                 QStringLiteral("Your keyring is locked, so Kavo can't read your sign-in to Kavo. "
                                "Unlock it when Kavo asks (or in your keyring app), then try again."));
        QVERIFY(store->isKeyringLocked());
        QVERIFY(!store->isSignedIn());
        QCOMPARE(launch.files(), before);

        store->unlockKeyring(); // refused again
        QTest::qWait(20);
        QVERIFY(store->isKeyringLocked());
        QCOMPARE(unlocked.size(), 0);

        QSignalSpy changed(store.get(), &AccountStore::changed);
        int resumed = 0; // an upload waiting for the account goes on once, however many changes come
        QCoro::connect(store->signedIn(), this, [&resumed] { ++resumed; });
        launch.secrets.setLocked(false);
        store->unlockKeyring();
        QTRY_VERIFY(store->isSignedIn());
        QTRY_COMPARE(resumed, 1);
        QTest::qWait(20);
        QCOMPARE(store->apiKey(), key);
        QCOMPARE(store->email(), QStringLiteral("me@kavo.test"));
        QVERIFY(!store->isKeyringLocked());
        QCOMPARE(unlocked.size(), 1);
        QVERIFY(changed.size() >= 1);
        QCOMPARE(store->waitUntilLoaded(), std::nullopt);
        QCOMPARE(launch.changes, 0);
    }

    void launchAfterSignOutStaysSignedOutAndWritesNothing()
    {
        Launch launch;
        launch.start()->signOut();
        QCOMPARE(launch.changes, 1);
        QCOMPARE(launch.suite().value("kavo.shared.apiKey"), QJsonValue(QJsonValue::Undefined));
        QVERIFY(!launch.defaults().contains("account.email"));
        const QByteArray before = launch.files();
        const auto again = launch.start();
        QVERIFY(again->apiKey().isEmpty());
        QVERIFY(!again->isSignedIn());
        QCOMPARE(again->email(), std::nullopt);
        QCOMPARE(awaitTask(launch.secrets.read("Vendrel.BackendApiKey")).value, std::nullopt);
        QCOMPARE(launch.files(), before);
    }

    void signInStoresEverywhereAndAnnounces()
    {
        Launch launch;
        const auto store = launch.start();
        const QString key = QStringLiteral("D").repeated(64);

        store->signIn(QStringLiteral("e").repeated(63), QStringLiteral("x@y"), QStringLiteral("X"));
        QCOMPARE(store->apiKey(), builtinKey);
        QCOMPARE(launch.changes, 0);

        store->signIn(key, std::nullopt, QStringLiteral("Dee"));
        QCOMPARE(launch.changes, 1);
        QCOMPARE(store->apiKey(), key);
        QCOMPARE(store->email(), std::nullopt);
        QCOMPARE(store->name(), QStringLiteral("Dee"));
        QCOMPARE(awaitTask(launch.secrets.read("Vendrel.BackendApiKey")).value, key);
        QVERIFY(!launch.defaults().contains("account.email")); // an absent e-mail removes the key
        QCOMPARE(launch.defaults().value("account.name"), QJsonValue("Dee"));
        QCOMPARE(launch.suite().value("kavo.shared.apiKey"), QJsonValue(key));

        store->signOut();
        QCOMPARE(launch.changes, 2);
        QVERIFY(store->apiKey().isEmpty());
        QVERIFY(!launch.suite().contains("kavo.shared.apiKey"));
        QVERIFY(!launch.defaults().contains("account.name"));
        QCOMPARE(launch.defaults().value("account.bootstrapped"), QJsonValue(true));
    }

    void veryFirstLaunchInstallsTheBuiltinAccount()
    {
        Launch launch;
        const auto store = launch.start();
        QCOMPARE(store->apiKey(), builtinKey);
        QCOMPARE(store->email(), builtinEmail);
        QCOMPARE(store->name(), QStringLiteral("Admin"));
        QCOMPARE(awaitTask(launch.secrets.read("Vendrel.BackendApiKey")).value, builtinKey);
        QCOMPARE(launch.defaults().value("account.bootstrapped"), QJsonValue(true));
        QCOMPARE(launch.defaults().value("account.email"), QJsonValue(builtinEmail));
        QCOMPARE(launch.defaults().value("account.name"), QJsonValue("Admin"));
        QCOMPARE(launch.suite().value("kavo.shared.apiKey"), QJsonValue(builtinKey));
        QCOMPARE(launch.changes, 0); // loading announces nothing
    }

    void keyWithoutEmailRefreshesTheSuite()
    {
        Launch launch;
        const QString key = QStringLiteral("c").repeated(64);
        launch.secrets.save("Vendrel.BackendApiKey", key);
        launch.suite().setValue("kavo.shared.apiKey", "stale");
        const auto store = launch.start();
        QCOMPARE(store->apiKey(), key);
        QCOMPARE(store->email(), std::nullopt);
        QCOMPARE(store->name(), std::nullopt);
        QCOMPARE(launch.suite().value("kavo.shared.apiKey"), QJsonValue(key));
        QVERIFY(!launch.defaults().contains("account.bootstrapped")); // the built-in account is not installed
    }
};

QTEST_GUILESS_MAIN(TestAccountStore)
#include "tst_accountstore.moc"
