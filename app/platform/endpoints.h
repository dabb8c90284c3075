#pragma once

#include <QString>
#include <QUrl>

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

    // Every URL root set to `root`, credentials as compiled in: a test server stands in for all.
    static Endpoints allAt(const QUrl &root);

    // `root` with `path` appended: exactly one "/" between them whatever either side holds.
    static QUrl join(const QUrl &root, const QString &path);
};
