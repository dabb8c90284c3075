#pragma once

#include "platform/error.h"

#include <QByteArray>
#include <QJsonArray>
#include <QJsonObject>
#include <QString>

#include <optional>

namespace JsonError {
inline const QString domain = QStringLiteral("json");
enum Code : int { invalidJson = 1, wrongShape };
}

// Parses a body that must be JSON. The error names what is wrong and where.
Result<QJsonValue> parseJson(const QByteArray &body);
// Parses a body that must be one JSON object.
Result<QJsonObject> parseJsonObject(const QByteArray &body);

// Reads the fields of one JSON object by their keys, remembering the first problem: a missing
// required key or a value of the wrong type. `where` names the object in error texts
// (for example "items[3]").
class JsonReader
{
public:
    JsonReader(QJsonObject object, QString where);

    QString string(const QString &key);
    qint64 integer(const QString &key);
    bool boolean(const QString &key);
    // Absent or null give no value; any other type is an error.
    std::optional<QString> optionalString(const QString &key);
    std::optional<qint64> optionalInteger(const QString &key);
    QJsonArray array(const QString &key);

    bool ok() const { return !m_error.has_value(); }
    const std::optional<Error> &error() const { return m_error; }

private:
    QJsonValue required(const QString &key, const char *expected);
    void fail(const QString &key, const QString &problem);

    QJsonObject m_object;
    QString m_where;
    std::optional<Error> m_error;
};

// The item at `index` of an array as an object, or the error that it is not one.
Result<QJsonObject> objectAt(const QJsonArray &array, qsizetype index, const QString &where);

// Decodes every item of `array` with T::fromJson; the first bad item fails the whole list.
template<typename T>
Result<QList<T>> decodeList(const QJsonArray &array, const QString &where)
{
    QList<T> items;
    items.reserve(array.size());
    for (qsizetype i = 0; i < array.size(); ++i) {
        const QString at = where + QLatin1Char('[') + QString::number(i) + QLatin1Char(']');
        const Result<QJsonObject> object = objectAt(array, i, at);
        if (!object)
            return object.error();
        Result<T> item = T::fromJson(object.value(), at);
        if (!item)
            return item.error();
        items.append(std::move(item).value());
    }
    return items;
}
