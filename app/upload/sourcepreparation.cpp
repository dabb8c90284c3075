#include "sourcepreparation.h"

#include "platform/http.h"
#include "platform/leftovers.h"
#include "platform/logging.h"
#include "uploaderror.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QMimeDatabase>
#include <QProcess>
#include <QStorageInfo>
#include <QTextBoundaryFinder>
#include <QUuid>
#include <QtConcurrent/QtConcurrentRun>
#include <qcoro/qcorofuture.h>
#include <qcoro/qcorosignal.h>

#include <algorithm>
#include <filesystem>
#include <memory>
#include <system_error>

#include <csignal>
#include <fcntl.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

fs::path toFsPath(const QString &path)
{
    return {QFile::encodeName(path).toStdString()};
}

QString fromFsPath(const fs::path &path)
{
    return QFile::decodeName(QByteArray::fromStdString(path.native()));
}

QString lastComponent(const QString &path)
{
    return QFileInfo(QDir::cleanPath(path)).fileName();
}

QString capitalised(QString text)
{
    if (!text.isEmpty())
        text[0] = text[0].toUpper();
    return text;
}

// Gives `target` the access and modification times of `source` (of the link itself, not what it
// points at, unless `follow`). A time that cannot be kept leaves the copy's own: the archive is
// still right in content.
void keepTimes(const fs::path &source, const fs::path &target, bool follow)
{
    struct stat status {};
    const int statted = follow ? ::stat(source.c_str(), &status) : ::lstat(source.c_str(), &status);
    if (statted != 0)
        return;
    const struct timespec times[2] = {status.st_atim, status.st_mtim};
    ::utimensat(AT_FDCWD, target.c_str(), times, follow ? 0 : AT_SYMLINK_NOFOLLOW);
}

// Where a copy failed: reading the source, or writing the copy (the temporary folder's disk).
struct CopyFailure {
    std::error_code code;
    bool writing = false;
};

// Copies a regular file's bytes to `target` (made new, with the source's permission bits), as
// far as the source goes when it is read: a file that shrinks or grows meanwhile is copied as it
// ends up, and a failure says which side it was on.
std::optional<CopyFailure> copyFileBytes(const fs::path &source, const fs::path &target)
{
    const auto failure = [](bool writing) { return CopyFailure{std::error_code(errno, std::generic_category()), writing}; };
    const int in = ::open(source.c_str(), O_RDONLY | O_CLOEXEC);
    if (in < 0)
        return failure(false);
    struct stat status {};
    if (::fstat(in, &status) != 0) {
        const CopyFailure failed = failure(false);
        ::close(in);
        return failed;
    }
    const int out = ::open(target.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, status.st_mode & 07777);
    if (out < 0) {
        const CopyFailure failed = failure(true);
        ::close(in);
        return failed;
    }
    std::optional<CopyFailure> failed;
    std::vector<char> buffer(1 << 20);
    for (;;) {
        const ssize_t got = ::read(in, buffer.data(), buffer.size());
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0) {
            failed = failure(false);
            break;
        }
        if (got == 0)
            break;
        for (ssize_t written = 0; written < got && !failed;) {
            const ssize_t put = ::write(out, buffer.data() + written, size_t(got - written));
            if (put < 0 && errno == EINTR)
                continue;
            if (put < 0)
                failed = failure(true);
            else
                written += put;
        }
        if (failed)
            break;
    }
    ::close(in);
    if (::close(out) != 0 && !failed)
        failed = failure(true);
    return failed;
}

