#include "cloud/clouduploader.h"
#include "cloud/progressreporter.h"
#include "memorysecretstore.h"
#include "platform/desktop.h"
#include "platform/milestone.h"
#include "platform/secretstore.h"
#include "testutil.h"
#include "upload/uploadmanager.h"

#include <QDir>
#include <QFileInfo>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QTest>
#include <qcoro/qcorosignal.h>
#include <qcoro/qcorotask.h>

#include <atomic>
#include <thread>
#include <unistd.h>

using State = UploadJob::State;

namespace {

// Lets a test hold an operation in flight until it opens.
class Gate : public QObject
{
    Q_OBJECT
public:
    bool isOpen = false;
    void open()
    {
        isOpen = true;
        Q_EMIT opened();
    }
    QCoro::Task<void> wait()
    {
        if (isOpen)
            co_return;
        auto signal = qCoro(this, &Gate::opened);
        co_await signal;
    }
Q_SIGNALS:
    void opened();
};

struct UploadCall {
    QString filePath;
    QString mimeType;
};

class FakeUploader : public CloudUploader
{
public:
    explicit FakeUploader(StorageProvider provider)
        : provider(provider)
    {
    }
    StorageProvider provider;
    QList<UploadCall> calls;
    QList<Result<CloudUploadResult>> outcomes; // consumed in order; then success
    Gate *gate = nullptr;
    QList<double> reportsFromThread; // sent from another thread, as a transfer does, before returning

    using CloudUploader::upload;
    QList<UploadSession> sessionsHanded;
    std::optional<UploadSession> sessionToStart; // reported as started on each call

    QCoro::Task<Result<CloudUploadResult>> upload(QString filePath, QString mimeType, ProgressCallback progress, UploadSession session,
                                                  SessionCallback changed) override
    {
        calls.append({filePath, mimeType});
        sessionsHanded.append(session);
        if (sessionToStart && changed)
            changed(*sessionToStart);
        if (gate) {
            QCoro::Task<void> waiting = gate->wait();
            co_await waiting;
        }
        if (!reportsFromThread.isEmpty()) {
            const QList<double> reports = reportsFromThread;
            const ProgressReporter reporter(progress);
            std::thread([reporter, reports] {
                for (double r : reports)
                    reporter.report(qint64(r * 100), 100);
            }).join();
        }
        if (!outcomes.isEmpty())
            co_return outcomes.takeFirst();
        CloudUploadResult result;
        result.provider = provider;
        result.providerFileID = provider == StorageProvider::google ? QStringLiteral("drive-file-1")
                                                                    : QStringLiteral("/abcdefghijkl/") + QFileInfo(filePath).fileName();
        if (provider == StorageProvider::dropbox)
            result.directURL = QStringLiteral("https://dl.example/file?dl=1");
        co_return result;
    }
};

class FakeAuth : public CloudAuth
{
public:
    bool signedIn = true;
    std::optional<Error> signInError;
    int signInCalls = 0;
    std::unique_ptr<Milestone> restoring; // the keychain is still looking up the stored sign-in
    bool isSignedIn() const override { return signedIn; }
    bool isKeyringLocked() const override { return false; }
    QCoro::Task<void> restored() override
    {
        if (restoring)
            co_await restoring->reached();
    }
    QCoro::Task<Result<void>> signIn() override
    {
        ++signInCalls;
        if (signInError)
            co_return Error(*signInError);
        signedIn = true;
        co_return Result<void>();
    }
};

class FakeLinkService : public LinkService
{
public:
    QList<RegistrationRequest> registrations;
    QList<Result<Registration>> registerOutcomes; // consumed in order; then success
    QCoro::Task<Result<Registration>> registerUpload(RegistrationRequest request) override
    {
        registrations.append(request);
        if (!registerOutcomes.isEmpty())
            co_return registerOutcomes.takeFirst();
        co_return Registration{QStringLiteral("tok-%1").arg(registrations.size()),
                               QStringLiteral("https://kavo.example/l/%1").arg(registrations.size())};
    }
};

class FakeHistory : public HistoryUpdates
{
public:
    QList<int> refreshes;
    QCoro::Task<void> refresh(int limit) override
    {
        refreshes.append(limit);
        co_return;
    }
};

class FakePresets : public PresetChoice
{
public:
    std::optional<qint64> preset = 4;
    std::optional<qint64> effectivePresetID() const override { return preset; }
};

class FakePreferences : public UploadPreferences
{
public:
    StorageProvider provider = StorageProvider::google;
    qint64 days = 30;
    StorageProvider selectedProvider() const override { return provider; }
    qint64 expiryDays() const override { return days; }
};

// What the queue reports through, and the wiring of its services around it.
struct Recorders {
    RecordingClipboard clipboard;
    RecordingNotifier notifier;
    QList<qint64> pauses;

