#include "fakeserver.h"
#include "loopbackstores.h"
#include "service/backendapi.h"
#include "service/historystore.h"
#include "service/presetsstore.h"
#include "settings/preferences.h"
#include "settings/themestore.h"
#include "testutil.h"

#include <QAbstractItemModelTester>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

using namespace std::chrono_literals;
using Response = FakeServer::Response;

namespace {

QByteArray item(const QByteArray &token, const QByteArray &status = "active", const QByteArray &extra = {})
{
    return "{\"token\":\"" + token + "\",\"filename\":\"" + token
        + ".pdf\",\"filesize\":1,\"mimetype\":\"application/pdf\","
          "\"custom_message\":\"\",\"protected\":false,\"download_count\":0,\"status\":\""
        + status
        + "\","
          "\"view_url\":\"v\",\"download_url\":\"d\""
        + extra + "}";
}

QByteArray items(const QList<QByteArray> &list)
{
    return "{\"items\":[" + list.join(',') + "]}";
}

struct Stores : LoopbackStores {
    // Fills the history with the given answer.
    void load(const QByteArray &answer)
    {
        server.enqueue("GET", "/api/history.php", Response::json(200, answer));
        awaitTask(history.refresh(15));
    }
    QStringList statuses() const
    {
        QStringList out;
        for (const HistoryItem &i : history.items())
            out.append(i.token + QLatin1Char('=') + i.status);
        return out;
    }
};

} // namespace

