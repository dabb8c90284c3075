#pragma once

#include <QString>
#include <QStringList>

#include <functional>

class AccountStore;
class BackendAPI;
class Clipboard;
class LinkActions;
class PresetsStore;

// `kavo links` and `kavo link`: the account's links and one link's edits from a shell, through
// the same service client, stores and link actions as the popover. Both return the exit code:
// 0 done, 1 refused (the reason on standard error), 2 bad usage.
struct LinkCommandParts {
    AccountStore *account = nullptr;
    BackendAPI *backend = nullptr;
    PresetsStore *presets = nullptr;
    LinkActions *actions = nullptr;
    Clipboard *clipboard = nullptr;
    // Hands a text to the running tray's clipboard, which outlives this process; false when no
    // tray took it.
    std::function<bool(const QString &)> copyInTray;
};

// Builds the parts on first call; a command with bad usage never calls it.
using LinkCommandSetup = std::function<const LinkCommandParts &()>;

// kavo links [--limit N] [--search TEXT] [--json]
int runLinksCommand(const QStringList &arguments, const LinkCommandSetup &setup);
// kavo link TOKEN_OR_URL VERB ...
int runLinkCommand(const QStringList &arguments, const LinkCommandSetup &setup);

extern const char *const linksUsage;
extern const char *const linkUsage;

// The token of a share link ("https://host/l/TOKEN") or a bare token; empty when `text` is
// neither.
QString linkToken(const QString &text);
