#pragma once

#include "platform/error.h"

#include <QJsonArray>
#include <QJsonObject>
#include <QString>

#include <optional>

// One share link as the service lists it; `token` identifies it.
struct HistoryItem {
    QString token;
    QString driveFileID;
    QString filename;
    qint64 filesize = 0;
    QString mimetype;
    QString customMessage;
    bool isProtected = false;
    std::optional<QString> expiresAt;
    std::optional<QString> createdAt;
    qint64 downloadCount = 0;
    std::optional<qint64> presetID;
    QString status;
    QString provider;
    QString viewURL;
    QString downloadURL;

    bool operator==(const HistoryItem &) const = default;

    // Decodes one item; `where` names it in error texts.
    static Result<HistoryItem> fromJson(const QJsonObject &object, const QString &where);
};
