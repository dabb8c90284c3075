// Source preparation against zip alone on the same tree of about 1 GiB, and the longest stall
// of the main thread while preparation runs.
//
//   bench_prep [--mib N] [--keep] [--dir PATH]
//
// The tree holds many small text files, some medium ones and a few large ones, part of it
// incompressible. The last line is `prep_vs_zip=<ratio> max_stall_ms=<n>`: the wall time of
// preparation (measure, copy into staging, zip, clean up) over the wall time of
// `zip -r -q -y` alone on the same tree, and the longest gap beyond its 5 ms period seen by a
// main-thread timer during preparation.

#include "upload/sourcepreparation.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QTimer>
#include <qcoro/qcorotask.h>

#include <cstdio>
#include <optional>

namespace {

void writeBlob(const QString &path, qint64 size, bool compressible, QRandomGenerator &random)
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        qFatal("cannot write %s", qPrintable(path));
    static const QByteArray words = "kavo share link upload drive dropbox folder archive holiday photo report ";
    QByteArray chunk(1 << 20, Qt::Uninitialized);
    qint64 left = size;
    while (left > 0) {
        const qint64 n = std::min<qint64>(left, chunk.size());
        if (compressible) {
            for (qint64 i = 0; i < n; ++i)
                chunk[i] = words[(i * 7 + random.bounded(3)) % words.size()];
        } else {
            random.fillRange(reinterpret_cast<quint32 *>(chunk.data()), chunk.size() / 4);
        }
        file.write(chunk.constData(), n);
        left -= n;
    }
}

qint64 generateTree(const QString &root, qint64 targetBytes)
{
    QRandomGenerator random(20261206);
    qint64 written = 0;
    // Three quarters in a few large files (two incompressible), the rest in many small and
    // medium files spread over nested folders.
    const qint64 large = targetBytes / 4;
    QDir().mkpath(root + QStringLiteral("/media"));
    writeBlob(root + QStringLiteral("/media/video.bin"), large, false, random);
    writeBlob(root + QStringLiteral("/media/raw-photos.bin"), large, false, random);
    writeBlob(root + QStringLiteral("/media/log.txt"), large, true, random);
    written += 3 * large;
    int index = 0;
    while (written < targetBytes) {
        const QString folder = root + QStringLiteral("/docs/%1/%2").arg(index / 1000).arg((index / 100) % 10);
        QDir().mkpath(folder);
        const qint64 size = index % 50 == 0 ? 512 * 1024 + random.bounded(1024 * 1024) : 1024 + random.bounded(16 * 1024);
        writeBlob(folder + QStringLiteral("/file-%1.txt").arg(index), size, index % 5 != 0, random);
        written += size;
        ++index;
    }
    return written;
}

double zipAlone(const QString &root, const QString &archive)
{
    QElapsedTimer clock;
    clock.start();
    QProcess zip;
    zip.setWorkingDirectory(QFileInfo(root).absolutePath());
    zip.setStandardOutputFile(QProcess::nullDevice());
    zip.start(QStringLiteral("/usr/bin/zip"),
              {QStringLiteral("-r"), QStringLiteral("-q"), QStringLiteral("-y"), archive, QFileInfo(root).fileName()});
    if (!zip.waitForFinished(-1) || zip.exitCode() != 0)
        qFatal("zip alone failed: %s", zip.readAllStandardError().constData());
    return clock.elapsed() / 1000.0;
}

} // namespace

int main(int argc, char *argv[])
{
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    qint64 mib = 1024;
    QString base;
    const bool keep = args.contains(QStringLiteral("--keep"));
    for (int i = 1; i + 1 < args.size(); ++i) {
        if (args[i] == QLatin1String("--mib"))
            mib = args[i + 1].toLongLong();
        if (args[i] == QLatin1String("--dir"))
            base = args[i + 1];
    }
    QTemporaryDir work(base.isEmpty() ? QDir::tempPath() + QStringLiteral("/kavo-bench-XXXXXX")
                                      : base + QStringLiteral("/kavo-bench-XXXXXX"));
    work.setAutoRemove(!keep);
    const QString tree = work.path() + QStringLiteral("/Bench tree");
    const QString tempDir = work.path() + QStringLiteral("/tmp");
    QDir().mkpath(tempDir);

    std::printf("generating %lld MiB under %s\n", mib, qPrintable(tree));
    std::fflush(stdout);
    const qint64 bytes = generateTree(tree, mib * 1024 * 1024);
    std::printf("tree: %lld bytes\n", bytes);

    const double zipSeconds = zipAlone(tree, work.path() + QStringLiteral("/alone.zip"));
    const qint64 aloneSize = QFileInfo(work.path() + QStringLiteral("/alone.zip")).size();
    QFile::remove(work.path() + QStringLiteral("/alone.zip"));
    std::printf("zip alone: %.2f s, %lld bytes\n", zipSeconds, aloneSize);
    std::fflush(stdout);

    SourcePreparation::Environment env;
    env.tempDir = tempDir;
    const SourcePreparation preparation(env);

    // A 5 ms timer on the main thread: any gap beyond its period is time the thread was busy.
    QElapsedTimer sinceTick;
    qint64 maxGap = 0;
    QTimer ticker;
    ticker.setTimerType(Qt::PreciseTimer);
    ticker.setInterval(5);
    QObject::connect(&ticker, &QTimer::timeout, [&] { maxGap = std::max(maxGap, sinceTick.restart()); });

    QElapsedTimer clock;
    clock.start();
    sinceTick.start();
    ticker.start();
    std::optional<Result<PreparedUpload>> prepared;
    QCoro::Task<Result<PreparedUpload>> task = preparation.prepareArchive({tree});
    task.then([&](Result<PreparedUpload> result) {
        prepared.emplace(std::move(result));
        QCoreApplication::quit();
    });
    if (!prepared)
        QCoreApplication::exec();
    ticker.stop();
    const double prepSeconds = clock.elapsed() / 1000.0;
    if (!prepared || !*prepared)
        qFatal("preparation failed: %s", prepared ? qPrintable(prepared->error().description) : "no result");
    std::printf("preparation: %.2f s, %lld bytes\n", prepSeconds, QFileInfo((*prepared)->filePath).size());

    const qint64 stall = std::max<qint64>(0, maxGap - 5);
    std::printf("prep_vs_zip=%.3f max_stall_ms=%lld\n", prepSeconds / zipSeconds, stall);
    return 0;
}
