#pragma once

#include "loopbackhttp.h"
#include "service/backendapi.h"
#include "service/historystore.h"
#include "service/presetsstore.h"
#include "settings/preferences.h"

#include <QTemporaryDir>

#include <chrono>

// The service client and the stores over a loopback fake service, with a private config folder.
struct LoopbackStores : LoopbackHttp {
    QTemporaryDir config;
    BackendAPI api{&http, server.url(), [] { return QStringLiteral("key"); }, nullptr};
    Preferences preferences{DefaultsStore::standard(config.path())};
    HistoryStore history{&api};
    PresetsStore presets{&api, &preferences};
};
