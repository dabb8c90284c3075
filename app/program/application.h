#pragma once

#include "cloud/driveuploader.h"
#include "cloud/dropboxauth.h"
#include "cloud/dropboxuploader.h"
#include "cloud/googleauth.h"
#include "platform/clipboard.h"
#include "platform/desktop.h"
#include "platform/endpoints.h"
#include "platform/http.h"
#include "platform/networkwatch.h"
#include "platform/secretstore.h"
#include "service/backendapi.h"
#include "service/cloudcleanup.h"
#include "service/historystore.h"
#include "service/presetsstore.h"
#include "settings/preferences.h"
#include "settings/themestore.h"
#include "shell/accountstore.h"
#include "upload/uploadjournal.h"
#include "upload/uploadmanager.h"

#include <QNetworkAccessManager>

#include <memory>

// The composition root: everything the application is made of, built once from the endpoints.
struct Application {
    // The tray keeps unfinished jobs across restarts and lets them wait for the network;
    // `kavo share` runs its one drop in memory and fails rather than wait.
    enum class Mode { tray, share };

    Application(const Endpoints &endpoints, Mode mode);

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
    DBusNotifier notifier;
    NetworkWatch networkWatch;
    std::unique_ptr<UploadJournal> journal;
    std::unique_ptr<UploadManager> uploads;
};