// Copies `source` to `target`, which must not exist. The top level follows a link (the user
// dropped what it points at); below it links are copied as links, so that zip stores them as
// links. Pipes, sockets and devices carry no content to share and are left out rather than read,
// which could block forever. Returns what failed, if anything: reading the source (`text` names
// the entry below the dropped item, if it was one) or writing the copy.
struct CopyProblem {
    QString text;
    bool writing = false;
};
std::optional<CopyProblem> copyTree(const fs::path &source, const fs::path &target, const fs::path &root, bool topLevel)
{
    std::error_code ec;
    const auto fail = [&](const fs::path &where, const std::error_code &code) -> std::optional<CopyProblem> {
        const QString reason = capitalised(QString::fromLocal8Bit(code.message()));
        if (where == root)
            return CopyProblem{reason};
        return CopyProblem{fromFsPath(where.lexically_relative(root.parent_path())) + QStringLiteral(": ") + reason};
    };
    const auto failWriting = [](const std::error_code &code) -> std::optional<CopyProblem> {
        return CopyProblem{QString::fromLocal8Bit(code.message()), true};
    };

    const fs::file_status status = topLevel ? fs::status(source, ec) : fs::symlink_status(source, ec);
    if (ec)
        return fail(source, ec);
    if (fs::exists(fs::symlink_status(target, ec)))
        return fail(source, std::make_error_code(std::errc::file_exists));

    switch (status.type()) {
    case fs::file_type::symlink:
        fs::copy_symlink(source, target, ec);
        if (ec)
            return failWriting(ec);
        keepTimes(source, target, false);
        return std::nullopt;
    case fs::file_type::regular:
        // The copy takes the file's mode; its times are set as `cp -p` would.
        if (const std::optional<CopyFailure> failed = copyFileBytes(source, target))
            return failed->writing ? failWriting(failed->code) : fail(source, failed->code);
        keepTimes(source, target, true);
        return std::nullopt;
    case fs::file_type::directory: {
        fs::create_directory(target, source, ec);
        if (ec)
            return failWriting(ec);
        // The copy takes the source folder's mode, but the owner needs to write into it while it
        // fills (a read-only source folder); the mode is put back once it is full.
        fs::permissions(target, fs::perms::owner_all, fs::perm_options::add, ec);
        if (ec)
            return fail(source, ec);
        fs::directory_iterator it(source, ec);
        if (ec)
            return fail(source, ec);
        for (; it != fs::directory_iterator(); it.increment(ec)) {
            if (auto failure = copyTree(it->path(), target / it->path().filename(), root, false))
                return failure;
        }
        if (ec)
            return fail(source, ec);
        fs::permissions(target, fs::status(source, ec).permissions(), fs::perm_options::replace, ec);
        // Set last: filling the folder changed its modification time.
        keepTimes(source, target, true);
        return std::nullopt;
    }
    default:
        qCInfo(lcUpload, "leaving out %s: not a regular file, folder or link", source.c_str());
        return std::nullopt;
    }
}

// Deleting a large staging copy can take a while: it happens off the main thread.
QCoro::Task<void> removeTreeAsync(QString path)
{
    QFuture<void> removing = QtConcurrent::run(Leftovers::removeTree, path);
    co_await removing;
}

// A folder of Kavo's own in the shared temporary folder: new (never one someone else made there
// first) and private to the user whatever the umask, as what goes in it is the user's files.
std::optional<Error> makeFolder(const QString &path)
{
    std::error_code ec;
    const fs::path folder = toFsPath(path);
    if (fs::create_directory(folder, ec) && !ec)
        fs::permissions(folder, fs::perms::owner_all, fs::perm_options::replace, ec);
    else if (!ec)
        ec = std::make_error_code(std::errc::file_exists);
    if (!ec)
        return std::nullopt;
    return Error{ErrorDomain::file, ec.value(),
                 QStringLiteral("Couldn't create the folder ") + path + QStringLiteral(": ") + QString::fromLocal8Bit(ec.message())
                     + QLatin1Char('.')};
}

bool conforms(const QMimeType &type, const QString &name)
{
    return type.name() == name || type.inherits(name);
}

bool conformsToPrefix(const QMimeType &type, const QString &prefix)
{
    if (type.name().startsWith(prefix))
        return true;
    const QStringList ancestors = type.allAncestors();
    return std::ranges::any_of(ancestors, [&](const QString &a) { return a.startsWith(prefix); });
}

