// kavo's commands: the tray, `kavo FILE|URL` handed to it, `kavo share`, `kavo links` and
// `kavo link`, each over an Application (application.h) built from the endpoints.

#include "program.h"

#include "application.h"

#include "cloud/driveuploader.h"
#include "cloud/dropboxauth.h"
#include "cloud/dropboxuploader.h"
#include "cloud/googleauth.h"
#include "links/cloudcleanup.h"
#include "links/drivecleaner.h"
#include "platform/defaultsstore.h"
#include "platform/desktop.h"
#include "platform/desktopwatch.h"
#include "platform/endpoints.h"
#include "platform/filechooser.h"
#include "platform/http.h"
#include "platform/localpath.h"
#include "platform/networkwatch.h"
#include "platform/secretstore.h"
#include "platform/singleinstance.h"
#include "platform/terminaltext.h"
#include "platform/tray.h"
#include "platform/webauthsession.h"
#include "service/backendapi.h"
#include "service/historystore.h"
#include "service/presetsstore.h"
#include "settings/preferences.h"
#include "settings/themestore.h"
#include "shell/accountstore.h"
#include "shell/appcontroller.h"
#include "shell/linkcommand.h"
#include "shell/sharecommand.h"
#include "shell/urldispatcher.h"
#include "upload/uploadmanager.h"

#include <QApplication>
#include <QClipboard>
#include <QCursor>
#include <QDBusConnection>
#include <QDBusServiceWatcher>
#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QNetworkAccessManager>
#include <QProcess>
#include <QQmlApplicationEngine>
#include <QTextStream>
#include <QThread>
#include <QTimer>
#include <QUrl>
#include <QWindow>
#include <QtQml/QQmlExtensionPlugin>

Q_IMPORT_QML_PLUGIN(Kavo_UiPlugin)

#include <algorithm>
#include <cstdio>

