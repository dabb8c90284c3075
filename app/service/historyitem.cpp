#include "historyitem.h"

#include "jsonreader.h"

Result<HistoryItem> HistoryItem::fromJson(const QJsonObject &object, const QString &where)
{
    JsonReader json(object, where);
    HistoryItem item;
    item.token = json.string(QStringLiteral("token"));
    item.driveFileID = json.optionalString(QStringLiteral("drive_file_id")).value_or(QString());
    item.filename = json.string(QStringLiteral("filename"));
    item.filesize = json.integer(QStringLiteral("filesize"));
    item.mimetype = json.string(QStringLiteral("mimetype"));
    item.customMessage = json.string(QStringLiteral("custom_message"));
    item.isProtected = json.boolean(QStringLiteral("protected"));
    item.expiresAt = json.optionalString(QStringLiteral("expires_at"));
    item.createdAt = json.optionalString(QStringLiteral("created_at"));
    item.downloadCount = json.integer(QStringLiteral("download_count"));
    item.presetID = json.optionalInteger(QStringLiteral("preset_id"));
    item.status = json.string(QStringLiteral("status"));
    item.provider = json.optionalString(QStringLiteral("provider")).value_or(QStringLiteral("google"));
    item.viewURL = json.string(QStringLiteral("view_url"));
    item.downloadURL = json.string(QStringLiteral("download_url"));
    if (!json.ok())
        return *json.error();
    return item;
}
