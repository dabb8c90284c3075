#include "clipboard.h"

#include "waylandselection.h"

#include <QClipboard>
#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QFile>
#include <QGuiApplication>

#include <xcb/xcb.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

// Links are short; anything this long on the holder's input is not one of Kavo's texts.
constexpr qsizetype longestText = 1 << 20;

QString setInProcess(const QString &text)
{
    QClipboard *clipboard = QGuiApplication::clipboard();
    if (!clipboard)
        return QStringLiteral("this program has no clipboard");
    clipboard->clear(QClipboard::Clipboard);
    clipboard->setText(text, QClipboard::Clipboard);
    return {};
}

bool writeAll(int fd, const QByteArray &bytes)
{
    for (qsizetype written = 0; written < bytes.size();) {
        const ssize_t n = ::write(fd, bytes.constData() + written, size_t(bytes.size() - written));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        written += n;
    }
    return true;
}

// The holder's first line on standard output, read until `deadline`.
QByteArray readAnswer(int fd, QDeadlineTimer deadline)
{
    QByteArray line;
    char buffer[512];
    while (!line.contains('\n') && line.size() < 4096) {
        pollfd ready{fd, POLLIN, 0};
        const int polled = ::poll(&ready, 1, int(qMax<qint64>(0, deadline.remainingTime())));
        if (polled < 0 && errno == EINTR)
            continue;
        if (polled <= 0)
            break;
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        line.append(buffer, n);
    }
    return line.left(line.indexOf('\n'));
}

// Said once by the holder: "held", or "failed: " and why. Standard output then goes nowhere, so
// that a pipeline the command ran in ends when the command does.
void say(const QByteArray &line)
{
    writeAll(STDOUT_FILENO, line + '\n');
    const int nowhere = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
    if (nowhere >= 0) {
        ::dup2(nowhere, STDOUT_FILENO);
        ::close(nowhere);
    }
}

int failed(const QString &why)
{
    say("failed: " + why.toUtf8());
    return 1;
}

// X11: this process owns the CLIPBOARD selection through Qt until another client takes it.
int holdOnX11(int argc, char **argv, const QString &text)
{
    // Qt gives up on a display it cannot reach by aborting; ask first.
    xcb_connection_t *connection = xcb_connect(nullptr, nullptr);
    const bool reachable = xcb_connection_has_error(connection) == 0;
    xcb_disconnect(connection);
    if (!reachable)
        return failed(QStringLiteral("the X display %1 can't be reached").arg(qEnvironmentVariable("DISPLAY")));
    qputenv("QT_QPA_PLATFORM", "xcb");
    QGuiApplication app(argc, argv);
    QClipboard *clipboard = QGuiApplication::clipboard();
    clipboard->setText(text, QClipboard::Clipboard);
    if (!clipboard->ownsClipboard())
        return failed(QStringLiteral("another program keeps the X11 clipboard"));
    QObject::connect(clipboard, &QClipboard::changed, &app, [clipboard](QClipboard::Mode mode) {
        if (mode == QClipboard::Clipboard && !clipboard->ownsClipboard())
            QCoreApplication::quit();
    });
    say("held");
    return app.exec();
}

} // namespace

QString SystemClipboard::setText(const QString &text)
{
    if (QGuiApplication::platformName() != QLatin1String("wayland"))
        return setInProcess(text);
    const QString problem = ClipboardHolder::handOver(text);
    if (problem.isEmpty())
        return {};
    setInProcess(text);
    return problem;
}

QString LastingClipboard::setText(const QString &text)
{
    if (m_handToTray && m_handToTray(text))
        return {};
    return ClipboardHolder::handOver(text);
}