// The type of a path by its extension alone; invalid when it has none or none is known.
QMimeType typeByExtension(const QString &path)
{
    const QFileInfo info(QDir::cleanPath(path));
    if (info.suffix().isEmpty())
        return {};
    static const QMimeDatabase db;
    const QMimeType type = db.mimeTypeForFile(info.fileName(), QMimeDatabase::MatchExtension);
    if (!type.isValid() || type.isDefault())
        return {};
    return type;
}

const QStringList officeDocumentTypes = {
    QStringLiteral("application/vnd.ms-excel"),
    QStringLiteral("application/vnd.openxmlformats-officedocument.spreadsheetml.sheet"),
    QStringLiteral("application/vnd.oasis.opendocument.spreadsheet"),
    QStringLiteral("application/x-iwork-numbers-sffnumbers"),
    QStringLiteral("application/vnd.ms-powerpoint"),
    QStringLiteral("application/vnd.openxmlformats-officedocument.presentationml.presentation"),
    QStringLiteral("application/vnd.oasis.opendocument.presentation"),
    QStringLiteral("application/x-iwork-keynote-sffkey"),
};

QString nounFor(const QString &path)
{
    const QMimeType type = typeByExtension(path);
    if (!type.isValid())
        return QStringLiteral("files");
    if (conformsToPrefix(type, QStringLiteral("image/")))
        return QStringLiteral("Pictures");
    if (conformsToPrefix(type, QStringLiteral("video/")))
        return QStringLiteral("Videos");
    if (conformsToPrefix(type, QStringLiteral("audio/")))
        return QStringLiteral("Tracks");
    if (conforms(type, QStringLiteral("application/pdf")) || conforms(type, QStringLiteral("text/plain")))
        return QStringLiteral("Documents");
    for (const QString &office : officeDocumentTypes) {
        if (conforms(type, office))
            return QStringLiteral("Documents");
    }
    return QStringLiteral("files");
}

} // namespace

SourcePreparation::SourcePreparation()
    : SourcePreparation(Environment{})
{
}

SourcePreparation::SourcePreparation(Environment environment)
    : m_env(std::move(environment))
{
    if (!m_env.freeSpace) {
        m_env.freeSpace = [dir = tempDir()] { return availableDiskSpace(dir); };
    }
}

QString SourcePreparation::tempDir() const
{
    if (!m_env.tempDir.isEmpty())
        return m_env.tempDir;
    // Not QDir::tempPath(): for a TMPDIR that does not exist it answers "", and files would be
    // made in the root folder.
    const QString named = qEnvironmentVariable("TMPDIR");
    return QDir::cleanPath(named.isEmpty() ? QStringLiteral("/tmp") : named);
}

qint64 SourcePreparation::measureSize(const QString &path)
{
    const QFileInfo info(path);
    if (!info.isDir())
        return info.exists() ? info.size() : 0;
    qint64 total = 0;
    QDirIterator it(path, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        it.next();
        const QFileInfo entry = it.fileInfo();
        if (entry.isFile() && !entry.isSymLink())
            total += entry.size();
    }
    return total;
}

std::optional<qint64> SourcePreparation::availableDiskSpace(const QString &directory)
{
    const QStorageInfo volume(directory);
    if (!volume.isValid())
        return std::nullopt;
    if (volume.bytesAvailable() >= 1)
        return volume.bytesAvailable();
    if (volume.bytesFree() >= 1)
        return volume.bytesFree();
    return std::nullopt;
}

std::optional<Error> SourcePreparation::checkDiskSpace(qint64 total, std::optional<qint64> free)
{
    if (!free || total <= diskCheckThreshold)
        return std::nullopt;
    const auto need = qint64(double(total) * diskHeadroom);
    if (*free >= need)
        return std::nullopt;
    constexpr double bytesPerGB = 1073741824.0;
    return UploadError::zipFailed(QString::asprintf(
        "Not enough free disk space. This folder is about %.1f GB and you have %.1f GB free — clear some space and try again.",
        double(total) / bytesPerGB, double(*free) / bytesPerGB));
}

QString SourcePreparation::mimeType(const QString &path)
{
    const QMimeType type = typeByExtension(path);
    return type.isValid() ? type.name() : QStringLiteral("application/octet-stream");
}

