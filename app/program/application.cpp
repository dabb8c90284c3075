#include "application.h"

#include "platform/defaultsstore.h"
#include "platform/webauthsession.h"
#include "ui/foreigntypes.h"

namespace {

Application::Setup setupFor(const Endpoints &endpoints, Application::Mode mode)
{
    Application::Setup setup;
    setup.endpoints = endpoints;
    setup.mode = mode;
    return setup;
}

} // namespace

Application::Application(const Endpoints &endpoints, Mode mode)
    : Application(setupFor(endpoints, mode))
{
}

Application::Application(Setup setup)
    : endpoints(setup.endpoints)
    , secrets(setup.secrets ? std::move(setup.secrets) : SecretStore::createDefault())
    , http(&network, setup.httpTimeout, endpoints.extraCaPem)
    , account(secrets.get(), DefaultsStore::standard(setup.settingsFolder), DefaultsStore::suite(setup.settingsFolder),
              {endpoints.builtinApiKey, endpoints.builtinEmail})
    , backend(
          &http, endpoints.serviceBaseUrl, [this] { return account.apiKey(); }, secrets.get())
    , preferences(DefaultsStore::standard(setup.settingsFolder))
    , theme(DefaultsStore::standard(setup.settingsFolder))
    , history(&backend)
    , presets(&backend, &preferences)
    , googleAuth(&http, endpoints, secrets.get(), DefaultsStore::suite(setup.settingsFolder), GoogleAuth::Options{})
    , driveUploader(&http, endpoints, &googleAuth)
    , dropboxAuth(&http, endpoints, secrets.get(), DropboxAuth::Options{})
    , dropboxUploader(&http, endpoints, &dropboxAuth, UploadManager::dropboxChunkSize)
    , cleanup(&http, endpoints, &googleAuth, &dropboxAuth)
    , openBrowser(setup.openBrowser ? std::move(setup.openBrowser) : WebAuthSession::systemBrowser())
{
    const bool tray = setup.mode == Mode::tray;
    backend.setKeyRead([this] { return account.loaded(); });
    // The keyring let the account be read at last: the stored provider sign-ins can be read too.
    QObject::connect(&account, &AccountStore::keyringUnlocked, &account, [this] {
        QCoro::connect(googleAuth.restored(), &googleAuth, [] {});
        QCoro::connect(dropboxAuth.restored(), &dropboxAuth, [] {});
    });
    if (setup.notifier)
        notifier = setup.notifier;
    if (tray)
        secrets->setForgetfulHandler(
            [this](const QString &sentence) { notifier->notify(QStringLiteral("Kavo can't remember your sign-in"), sentence); });
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
    if (setup.clipboard)
        clipboard = setup.clipboard;
    else if (tray)
        clipboard = &systemClipboard;
    services.clipboard = clipboard;
    services.notifier = notifier;
    if (tray) {
        journal = std::make_unique<UploadJournal>(setup.journalPath.isEmpty() ? UploadJournal::defaultPath() : setup.journalPath);
        services.journal = journal.get();
        services.sessionSecrets = secrets.get();
        services.awaitNetwork = [this](std::chrono::milliseconds longest) { return networkWatch.wait(longest); };
        services.openBrowser = openBrowser;
    }
    services.discardCloudFile = [this](CloudUploadResult file) -> QCoro::Task<void> {
        QCoro::Task<std::optional<QString>> cleaning = cleanup.clean(file.providerFileID, rawValue(file.provider));
        if (const std::optional<QString> problem = co_await cleaning)
            qWarning("kavo: %s", qUtf8Printable(*problem));
    };
    uploads = std::make_unique<UploadManager>(std::move(services));
    links = std::make_unique<LinkActions>(&backend, &cleanup, &history, uploads.get(), clipboard);
}

AppController::Parts Application::controllerParts()
{
    AppController::Parts parts;
    parts.uploads = uploads.get();
    parts.account = &account;
    parts.history = &history;
    parts.presets = &presets;
    parts.google = &googleAuth;
    parts.dropbox = &dropboxAuth;
    parts.preferences = &preferences;
    parts.serviceBaseUrl = endpoints.serviceBaseUrl;
    parts.openBrowser = openBrowser;
    return parts;
}

void Application::exposeToQml(AppController *controller)
{
    ::exposeToQml({controller, &account, &history, &presets, &preferences, &theme, &googleAuth, &dropboxAuth, links.get()});
}
