#pragma once

#include "platform/error.h"

#include <QDateTime>
#include <QLocale>
#include <QString>
#include <QStringList>
#include <qcoro/qcorotask.h>

#include <functional>
#include <optional>

// The file an upload sends: its path, the name it is stored under and its MIME type.
struct PreparedUpload {
    QString filePath;
    QString name;
    QString mimeType;
};

// Turns a drop (local paths) into one file to upload. A single ordinary file is sent as it is;
// a folder or several items are copied into a private staging folder and packed with the zip
// tool into "Kavo-<date> - <label>.zip" under the temporary directory, each in a folder of the
// kinds below that a later start removes once no job needs it. Copying, measuring and
// zipping run off the main thread and are awaited.
class SourcePreparation
{
public:
    struct Environment {
        std::function<QDateTime()> now = [] { return QDateTime::currentDateTime(); };
        QLocale locale = QLocale::system();
        // Free bytes on the volume of the temporary directory; defaults to availableDiskSpace().
        std::function<std::optional<qint64>()> freeSpace;
        QString tempDir; // defaults to $TMPDIR, else /tmp
        QString zipTool = QStringLiteral("/usr/bin/zip");
    };

    static constexpr qint64 diskCheckThreshold = 1048576;
    static constexpr double diskHeadroom = 1.2;
    static constexpr qint64 smallestArchive = 100;

    SourcePreparation();
    explicit SourcePreparation(Environment environment);

    // Bytes of a file, or of every file below a folder (links are not followed); never fails.
    static qint64 measureSize(const QString &path);
    static std::optional<qint64> availableDiskSpace(const QString &directory);
    // The refusal for `total` bytes with `free` bytes available, if any.
    static std::optional<Error> checkDiskSpace(qint64 total, std::optional<qint64> free);
    static QString mimeType(const QString &path);
    static QString collectiveNoun(const QStringList &sources);
    // True when the drop is sent as it is: one source that is not a folder.
    static bool isSingleFile(const QStringList &sources);

    QString archiveName(const QStringList &sources) const;
    // The longest file name Linux file systems take, in bytes.
    static constexpr qsizetype maxNameBytes = 255;
    // prefix + label + suffix, the label cut short (at a whole character, with "…") so that the
    // name fits in maxNameBytes.
    static QString fittedName(const QString &prefix, const QString &label, const QString &suffix);

    // Measures the sources, applies the disk-space rule, names and builds the archive.
    QCoro::Task<Result<PreparedUpload>> prepareArchive(QStringList sources) const;
    // Copies the sources into staging and zips them; `totalBytes` is only for the log line.
    QCoro::Task<Result<QString>> zipSources(QStringList sources, QString archiveName, qint64 totalBytes) const;

    QString tempDir() const;
    // The failure to report when the temporary folder is missing or cannot be written.
    std::optional<Error> checkTempDir() const;
    // The kinds (leftovers.h) of the staging copies and of the archives' folders.
    static inline const QString stagingKind = QStringLiteral("kavo-staging");
    static inline const QString archiveKind = QStringLiteral("kavo-archive");

private:
    Error diskFull(const QString &reason) const;
    Environment m_env;
};