QString SourcePreparation::collectiveNoun(const QStringList &sources)
{
    QString noun;
    for (const QString &source : sources) {
        const QString next = nounFor(source);
        if (!noun.isEmpty() && next != noun)
            return QStringLiteral("files");
        noun = next;
    }
    return noun.isEmpty() ? QStringLiteral("files") : noun;
}

bool SourcePreparation::isSingleFile(const QStringList &sources)
{
    return sources.size() == 1 && !QFileInfo(sources.first()).isDir();
}

QString SourcePreparation::archiveName(const QStringList &sources) const
{
    const QString date = m_env.locale.toString(m_env.now(), QStringLiteral("MMM-dd-HHmm"));
    const QString label = sources.size() == 1 ? lastComponent(sources.first())
                                              : QString::number(sources.size()) + QLatin1Char(' ') + collectiveNoun(sources);
    return fittedName(QStringLiteral("Kavo-") + date + QStringLiteral(" - "), label, QStringLiteral(".zip"));
}

QString SourcePreparation::fittedName(const QString &prefix, const QString &label, const QString &suffix)
{
    const auto bytes = [](const QString &name) { return QFile::encodeName(name).size(); };
    if (bytes(prefix + label + suffix) <= maxNameBytes)
        return prefix + label + suffix;
    // Cut at the last whole character (grapheme) that leaves room for the ellipsis.
    const QString ellipsis = QStringLiteral("…");
    QTextBoundaryFinder boundaries(QTextBoundaryFinder::Grapheme, label);
    boundaries.toEnd();
    qsizetype end = 0;
    while (boundaries.toPreviousBoundary() > 0) {
        if (bytes(prefix + label.left(boundaries.position()) + ellipsis + suffix) <= maxNameBytes) {
            end = boundaries.position();
            break;
        }
    }
    return prefix + label.left(end).trimmed() + ellipsis + suffix;
}

QCoro::Task<Result<PreparedUpload>> SourcePreparation::prepareArchive(QStringList sources) const
{
    // Futures made from capturing lambdas are named before they are awaited (see error.h).
    QFuture<qint64> measuring = QtConcurrent::run([sources] {
        qint64 sum = 0;
        for (const QString &source : sources)
            sum += measureSize(source);
        return sum;
    });
    const qint64 total = co_await measuring;
    if (auto refusal = checkDiskSpace(total, m_env.freeSpace()))
        co_return *refusal;

    const QString name = archiveName(sources);
    QCoro::Task<Result<QString>> zipping = zipSources(sources, name, total);
    Result<QString> archive = co_await zipping;
    if (!archive)
        co_return archive.error();
    co_return PreparedUpload{archive.value(), name, QStringLiteral("application/zip")};
}

std::optional<Error> SourcePreparation::checkTempDir() const
{
    const QString folder = tempDir();
    const QFileInfo info(folder);
    if (!folder.isEmpty() && info.isDir() && info.isWritable())
        return std::nullopt;
    const QString why = !info.exists() ? QStringLiteral("doesn't exist")
        : !info.isDir()                ? QStringLiteral("isn't a folder")
                                       : QStringLiteral("can't be written to");
    return UploadError::zipFailed(QStringLiteral("the temporary folder %1 (TMPDIR) %2.").arg(folder, why));
}

Error SourcePreparation::diskFull(const QString &reason) const
{
    return UploadError::zipFailed(capitalised(reason) + QStringLiteral(" in the temporary folder ") + tempDir() + QLatin1Char('.'));
}