class TestStores : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void historyRefreshKeepsTheListOnFailure()
    {
        Stores s;
        QSignalSpy loading(&s.history, &LoadableStore::isLoadingChanged);
        s.load(items({item("a", "active", ",\"provider\":null"), item("b")}));
        QCOMPARE(s.history.items().size(), 2);
        QCOMPARE(s.history.items()[0].provider, QStringLiteral("google"));
        QCOMPARE(s.history.items()[0].driveFileID, QString());
        QCOMPARE(loading.size(), 2);
        QVERIFY(!s.history.isLoading());
        QCOMPARE(s.server.requests().value(0).rawQuery, QByteArray("limit=15"));

        // One bad item fails the whole answer: the old list stays, the error is shown.
        s.load(items({item("c"), item("d", "active", ",\"custom_message\":null")}));
        QCOMPARE(s.history.items().size(), 2);
        QCOMPARE(s.history.items()[0].token, QStringLiteral("a"));
        QVERIFY2(s.history.lastErrorText().contains("items[1].custom_message is null"), qPrintable(s.history.lastErrorText()));
        QVERIFY(!s.history.isLoading());

        s.server.enqueue("GET", "/api/history.php", Response::text(500, "down"));
        awaitTask(s.history.refresh(15));
        QCOMPARE(s.history.lastError(), QStringLiteral("Backend HTTP 500: down"));
        QCOMPARE(s.history.items().size(), 2);

        // Reloads may overlap (the panel's timer, a sign-in): loading lasts until the last ends.
        s.server.enqueue("GET", "/api/history.php", Response::delayed(400, Response::json(200, items({item("slow")}))));
        s.server.enqueue("GET", "/api/history.php", Response::json(200, items({item("quick")})));
        QCoro::Task<void> slow = s.history.refresh(15);
        QTRY_COMPARE(s.server.requests().size(), 4);
        awaitTask(s.history.refresh(15));
        QCOMPARE(s.history.items().value(0).token, QStringLiteral("quick"));
        QVERIFY(s.history.isLoading());
        awaitTask(std::move(slow));
        QVERIFY(!s.history.isLoading());

        s.load(items({item("e")}));
        QCOMPARE(s.history.lastError(), std::nullopt);
        QCOMPARE(s.history.model()->rowCount(), 1);
        QCOMPARE(s.history.model()->data(s.history.model()->index(0), HistoryListModel::TokenRole).toString(), QStringLiteral("e"));
    }

    void historyReloadsKeepListedRows()
    {
        // A reload is applied row by row by token: rows still listed keep their identity (the
        // persistent index a delegate hangs on), only changed roles are announced, never a reset.
        Stores s;
        HistoryListModel *model = s.history.model();
        QAbstractItemModelTester tester(model, QAbstractItemModelTester::FailureReportingMode::QtTest);
        s.load(items({item("a"), item("b"), item("c"), item("d")}));
        QPersistentModelIndex b(model->index(1));
        QPersistentModelIndex d(model->index(3));
        QSignalSpy resets(model, &QAbstractItemModel::modelReset);
        QSignalSpy changes(model, &QAbstractItemModel::dataChanged);
        QSignalSpy count(model, &HistoryListModel::countChanged);

        // c goes, n is new at the top, d moves up, b's download count changes.
        s.load(items({item("n"), item("d"), item("b", "active", ",\"download_count\":7"), item("a")}));
        QStringList tokens;
        for (const HistoryItem &i : s.history.items())
            tokens.append(i.token);
        QCOMPARE(tokens, (QStringList{"n", "d", "b", "a"}));
        QCOMPARE(resets.size(), 0);
        QCOMPARE(count.size(), 0); // four rows before and after
        QVERIFY(b.isValid() && d.isValid());
        QCOMPARE(b.data(HistoryListModel::TokenRole).toString(), QStringLiteral("b"));
        QCOMPARE(b.row(), 2);
        QCOMPARE(d.row(), 1);
        QCOMPARE(changes.size(), 1);
        QCOMPARE(changes[0][0].toModelIndex().row(), 2);
        // The count and the summary that says it.
        QCOMPARE(changes[0][2].value<QList<int>>(), (QList<int>{HistoryListModel::DownloadCountRole, HistoryListModel::SummaryRole}));
        QCOMPARE(b.data(HistoryListModel::SummaryRole).toString(), QStringLiteral("1 B · 7 downloads"));

        // The same answer again changes nothing at all.
        changes.clear();
        s.load(items({item("n"), item("d"), item("b", "active", ",\"download_count\":7"), item("a")}));
        QCOMPARE(changes.size(), 0);
        QCOMPARE(resets.size(), 0);

        // A link's error and its delete in flight belong to its token: announced on its row alone,
        // and kept through a reload that drops the row and one that brings it back.
        model->setError("a", QStringLiteral("Database is read-only."));
        model->setDeleting("d", true);
        QCOMPARE(changes.size(), 2);
        QCOMPARE(changes[0][0].toModelIndex().row(), 3);
        QCOMPARE(changes[0][2].value<QList<int>>(), QList<int>{HistoryListModel::ErrorRole});
        s.load(items({item("n"), item("d")}));
        s.load(items({item("n"), item("d"), item("b"), item("a")}));
        QCOMPARE(model->data(model->index(3), HistoryListModel::ErrorRole).toString(), QStringLiteral("Database is read-only."));
        QVERIFY(d.data(HistoryListModel::DeletingRole).toBool());
        model->setError("a", QString());
        QCOMPARE(model->data(model->index(3), HistoryListModel::ErrorRole).toString(), QString());
        count.clear();

        // A token listed twice keeps both rows apart.
        s.load(items({item("n"), item("n"), item("a")}));
        QCOMPARE(model->rowCount(), 3);
        QCOMPARE(count.size(), 1);
        QVERIFY(!b.isValid());
        QCOMPARE(resets.size(), 0);
    }

    void historyStatusRules_data()
    {
        QTest::addColumn<QString>("edit");
        QTest::addColumn<QString>("before");
        QTest::addColumn<QString>("after");
        row("protect active", "protect", "active", "protected");
        row("protect expired", "protect", "expired", "expired");
        row("protect other", "protect", "pending", "protected");
        row("unprotect protected", "unprotect", "protected", "active");
        row("unprotect expired", "unprotect", "expired", "expired");
        row("expiry on expired", "expiry", "expired", "active");
        row("expiry on protected", "expiry", "protected", "protected");
        row("expiry on other", "expiry", "pending", "pending");
    }
    void historyStatusRules()
    {
        QFETCH(QString, edit);
        QFETCH(QString, before);
        QFETCH(QString, after);
        Stores s;
        s.load(items({item("t", before.toUtf8())}));
        if (edit == "protect")
            s.history.updateProtected("t", true);
        else if (edit == "unprotect")
            s.history.updateProtected("t", false);
        else
            s.history.updateExpiry("t", QStringLiteral("2027-02-01"));
        const HistoryItem changed = s.history.items().value(0);
        QCOMPARE(changed.status, after);
        if (edit == "expiry")
            QCOMPARE(changed.expiresAt, QStringLiteral("2027-02-01"));
        else
            QCOMPARE(changed.isProtected, edit == "protect");
    }

    void historyEditsFindTheFirstTokenAndRemovalTakesAll()
    {
        Stores s;
        s.load(items({item("dup"), item("other"), item("dup")}));
        QSignalSpy changed(s.history.model(), &QAbstractItemModel::dataChanged);
        QSignalSpy reset(s.history.model(), &QAbstractItemModel::modelReset);

        s.history.updateFilename("missing", "x.pdf");
        s.history.updatePreset("missing", 2);
        s.history.removeToken("missing");
        QCOMPARE(changed.size() + reset.size(), 0); // nothing published

        s.history.updateFilename("dup", "renamed.pdf");
        s.history.updatePreset("dup", 7);
        QCOMPARE(s.history.items()[0].filename, QStringLiteral("renamed.pdf"));
        QCOMPARE(s.history.items()[0].presetID, 7);
        QCOMPARE(s.history.items()[2].filename, QStringLiteral("dup.pdf"));
        QCOMPARE(s.history.items()[2].presetID, std::nullopt);

        QSignalSpy removed(s.history.model(), &QAbstractItemModel::rowsRemoved);
        const QPersistentModelIndex other(s.history.model()->index(1));
        s.history.removeToken("dup");
        QCOMPARE(removed.size(), 2); // both entries, and only they: the other row stays as it is
        QCOMPARE(reset.size(), 0);
        QVERIFY(other.isValid());
        QCOMPARE(s.history.items().size(), 1);
        QCOMPARE(s.history.items()[0].token, QStringLiteral("other"));
    }

    // A reload asked for before a link was deleted or renamed here may answer with the link as
    // it was: that answer is not shown (the deleted row would come back), the list is asked again.
    void aReloadAskedBeforeAnEditDoesNotUndoIt()
    {
        Stores s;
        s.load(items({item("a"), item("b")}));
        const auto stale = Response::delayed(300, Response::json(200, items({item("a"), item("b")})));
        s.server.enqueue("GET", "/api/history.php", stale);
        s.server.enqueue("GET", "/api/history.php", Response::json(200, items({item("b")})));
        QCoro::Task<void> reloading = s.history.refresh(15);
        QTest::qWait(100);
        s.history.removeToken("a");
        awaitTask(std::move(reloading));
        QCOMPARE(s.statuses(), QStringList{"b=active"});
        QCOMPARE(s.server.requests("GET", "/api/history.php").size(), 3);

        s.server.enqueue("GET", "/api/history.php", stale);
        s.server.enqueue("GET", "/api/history.php", Response::json(200, items({item("b").replace("\"b.pdf\"", "\"new.pdf\"")})));
        reloading = s.history.refresh(15);
        QTest::qWait(100);
        s.history.updateFilename("b", "new.pdf");
        awaitTask(std::move(reloading));
        QCOMPARE(s.history.items().value(0).filename, QStringLiteral("new.pdf"));
        QCOMPARE(s.server.requests("GET", "/api/history.php").size(), 5);
    }

    void preferencesPersistWithTheirTypes()
    {
        QTemporaryDir dir;
        const DefaultsStore defaults = DefaultsStore::standard(dir.path());
        {
            Preferences preferences(defaults);
            ThemeStore theme(defaults);
            QSignalSpy expiryChanged(&preferences, &Preferences::expiryDaysChanged);
            preferences.setExpiryDays(0);
            preferences.setExpiryDays(0);
            QCOMPARE(expiryChanged.size(), 1);
            preferences.setSelectedPresetID(5);
            preferences.setSelectedPresetID(std::nullopt);
            preferences.setSelectedProvider(StorageProvider::dropbox);
            theme.setTheme(ThemeStore::AppTheme::dark);
        }
        QCOMPARE(defaults.value(Preferences::expiryDaysKey), QJsonValue(0));
        QCOMPARE(defaults.value(Preferences::selectedPresetIDKey), QJsonValue(0)); // none is stored as 0
        QCOMPARE(defaults.value(Preferences::selectedProviderKey), QJsonValue("dropbox"));
        QCOMPARE(defaults.value(ThemeStore::themeKey), QJsonValue("dark"));
        const Preferences reread(defaults);
        QCOMPARE(reread.expiryDays(), 0);
        QCOMPARE(reread.selectedPresetID(), std::nullopt);
        QCOMPARE(reread.selectedProvider(), StorageProvider::dropbox);
        QCOMPARE(ThemeStore(defaults).theme(), ThemeStore::AppTheme::dark);
    }

    void colourText_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<bool>("valid");
        QTest::addColumn<int>("red");
        QTest::addColumn<int>("green");
        QTest::addColumn<int>("blue");
        row("mixed case, padded", " #1A2b3C ", true, 26, 43, 60);
        row("no hash, newline", "ff8000\n", true, 255, 128, 0);
        row("three digits", "#FFF", false, 0, 0, 0);
        row("not hexadecimal", "#12345G", false, 0, 0, 0);
        row("two hashes", "##123456", false, 0, 0, 0);
        row("sign", "+12345", false, 0, 0, 0);
        row("hex prefix", "0x1234", false, 0, 0, 0);
        row("empty", "", false, 0, 0, 0);
    }

    void colourText()
    {
        QFETCH(QString, text);
        QFETCH(bool, valid);
        const std::optional<QColor> colour = BrandingPreset::colorFromText(text);
        QCOMPARE(colour.has_value(), valid);
        if (!colour)
            return;
        QCOMPARE(colour->alphaF(), 1.0f);
        QTEST(qRound(colour->redF() * 255), "red");
        QTEST(qRound(colour->greenF() * 255), "green");
        QTEST(qRound(colour->blueF() * 255), "blue");
    }

    void preferencesReadTheirFallbacks_data()
    {
        QTest::addColumn<QByteArray>("stored");
        QTest::addColumn<qint64>("expiry");
        QTest::addColumn<qint64>("preset"); // 0: none
        QTest::addColumn<QString>("provider");
        QTest::addColumn<QString>("theme");
        row("fresh", QByteArray(), qint64(7), qint64(0), "google", "light");
        row("stored values",
            QByteArray(
                "{\"prefs.expiryDays\":30,\"prefs.selectedPresetID\":4,\"prefs.selectedProvider\":\"dropbox\",\"kavo-theme\":\"dark\"}"),
            qint64(30), qint64(4), "dropbox", "dark");
        row("mistyped",
            QByteArray("{\"prefs.expiryDays\":\"14\",\"prefs.selectedPresetID\":-3,\"prefs.selectedProvider\":\"Dropbox\",\"kavo-theme\":"
                       "\"Dark\"}"),
            qint64(7), qint64(0), "google", "light");
        row("fractional and zero", QByteArray("{\"prefs.expiryDays\":2.5,\"prefs.selectedPresetID\":0,\"prefs.selectedProvider\":7}"),
            qint64(7), qint64(0), "google", "light");
        row("negative expiry kept", QByteArray("{\"prefs.expiryDays\":-2}"), qint64(-2), qint64(0), "google", "light");
    }

    void preferencesReadTheirFallbacks()
    {
        QFETCH(QByteArray, stored);
        QTemporaryDir dir;
        if (!stored.isEmpty())
            writeFile(DefaultsStore::standard(dir.path()).filePath(), stored);
        const Preferences preferences(DefaultsStore::standard(dir.path()));
        const ThemeStore theme(DefaultsStore::standard(dir.path()));
        QTEST(preferences.expiryDays(), "expiry");
        QTEST(preferences.selectedPresetID().value_or(0), "preset");
        QTEST(preferences.selectedProviderRaw(), "provider");
        QTEST(ThemeStore::rawValue(theme.theme()), "theme");
    }
};

QTEST_GUILESS_MAIN(TestStores)
#include "tst_stores.moc"