namespace {

const char *const usage = "usage: kavo                       start Kavo in the tray\n"
                          "       kavo FILE... | URL          hand files or a sign-in link to Kavo (starting it when needed)\n"
                          "       kavo share FILE...          upload the files as one drop and print the share link\n"
                          "       kavo links [OPTIONS]        list the account's links\n"
                          "       kavo link LINK ACTION ...   copy, password, expiry, rename, design, send or delete one link\n"
                          "       kavo --version\n"
                          "Each command's --help says more.\n";

const char *const shareUsage = "usage: kavo share FILE...\n"
                               "  Uploads the files as one drop (several files or a folder go as one zip) to the provider the\n"
                               "  preferences choose, registers the link and prints it; progress goes to standard error.\n"
                               "Exit status: 0 with the link, 1 with the reason on standard error, 2 bad usage.\n";

bool hasDisplay();

void sayProblem(const QString &problem)
{
    std::fprintf(stderr, "kavo: %s\n", qUtf8Printable(terminalSafe(problem)));
}

// Printed once when the instance takes long to answer (busy, stopped, still starting).
void sayWaiting()
{
    std::fputs("kavo: Kavo is busy; waiting for it to take this (Ctrl+C gives up)\n", stderr);
}

// Hands files (made absolute, as the instance has its own working directory) or links to the
// running instance, starting one when there is none and a desktop to show it on. Returns once
// the instance has queued the files or taken the link.
int forwardToInstance(const QStringList &arguments)
{
    QStringList absolute;
    for (const QString &argument : arguments) {
        const bool isUrl = UrlDispatcher::isLink(argument) || QUrl(argument).scheme().toLower() == QLatin1String("file");
        absolute.append(isUrl ? argument : QFileInfo(argument).absoluteFilePath());
    }
    const SingleInstance channel;
    SingleInstance::Handover handover = channel.forward(absolute, sayWaiting);
    if (handover.status == SingleInstance::Status::notRunning && hasDisplay()
        && QProcess::startDetached(QCoreApplication::applicationFilePath(), {})) {
        // Until the new process holds the lock there is nobody to wait for.
        QDeadlineTimer deadline(10000);
        while (handover.status == SingleInstance::Status::notRunning && !deadline.hasExpired()) {
            QThread::msleep(100);
            handover = channel.forward(absolute, sayWaiting);
        }
    }
    switch (handover.status) {
    case SingleInstance::Status::taken:
        // What became of a sign-in link, for whoever opened it.
        for (const QString &line : handover.message.split(QLatin1Char('\n'), Qt::SkipEmptyParts))
            std::printf("%s\n", qUtf8Printable(terminalSafe(line)));
        return 0;
    case SingleInstance::Status::notRunning:
        std::fputs("kavo: Kavo isn't running, so there is nothing to hand this to. "
                   "To upload without it, use: kavo share FILE...\n",
                   stderr);
        return 1;
    case SingleInstance::Status::refused:
    case SingleInstance::Status::failed:
        sayProblem(handover.message);
        return 1;
    }
    return 1;
}

bool hasDisplay()
{
    return !qEnvironmentVariableIsEmpty("DISPLAY") || !qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY");
}

// Without a display the clipboard lives in-process; the command still works headless.
void chooseHeadlessPlatform()
{
    if (!hasDisplay() && qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
}

int share(const QStringList &paths)
{
    Application app(Endpoints::current(), Application::Mode::share);
    // The preset a new upload gets comes from the service's list; without it the link would get
    // none. A failure to load it is not fatal: the upload goes on without a preset.
    if (const std::optional<QString> problem = app.account.waitUntilLoaded()) {
        sayProblem(*problem);
        return 1;
    }
    if (!app.account.isSignedIn()) {
        sayProblem(QStringLiteral("You're signed out of Kavo. Sign in from Kavo's panel (or open your set-up link), then share again."));
        return 1;
    }
    QCoro::waitFor(app.presets.refresh());
    // The link goes to the tray's clipboard when a tray runs (this process is not the instance then).
    app.lastingClipboard.setHandToTray(&SingleInstance::copyInInstance);
    // While it runs, this process takes the links handed to `kavo URL`, so that the browser's
    // answer to a Dropbox sign-in (vendrel://dropbox-auth?...) reaches it when no other Kavo runs.
    SingleInstance instance;
    UrlDispatcher dispatcher;
    if (instance.claim() == SingleInstance::Claim::instance) {
        instance.listen([&dispatcher](const QStringList &arguments) -> SingleInstance::Answer {
            if (!std::ranges::all_of(arguments, UrlDispatcher::isLink))
                return {QStringLiteral("Kavo is busy with `kavo share`, which takes no other files. "
                                       "Try again once it has finished, or run another `kavo share` for them."),
                        {}};
            return dispatcher.dispatch(arguments);
        });
        QObject::connect(&dispatcher, &UrlDispatcher::dropboxRedirectReceived, &app.dropboxAuth, &DropboxAuth::deliverRedirect);
    }
    const int exitCode = runShareCommand(*app.uploads, paths);
    // A success starts a history reload; let it finish (briefly) so the program ends cleanly.
    QDeadlineTimer deadline(5000);
    while (app.history.isLoading() && !deadline.hasExpired())
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
    // The sign-in's browser tab gets its page, whatever the outcome.
    WebAuthSession::deliverAnswers();
    return exitCode;
}

// What a second `kavo` without arguments sends the running one.
constexpr const char *showPanelArgument = "--show-panel";

int linkCommand(const QString &verb, const QStringList &arguments)
{
    std::unique_ptr<Application> app;
    LinkCommandParts parts;
    const LinkCommandSetup setup = [&]() -> const LinkCommandParts & {
        if (app)
            return parts;
        app = std::make_unique<Application>(Endpoints::current(), Application::Mode::share);
        app->lastingClipboard.setHandToTray(&SingleInstance::copyInInstance);
        parts.account = &app->account;
        parts.backend = &app->backend;
        parts.presets = &app->presets;
        parts.actions = app->links.get();
        parts.clipboard = app->clipboard;
        return parts;
    };
    return verb == QLatin1String("links") ? runLinksCommand(arguments, setup) : runLinkCommand(arguments, setup);
}

// The tray application: the one running instance.
int runTray()
{
    SingleInstance instance;
    switch (instance.claim()) {
    case SingleInstance::Claim::instance:
        break;
    case SingleInstance::Claim::alreadyRunning: {
        // Bring its panel up (the only way back to it when there is no tray).
        const SingleInstance::Handover handover = instance.forward({QString::fromLatin1(showPanelArgument)}, sayWaiting);
        if (handover.status == SingleInstance::Status::taken) {
            std::fputs("kavo: Kavo is already running; its panel is open.\n", stderr);
            return 0;
        }
        if (handover.status == SingleInstance::Status::notRunning)
            std::fputs("kavo: the running Kavo quit just now; start it again.\n", stderr);
        else
            sayProblem(handover.message);
        return 1;
    }
    case SingleInstance::Claim::failed:
        sayProblem(instance.problem());
        return 1;
    }
    QApplication::setQuitOnLastWindowClosed(false);
    Application app(Endpoints::current(), Application::Mode::tray);
    DriveCleaner sweeper(&app.backend, &app.cleanup, &app.googleAuth, &app.googleAuth, DriveCleaner::Options{});
    AppController::Parts parts = app.controllerParts();
    parts.sweeper = &sweeper;
    Tray tray;
    DesktopWatch desktop;
    parts.trayIconGeometry = [&tray] { return tray.isVisible() ? tray.iconGeometry() : QRect(); };
    parts.pointer = [] { return QCursor::pos(); };
    parts.pointerButtonDown = [&desktop] { return desktop.pointerButtonDown(); };
    FileChooser chooser;
    parts.chooseFiles = [&chooser](bool folder, std::function<void(const QList<QUrl> &)> done) {
        // The portal puts its dialog over the window it is asked from: the panel, when open.
        QString parentWindow;
        if (QGuiApplication::platformName() == QLatin1String("xcb"))
            for (QWindow *window : QGuiApplication::topLevelWindows())
                if (window->isVisible() && window->title() == QLatin1String("Kavo"))
                    parentWindow = QStringLiteral("x11:") + QString::number(window->winId(), 16);
        chooser.choose(folder ? FileChooser::Kind::folder : FileChooser::Kind::files, parentWindow, std::move(done));
    };
    parts.copiedFiles = [] { return copiedFiles(QGuiApplication::clipboard()->mimeData()); };
    AppController controller(parts);
    QObject::connect(&desktop, &DesktopWatch::dragStarted, &controller, &AppController::dragStarted);
    QObject::connect(&desktop, &DesktopWatch::dragEnded, &controller, &AppController::dragEnded);

    UrlDispatcher dispatcher;
    QObject::connect(&dispatcher, &UrlDispatcher::filesDropped, &controller, &AppController::handleDrop);
    dispatcher.setSetupLinkHandler([&controller](const QUrl &link) { return controller.handleSetupLink(link); });
    QObject::connect(&dispatcher, &UrlDispatcher::dropboxRedirectReceived, &app.dropboxAuth, &DropboxAuth::deliverRedirect);
    // A `kavo FILE` hears "taken" once its files are in the queue.
    const bool listening = instance.listen([&dispatcher, &controller, &app](const QStringList &arguments) -> SingleInstance::Answer {
        if (arguments == QStringList{QString::fromLatin1(showPanelArgument)}) {
            controller.showPopover();
            return {};
        }
        if (arguments.size() == 2 && arguments.first() == QLatin1String(SingleInstance::copyArgument))
            return {app.clipboard->setText(arguments[1]), {}};
        SingleInstance::Answer answer = dispatcher.dispatch(arguments);
        // Files are in the queue now; the sender hears whether they would outlive a restart.
        const bool files = !std::ranges::all_of(arguments, UrlDispatcher::isLink);
        const QString problem = files ? app.uploads->journalProblem() : QString();
        if (!problem.isEmpty())
            answer.refusal
                = QStringLiteral("Kavo is uploading it, but couldn't save its queue (%1): the upload won't go on if Kavo quits first.")
                      .arg(problem);
        return answer;
    });
    if (!listening) {
        sayProblem(instance.problem());
        return 1;
    }

    QObject::connect(&tray, &Tray::clicked, &controller, &AppController::togglePopover);
    tray.setDark(app.theme.isDark());
    QObject::connect(&app.theme, &ThemeStore::themeChanged, &tray, [&tray, &app] { tray.setDark(app.theme.isDark()); });
    QObject::connect(&tray, &Tray::quitRequested, qApp, &QCoreApplication::quit);
    QObject::connect(&tray, &Tray::settingsRequested, &controller, &AppController::showSettings);
    QObject::connect(&tray, &Tray::uploadRequested, &controller, &AppController::chooseFilesToUpload);
    QObject::connect(&tray, &Tray::filesDropped, &controller, &AppController::handleDrop);
    QObject::connect(&tray, &Tray::dropHovering, &controller, &AppController::setDropHovering);
    app.desktopNotifier.setOffersActions(true);
    app.desktopNotifier.setFallback([&tray](const QString &title, const QString &body) {
        if (tray.isVisible())
            tray.showMessage(title, body);
    });
    QObject::connect(&controller, &AppController::iconStateChanged, &tray, [&] {
        const AppController::IconState state = controller.iconState();
        tray.setLook(state == AppController::IconState::success           ? Tray::Look::success
                         : state == AppController::IconState::highlighted ? Tray::Look::highlighted
                                                                          : Tray::Look::normal);
    });

    // Without a tray on this desktop the panel is an ordinary window that stays until closed;
    // running `kavo` again brings it back. A tray that comes (or goes) later switches the mode.
    const auto followTray = [&tray, &controller, &app] {
        const bool available = Tray::isAvailable();
        if (available == tray.isVisible())
            return;
        if (available) {
            controller.setPopoverVisible(false);
            controller.setPanelIsWindow(false);
            tray.show();
            if (app.preferences.keepPanelOpen())
                controller.showPopover();
        } else {
            tray.hide();
            controller.setPopoverVisible(false);
            controller.setPanelIsWindow(true);
            controller.showPopover();
        }
    };
    controller.setPanelIsWindow(!Tray::isAvailable());
    // XEmbed trays announce themselves through a selection, StatusNotifierItem hosts on the bus.
    // The tray manager may take a moment to answer Qt's own look-up, so look again shortly after.
    const auto followTraySoon = [&followTray, &controller] { QTimer::singleShot(500, &controller, followTray); };
    QObject::connect(&desktop, &DesktopWatch::trayManagerChanged, &controller, followTraySoon);
    // Another tray (or the same one restarted, perhaps with other colours) docks the icon anew.
    QObject::connect(&desktop, &DesktopWatch::trayManagerChanged, &tray, [&tray] { QTimer::singleShot(1000, &tray, &Tray::followPanel); });
    QDBusServiceWatcher statusNotifierWatcher(QStringLiteral("org.kde.StatusNotifierWatcher"), QDBusConnection::sessionBus(),
                                              QDBusServiceWatcher::WatchForOwnerChange);
    QObject::connect(&statusNotifierWatcher, &QDBusServiceWatcher::serviceOwnerChanged, &controller, followTraySoon);

    app.exposeToQml(&controller);
    QQmlApplicationEngine engine;
    engine.load(QUrl(QStringLiteral("qrc:/Kavo/Ui/Main.qml")));
    if (engine.rootObjects().isEmpty()) {
        std::fputs("kavo: the interface could not be loaded\n", stderr);
        return 1;
    }
    controller.launch();
    // What earlier runs left behind goes, except what their unfinished jobs still need.
    app.uploads->removeLeftovers(LocalPath::aliasRoot());
    // Unfinished uploads of an earlier run go on once the account (the service key) is read.
    QCoro::connect(app.account.loaded(), &controller, [&app] { app.uploads->resumeUnfinished(); });
    if (!controller.panelIsWindow())
        tray.show();
    // A pinned panel is where files are dropped (on Wayland the only place): it comes back at
    // start, under the icon once the tray has placed it (or where the pointer is, if it never says).
    if (controller.panelIsWindow()) {
        controller.showPopover();
    } else if (app.preferences.keepPanelOpen()) {
        auto *placed = new QTimer(&controller);
        QElapsedTimer waited;
        waited.start();
        QObject::connect(placed, &QTimer::timeout, &controller, [placed, waited, &tray, &controller] {
            if (tray.iconGeometry().isEmpty() && waited.elapsed() < 3000)
                return;
            placed->deleteLater();
            placed->stop();
            controller.showPopover();
        });
        placed->start(100);
    }
    return QCoreApplication::exec();
}

} // namespace

int runKavo(int argc, char *argv[])
{
    if (ClipboardHolder::isHolder(argc, argv))
        return ClipboardHolder::serve(argc, argv);
    // Answered before any of Qt starts, so that they work wherever the program is installed.
    const QByteArray first = argc > 1 ? QByteArray(argv[1]) : QByteArray();
    if (first == "--version") {
        std::printf("kavo %s\n", KAVO_VERSION);
        return 0;
    }
    if (first == "--help" || first == "-h") {
        std::fputs(usage, stdout);
        return 0;
    }
    chooseHeadlessPlatform();
    installTerminalSafeLog();
    QApplication app(argc, argv);
    // The name StatusNotifierItem hosts show for the icon (its title); the desktop entry is kavo.
    QCoreApplication::setApplicationName(QStringLiteral("Kavo"));
    QGuiApplication::setDesktopFileName(QStringLiteral("kavo"));
    QCoreApplication::setApplicationVersion(QStringLiteral(KAVO_VERSION));

    // From the bytes given: a file name that is not valid UTF-8 becomes a file URL that keeps them.
    QStringList args;
    for (int i = 1; i < argc; ++i)
        args.append(LocalPath::argument(QByteArray(argv[i])));
    if (args.value(0) == QLatin1String("share")) {
        if (args.contains(QLatin1String("--help"))) {
            std::fputs(shareUsage, stdout);
            return 0;
        }
        if (args.size() > 1)
            return share(args.mid(1));
        std::fputs(shareUsage, stderr);
        return 2;
    }
    if (args.value(0) == QLatin1String("links") || args.value(0) == QLatin1String("link"))
        return linkCommand(args.first(), args.mid(1));
    if (args.isEmpty())
        return runTray();
    if (!args.first().startsWith(QLatin1Char('-')))
        return forwardToInstance(args);
    std::fputs(usage, stderr);
    return 2;
}
