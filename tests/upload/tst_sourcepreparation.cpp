#include "testutil.h"
#include "upload/sourcepreparation.h"
#include "upload/uploaderror.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>
#include <QTimeZone>

#include <fcntl.h>
#include <qcoro/qcorotask.h>

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

// A fixed moment: 14:30 on 5 December.
QDateTime fixedNow()
{
    return QDateTime(QDate(2026, 12, 5), QTime(14, 30));
}

struct Fixture {
    QTemporaryDir sources;
    QTemporaryDir temp;

    SourcePreparation::Environment environment(std::optional<qint64> free = std::nullopt) const
    {
        SourcePreparation::Environment env;
        env.now = fixedNow;
        env.locale = QLocale(QLocale::English, QLocale::UnitedStates);
        env.tempDir = temp.path();
        env.freeSpace = [free] { return free; };
        return env;
    }
    QString path(const QString &relative) const { return sources.path() + QLatin1Char('/') + relative; }
    // What the preparation left in its temporary directory.
    QStringList leftInTemp() const { return QDir(temp.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot); }
};

Result<PreparedUpload> prepare(const SourcePreparation &prep, const QStringList &sources)
{
    return awaitTask(prep.prepareArchive(sources));
}

// Names of the archive's entries, as the zip tool's own lister reads them.
QStringList archiveEntries(const QString &archive)
{
    return QString::fromUtf8(runTool(QStringLiteral("/usr/bin/unzip"), {QStringLiteral("-Z1"), archive}))
        .split(QLatin1Char('\n'), Qt::SkipEmptyParts);
}

QString zipTool(const QString &folder, const QByteArray &script)
{
    const QString path = folder + QStringLiteral("/fake-zip");
    writeFile(path, "#!/bin/sh\n" + script);
    QFile::setPermissions(path, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    return path;
}

} // namespace

