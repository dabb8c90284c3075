#pragma once

#include <QString>
#include <QUrl>

#include <optional>

// Where every outside service lives and the credentials the build carries. The composition root
// hands one value to the clients; tests build their own pointing at loopback servers.
struct Endpoints {
    QUrl serviceBaseUrl;
    QUrl googleAuthUrl;
    QUrl googleTokenUrl;
    QUrl googleApiUrl;
    QUrl googleUploadUrl;
    QUrl dropboxWebUrl;
    QUrl dropboxApiUrl;
    QUrl dropboxContentUrl;
    QString googleClientId;
    QString googleClientSecret;
    QString dropboxAppKey;
    QString builtinApiKey;
    QString builtinEmail;
    // PEM certificates trusted besides the system store (KAVO_EXTRA_CA_FILE); empty in production.
    QByteArray extraCaPem;

    // The values compiled in from the CMake cache variables.
    static Endpoints compiledIn();

    // What this run uses: the values compiled in, except that a build whose endpoints are all
    // kavo-devstack on loopback takes the devstack's root from KAVO_DEVSTACK_ROOT when it is set
    // (a loopback root, see `loopbackRoot`; anything else is refused with a warning). Tests run
    // a devstack each on a port the system chose and name it there.
    static Endpoints current();

    // `text` as a root on loopback of the same scheme as `like` ("https://127.0.0.1:PORT",
    // "https://[::1]:PORT", nothing after the port but an optional "/"), or nullopt.
    static std::optional<QUrl> loopbackRoot(const QString &text, const QUrl &like);

    // Every URL root set to `root`, credentials as compiled in: a test server stands in for all.
    static Endpoints allAt(const QUrl &root);

    // `root` with `path` appended: exactly one "/" between them whatever either side holds.
    static QUrl join(const QUrl &root, const QString &path);
};
