#include "application.h"

#include "platform/defaultsstore.h"
#include "platform/webauthsession.h"

Application::Application(const Endpoints &endpoints, Mode mode)
    : secrets(SecretStore::createDefault())
    , http(&network, Http::defaultTimeout, endpoints.extraCaPem)
    , account(secrets.get(), DefaultsStore::standard(), DefaultsStore::suite(), {endpoints.builtinApiKey, endpoints.builtinEmail})
    , backend(
          &http, endpoints.serviceBaseUrl, [this] { return account.apiKey(); }, secrets.get())
    , preferences(DefaultsStore::standard())
    , theme(DefaultsStore::standard())
    , history(&backend)
    , presets(&backend, &preferences)
    , googleAuth(&http, endpoints, secrets.get(), DefaultsStore::suite(), GoogleAuth::Options{})
    , driveUploader(&http, endpoints, &googleAuth)
    , dropboxAuth(&http, endpoints, secrets.get(), DropboxAuth::Options{})
    , dropboxUploader(&http, endpoints, &dropboxAuth, UploadManager::dropboxChunkSize)
    , cleanup(&http, endpoints, &googleAuth, &dropboxAuth)
{
    backend.setCleanup(&cleanup);
    backend.setKeyRead([this] { return account.loaded(); });
    // The keyring let the account be read at last: the stored provider sign-ins can be read too.
    QObject::connect(&account, &AccountStore::keyringUnlocked, &account, [this] {
        QCoro::connect(googleAuth.restored(), &googleAuth, [] {});
        QCoro::connect(dropboxAuth.restored(), &dropboxAuth, [] {});
    });
    if (mode == Mode::tray)
        secrets->setForgetfulHandler(
            [this](const QString &sentence) { notifier.notify(QStringLiteral("Kavo can't remember your sign-in"), sentence); });
    UploadManager::Services services;
    services.driveUploader = &driveUploader;
    services.googleAuth = &googleAuth;
    services.dropboxUploader = &dropboxUploader;
    services.dropboxAuth = &dropboxAuth;
    services.backend = &backend;
    services.account = &account;
    services.history = &history;
    services.presets = &presets;
    services.preferences = &preferences;
    // The tray's clipboard lives as long as the tray; a command's is handed on (to the tray
    // or a holder) so that it outlives the command.
    if (mode == Mode::tray)
        clipboard = &systemClipboard;
    services.clipboard = clipboard;
    services.notifier = &notifier;
    if (mode == Mode::tray) {
        journal = std::make_unique<UploadJournal>(UploadJournal::defaultPath());
        services.journal = journal.get();
        services.sessionSecrets = secrets.get();
        services.awaitNetwork = [this](std::chrono::milliseconds longest) { return networkWatch.wait(longest); };
        services.openBrowser = WebAuthSession::systemBrowser();
    }
    services.discardCloudFile = [this](CloudUploadResult file) -> QCoro::Task<void> {
        QCoro::Task<std::optional<QString>> cleaning = cleanup.clean(file.providerFileID, rawValue(file.provider));
        if (const std::optional<QString> problem = co_await cleaning)
            qWarning("kavo: %s", qUtf8Printable(*problem));
    };
    uploads = std::make_unique<UploadManager>(std::move(services));
}
