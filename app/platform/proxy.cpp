#include "proxy.h"

#include <QHostAddress>
#include <QNetworkProxy>
#include <algorithm>

namespace ProxyEnvironment {

QString systemVariable(const char *name)
{
    return qEnvironmentVariable(name);
}

namespace {
// The first of `names` that is set and not empty.
std::pair<QString, QString> firstSet(std::initializer_list<const char *> names, const Lookup &lookup)
{
    for (const char *name : names) {
        const QString value = lookup(name).trimmed();
        if (!value.isEmpty())
            return {QString::fromLatin1(name), value};
    }
    return {};
}

bool matchesEntry(const QString &host, QString entry)
{
    entry = entry.trimmed().toLower();
    if (entry.isEmpty())
        return false;
    if (entry == QLatin1String("*"))
        return true;
    const QHostAddress address(host);
    if (!address.isNull()) {
        if (entry.contains(QLatin1Char('/'))) {
            const auto subnet = QHostAddress::parseSubnet(entry);
            return !subnet.first.isNull() && address.isInSubnet(subnet);
        }
        QString bare = entry;
        if (bare.startsWith(QLatin1Char('[')) && bare.endsWith(QLatin1Char(']')))
            bare = bare.mid(1, bare.size() - 2);
        const QHostAddress listed(bare);
        return !listed.isNull() && listed.isEqual(address);
    }
    if (entry.startsWith(QLatin1Char('.')))
        entry.remove(0, 1);
    // A port after a name is ignored, as curl does.
    const qsizetype colon = entry.indexOf(QLatin1Char(':'));
    if (colon >= 0)
        entry.truncate(colon);
    const QString name = host.toLower();
    return name == entry || name.endsWith(QLatin1Char('.') + entry);
}
}

bool bypasses(const QString &host, const QString &list)
{
    QString bare = host;
    if (bare.startsWith(QLatin1Char('[')) && bare.endsWith(QLatin1Char(']')))
        bare = bare.mid(1, bare.size() - 2);
    const QStringList entries = list.split(QLatin1Char(','), Qt::SkipEmptyParts);
    return std::ranges::any_of(entries, [&bare](const QString &entry) { return matchesEntry(bare, entry); });
}

Result<ProxyChoice> choose(const QUrl &target, const Lookup &lookup)
{
    const QString scheme = target.scheme().toLower();
    const auto [name, value] = scheme == QLatin1String("https") ? firstSet({"https_proxy", "HTTPS_PROXY", "all_proxy", "ALL_PROXY"}, lookup)
        : scheme == QLatin1String("http")                       ? firstSet({"http_proxy", "all_proxy", "ALL_PROXY"}, lookup)
                                                                : std::pair<QString, QString>{};
    if (value.isEmpty())
        return ProxyChoice{};
    const QString noProxy = firstSet({"no_proxy", "NO_PROXY"}, lookup).second;
    if (bypasses(target.host(), noProxy))
        return ProxyChoice{};

    QUrl proxy(value.contains(QLatin1String("://")) ? value : QStringLiteral("http://") + value);
    const QString proxyScheme = proxy.scheme().toLower();
    ProxyChoice choice;
    if (proxyScheme == QLatin1String("http"))
        choice.kind = ProxyChoice::Kind::http;
    else if (proxyScheme == QLatin1String("socks5"))
        choice.kind = ProxyChoice::Kind::socks5;
    else if (proxyScheme == QLatin1String("socks5h"))
        choice.kind = ProxyChoice::Kind::socks5h;
    if (choice.kind == ProxyChoice::Kind::direct || !proxy.isValid() || proxy.host().isEmpty()) {
        return Error{ErrorDomain::transport, TransportCode::unknown,
                     QStringLiteral("Kavo can't use the proxy in ") + name + QStringLiteral(" (") + proxy.scheme()
                         + QStringLiteral("://…): only http://, socks5:// and socks5h:// proxies are supported.")};
    }
    if (proxy.port() < 0) // curl's default for every kind of proxy
        proxy.setPort(1080);
    proxy.setPath({});
    choice.proxy = proxy;
    return choice;
}

} // namespace ProxyEnvironment

QList<QNetworkProxy> EnvironmentProxyFactory::queryProxy(const QNetworkProxyQuery &query)
{
    const Result<ProxyChoice> choice = ProxyEnvironment::choose(query.url());
    if (!choice) // refused before sending (Http::send); never fall back to going direct
        return {QNetworkProxy(QNetworkProxy::HttpProxy, QStringLiteral("unsupported-proxy.invalid"), 1)};
    if (choice->isDirect())
        return {QNetworkProxy(QNetworkProxy::NoProxy)};
    const QUrl &url = choice->proxy;
    QNetworkProxy proxy(choice->kind == ProxyChoice::Kind::http ? QNetworkProxy::HttpProxy : QNetworkProxy::Socks5Proxy, url.host(),
                        quint16(url.port()), url.userName(QUrl::FullyDecoded), url.password(QUrl::FullyDecoded));
    if (choice->kind == ProxyChoice::Kind::socks5) // names are resolved here, not by the proxy
        proxy.setCapabilities(proxy.capabilities() & ~QNetworkProxy::HostNameLookupCapability);
    else if (choice->kind == ProxyChoice::Kind::socks5h)
        proxy.setCapabilities(proxy.capabilities() | QNetworkProxy::HostNameLookupCapability);
    return {proxy};
}
