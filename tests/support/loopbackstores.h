#pragma once

#include "backend/backendapi.h"
#include "backend/historystore.h"
#include "backend/preferences.h"
#include "backend/presetsstore.h"
#include "fakeserver.h"

#include <QNetworkAccessManager>
#include <QTemporaryDir>

#include <chrono>

// The service client and the stores over a loopback fake service, with a private config folder.
struct LoopbackStores {
    QTemporaryDir config;
    FakeServer server{FakeServer::tlsOptions()};
    QNetworkAccessManager network;
    Http http{&network, std::chrono::milliseconds(2000), FakeServer::testCaPem()};
    BackendAPI api{&http, server.url(), [] { return QStringLiteral("key"); }, nullptr};
    Preferences preferences{DefaultsStore::standard(config.path())};
    HistoryStore history{&api};
    PresetsStore presets{&api, &preferences};
};
