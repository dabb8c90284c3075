#include "devhttp.h"

#include <QCryptographicHash>
#include <QJsonDocument>
#include <QRandomGenerator>
#include <QUrl>

#include <httplib.h>

namespace DevHttp {

QString str(const std::string &s)
{
    return QString::fromUtf8(s.data(), qsizetype(s.size()));
}

void json(httplib::Response &response, int status, const QJsonObject &body)
{
    response.status = status;
    response.set_content(QJsonDocument(body).toJson(QJsonDocument::Compact).toStdString(), "application/json");
}

QString random(int length)
{
    static const char alphabet[] = "abcdefghijkmnopqrstuvwxyzABCDEFGHJKLMNPQRSTUVWXYZ23456789";
    QString out;
    for (int i = 0; i < length; ++i)
        out.append(QLatin1Char(alphabet[QRandomGenerator::system()->bounded(int(sizeof(alphabet) - 1))]));
    return out;
}

QMap<QString, QString> formOf(const httplib::Request &request)
{
    QMap<QString, QString> fields;
    for (const QString &pair : str(request.body).split(QLatin1Char('&'), Qt::SkipEmptyParts)) {
        const qsizetype eq = pair.indexOf(QLatin1Char('='));
        QString name = pair.left(eq), value = eq < 0 ? QString() : pair.mid(eq + 1);
        name.replace(QLatin1Char('+'), QLatin1Char(' '));
        value.replace(QLatin1Char('+'), QLatin1Char(' '));
        fields.insert(QUrl::fromPercentEncoding(name.toUtf8()), QUrl::fromPercentEncoding(value.toUtf8()));
    }
    return fields;
}

QString passwordHash(const QString &password)
{
    return password.isEmpty() ? QString()
                              : QString::fromLatin1(QCryptographicHash::hash(password.toUtf8(), QCryptographicHash::Sha256).toHex());
}

QString s256(const QString &verifier)
{
    return QString::fromLatin1(QCryptographicHash::hash(verifier.toUtf8(), QCryptographicHash::Sha256)
                                   .toBase64(QByteArray::Base64UrlEncoding | QByteArray::OmitTrailingEquals));
}

}
