#pragma once

#include "cloud/driveuploader.h"
#include "cloud/dropboxauth.h"
#include "cloud/dropboxuploader.h"
#include "cloud/googleauth.h"
#include "links/cloudcleanup.h"
#include "links/linkactions.h"
#include "platform/clipboard.h"
#include "platform/desktop.h"
#include "platform/endpoints.h"
#include "platform/http.h"
#include "platform/networkwatch.h"
#include "platform/secretstore.h"
#include "service/backendapi.h"
#include "service/historystore.h"
#include "service/presetsstore.h"
#include "settings/preferences.h"
#include "settings/themestore.h"
#include "shell/accountstore.h"
#include "shell/appcontroller.h"
#include "upload/uploadjournal.h"
#include "upload/uploadmanager.h"

#include <QNetworkAccessManager>

#include <functional>
#include <memory>

// The composition root: everything the application is made of, built once from its setup.
struct Application {
    // The tray keeps unfinished jobs across restarts and lets them wait for the network;
    // `kavo share` and `kavo link` run in memory and fail rather than wait.
    enum class Mode { tray, share };

    // What the application is built over. Left empty, each is the user's own: the standard
    // settings folders, the journal's standard file, the desktop's secret service, clipboard,
    // notification server and browser. Tests hand in private ones.
    struct Setup {
        Endpoints endpoints;
        Mode mode = Mode::tray;
        // Holds the preferences, the theme and the suite shared with kavo-share.
        QString settingsFolder;
        QString journalPath;
        std::chrono::milliseconds httpTimeout = Http::defaultTimeout;
        std::unique_ptr<SecretStore> secrets;
        Clipboard *clipboard = nullptr;
        Notifier *notifier = nullptr;
        std::function<bool(const QUrl &)> openBrowser;
    };

    Application(const Endpoints &endpoints, Mode mode);
    explicit Application(Setup setup);

    // The controller's parts that the application holds; the caller adds the desktop's (tray,
    // pointer, file chooser) and the sweeper.
    AppController::Parts controllerParts();
    // Hands the controller and the stores to the QML singletons; call before the first QML file loads.
    void exposeToQml(AppController *controller);

    const Endpoints endpoints;
    std::unique_ptr<SecretStore> secrets;
    QNetworkAccessManager network;
    Http http;
    AccountStore account;
    BackendAPI backend;
    Preferences preferences;
    ThemeStore theme;
    HistoryStore history;
    PresetsStore presets;
    GoogleAuth googleAuth;
    DriveUploader driveUploader;
    DropboxAuth dropboxAuth;
    DropboxUploader dropboxUploader;
    CloudCleanup cleanup;
    SystemClipboard systemClipboard;
    LastingClipboard lastingClipboard;
    Clipboard *clipboard = &lastingClipboard;
    DBusNotifier desktopNotifier;
    Notifier *notifier = &desktopNotifier;
    std::function<bool(const QUrl &)> openBrowser;
    NetworkWatch networkWatch;
    std::unique_ptr<UploadJournal> journal;
    std::unique_ptr<UploadManager> uploads;
    std::unique_ptr<LinkActions> links;
};
