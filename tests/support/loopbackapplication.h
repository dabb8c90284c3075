#pragma once

#include "fakeserver.h"
#include "memorysecretstore.h"
#include "program/application.h"
#include "testutil.h"

#include <QTemporaryDir>

#include <chrono>

// The application as the commands build it (in memory, failing rather than waiting for the
// network), over a loopback fake service on TLS for every endpoint, with a private settings
// folder, secrets in memory, and a clipboard, notifications and browser that record.
struct LoopbackApplication {
    QTemporaryDir folder;
    FakeServer server;
    RecordingClipboard clipboard;
    RecordingNotifier notifier;
    QList<QUrl> opened;
    Application app{setup()};

    Application::Setup setup()
    {
        Application::Setup setup;
        setup.endpoints = Endpoints::allAt(server.url());
        setup.endpoints.builtinApiKey = QStringLiteral("0").repeated(64);
        setup.endpoints.builtinEmail = QStringLiteral("admin@kavo.invalid");
        setup.endpoints.extraCaPem = FakeServer::testCaPem();
        setup.mode = Application::Mode::share;
        setup.settingsFolder = folder.path();
        setup.httpTimeout = std::chrono::milliseconds(2000);
        setup.secrets = std::make_unique<MemorySecretStore>();
        setup.clipboard = &clipboard;
        setup.notifier = &notifier;
        setup.openBrowser = [this](const QUrl &url) {
            opened.append(url);
            return true;
        };
        return setup;
    }
};
