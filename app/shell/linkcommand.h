#pragma once

#include "service/historyitem.h"

#include <QString>
#include <QStringList>
#include <QUrl>

#include <functional>
#include <optional>

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
    Clipboard *clipboard = nullptr; // one that outlives the command
};

// Builds the parts on first call; a command with bad usage never calls it.
using LinkCommandSetup = std::function<const LinkCommandParts &()>;

// kavo links [--limit N] [--search TEXT] [--json]
int runLinksCommand(const QStringList &arguments, const LinkCommandSetup &setup);
// kavo link TOKEN_OR_URL VERB ...
int runLinkCommand(const QStringList &arguments, const LinkCommandSetup &setup);

extern const char *const linksUsage;
extern const char *const linkUsage;

// How the user names a link: one of the URLs the service gave for it (whatever its shape), or
// its token. The service has no look-up by URL, so a link is found among the listed ones: by its
// view or download URL first, then by its token (a URL's last path segment).
class LinkReference
{
public:
    // No value when `text` is neither an http(s) URL nor a token.
    static std::optional<LinkReference> parse(const QString &text);
    // The listed link this names, or none.
    std::optional<HistoryItem> findIn(const QList<HistoryItem> &links) const;
    // What the user typed, for messages.
    QString text() const { return m_text; }

private:
    QString m_text;
    QUrl m_url; // empty for a bare token
    QString m_token;
};
