#pragma once

#include "cloud/driveuploader.h"
#include "cloud/googleauth.h"
#include "loopbackhttp.h"
#include "memorysecretstore.h"
#include "platform/http.h"
#include "platform/milestone.h"
#include "platform/secretstore.h"
#include "testutil.h"

#include <QTemporaryDir>

// A keychain in memory whose reads can be held, as a locked keychain's are while its unlock
// prompt waits for the user.
class HeldSecretStore : public MemorySecretStore
{
public:
    void hold() { m_gate = std::make_unique<Milestone>(); }
    void release()
    {
        if (m_gate)
            m_gate->reach();
    }
    QCoro::Task<SecretRead> read(QString account) override
    {
        const QString key = account;
        if (m_gate && !m_gate->isReached())
            co_await m_gate->reached();
        co_return co_await MemorySecretStore::read(key);
    }

private:
    std::unique_ptr<Milestone> m_gate;
};

// An access-token source that has the same token until the provider refuses it; then, with
// `renews`, the next one ("tok-2", "tok-3", ...).
class FixedToken : public AccessTokenSource
{
public:
    explicit FixedToken(QString token = QStringLiteral("tok"))
        : m_token(std::move(token))
    {
    }
    QCoro::Task<Result<QString>> validAccessToken() override { co_return QString(m_token); }
    void refuseAccessToken(const QString &token) override
    {
        refused.append(token);
        if (renews && token == m_token)
            m_token = QStringLiteral("tok-") + QString::number(refused.size() + 1);
    }
    bool renews = false;
    QStringList refused;

private:
    QString m_token;
};

// Drive's endpoints on one fake server over TLS, and a DriveUploader pointed at it: the "Kavo"
// folder exists, the session starts, the PUT is answered 201 with the id "file-9", and that
// file's permission is granted. Tests replace the routes they are about.
struct DriveStandIn : LoopbackHttp {
    FixedToken token;
    DriveUploader uploader{&http, Endpoints::allAt(server.url()), &token};
    QTemporaryDir files;

    DriveStandIn()
    {
        using Response = FakeServer::Response;
        server.route("GET", QStringLiteral("/drive/v3/files"),
                     Response::json(200, "{\"files\":[{\"id\":\"folder-1\",\"name\":\"Kavo\"}]}"));
        server.route("POST", QStringLiteral("/upload/drive/v3/files"),
                     Response{200, {{"Location", server.url().toString().toUtf8() + "/session?upload_id=SECRET"}}, "{}"});
        server.route("PUT", QStringLiteral("/session"), Response::json(201, "{\"id\":\"file-9\",\"name\":\"x\"}"));
        server.route("POST", QStringLiteral("/drive/v3/files/file-9/permissions"), Response::json(200, "{\"id\":\"anyoneWithLink\"}"));
    }
    // A file of that content in the stand-in's folder.
    QString file(const QByteArray &content, const QString &name = QString::fromUtf8("Résumé 2026.pdf"))
    {
        const QString path = files.path() + QLatin1Char('/') + name;
        writeFile(path, content);
        return path;
    }
};
