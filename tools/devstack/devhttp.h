#pragma once

#include <QJsonObject>
#include <QMap>
#include <QString>

#include <string>

namespace httplib {
struct Request;
struct Response;
}

// Small helpers shared by the devstack's routes.
namespace DevHttp {
QString str(const std::string &s);
void json(httplib::Response &response, int status, const QJsonObject &body);
// Random letters and digits, for tokens, codes and ids.
QString random(int length);
// The fields of an application/x-www-form-urlencoded body.
QMap<QString, QString> formOf(const httplib::Request &request);
// How a link's password is stored: its SHA-256 in hex; empty for no password.
QString passwordHash(const QString &password);
// The PKCE S256 challenge of a verifier.
QString s256(const QString &verifier);
}
