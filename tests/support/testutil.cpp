#include "testutil.h"

#include <QFile>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sys/mount.h>
#include <sys/statvfs.h>
#include <unistd.h>
#include <vector>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QTest>
#include <QUrl>

namespace {
std::mutex logMutex;
QStringList *logLines = nullptr;
}

LogCapture::LogCapture()
{
    std::lock_guard lock(logMutex);
    logLines = new QStringList;
    m_previous = qInstallMessageHandler(&LogCapture::handler);
}

LogCapture::~LogCapture()
{
    qInstallMessageHandler(m_previous);
    std::lock_guard lock(logMutex);
    delete logLines;
    logLines = nullptr;
}

void LogCapture::handler(QtMsgType, const QMessageLogContext &context, const QString &message)
{
    std::lock_guard lock(logMutex);
    if (logLines)
        logLines->append(QString::fromLatin1(context.category ? context.category : "") + QStringLiteral(": ") + message);
}

QStringList LogCapture::lines() const
{
    std::lock_guard lock(logMutex);
    return logLines ? *logLines : QStringList();
}

QStringList LogCapture::linesContaining(const QString &text) const
{
    return lines().filter(text);
}

QByteArray readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

void writeFile(const QString &path, const QByteArray &content)
{
    QVERIFY(QDir().mkpath(QFileInfo(path).absolutePath()));
    QFile file(path);
    QVERIFY2(file.open(QIODevice::WriteOnly), qPrintable(path));
    QCOMPARE(file.write(content), content.size());
}

QByteArray runTool(const QString &program, const QStringList &arguments)
{
    QProcess process;
    process.start(program, arguments);
    if (!process.waitForFinished(30000))
        return {};
    return process.readAllStandardOutput();
}

QMap<QString, QString> formFields(const QByteArray &body)
{
    QMap<QString, QString> fields;
    for (const QByteArray &pair : body.split('&')) {
        const qsizetype eq = pair.indexOf('=');
        fields.insert(QUrl::fromPercentEncoding(pair.left(eq)), QUrl::fromPercentEncoding(pair.mid(eq + 1)));
    }
    return fields;
}

FullDisk::FullDisk(int kibibytes)
{
    char pattern[] = "/tmp/kavo-fulldisk-XXXXXX";
    if (!::mkdtemp(pattern)) {
        m_problem = QStringLiteral("no folder for the filesystem");
        return;
    }
    m_dir = QString::fromLocal8Bit(pattern);
    const QByteArray options = "size=" + QByteArray::number(kibibytes) + "k,mode=0700";
    if (::mount("tmpfs", pattern, "tmpfs", 0, options.constData()) != 0) {
        m_problem = QStringLiteral("cannot mount a tmpfs on %1: %2").arg(m_dir, QString::fromLocal8Bit(std::strerror(errno)));
        return;
    }
    m_mounted = true;
}

FullDisk::~FullDisk()
{
    if (m_mounted)
        ::umount2(QFile::encodeName(m_dir).constData(), MNT_DETACH);
    if (!m_dir.isEmpty())
        ::rmdir(QFile::encodeName(m_dir).constData());
}

void FullDisk::fill(qint64 leave)
{
    QFile filler(m_dir + QStringLiteral("/filler"));
    if (!filler.open(QIODevice::Append | QIODevice::Unbuffered))
        return;
    const QByteArray block(4096, 'f');
    struct statvfs space {};
    while (::statvfs(QFile::encodeName(m_dir).constData(), &space) == 0 && qint64(space.f_bavail) * qint64(space.f_frsize) > leave) {
        const qint64 room = qint64(space.f_bavail) * qint64(space.f_frsize) - leave;
        if (filler.write(block.constData(), std::min<qint64>(room, block.size())) <= 0)
            break;
    }
}

void becomeRootOfOwnNamespace(int argc, char *argv[])
{
    if (::geteuid() == 0 || qEnvironmentVariableIsSet("KAVO_TEST_IN_NAMESPACE"))
        return;
    ::setenv("KAVO_TEST_IN_NAMESPACE", "1", 1);
    std::vector<char *> arguments{const_cast<char *>("unshare"), const_cast<char *>("--user"), const_cast<char *>("--map-root-user"),
                                  const_cast<char *>("--mount"), const_cast<char *>("--")};
    for (int i = 0; i < argc; ++i)
        arguments.push_back(argv[i]);
    arguments.push_back(nullptr);
    ::execvp("unshare", arguments.data());
    std::perror("kavo tests: unshare");
}
