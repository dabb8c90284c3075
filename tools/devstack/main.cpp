// kavo-devstack: the outside services Kavo talks to, on loopback, with state on disk.
//
//   kavo-devstack --state DIR [--port N] [--tls [--certificates DIR]] [--test-hooks]
//
// Binds 127.0.0.1 only. Port 0 picks a free one; the first line on standard output is always
// "kavo-devstack listening on http(s)://127.0.0.1:PORT". With --tls it serves HTTPS with a
// certificate signed by its own CA, made on first start in the certificates folder (the state
// folder unless named) and kept there.

#include "devstack.h"

#include <QCoreApplication>
#include <QStringList>

#include <csignal>
#include <cstdio>

namespace {
DevStack *running = nullptr;
void onSignal(int)
{
    if (running)
        running->stop();
}
}

namespace {
const char *const usage = "usage: kavo-devstack --state DIR [--port N] [--tls [--certificates DIR]] [--test-hooks]\n";
}

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    DevStack::Options options;
    int port = 8765;
    for (int i = 1; i < args.size(); ++i) {
        if (args[i] == QLatin1String("--state") && i + 1 < args.size())
            options.stateDir = args[++i];
        else if (args[i] == QLatin1String("--port") && i + 1 < args.size())
            port = args[++i].toInt();
        else if (args[i] == QLatin1String("--test-hooks"))
            options.testHooks = true;
        else if (args[i] == QLatin1String("--tls"))
            options.tls = true;
        else if (args[i] == QLatin1String("--certificates") && i + 1 < args.size())
            options.certificatesDir = args[++i];
        else {
            std::fputs(usage, stderr);
            return 2;
        }
    }
    if (options.stateDir.isEmpty()) {
        std::fputs(usage, stderr);
        return 2;
    }
    options.builtinApiKey = QStringLiteral(KAVO_BUILTIN_API_KEY);
    options.builtinEmail = QStringLiteral(KAVO_BUILTIN_EMAIL);
    options.googleClientId = QStringLiteral(KAVO_GOOGLE_CLIENT_ID);
    options.googleClientSecret = QStringLiteral(KAVO_GOOGLE_CLIENT_SECRET);
    options.dropboxAppKey = QStringLiteral(KAVO_DROPBOX_APP_KEY);

    DevStack stack(options);
    const int bound = stack.error().isEmpty() ? stack.bind(port) : -1;
    if (bound < 0) {
        std::fprintf(stderr, "kavo-devstack: %s\n", qPrintable(stack.error()));
        return 1;
    }
    std::printf("kavo-devstack listening on %s://127.0.0.1:%d\n", options.tls ? "https" : "http", bound);
    std::fflush(stdout);
    running = &stack;
    std::signal(SIGINT, onSignal);
    std::signal(SIGTERM, onSignal);
    return stack.run() ? 0 : 1;
}