class TestSourcePreparation : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void archiveNameForOneFolder()
    {
        Fixture f;
        const SourcePreparation prep(f.environment());
        QCOMPARE(prep.archiveName({f.path(QStringLiteral("Holiday"))}), QStringLiteral("Kavo-Dec-05-1430 - Holiday.zip"));
        QCOMPARE(prep.archiveName({f.path(QStringLiteral("Holiday/"))}), QStringLiteral("Kavo-Dec-05-1430 - Holiday.zip"));
    }

    void keepsTimesAndModes()
    {
        // The archive holds each entry's own time and mode, as a copy by the platform keeps them.
        qputenv("TZ", "UTC");
        Fixture f;
        const QDateTime y2000(QDate(2000, 1, 1), QTime(12, 0), QTimeZone::utc());
        const QDateTime y2001(QDate(2001, 2, 3), QTime(4, 5, 6), QTimeZone::utc());
        writeFile(f.path(QStringLiteral("Old/run.sh")), "#!/bin/sh\n");
        writeFile(f.path(QStringLiteral("Old/locked/notes.txt")), "n");
        QFile::setPermissions(f.path(QStringLiteral("Old/run.sh")),
                              QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner | QFileDevice::ReadGroup
                                  | QFileDevice::ExeGroup);
        const auto setTime = [](const QString &path, const QDateTime &when) {
            QFile file(path);
            QVERIFY(file.open(QIODevice::ReadOnly) || QFileInfo(path).isDir());
            const QByteArray local = QFile::encodeName(path);
            const struct timespec times[2] = {{when.toSecsSinceEpoch(), 0}, {when.toSecsSinceEpoch(), 0}};
            QCOMPARE(::utimensat(AT_FDCWD, local.constData(), times, 0), 0);
        };
        setTime(f.path(QStringLiteral("Old/run.sh")), y2000);
        setTime(f.path(QStringLiteral("Old/locked/notes.txt")), y2000);
        setTime(f.path(QStringLiteral("Old/locked")), y2001);
        // A read-only folder: copied, zipped and cleaned up all the same.
        QFile::setPermissions(f.path(QStringLiteral("Old/locked")), QFileDevice::ReadOwner | QFileDevice::ExeOwner);
        const SourcePreparation prep(f.environment());
        const Result<PreparedUpload> result = prepare(prep, {f.path(QStringLiteral("Old"))});
        QFile::setPermissions(f.path(QStringLiteral("Old/locked")),
                              QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
        QVERIFY2(result, qPrintable(result ? QString() : result.error().description));
        // zipinfo's long listing: mode, version, system, size, type, method, time, name.
        const QString listing = QString::fromUtf8(runTool(QStringLiteral("/usr/bin/zipinfo"), {QStringLiteral("-T"), result->filePath}));
        const auto line = [&](const QString &entry) {
            for (const QString &l : listing.split(QLatin1Char('\n')))
                if (l.endsWith(QLatin1Char(' ') + entry))
                    return l.simplified();
            return QString();
        };
        QVERIFY2(line("Old/run.sh").startsWith("-rwxr-x---"), qPrintable(listing));
        QVERIFY2(line("Old/run.sh").contains(" 20000101.120000 "), qPrintable(listing));
        QVERIFY2(line("Old/locked/notes.txt").contains(" 20000101.120000 "), qPrintable(listing));
        QVERIFY2(line("Old/locked/").startsWith("dr-x------"), qPrintable(listing));
        QVERIFY2(line("Old/locked/").contains(" 20010203.040506 "), qPrintable(listing));
        QCOMPARE(f.leftInTemp().size(), 1); // the staging copy went, read-only folder and all
        qunsetenv("TZ");
    }

    void collectiveNouns_data()
    {
        QTest::addColumn<QStringList>("names");
        QTest::addColumn<QString>("suffix");
        row("jpegs and a pdf", QStringList{"a.jpg", "b.jpeg", "c.pdf"}, " - 3 files.zip");
        row("pdf and text", QStringList{"a.pdf", "notes.txt"}, " - 2 Documents.zip");
        row("movies", QStringList{"a.mov", "b.mp4", "c.mkv"}, " - 3 Videos.zip");
        row("pictures", QStringList{"a.png", "b.JPG"}, " - 2 Pictures.zip");
        row("audio", QStringList{"a.mp3", "b.flac", "c.wav"}, " - 3 Tracks.zip");
        row("office", QStringList{"a.xlsx", "b.pptx", "c.csv"}, " - 3 Documents.zip");
        row("folder among files", QStringList{"Holiday", "a.pdf"}, " - 2 files.zip");
        row("unknown extension", QStringList{"a.zzqx", "b.zzqx"}, " - 2 files.zip");
    }
    void collectiveNouns()
    {
        QFETCH(QStringList, names);
        QFETCH(QString, suffix);
        Fixture f;
        const SourcePreparation prep(f.environment());
        QStringList paths;
        for (const QString &name : names)
            paths.append(f.path(name));
        const QString name = prep.archiveName(paths);
        QVERIFY2(name.startsWith(QStringLiteral("Kavo-Dec-05-1430")) && name.endsWith(suffix), qPrintable(name));
    }

    void measuresFilesAndFoldersWithoutFollowingLinks()
    {
        Fixture f;
        writeFile(f.path(QStringLiteral("tree/a.bin")), QByteArray(300, 'a'));
        writeFile(f.path(QStringLiteral("tree/.hidden")), QByteArray(20, 'h'));
        writeFile(f.path(QStringLiteral("tree/sub/b.bin")), QByteArray(5, 'b'));
        writeFile(f.path(QStringLiteral("big.bin")), QByteArray(4000, 'x'));
        QVERIFY(QFile::link(f.path(QStringLiteral("big.bin")), f.path(QStringLiteral("tree/link-to-big"))));
        QCOMPARE(SourcePreparation::measureSize(f.path(QStringLiteral("tree"))), 325);
        QCOMPARE(SourcePreparation::measureSize(f.path(QStringLiteral("big.bin"))), 4000);
        QCOMPARE(SourcePreparation::measureSize(f.path(QStringLiteral("missing"))), 0);
    }

    void diskSpaceRule()
    {
        constexpr qint64 GB = 1073741824;
        const std::optional<Error> refused = SourcePreparation::checkDiskSpace(10 * GB, 11 * GB);
        QVERIFY(refused);
        QVERIFY(refused->is(UploadError::domain, UploadError::zipFailedCode));
        QCOMPARE(refused->description,
                 QStringLiteral("Couldn't zip folder: Not enough free disk space. This folder is about 10.0 GB and "
                                "you have 11.0 GB free — clear some space and try again."));
        QVERIFY(!SourcePreparation::checkDiskSpace(10 * GB, 12 * GB));
        // Drops of 1 MiB or less, and volumes that give no answer, skip the rule.
        QVERIFY(!SourcePreparation::checkDiskSpace(900 * 1000, 1));
        QVERIFY(!SourcePreparation::checkDiskSpace(1048576, 0));
        QVERIFY(!SourcePreparation::checkDiskSpace(10 * GB, std::nullopt));
        QVERIFY(SourcePreparation::checkDiskSpace(1048577, 1048577));
    }

    void refusesBeforeCopyingWhenSpaceIsShort()
    {
        Fixture f;
        writeFile(f.path(QStringLiteral("Big/blob.bin")), QByteArray(2 * 1048576, 'z'));
        const SourcePreparation prep(f.environment(1048576));
        const Result<PreparedUpload> result = prepare(prep, {f.path(QStringLiteral("Big"))});
        QVERIFY(!result);
        QVERIFY(result.error().description.startsWith(
            QStringLiteral("Couldn't zip folder: Not enough free disk space. This folder is about 0.0 GB")));
        QVERIFY(f.leftInTemp().isEmpty());
    }

    void zipsAFolderWithTheRealTool()
    {
        Fixture f;
        writeFile(f.path(QStringLiteral("Holiday/beach.txt")), "sand and sea\n");
        writeFile(f.path(QStringLiteral("Holiday/.hidden")), "dot");
        writeFile(f.path(QStringLiteral("Holiday/days/monday.txt")), "rain");
        const SourcePreparation prep(f.environment(std::nullopt));
        LogCapture log;
        const mode_t umaskBefore = ::umask(022); // the usual one: new files readable by every account
        const Result<PreparedUpload> result = prepare(prep, {f.path(QStringLiteral("Holiday"))});
        ::umask(umaskBefore);
        QVERIFY2(result, qPrintable(result ? QString() : result.error().description));
        QCOMPARE(result->name, QStringLiteral("Kavo-Dec-05-1430 - Holiday.zip"));
        // The archive and its folder are the user's alone.
        struct stat archive {
        }, folder{};
        QCOMPARE(::stat(QFile::encodeName(result->filePath).constData(), &archive), 0);
        QCOMPARE(::stat(QFile::encodeName(QFileInfo(result->filePath).path()).constData(), &folder), 0);
        QCOMPARE(archive.st_mode & 0777, mode_t(0600));
        QCOMPARE(folder.st_mode & 0777, mode_t(0700));
        QCOMPARE(result->mimeType, QStringLiteral("application/zip"));
        QCOMPARE(QFileInfo(result->filePath).fileName(), result->name);
        QVERIFY(result->filePath.startsWith(f.temp.path()));
        const QStringList entries = archiveEntries(result->filePath);
        QVERIFY(entries.contains(QStringLiteral("Holiday/beach.txt")));
        QVERIFY(entries.contains(QStringLiteral("Holiday/.hidden")));
        QVERIFY(entries.contains(QStringLiteral("Holiday/days/monday.txt")));
        // The staging copy is gone; only the archive's own folder stays.
        QCOMPARE(f.leftInTemp().size(), 1);
        QCOMPARE(log.linesContaining(QStringLiteral("zip starting: 1 sources, ~20 bytes total → Kavo-Dec-05-1430 - Holiday.zip")).size(),
                 1);
        QCOMPARE(log.linesContaining(QStringLiteral("zip done: ")).size(), 1);
    }

    void storesSymbolicLinksAsLinks()
    {
        Fixture f;
        writeFile(f.path(QStringLiteral("Linked/target.txt")), "the target");
        QVERIFY(QFile::link(QStringLiteral("target.txt"), f.path(QStringLiteral("Linked/shortcut"))));
        const SourcePreparation prep(f.environment());
        const Result<PreparedUpload> result = prepare(prep, {f.path(QStringLiteral("Linked"))});
        QVERIFY(result);
        // zipinfo's long listing starts each entry with its Unix mode; a link reads "l".
        const QString listing = QString::fromUtf8(runTool(QStringLiteral("/usr/bin/unzip"), {QStringLiteral("-Z"), result->filePath}));
        const QStringList linkLines = listing.split(QLatin1Char('\n')).filter(QStringLiteral("Linked/shortcut"));
        QCOMPARE(linkLines.size(), 1);
        QVERIFY2(linkLines.first().startsWith(QLatin1Char('l')), qPrintable(linkLines.first()));
        const QString fileLine = listing.split(QLatin1Char('\n')).filter(QStringLiteral("Linked/target.txt")).value(0);
        QVERIFY2(fileLine.startsWith(QLatin1Char('-')), qPrintable(fileLine));
    }

    void sameNameTwiceIsRefusedAndCleanedUp()
    {
        Fixture f;
        writeFile(f.path(QStringLiteral("one/same.txt")), "first");
        writeFile(f.path(QStringLiteral("two/same.txt")), "second");
        const SourcePreparation prep(f.environment());
        const Result<PreparedUpload> result
            = prepare(prep, {f.path(QStringLiteral("one/same.txt")), f.path(QStringLiteral("two/same.txt"))});
        QVERIFY(!result);
        QVERIFY(result.error().is(UploadError::domain, UploadError::sourceUnreadableCode));
        QCOMPARE(result.error().description, QStringLiteral("Couldn't read source: same.txt — File exists"));
        QVERIFY(f.leftInTemp().isEmpty());
    }

    void missingAndDanglingSourcesAreRefused_data()
    {
        QTest::addColumn<bool>("dangling");
        row("missing", false);
        row("dangling link", true);
    }
    void missingAndDanglingSourcesAreRefused()
    {
        QFETCH(bool, dangling);
        Fixture f;
        writeFile(f.path(QStringLiteral("real.txt")), "here");
        if (dangling)
            QVERIFY(QFile::link(f.path(QStringLiteral("gone")), f.path(QStringLiteral("ghost.txt"))));
        const SourcePreparation prep(f.environment());
        const Result<PreparedUpload> result = prepare(prep, {f.path(QStringLiteral("real.txt")), f.path(QStringLiteral("ghost.txt"))});
        QVERIFY(!result);
        QCOMPARE(result.error().description, QStringLiteral("Couldn't read source: ghost.txt — No such file or directory"));
        QVERIFY(f.leftInTemp().isEmpty());
    }

    void unreadableFolderIsRefused()
    {
        // Root reads what permissions forbid: as root, this test runs again in a process without
        // that power (its bounding set without the two capabilities that override them).
        if (::geteuid() == 0 && !qEnvironmentVariableIsSet("KAVO_TEST_WITHOUT_OVERRIDE")) {
            QProcess child;
            QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
            environment.insert("KAVO_TEST_WITHOUT_OVERRIDE", "1");
            child.setProcessEnvironment(environment);
            child.start(
                "setpriv",
                {"--bounding-set=-dac_override,-dac_read_search", QCoreApplication::applicationFilePath(), "unreadableFolderIsRefused"});
            QVERIFY(child.waitForFinished(60000));
            const QByteArray output = child.readAllStandardOutput() + child.readAllStandardError();
            if (child.error() == QProcess::FailedToStart || output.startsWith("setpriv:"))
                KAVO_SKIP_WITHOUT("a way to drop root's permission override: " + QString::fromLocal8Bit(output.trimmed()));
            QVERIFY2(child.exitCode() == 0, output.constData());
            QVERIFY2(output.contains("PASS   : TestSourcePreparation::unreadableFolderIsRefused()"), output.constData());
            return;
        }
        Fixture f;
        writeFile(f.path(QStringLiteral("Locked/secret.txt")), "x");
        QFile::setPermissions(f.path(QStringLiteral("Locked")), QFileDevice::WriteOwner);
        const SourcePreparation prep(f.environment());
        const Result<PreparedUpload> result = prepare(prep, {f.path(QStringLiteral("Locked"))});
        QFile::setPermissions(f.path(QStringLiteral("Locked")), QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
        QVERIFY(!result);
        QVERIFY2(result.error().description.startsWith(QStringLiteral("Couldn't read source: Locked — ")),
                 qPrintable(result.error().description));
        QVERIFY(f.leftInTemp().isEmpty());
    }

    void pipesAndSocketsNeitherHangNorAbort()
    {
        Fixture f;
        writeFile(f.path(QStringLiteral("Special/data.txt")), "payload");
        QCOMPARE(::mkfifo(QFile::encodeName(f.path(QStringLiteral("Special/pipe"))).constData(), 0600), 0);
        const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
        QVERIFY(fd >= 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        const QByteArray socketPath = QFile::encodeName(f.path(QStringLiteral("Special/sock")));
        QVERIFY(size_t(socketPath.size()) < sizeof(address.sun_path));
        std::memcpy(address.sun_path, socketPath.constData(), socketPath.size());
        QCOMPARE(::bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof(address)), 0);

        const SourcePreparation prep(f.environment());
        const Result<PreparedUpload> result = prepare(prep, {f.path(QStringLiteral("Special"))});
        ::close(fd);
        QVERIFY2(result, qPrintable(result ? QString() : result.error().description));
        const QStringList entries = archiveEntries(result->filePath);
        QVERIFY(entries.contains(QStringLiteral("Special/data.txt")));
        QVERIFY(!entries.contains(QStringLiteral("Special/pipe")));
        QVERIFY(!entries.contains(QStringLiteral("Special/sock")));
    }

    void zipFailuresReportTheirOutput_data()
    {
        QTest::addColumn<QByteArray>("script");
        QTest::addColumn<QString>("message");
        row("error output", QByteArray("echo '  zip error: Nothing to do!  ' >&2\nexit 12\n"),
            "Couldn't zip folder: zip error: Nothing to do!");
        row("standard output",
            QByteArray("echo 'zip I/O error: Permission denied'\n"
                       "echo 'zip error: Output file write failure (write error on zip file)'\nexit 14\n"),
            "Couldn't zip folder: zip I/O error: Permission denied");
        row("disk full", QByteArray("echo 'zip I/O error: No space left on device'\nexit 14\n"),
            "Couldn't zip folder: No space left on device in the temporary folder TEMP.");
        row("silent", QByteArray("exit 3\n"), "Couldn't zip folder: exit code 3");
        row("not utf-8", QByteArray("printf '\\377\\376' >&2\nexit 9\n"), "Couldn't zip folder: exit code 9");
        row("tiny archive", QByteArray("head -c 50 /dev/zero > \"$4\"\n"), "Zip succeeded but the archive is empty (50 bytes).");
        row("no archive", QByteArray("exit 0\n"), "Zip succeeded but the archive is empty (0 bytes).");
    }
    void zipFailuresReportTheirOutput()
    {
        QFETCH(QByteArray, script);
        QFETCH(QString, message);
        Fixture f;
        QTemporaryDir tools;
        writeFile(f.path(QStringLiteral("Folder/a.txt")), "a");
        SourcePreparation::Environment env = f.environment();
        env.zipTool = zipTool(tools.path(), script);
        LogCapture log;
        const Result<PreparedUpload> result = prepare(SourcePreparation(env), {f.path(QStringLiteral("Folder"))});
        QVERIFY(!result);
        QCOMPARE(result.error().description, QString(message).replace(QStringLiteral("TEMP"), f.temp.path()));
        QVERIFY2(f.leftInTemp().isEmpty(), qPrintable(f.leftInTemp().join(QLatin1Char(','))));
        if (message.contains(QStringLiteral("Nothing to do")))
            QCOMPARE(log.linesContaining(QStringLiteral("zip exit 12: zip error: Nothing to do!")).size(), 1);
    }

    // A temporary folder that is missing or not a folder is named as the cause; nothing is made
    // anywhere else (Qt's own temporary path would be the root folder then).
    void unusableTempFolderIsNamed()
    {
        Fixture f;
        writeFile(f.path(QStringLiteral("Folder/a.txt")), "a");
        SourcePreparation::Environment env = f.environment();
        env.tempDir = f.path(QStringLiteral("Folder/a.txt"));
        Result<PreparedUpload> result = prepare(SourcePreparation(env), {f.path(QStringLiteral("Folder"))});
        QCOMPARE(result.error().description, "Couldn't zip folder: the temporary folder " + env.tempDir + " (TMPDIR) isn't a folder.");

        env.tempDir.clear();
        qputenv("TMPDIR", QFile::encodeName(f.path(QStringLiteral("gone"))));
        result = prepare(SourcePreparation(env), {f.path(QStringLiteral("Folder"))});
        qunsetenv("TMPDIR");
        QCOMPARE(result.error().description,
                 "Couldn't zip folder: the temporary folder " + f.path(QStringLiteral("gone")) + " (TMPDIR) doesn't exist.");
        QCOMPARE(QDir(f.sources.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot), QStringList{QStringLiteral("Folder")});
    }

    void folderOfEmptyFilesStillMakesAnArchive()
    {
        Fixture f;
        writeFile(f.path(QStringLiteral("Empty/a")), {});
        writeFile(f.path(QStringLiteral("Empty/b")), {});
        const SourcePreparation prep(f.environment());
        const Result<PreparedUpload> result = prepare(prep, {f.path(QStringLiteral("Empty"))});
        QVERIFY(result);
        QVERIFY(QFileInfo(result->filePath).size() > 99);
    }
};

QTEST_GUILESS_MAIN(TestSourcePreparation)
#include "tst_sourcepreparation.moc"
