#include "testutil.h"

#include <QTcpServer>

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

UploadManager::Services storeServices(LinkService *backend, HistoryUpdates *history, PresetChoice *presets,
                                      UploadPreferences *preferences, NotificationCenter *notifications)
{
    UploadManager::Services services;
    services.backend = backend;
    services.history = history;
    services.presets = presets;
    services.preferences = preferences;
    services.notifications = notifications;
    return services;
}

bool loopbackPortFree(quint16 port)
{
    QTcpServer probe;
    return probe.listen(QHostAddress::LocalHost, port);
}

QString portTakenMessage(int port)
{
    return QStringLiteral("127.0.0.1:%1, where this build's endpoints point, is in use (is the README's demo still "
                          "running?); stop it to run this end-to-end test").arg(port);
}
