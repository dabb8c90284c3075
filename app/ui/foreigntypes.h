#pragma once

#include "cloud/dropboxauth.h"
#include "cloud/googleauth.h"
#include "links/linkactions.h"
#include "service/historystore.h"
#include "service/presetsstore.h"
#include "settings/preferences.h"
#include "settings/themestore.h"
#include "shell/accountstore.h"
#include "shell/appcontroller.h"
#include "upload/uploadlistmodel.h"
#include "upload/uploadmanager.h"

#include <QJSEngine>
#include <QQmlEngine>
#include <QtQml/qqmlregistration.h>

// QML reaches the objects the composition root built as singletons; `set` hands them over
// before the first QML file loads.
template<typename T>
struct ForeignSingleton {
    inline static T *instance = nullptr;
    static void set(T *object) { instance = object; }
    static T *create(QQmlEngine *, QJSEngine *)
    {
        QJSEngine::setObjectOwnership(instance, QJSEngine::CppOwnership);
        return instance;
    }
};

// UploadJob's states for QML, as UploadJob.Queued ... UploadJob.Failed (the upload rows' `state`).
namespace ForeignUploadJob {
Q_NAMESPACE
QML_FOREIGN_NAMESPACE(UploadJob)
QML_NAMED_ELEMENT(UploadJob)
}

struct ForeignApp : ForeignSingleton<AppController> {
    Q_GADGET
    QML_FOREIGN(AppController)
    QML_NAMED_ELEMENT(App)
    QML_SINGLETON
};

struct ForeignAccount : ForeignSingleton<AccountStore> {
    Q_GADGET
    QML_FOREIGN(AccountStore)
    QML_NAMED_ELEMENT(Account)
    QML_SINGLETON
};

struct ForeignHistory : ForeignSingleton<HistoryStore> {
    Q_GADGET
    QML_FOREIGN(HistoryStore)
    QML_NAMED_ELEMENT(History)
    QML_SINGLETON
};

struct ForeignPresets : ForeignSingleton<PresetsStore> {
    Q_GADGET
    QML_FOREIGN(PresetsStore)
    QML_NAMED_ELEMENT(Presets)
    QML_SINGLETON
};

struct ForeignPreferences : ForeignSingleton<Preferences> {
    Q_GADGET
    QML_FOREIGN(Preferences)
    QML_NAMED_ELEMENT(Preferences)
    QML_SINGLETON
};

struct ForeignTheme : ForeignSingleton<ThemeStore> {
    Q_GADGET
    QML_FOREIGN(ThemeStore)
    QML_NAMED_ELEMENT(Theme)
    QML_SINGLETON
};

struct ForeignGoogle : ForeignSingleton<GoogleAuth> {
    Q_GADGET
    QML_FOREIGN(GoogleAuth)
    QML_NAMED_ELEMENT(Google)
    QML_SINGLETON
};

struct ForeignDropbox : ForeignSingleton<DropboxAuth> {
    Q_GADGET
    QML_FOREIGN(DropboxAuth)
    QML_NAMED_ELEMENT(Dropbox)
    QML_SINGLETON
};

struct ForeignLinks : ForeignSingleton<LinkActions> {
    Q_GADGET
    QML_FOREIGN(LinkActions)
    QML_NAMED_ELEMENT(Links)
    QML_SINGLETON
};

struct ForeignUploadManager {
    Q_GADGET
    QML_FOREIGN(UploadManager)
    QML_ANONYMOUS
};

struct ForeignUploadListModel {
    Q_GADGET
    QML_FOREIGN(UploadListModel)
    QML_ANONYMOUS
};

struct ForeignHistoryListModel {
    Q_GADGET
    QML_FOREIGN(HistoryListModel)
    QML_ANONYMOUS
};

// Everything QML reaches, as the composition root built it.
struct QmlObjects {
    AppController *app = nullptr;
    AccountStore *account = nullptr;
    HistoryStore *history = nullptr;
    PresetsStore *presets = nullptr;
    Preferences *preferences = nullptr;
    ThemeStore *theme = nullptr;
    GoogleAuth *google = nullptr;
    DropboxAuth *dropbox = nullptr;
    LinkActions *links = nullptr;
};

// Hands them to the QML singletons; call before the first QML file loads.
inline void exposeToQml(const QmlObjects &objects)
{
    ForeignApp::set(objects.app);
    ForeignAccount::set(objects.account);
    ForeignHistory::set(objects.history);
    ForeignPresets::set(objects.presets);
    ForeignPreferences::set(objects.preferences);
    ForeignTheme::set(objects.theme);
    ForeignGoogle::set(objects.google);
    ForeignDropbox::set(objects.dropbox);
    ForeignLinks::set(objects.links);
}
