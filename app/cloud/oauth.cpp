#include "oauth.h"

#include <QCryptographicHash>
#include <QPointer>
#include <QRandomGenerator>
#include <QUrl>
#include <QUrlQuery>
#include <qcoro/qcorosignal.h>

namespace {
QString base64Url(const QByteArray &bytes)
{
    return QString::fromLatin1(bytes.toBase64(QByteArray::Base64UrlEncoding | QByteArray::OmitTrailingEquals));
}
}

namespace OAuth {

QString makeVerifier()
{
    QByteArray bytes(32, Qt::Uninitialized);
    QRandomGenerator::system()->fillRange(reinterpret_cast<quint32 *>(bytes.data()), bytes.size() / 4);
    return base64Url(bytes);
}

QString challengeFor(const QString &verifier)
{
    return base64Url(QCryptographicHash::hash(verifier.toUtf8(), QCryptographicHash::Sha256));
}

QByteArray formBody(const QList<QPair<QString, QString>> &fields)
{
    QByteArrayList parts;
    for (const auto &[name, value] : fields)
        parts.append(QUrl::toPercentEncoding(name) + '=' + QUrl::toPercentEncoding(value));
    return parts.join('&');
}

QString codeFrom(const QUrl &callback)
{
    const QUrlQuery query(callback);
    for (const auto &[name, value] : query.queryItems(QUrl::FullyDecoded)) {
        if (name == QLatin1String("code") && !value.isEmpty())
            return value;
    }
    return {};
}

}

QCoro::Task<Result<void>> SharedSignIn::run(Start start)
{
    QPointer<SharedSignIn> self(this);
    if (m_running) {
        auto ending = qCoro(this, &SharedSignIn::ended);
        co_await ending;
        if (!self)
            co_return Error{QStringLiteral("auth"), 0, QStringLiteral("Sign-in was cancelled.")};
        co_return m_outcome;
    }
    m_running = true;
    QCoro::Task<Result<void>> signingIn = start();
    Result<void> outcome = co_await signingIn;
    if (!self)
        co_return outcome;
    m_outcome = outcome;
    m_running = false;
    Q_EMIT ended();
    co_return outcome;
}
