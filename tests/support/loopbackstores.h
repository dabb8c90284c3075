#pragma once

#include "fakeserver.h"
#include "service/backendapi.h"
#include "service/historystore.h"
#include "service/presetsstore.h"
#include "settings/preferences.h"

#include <QNetworkAccessManager>
#include <QTemporaryDir>

#include <chrono>

// The service client and the stores over a loopback fake service, with a private config folder.
struct LoopbackStores {
    QTemporaryDir config;
    FakeServer server;
    QNetworkAccessManager network;
    Http http{&network, std::chrono::milliseconds(2000), FakeServer::testCaPem()};
    BackendAPI api{&http, server.url(), [] { return QStringLiteral("key"); }, nullptr};
    Preferences preferences{DefaultsStore::standard(config.path())};
    HistoryStore history{&api};
    PresetsStore presets{&api, &preferences};
};