QCoro::Task<Result<QString>> SourcePreparation::zipSources(QStringList sources, QString archiveName, qint64 totalBytes) const
{
    if (auto unusable = checkTempDir())
        co_return *unusable;
    const QString staging = tempDir() + QLatin1Char('/') + Leftovers::folderName(stagingKind);
    if (auto failure = makeFolder(staging))
        co_return *failure;

    qCInfo(lcUpload, "zip starting: %ld sources, ~%ld bytes total → %s", long(sources.size()), long(totalBytes),
           qUtf8Printable(archiveName));

    QFuture<std::optional<Error>> copying = QtConcurrent::run([this, sources, staging]() -> std::optional<Error> {
        for (const QString &source : sources) {
            const QString name = lastComponent(source);
            const fs::path from = toFsPath(QDir::cleanPath(source));
            if (auto failure = copyTree(from, toFsPath(staging + QLatin1Char('/') + name), from, true)) {
                if (failure->writing)
                    return diskFull(failure->text);
                return UploadError::sourceUnreadable(name + QStringLiteral(" — ") + failure->text);
            }
        }
        return std::nullopt;
    });
    const std::optional<Error> copyFailure = co_await copying;
    if (copyFailure) {
        co_await removeTreeAsync(staging);
        co_return *copyFailure;
    }

    const QString outFolder = tempDir() + QLatin1Char('/') + Leftovers::folderName(archiveKind);
    if (auto failure = makeFolder(outFolder)) {
        co_await removeTreeAsync(staging);
        co_return *failure;
    }
    const QString archivePath = outFolder + QLatin1Char('/') + archiveName;

    auto process = std::make_unique<QProcess>();
    process->setWorkingDirectory(staging);
    // zip says what went wrong on either output; only the end of what it says is kept.
    process->setProcessChannelMode(QProcess::MergedChannels);
    auto said = std::make_shared<QByteArray>();
    QObject::connect(process.get(), &QProcess::readyRead, process.get(), [said, zip = process.get()] {
        *said += zip->readAll();
        if (said->size() > 8192)
            *said = said->right(4096);
    });
    // zip never outlives Kavo: the kernel ends it when the thread that started it goes. The
    // archive it writes is the user's alone.
    process->setChildProcessModifier([] {
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
        ::umask(077);
    });
    process->setProgram(m_env.zipTool);
    process->setArguments({QStringLiteral("-r"), QStringLiteral("-q"), QStringLiteral("-y"), archivePath, QStringLiteral(".")});
    process->start(QIODevice::ReadOnly);
    // Waiting for the exec itself is a matter of milliseconds and, unlike awaiting `started`,
    // learns at once when the tool cannot be launched at all.
    if (!process->waitForStarted()) {
        const QString reason = process->errorString();
        co_await removeTreeAsync(staging);
        co_await removeTreeAsync(outFolder);
        co_return UploadError::zipFailed(QStringLiteral("Couldn't launch ") + m_env.zipTool + QStringLiteral(" — ") + reason);
    }
    if (process->state() != QProcess::NotRunning) {
        auto finished = qCoro(process.get(), &QProcess::finished);
        co_await finished;
    }
    *said += process->readAll();
    co_await removeTreeAsync(staging);

    const int status = process->exitStatus() == QProcess::NormalExit ? process->exitCode() : -1;
    if (status != 0) {
        co_await removeTreeAsync(outFolder);
        const QString output = decodeUtf8(*said).value_or(QString()).trimmed();
        qCCritical(lcUpload, "zip exit %d: %s", status, qUtf8Printable(output));
        if (output.contains(QLatin1String("No space left on device")))
            co_return diskFull(QStringLiteral("no space left on device"));
        // Its first error line says what happened; the lines after it, what that led to.
        const QStringList lines = output.split(QLatin1Char('\n'), Qt::SkipEmptyParts);
        const auto error = std::ranges::find_if(lines, [](const QString &line) { return line.contains(QLatin1String("error")); });
        const QString text = error != lines.end() ? *error : lines.value(lines.size() - 1);
        co_return UploadError::zipFailed(text.isEmpty() ? QStringLiteral("exit code ") + QString::number(status)
                                                        : shortened(text.trimmed()));
    }

    ::chmod(QFile::encodeName(archivePath).constData(), 0600);
    const qint64 size = QFileInfo(archivePath).size();
    qCInfo(lcUpload, "zip done: %ld bytes", long(size));
    if (size > smallestArchive - 1)
        co_return archivePath;
    co_await removeTreeAsync(outFolder);
    co_return UploadError::emptyArchive(size);
}
