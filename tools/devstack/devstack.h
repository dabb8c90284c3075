#pragma once

#include "database.h"

#include <QByteArray>
#include <QDateTime>
#include <QJsonArray>
#include <QJsonObject>
#include <QList>
#include <QMap>
#include <QPair>

#include <atomic>
#include <map>
#include <memory>
#include <mutex>

namespace httplib {
class Server;
struct Request;
struct Response;
}

// Stand-ins for the outside services Kavo talks to, on 127.0.0.1 with real state on disk.
// The Kavo web service (accounts by API key, links, presets, the mail outbox, the download
// pages), Google (OAuth with PKCE, Drive) and Dropbox (OAuth with PKCE, upload sessions,
// shared links).
class DevStack
{
public:
    struct Options {
        QString stateDir;
        bool testHooks = false; // the /__test/ endpoints the tests use
        bool tls = false; // serve HTTPS with the certificates below
        QString certificatesDir; // ca.pem/server.pem and keys (certificates.h); the state folder when empty
        QString builtinApiKey;
        QString builtinEmail;
        // The OAuth clients registered with the stand-ins, as with Google and Dropbox: a sign-in
        // or token request of another client is refused.
        QString googleClientId;
        QString googleClientSecret;
        QString dropboxAppKey;
    };

    explicit DevStack(Options options);
    ~DevStack();

    // Binds 127.0.0.1:port (0 picks a free one); the bound port, or -1.
    int bind(int port);
    // Serves until stop().
    bool run();
    void stop();
    QString error() const { return m_error; }

private:
    void seed();
    void routeService();
    void routeTestHooks();
    void routeGoogle();
    void routeDropbox();
    // Whether the request carries a live Dropbox access token; answers 401 when not.
    bool dropboxUser(const httplib::Request &request, httplib::Response &response);
    QString dropboxFilePath(const QString &path) const;
    // The link pages, downloads, sign-in and sign-up pages and the dashboard.
    void routePages();
    // The link's row, or an empty map.
    QVariantMap linkRow(const QString &token) const;
    bool isExpired(const QVariantMap &link) const;
    // The page of a link that may be shown: name, size and the download, in its preset's colours.
    QString linkPage(const QVariantMap &link, const QString &notice = {}) const;
    // The account signed in to the web pages by the request's session cookie, or empty.
    QString sessionAccount(const httplib::Request &request) const;
    // The refresh token behind the request's Drive access token, or empty after answering 401.
    QString googleUser(const httplib::Request &request, httplib::Response &response);
    QString driveFilePath(const QString &id) const;
    QDateTime now() const;
    QString baseUrl() const;
    // The account of the request's X-Api-Key, or an empty string after answering 401.
    QString account(const httplib::Request &request, httplib::Response &response);
    QJsonObject linkJson(const QVariantMap &row) const;
    // Calls on one upload session run one at a time, as Drive and Dropbox take them: an append
    // whose client died after sending it all, still being stored, and the next client's append at
    // the same offset would otherwise both pass the offset check. Held for as long as it lives.
    std::unique_lock<std::mutex> lockSession(const QString &id);

    Options m_options;
    std::unique_ptr<Database> m_db;
    std::unique_ptr<httplib::Server> m_server;
    int m_port = -1;
    std::atomic<qint64> m_clockOffset{0};
    // Upload body bytes received by the Drive and Dropbox content endpoints, for the tests.
    std::atomic<qint64> m_uploadBytes{0};
    std::atomic<bool> m_stopping{false};
    // How long an upload session may be used (Drive's and Dropbox's: a week).
    static constexpr qint64 driveSessionLifetime = qint64(7) * 24 * 3600;
    static constexpr qint64 dropboxSessionLifetime = qint64(7) * 24 * 3600;
    QString m_error;

    // Test hooks: failures injected by path, and the log of requests served.
    // Which requests a test hook takes: the next `remaining` of a path, of one method or any.
    struct HookTarget {
        std::string method; // any method when empty
        int remaining = 1;
    };
    struct InjectedFailure : HookTarget {
        QList<QPair<std::string, std::string>> headers;
        int status = 500;
        std::string body;
        std::string contentType;
        qint64 afterBytes = -1; // answer once this much of the body is in (a route that reads it as it comes)
    };
    struct Stall : HookTarget {
        int milliseconds = 0;
        bool close = false; // then the connection is closed with no answer at all
    };
    // The hook of `hooks` that takes this request, used up by one; none when no hook takes it.
    template<class Hook>
    static std::optional<Hook> take(QMap<std::string, Hook> &hooks, const httplib::Request &request);
    std::mutex m_hooksMutex;
    QMap<std::string, InjectedFailure> m_failures;
    QMap<std::string, InjectedFailure> m_partialFailures; // taken, to be applied by the route part-way
    // The failure to answer part-way through this request's body, if one was asked for.
    std::optional<InjectedFailure> takePartialFailure(const httplib::Request &request);
    QMap<std::string, Stall> m_stalls;
    QJsonArray m_requestLog;
    std::mutex m_sessionLocksMutex;
    std::map<QString, std::shared_ptr<std::mutex>> m_sessionLocks; // by session, kept for the devstack's life
};
