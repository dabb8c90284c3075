#pragma once

#include "fakeserver.h"
#include "platform/http.h"

#include <QNetworkAccessManager>

#include <chrono>

// A fake HTTPS service on loopback and a client that trusts its certificate, as every suite that
// talks to a fake service starts. The client waits long enough for a few MiB over TLS under a
// sanitizer; a case about timeouts makes a client of its own.
struct LoopbackHttp {
    FakeServer server;
    QNetworkAccessManager network;
    Http http{&network, std::chrono::milliseconds(10000), FakeServer::testCaPem()};
};