namespace ClipboardHolder {

QString handOver(const QString &text, const QString &program)
{
    if (qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY") && qEnvironmentVariableIsEmpty("DISPLAY"))
        return QStringLiteral("there is no desktop here (neither DISPLAY nor WAYLAND_DISPLAY is set)");
    const QByteArray path = QFile::encodeName(program.isEmpty() ? QCoreApplication::applicationFilePath() : program);
    const QByteArray bytes = text.toUtf8();
    if (bytes.size() > longestText)
        return QStringLiteral("the text is too long for the clipboard");
    int input[2];
    int answer[2];
    if (::pipe2(input, O_CLOEXEC) != 0)
        return QStringLiteral("no pipe for the clipboard (%1)").arg(QString::fromLocal8Bit(std::strerror(errno)));
    if (::pipe2(answer, O_CLOEXEC) != 0) {
        ::close(input[0]);
        ::close(input[1]);
        return QStringLiteral("no pipe for the clipboard (%1)").arg(QString::fromLocal8Bit(std::strerror(errno)));
    }
    const int nowhere = ::open("/dev/null", O_RDWR | O_CLOEXEC);
    char *const arguments[] = {const_cast<char *>(path.constData()), const_cast<char *>(argument), nullptr};

    // Forked twice, so that the holder belongs to no Kavo process (nobody has to reap it) and
    // outlives this one; between fork and exec only async-signal-safe calls.
    const pid_t child = ::fork();
    if (child == 0) {
        if (::fork() != 0)
            ::_exit(0);
        ::setsid();
        ::dup2(input[0], STDIN_FILENO);
        ::dup2(answer[1], STDOUT_FILENO);
        ::dup2(nowhere >= 0 ? nowhere : answer[1], STDERR_FILENO);
        ::close_range(3, ~0U, 0);
        sigset_t none;
        sigemptyset(&none);
        ::sigprocmask(SIG_SETMASK, &none, nullptr);
        ::execv(arguments[0], arguments);
        ::_exit(127);
    }
    ::close(input[0]);
    ::close(answer[1]);
    if (nowhere >= 0)
        ::close(nowhere);
    if (child < 0) {
        ::close(input[1]);
        ::close(answer[0]);
        return QStringLiteral("the clipboard holder could not be started (%1)").arg(QString::fromLocal8Bit(std::strerror(errno)));
    }
    while (::waitpid(child, nullptr, 0) < 0 && errno == EINTR) {}
    // A holder that is already gone must not take this process with it through SIGPIPE.
    sigset_t pipeSignal;
    sigset_t before;
    sigemptyset(&pipeSignal);
    sigaddset(&pipeSignal, SIGPIPE);
    ::pthread_sigmask(SIG_BLOCK, &pipeSignal, &before);
    writeAll(input[1], bytes);
    ::close(input[1]);
    const timespec now{0, 0};
    while (::sigtimedwait(&pipeSignal, nullptr, &now) > 0) {}
    ::pthread_sigmask(SIG_SETMASK, &before, nullptr);

    const QByteArray said = readAnswer(answer[0], QDeadlineTimer(10000));
    ::close(answer[0]);
    if (said == "held")
        return {};
    if (said.startsWith("failed: "))
        return QString::fromUtf8(said.mid(8));
    return QStringLiteral("the clipboard holder did not start");
}

bool isHolder(int argc, char **argv)
{
    return argc == 2 && std::strcmp(argv[1], argument) == 0;
}

int serve(int argc, char **argv)
{
    std::signal(SIGPIPE, SIG_IGN);
    if (::chdir("/") != 0) {
        // Only so that no folder stays busy; nothing depends on it.
    }
    QByteArray bytes;
    char buffer[4096];
    for (;;) {
        const ssize_t n = ::read(STDIN_FILENO, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        bytes.append(buffer, n);
        if (bytes.size() > longestText)
            return failed(QStringLiteral("the text is too long for the clipboard"));
    }
    QString problem;
    if (!qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY")) {
        problem = WaylandSelection::hold(bytes, [] { say("held"); });
        if (problem.isEmpty())
            return 0;
    }
    if (!qEnvironmentVariableIsEmpty("DISPLAY"))
        return holdOnX11(argc, argv, QString::fromUtf8(bytes));
    return failed(problem.isEmpty() ? QStringLiteral("there is no desktop here (neither DISPLAY nor WAYLAND_DISPLAY is set)") : problem);
}

} // namespace ClipboardHolder
