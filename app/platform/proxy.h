#pragma once

#include "error.h"

#include <QNetworkProxyFactory>
#include <QUrl>

#include <functional>
#include <optional>

// The proxy for one request, read from the usual environment the way curl reads it:
// `https_proxy`/`HTTPS_PROXY` for https, `http_proxy` (lower case only) for http, then
// `all_proxy`/`ALL_PROXY`; `no_proxy`/`NO_PROXY` lists the hosts that go direct ("*" for all; a
// name matches itself and its subdomains, a leading dot is ignored; an address matches exactly;
// an address/prefix matches its network). A proxy without a scheme is http://. Both HTTP engines
// (QNetworkAccessManager and libcurl) ask this, so a request takes the same road whichever sends it.
struct ProxyChoice {
    enum class Kind { direct, http, socks5, socks5h };
    Kind kind = Kind::direct;
    QUrl proxy; // scheme, host, port and any credentials; empty when direct

    bool isDirect() const { return kind == Kind::direct; }
};

namespace ProxyEnvironment {
using Lookup = std::function<QString(const char *name)>;

// The process environment.
QString systemVariable(const char *name);

// The proxy for `target`, or an error naming the variable when it holds a proxy neither engine
// can use (only http://, socks5:// and socks5h:// proxies are supported): such a request is
// refused rather than sent around the proxy.
Result<ProxyChoice> choose(const QUrl &target, const Lookup &lookup = systemVariable);

// Whether `host` is listed in the no_proxy value `list`.
bool bypasses(const QString &host, const QString &list);
}

// Hands QNetworkAccessManager the environment's proxy for each request.
class EnvironmentProxyFactory : public QNetworkProxyFactory
{
public:
    QList<QNetworkProxy> queryProxy(const QNetworkProxyQuery &query) override;
};
