#include "cloud/progressreporter.h"
#include "cloud/storageprovider.h"

#include <QTest>
#include <QThread>

#include <atomic>
#include <thread>

class TestProvider : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void parsesOnlyTheExactRawValues_data()
    {
        QTest::addColumn<QString>("raw");
        QTest::addColumn<int>("expected"); // -1: no value
        QTest::newRow("google") << "google" << int(StorageProvider::google);
        QTest::newRow("dropbox") << "dropbox" << int(StorageProvider::dropbox);
        QTest::newRow("capitalised") << "Dropbox" << -1;
        QTest::newRow("upper") << "GOOGLE" << -1;
        QTest::newRow("empty") << "" << -1;
        QTest::newRow("padded") << " google" << -1;
        QTest::newRow("other") << "onedrive" << -1;
    }
    void parsesOnlyTheExactRawValues()
    {
        QFETCH(QString, raw);
        QFETCH(int, expected);
        const std::optional<StorageProvider> parsed = storageProviderFromRaw(raw);
        QCOMPARE(parsed.has_value(), expected >= 0);
        if (parsed) {
            QCOMPARE(int(*parsed), expected);
            QCOMPARE(rawValue(*parsed), raw);
        }
    }

    void reportsArriveOnTheMainThreadInOrder()
    {
        QList<double> fractions;
        std::atomic<bool> offMainThread{false};
        QThread *main = QThread::currentThread();
        ProgressReporter reporter([&](double f) {
            if (QThread::currentThread() != main)
                offMainThread = true;
            fractions.append(f);
        });
        // The transfer reports from a thread of its own, as an HTTP stack does.
        std::thread transfer([&] {
            reporter.report(25, 100);
            reporter.report(75, 100);
            reporter.report(100, 100);
            reporter.report(110, 100); // not clamped
        });
        transfer.join();
        // Nothing is delivered on the reporting thread itself; it all waits for the main loop.
        QVERIFY(fractions.isEmpty());
        QTRY_COMPARE(fractions.size(), 4);
        QCOMPARE(fractions, (QList<double>{0.25, 0.75, 1.0, 1.1}));
        QVERIFY(!offMainThread);
    }

    void unknownExpectedSizeGivesNoReport()
    {
        int reports = 0;
        ProgressReporter reporter([&](double) { ++reports; });
        reporter.report(10, 0);
        reporter.report(20, -1);
        QCoreApplication::processEvents();
        QTest::qWait(20);
        QCOMPARE(reports, 0);
    }
};

QTEST_GUILESS_MAIN(TestProvider)
#include "tst_provider.moc"
