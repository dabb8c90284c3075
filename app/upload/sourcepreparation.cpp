#include "sourcepreparation.h"

#include "platform/http.h"
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

#include <filesystem>
#include <memory>
#include <system_error>

#include <fcntl.h>
#include <sys/stat.h>

namespace fs = std::filesystem;

namespace {

fs::path toFsPath(const QString &path)
{
    return fs::path(QFile::encodeName(path).toStdString());
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

// Copies `source` to `target`, which must not exist. The top level follows a link (the user
// dropped what it points at); below it links are copied as links, so that zip stores them as
// links. Pipes, sockets and devices carry no content to share and are left out rather than read,
// which could block forever. Returns the failure text, if any.
std::optional<QString> copyTree(const fs::path &source, const fs::path &target, const fs::path &root, bool topLevel)
{
    std::error_code ec;
    const auto fail = [&](const fs::path &where, const std::error_code &code) -> std::optional<QString> {
        const QString reason = capitalised(QString::fromLocal8Bit(code.message()));
        if (where == root)
            return reason;
        return fromFsPath(where.lexically_relative(root.parent_path())) + QStringLiteral(": ") + reason;
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
            return fail(source, ec);
        keepTimes(source, target, false);
        return std::nullopt;
    case fs::file_type::regular:
        // The copy takes the file's mode; its times are set as `cp -p` would.
        fs::copy_file(source, target, fs::copy_options::none, ec);
        if (ec)
            return fail(source, ec);
        keepTimes(source, target, true);
        return std::nullopt;
    case fs::file_type::directory: {
        fs::create_directory(target, source, ec);
        if (ec)
            return fail(source, ec);
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

void removeTree(const QString &path)
{
    if (path.isEmpty())
        return;
    std::error_code ec;
    // The staging copy keeps read-only folders read-only; their entries can only go once the
    // owner may write to them again.
    const fs::path root = toFsPath(path);
    if (fs::is_directory(fs::symlink_status(root, ec))) {
        fs::permissions(root, fs::perms::owner_all, fs::perm_options::add, ec);
        for (fs::recursive_directory_iterator it(root, ec), end; !ec && it != end; it.increment(ec))
            if (it->is_directory(ec) && !it->is_symlink(ec))
                fs::permissions(it->path(), fs::perms::owner_all, fs::perm_options::add, ec);
    }
    fs::remove_all(root, ec);
}

// Deleting a large staging copy can take a while: it happens off the main thread.
QCoro::Task<void> removeTreeAsync(QString path)
{
    QFuture<void> removing = QtConcurrent::run(removeTree, path);
    co_await removing;
}

std::optional<Error> makeFolder(const QString &path)
{
    std::error_code ec;
    fs::create_directories(toFsPath(path), ec);
    if (!ec)
        return std::nullopt;
    return Error{ErrorDomain::file, ec.value(),
                 QStringLiteral("Couldn't create the folder ") + path + QStringLiteral(": ")
                     + QString::fromLocal8Bit(ec.message()) + QLatin1Char('.')};
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
    return std::any_of(ancestors.begin(), ancestors.end(), [&](const QString &a) { return a.startsWith(prefix); });
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
    return m_env.tempDir.isEmpty() ? QDir::tempPath() : m_env.tempDir;
}

qint64 SourcePreparation::measureSize(const QString &path)
{
    const QFileInfo info(path);
    if (!info.isDir())
        return info.exists() ? info.size() : 0;
    qint64 total = 0;
    QDirIterator it(path, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
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
    const QString label = sources.size() == 1
        ? lastComponent(sources.first())
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

QCoro::Task<Result<QString>> SourcePreparation::zipSources(QStringList sources, QString archiveName, qint64 totalBytes) const
{
    const QString staging = tempDir() + QLatin1Char('/') + QUuid::createUuid().toString(QUuid::WithoutBraces);
    if (auto failure = makeFolder(staging))
        co_return *failure;

    qCInfo(lcUpload, "zip starting: %ld sources, ~%ld bytes total → %s", long(sources.size()), long(totalBytes),
           qUtf8Printable(archiveName));

    QFuture<std::optional<Error>> copying = QtConcurrent::run([sources, staging]() -> std::optional<Error> {
        for (const QString &source : sources) {
            const QString name = lastComponent(source);
            const fs::path from = toFsPath(QDir::cleanPath(source));
            if (auto failure = copyTree(from, toFsPath(staging + QLatin1Char('/') + name), from, true))
                return UploadError::sourceUnreadable(name + QStringLiteral(" — ") + *failure);
        }
        return std::nullopt;
    });
    const std::optional<Error> copyFailure = co_await copying;
    if (copyFailure) {
        co_await removeTreeAsync(staging);
        co_return *copyFailure;
    }

    const QString outFolder = tempDir() + QLatin1Char('/') + QUuid::createUuid().toString(QUuid::WithoutBraces);
    if (auto failure = makeFolder(outFolder)) {
        co_await removeTreeAsync(staging);
        co_return *failure;
    }
    const QString archivePath = outFolder + QLatin1Char('/') + archiveName;

    auto process = std::make_unique<QProcess>();
    process->setWorkingDirectory(staging);
    process->setStandardOutputFile(QProcess::nullDevice());
    process->setProgram(m_env.zipTool);
    process->setArguments({QStringLiteral("-r"), QStringLiteral("-q"), QStringLiteral("-y"), archivePath,
                           QStringLiteral(".")});
    process->start(QIODevice::ReadOnly);
    // Waiting for the exec itself is a matter of milliseconds and, unlike awaiting `started`,
    // learns at once when the tool cannot be launched at all.
    if (!process->waitForStarted()) {
        const QString reason = process->errorString();
        co_await removeTreeAsync(staging);
        co_await removeTreeAsync(outFolder);
        co_return UploadError::zipFailed(QStringLiteral("Couldn't launch ") + m_env.zipTool + QStringLiteral(" — ")
                                         + reason);
    }
    if (process->state() != QProcess::NotRunning) {
        auto finished = qCoro(process.get(), &QProcess::finished);
        co_await finished;
    }

    const QByteArray rawError = process->readAllStandardError();
    const QString errorText = decodeUtf8(rawError).value_or(QString()).trimmed();
    co_await removeTreeAsync(staging);

    const int status = process->exitStatus() == QProcess::NormalExit ? process->exitCode() : -1;
    if (status != 0) {
        co_await removeTreeAsync(outFolder);
        qCCritical(lcUpload, "zip exit %d: %s", status, qUtf8Printable(errorText));
        co_return UploadError::zipFailed(errorText.isEmpty() ? QStringLiteral("exit code ") + QString::number(status)
                                                             : errorText);
    }

    const qint64 size = QFileInfo(archivePath).size();
    qCInfo(lcUpload, "zip done: %ld bytes", long(size));
    if (size > smallestArchive - 1)
        co_return archivePath;
    co_await removeTreeAsync(outFolder);
    co_return UploadError::emptyArchive(size);
}