    UploadManager::Services services(CloudUploader *drive, CloudAuth *google, CloudUploader *dropbox, CloudAuth *dropboxAuth,
                                     LinkService *backend, HistoryUpdates *history, PresetChoice *presets, UploadPreferences *preferences)
    {
        UploadManager::Services s;
        s.backend = backend;
        s.history = history;
        s.presets = presets;
        s.preferences = preferences;
        s.driveUploader = drive;
        s.googleAuth = google;
        s.dropboxUploader = dropbox;
        s.dropboxAuth = dropboxAuth;
        s.clipboard = &clipboard;
        s.notifier = &notifier;
        s.pause = [this](std::chrono::milliseconds wait) -> QCoro::Task<void> {
            pauses.append(wait.count() / 1000);
            co_return;
        };
        return s;
    }
};

// The whole queue over doubles, with real files and the real zip under a private temp dir.
struct Harness : Recorders {
    QTemporaryDir files;
    QTemporaryDir temp;
    FakeUploader drive{StorageProvider::google};
    FakeUploader dropbox{StorageProvider::dropbox};
    FakeAuth googleAuth;
    FakeAuth dropboxAuth;
    FakeLinkService backend;
    FakeHistory history;
    FakePresets presets;
    FakePreferences preferences;
    int successes = 0; // jobFinished(…, true)
    std::unique_ptr<UploadManager> manager;
    QHash<QUuid, QList<State>> states;

    Harness()
    {
        UploadManager::Services s = services();
        SourcePreparation::Environment env;
        env.tempDir = temp.path();
        env.locale = QLocale(QLocale::English);
        s.preparation = SourcePreparation(env);
        manager = std::make_unique<UploadManager>(std::move(s));
        QObject::connect(manager.get(), &UploadManager::jobFinished, manager.get(), [this](const QUuid &, bool succeeded) {
            if (succeeded)
                ++successes;
        });
        // Every distinct state each job passes through, in order.
        QObject::connect(manager->uploads(), &QAbstractItemModel::dataChanged, manager.get(), [this] { record(); });
        QObject::connect(manager->uploads(), &QAbstractItemModel::rowsInserted, manager.get(), [this] { record(); });
    }

    // The queue's services over this harness's doubles.
    UploadManager::Services services()
    {
        return Recorders::services(&drive, &googleAuth, &dropbox, &dropboxAuth, &backend, &history, &presets, &preferences);
    }

    void record()
    {
        for (const UploadJob &job : manager->jobs()) {
            QList<State> &seen = states[job.id];
            if (seen.isEmpty() || seen.last() != job.state)
                seen.append(job.state);
        }
    }

    QUrl file(const QString &name, const QByteArray &content = "content")
    {
        const QString path = files.path() + QLatin1Char('/') + name;
        writeFile(path, content);
        return QUrl::fromLocalFile(path);
    }

    UploadJob jobAt(int row) const { return manager->jobs().at(row); }
    bool finished(const QUuid &id) const
    {
        const auto job = manager->job(id);
        return job && (job->state == State::Done || job->state == State::Failed);
    }
};

} // namespace

class TestUploadManager : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void oneFileGoesStraightToDone()
    {
        Harness h;
        const QUuid id = h.manager->enqueue({h.file(QStringLiteral("report.pdf"), QByteArray(1234, 'p'))});
        QCOMPARE(h.jobAt(0).state, State::Queued); // enqueue returns before the job runs
        QCOMPARE(h.jobAt(0).displayName, QStringLiteral("report.pdf"));
        QTRY_VERIFY(h.finished(id));

        const UploadJob job = h.jobAt(0);
        QCOMPARE(h.states[id], (QList<State>{State::Queued, State::Preparing, State::Uploading, State::Registering, State::Done}));
        QCOMPARE(job.displayName, QStringLiteral("report.pdf"));
        QCOMPARE(job.totalBytes, 1234);
        QCOMPARE(job.progress, 1.0);
        QCOMPARE(job.shareURL, QStringLiteral("https://kavo.example/l/1"));
        QCOMPARE(job.token, QStringLiteral("tok-1"));
        QCOMPARE(job.presetID, 4);
        QCOMPARE(job.expiryDays, 30);
        QVERIFY(!job.errorMessage);

        QCOMPARE(h.drive.calls.size(), 1);
        QCOMPARE(h.drive.calls[0].mimeType, QStringLiteral("application/pdf"));
        QCOMPARE(QFileInfo(h.drive.calls[0].filePath).fileName(), QStringLiteral("report.pdf"));
        QCOMPARE(h.backend.registrations.size(), 1);
        const RegistrationRequest &r = h.backend.registrations[0];
        QCOMPARE(r.driveFileID, QStringLiteral("drive-file-1"));
        QCOMPARE(r.filename, QStringLiteral("report.pdf"));
        QCOMPARE(r.filesize, 1234);
        QCOMPARE(r.mimetype, QStringLiteral("application/pdf"));
        QCOMPARE(r.expiryDays, 30);
        QCOMPARE(r.presetID, 4);
        QCOMPARE(r.provider, StorageProvider::google);
        QVERIFY(!r.directURL && !r.customMessage && !r.password);

        QCOMPARE(h.clipboard.texts, QStringList{QStringLiteral("https://kavo.example/l/1")});
        QCOMPARE(h.notifier.notes, QStringList{QStringLiteral("Link copied | https://kavo.example/l/1")});
        QCOMPARE(h.successes, 1);
        QCOMPARE(h.history.refreshes, QList<int>{15});
        QVERIFY(QDir(h.temp.path()).isEmpty()); // nothing was zipped
    }

    void zeroByteFileNeverReachesAProvider()
    {
        Harness h;
        h.googleAuth.signedIn = false;
        const QUuid id = h.manager->enqueue({h.file(QStringLiteral("empty.txt"), {})});
        QTRY_VERIFY(h.finished(id));
        const UploadJob job = h.jobAt(0);
        QCOMPARE(job.state, State::Failed);
        QCOMPARE(job.errorMessage, QStringLiteral("Refusing to upload a 0-byte file. Check the source folder permissions and try again."));
        QCOMPARE(h.googleAuth.signInCalls, 0);
        QCOMPARE(h.drive.calls.size(), 0);
        QVERIFY(h.clipboard.texts.isEmpty());
        QVERIFY(QDir(h.temp.path()).isEmpty());
    }

    // A failure is said in the row and in a notification that offers to try again; trying again
    // makes the drop anew in the failed row's place.
    void missingSingleSourceSaysSoAndCanBeRetried()
    {
        Harness h;
        const QString path = h.files.path() + QStringLiteral("/ghost.pdf");
        const QUuid id = h.manager->enqueue({QUrl::fromLocalFile(path)});
        QTRY_VERIFY(h.finished(id));
        const QString why = QStringLiteral("Couldn't read source: ghost.pdf — No such file or directory");
        QCOMPARE(h.jobAt(0).errorMessage, why);
        QCOMPARE(h.drive.calls.size(), 0);
        QCOMPARE(h.notifier.notes, QStringList{QStringLiteral("Upload failed | ghost.pdf: ") + why});
        QCOMPARE(h.notifier.offered.value(0).size(), 1);
        QCOMPARE(h.notifier.offered.value(0).first().label, QStringLiteral("Retry"));

        writeFile(path, "found");
        h.notifier.offered.value(0).first().run();
        QCOMPARE(h.manager->jobs().size(), 1);
        const QUuid again = h.manager->jobs().first().id;
        QVERIFY(again != id);
        QTRY_VERIFY(h.finished(again));
        QCOMPARE(h.manager->job(again)->state, State::Done);
        QCOMPARE(h.manager->retryJob(again), QUuid()); // only a failed job is tried again
        // "Link copied" offers the link again (there is no browser here to open it in).
        QCOMPARE(h.notifier.offered.value(1).size(), 1);
        QCOMPARE(h.notifier.offered.value(1).first().label, QStringLiteral("Copy again"));
        h.clipboard.texts.clear();
        h.notifier.offered.value(1).first().run();
        QCOMPARE(h.clipboard.texts, QStringList{QStringLiteral("https://kavo.example/l/1")});

        // A desktop that refuses the copy: the link is only said to be ready, with the copy offered.
        h.clipboard.refusal = QStringLiteral("the compositor refused it");
        const QUuid third = h.manager->enqueue({QUrl::fromLocalFile(path)});
        QTRY_VERIFY(h.finished(third));
        QCOMPARE(h.notifier.notes.last(), QStringLiteral("Link ready | https://kavo.example/l/2"));
        QCOMPARE(h.notifier.offered.last().first().label, QStringLiteral("Copy link"));
    }

    void signInFirstWhenNeeded()
    {
        Harness h;
        h.preferences.provider = StorageProvider::dropbox;
        h.dropboxAuth.signedIn = false;
        h.dropboxAuth.signInError = Error{QStringLiteral("auth"), 1, QStringLiteral("Sign-in was cancelled.")};
        const QUuid id = h.manager->enqueue({h.file(QStringLiteral("a.txt"))});
        QTRY_VERIFY(h.finished(id));
        QCOMPARE(h.dropboxAuth.signInCalls, 1);
        QCOMPARE(h.jobAt(0).state, State::Failed);
        QCOMPARE(h.jobAt(0).errorMessage, QStringLiteral("Sign-in was cancelled."));
        QCOMPARE(h.dropbox.calls.size(), 0);
        QCOMPARE(h.googleAuth.signInCalls, 0);

        h.dropboxAuth.signInError.reset();
        const QUuid second = h.manager->enqueue({h.file(QStringLiteral("b.txt"))});
        QTRY_VERIFY(h.finished(second));
        QCOMPARE(h.dropboxAuth.signInCalls, 2);
        QCOMPARE(h.manager->job(second)->state, State::Done);

        // A drop while the keychain is still giving back a stored sign-in waits for it instead
        // of sending the user to sign in again.
        h.dropboxAuth.signedIn = false;
        h.dropboxAuth.restoring = std::make_unique<Milestone>();
        const QUuid third = h.manager->enqueue({h.file(QStringLiteral("c.txt"))});
        QTest::qWait(200);
        QVERIFY(!h.finished(third));
        h.dropboxAuth.signedIn = true;
        h.dropboxAuth.restoring->reach();
        QTRY_VERIFY(h.finished(third));
        QCOMPARE(h.manager->job(third)->state, State::Done);
        QCOMPARE(h.dropboxAuth.signInCalls, 2);
    }

    void removedJobStillDeliversItsLink()
    {
        Harness h;
        Gate gate;
        h.drive.gate = &gate;
        const QUuid id = h.manager->enqueue({h.file(QStringLiteral("a.txt"))});
        QTRY_COMPARE(h.drive.calls.size(), 1);
        h.manager->removeJob(id);
        QVERIFY(h.manager->jobs().isEmpty());
        gate.open();
        QTRY_COMPARE(h.clipboard.texts.size(), 1);
        QCOMPARE(h.notifier.notes.size(), 1);
        QCOMPARE(h.successes, 1);
        QTRY_COMPARE(h.history.refreshes.size(), 1);
        QVERIFY(h.manager->jobs().isEmpty());

        // One taken off before it started is not started: nothing sent, nothing said.
        h.manager->removeJob(h.manager->enqueue({h.file(QStringLiteral("b.txt"))}));
        QTest::qWait(200);
        QCOMPARE(h.drive.calls.size(), 1);
        QCOMPARE(h.notifier.notes.size(), 1);
    }

    // A full disk: a journal rewrite that does not fit keeps the queue as last written whole.
    void fullDiskKeepsTheJournal()
    {
        FullDisk disk(64);
        QVERIFY2(!disk.path().isEmpty(), qPrintable(disk.problem()));
        const QString path = disk.path() + "/kavo/uploads.jsonl";
        JournalEntry first{UploadJob::forDrop({QUrl::fromLocalFile("/home/ann/report.pdf")}), {}};
        first.record.id = first.job.id;
        first.record.droppedAt = QDateTime::currentDateTimeUtc();
        {
            UploadJournal journal(path);
            journal.write({first});
        }
        const QByteArray written = readFile(path);
        QVERIFY(written.contains("report.pdf"));
        disk.fill(0);
        LogCapture log;
        UploadJournal journal(path);
        const QList<JournalEntry> loaded = journal.load();
        QCOMPARE(loaded.size(), 1);
        QCOMPARE(loaded.first().job.sourcePaths(), QStringList{"/home/ann/report.pdf"});
        JournalEntry second = first;
        second.record.id = second.job.id = QUuid::createUuid();
        second.job.sourceURLs = {QUrl::fromLocalFile("/home/ann/" + QString("long name ").repeated(100))};
        QVERIFY(!journal.write(loaded + QList<JournalEntry>{second}).isEmpty());
        QFile after(path);
        QVERIFY(after.open(QIODevice::ReadOnly));
        QCOMPARE(after.readAll(), written);
        QCOMPARE(log.linesContaining("cannot write the upload queue " + path).size(), 1);
        QCOMPARE(UploadJournal(path).load().size(), 1);
    }

    // A journal that cannot be written (a folder in its place) is reported when the drop is
    // taken, and the job's row says it will not survive a restart; the upload itself goes on.
    void anUnsavedJobSaysSoInItsRow()
    {
        QTemporaryDir state;
        const QString path = state.path() + QStringLiteral("/uploads.jsonl");
        QVERIFY(QDir().mkpath(path + QStringLiteral("/in-the-way")));
        Harness h;
        UploadJournal journal(path);
        UploadManager::Services s = h.services();
        s.journal = &journal;
        Gate held;
        h.drive.gate = &held;
        UploadManager manager(std::move(s));
        const QUuid id = manager.enqueue({h.file(QStringLiteral("a.txt"))});
        QVERIFY(!manager.journalProblem().isEmpty());
        QVERIFY2(manager.job(id)->warning.value_or(QString()).startsWith(QStringLiteral("Not saved, so it won't go on if Kavo quits: ")),
                 qPrintable(manager.job(id)->warning.value_or(QString())));
        QTRY_COMPARE(h.drive.calls.size(), 1);
        held.open();
        QTRY_COMPARE(manager.job(id)->state, State::Done);
        QCOMPARE(manager.job(id)->warning, std::nullopt);
    }

    // A temporary folder without room: the job whose staging copy or archive does not fit says
    // so, against the temporary folder rather than the files, and leaves nothing behind.
    void fullTempFolderSaysSo_data()
    {
        QTest::addColumn<int>("kibibytes");
        row("the copy does not fit", 1024);
        row("the archive does not fit", 3072);
    }
    void fullTempFolderSaysSo()
    {
        QFETCH(int, kibibytes);
        FullDisk disk(kibibytes);
        QVERIFY2(!disk.path().isEmpty(), qPrintable(disk.problem()));
        Harness h;
        UploadManager::Services s = h.services();
        SourcePreparation::Environment env;
        env.tempDir = disk.path();
        env.freeSpace = [] { return std::nullopt; }; // the disk fills while the drop is prepared
        s.preparation = SourcePreparation(env);
        UploadManager manager(std::move(s));
        QByteArray noise(2 << 20, Qt::Uninitialized); // does not compress: the archive is as big as the copy
        QRandomGenerator(7).fillRange(reinterpret_cast<quint32 *>(noise.data()), noise.size() / 4);
        const QUrl folder = h.file(QStringLiteral("Folder/noise.bin"), noise).adjusted(QUrl::RemoveFilename | QUrl::StripTrailingSlash);
        const QUuid id = manager.enqueue({folder});
        QTRY_COMPARE(manager.job(id)->state, State::Failed);
        QCOMPARE(manager.job(id)->errorMessage,
                 "Couldn't zip folder: No space left on device in the temporary folder " + disk.path() + ".");
        QCOMPARE(QDir(disk.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot), QStringList());
        QCOMPARE(readFile(h.files.filePath(QStringLiteral("Folder/noise.bin"))), noise);
        QCOMPARE(h.drive.calls.size(), 0);
    }

    // A job in flight is in the journal (0600, no secret in it, the Drive session URL in the
    // secret store); a second run on that journal, next to lines that cannot be read, brings it
    // back with its session and completes it with one registration; then the journal is empty.
    void unfinishedJobsComeBackFromTheJournal()
    {
        QTemporaryDir state;
        const QString path = state.path() + QStringLiteral("/kavo/uploads.jsonl");
        MemorySecretStore sessions;
        const UploadSession started{QStringLiteral("https://upload.test/s?upload_id=SECRET-SESSION"), {}, 4, 7, false};
        Harness earlier;
        UploadJournal firstJournal(path);
        UploadManager::Services first = earlier.services();
        first.journal = &firstJournal;
        first.sessionSecrets = &sessions;
        UploadManager running(std::move(first));
        Gate held;
        earlier.drive.gate = &held;
        earlier.drive.sessionToStart = started;
        const QUuid id = running.enqueue({earlier.file(QStringLiteral("report.pdf"), "1234567")});
        QTRY_COMPARE(earlier.drive.calls.size(), 1);
        QByteArray record;
        {
            QFile kept(path);
            QVERIFY(kept.open(QIODevice::ReadOnly));
            record = kept.readAll();
        }
        QVERIFY(record.contains("\"state\":\"uploading\""));
        QVERIFY(!record.contains("SECRET-SESSION"));
        QCOMPARE(QFileInfo(path).permissions() & (QFileDevice::ReadGroup | QFileDevice::ReadOther), QFileDevice::Permissions());
        QCOMPARE(awaitTask(sessions.read(UploadRecord::sessionSecretAccount(id))).value, started.handle);

        // The journal as a crash in the middle of this upload leaves it, with damage around it.
        const QString later = state.path() + QStringLiteral("/later/uploads.jsonl");
        writeFile(later, "{\"v\":1,\"id\":\"not-a-uuid\"}\n" + record + "{\"v\":1,\"id\":\"12345678-1234-1234-1234-1234567");
        Harness h;
        UploadJournal journal(later);
        UploadManager::Services s = h.services();
        s.journal = &journal;
        s.sessionSecrets = &sessions;
        LogCapture log;
        UploadManager manager(std::move(s));
        // A drop before the earlier jobs resume (the account is still being read) loses none.
        Gate later_drop;
        h.dropbox.gate = &later_drop;
        h.preferences.provider = StorageProvider::dropbox;
        const QUuid fresh = manager.enqueue({h.file(QStringLiteral("fresh.txt"))});
        QTRY_COMPARE(h.dropbox.calls.size(), 1);
        QCOMPARE(UploadJournal(later).load().size(), 2);
        awaitTask(manager.resumeUnfinished());
        QCOMPARE(log.linesContaining(QStringLiteral("left out")).size(), 2);
        QCOMPARE(manager.jobs().size(), 2);
        QCOMPARE(manager.jobs().first().id, id);
        QCOMPARE(manager.jobs().first().displayName, QStringLiteral("report.pdf"));
        QTRY_COMPARE(manager.job(id)->state, State::Done);
        QCOMPARE(h.drive.sessionsHanded.value(0), started);
        QCOMPARE(h.backend.registrations.size(), 1);
        later_drop.open();
        QTRY_COMPARE(manager.job(fresh)->state, State::Done);
        QVERIFY(!QFile::exists(later));
        QVERIFY(QFile::exists(later + QStringLiteral(".unreadable")));
        QCOMPARE(awaitTask(sessions.read(UploadRecord::sessionSecretAccount(id))).value, std::nullopt);

        held.open();
        QTRY_COMPARE(running.job(id)->state, State::Done);
    }

    void severalFilesAreZippedUnderTheArchiveName()
    {
        Harness h;
        h.preferences.provider = StorageProvider::dropbox;
        h.presets.preset = std::nullopt;
        const QUuid id
            = h.manager->enqueue({h.file(QStringLiteral("a.jpg")), h.file(QStringLiteral("b.jpg")), h.file(QStringLiteral("c.pdf"))});
        QCOMPARE(h.jobAt(0).displayName, QStringLiteral("3 items"));
        QTRY_VERIFY(h.finished(id));
        QCOMPARE(h.states[id],
                 (QList<State>{State::Queued, State::Preparing, State::Zipping, State::Uploading, State::Registering, State::Done}));
        const UploadJob job = h.jobAt(0);
        QVERIFY2(job.displayName.startsWith(QStringLiteral("Kavo-")) && job.displayName.endsWith(QStringLiteral(" - 3 files.zip")),
                 qPrintable(job.displayName));
        QCOMPARE(h.drive.calls.size(), 0);
        QCOMPARE(h.dropbox.calls.size(), 1);
        QCOMPARE(QFileInfo(h.dropbox.calls[0].filePath).fileName(), job.displayName);
        QCOMPARE(h.dropbox.calls[0].mimeType, QStringLiteral("application/zip"));
        const RegistrationRequest &r = h.backend.registrations.at(0);
        QCOMPARE(r.provider, StorageProvider::dropbox);
        QCOMPARE(r.directURL, QStringLiteral("https://dl.example/file?dl=1"));
        QCOMPARE(r.presetID, std::nullopt);
        QCOMPARE(r.filename, job.displayName);
        QCOMPARE(r.filesize, QFileInfo(h.dropbox.calls[0].filePath).size());
        QCOMPARE(job.presetID, std::nullopt);
    }

    void progressReportsOnlyTouchProgress()
    {
        Harness h;
        h.drive.reportsFromThread = {0.25, 0.5};
        const QUuid id = h.manager->enqueue({h.file(QStringLiteral("a.txt"))});
        QTRY_VERIFY(h.finished(id));
        // The reports were posted before the upload returned but may land after the job is done:
        // progress moves, nothing else does.
        QTRY_COMPARE(h.manager->job(id)->progress, 0.5);
        QCOMPARE(h.manager->job(id)->state, State::Done);
        QCOMPARE(h.manager->job(id)->shareURL, QStringLiteral("https://kavo.example/l/1"));
        h.manager->setProgress(QUuid::createUuid(), 0.9); // unknown job: ignored
        h.manager->setProgress(id, 0.75);
        QCOMPARE(h.manager->job(id)->progress, 0.75);
        QCOMPARE(h.manager->job(id)->state, State::Done);
    }
};

int main(int argc, char *argv[])
{
    becomeRootOfOwnNamespace(argc, argv); // the full-disk test mounts a small filesystem
    QCoreApplication app(argc, argv);
    TestUploadManager test;
    return QTest::qExec(&test, argc, argv);
}
#include "tst_uploadmanager.moc"
