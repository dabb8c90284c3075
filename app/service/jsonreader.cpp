#include "jsonreader.h"

#include "platform/jsoninteger.h"

#include <QJsonDocument>
#include <QJsonParseError>

#include <cmath>

namespace {
Error shapeError(const QString &text)
{
    return Error{JsonError::domain, JsonError::wrongShape, QStringLiteral("The service's answer couldn't be read: ") + text};
}

QString typeName(const QJsonValue &value)
{
    switch (value.type()) {
    case QJsonValue::Null:
        return QStringLiteral("null");
    case QJsonValue::Bool:
        return QStringLiteral("a boolean");
    case QJsonValue::Double:
        return QStringLiteral("a number");
    case QJsonValue::String:
        return QStringLiteral("a string");
    case QJsonValue::Array:
        return QStringLiteral("an array");
    case QJsonValue::Object:
        return QStringLiteral("an object");
    case QJsonValue::Undefined:
        break;
    }
    return QStringLiteral("missing");
}

}

Result<QJsonValue> parseJson(const QByteArray &body)
{
    QJsonParseError parseError;
    const QJsonDocument document = QJsonDocument::fromJson(body, &parseError);
    if (parseError.error != QJsonParseError::NoError) {
        // A document holds only an object or an array; a lone number, string, true, false or
        // null is valid JSON all the same and reads as that value.
        QJsonParseError wrappedError;
        const QJsonDocument wrapped = QJsonDocument::fromJson("[" + body + "]", &wrappedError);
        if (wrappedError.error == QJsonParseError::NoError && wrapped.array().size() == 1)
            return wrapped.array().first();
        return Error{JsonError::domain, JsonError::invalidJson,
                     QStringLiteral("The service's answer isn't valid JSON (") + parseError.errorString() + QStringLiteral(" at byte ")
                         + QString::number(parseError.offset) + QStringLiteral(").")};
    }
    if (document.isObject())
        return QJsonValue(document.object());
    if (document.isArray())
        return QJsonValue(document.array());
    return QJsonValue(QJsonValue::Null);
}

Result<QJsonObject> parseJsonObject(const QByteArray &body)
{
    const Result<QJsonValue> json = parseJson(body);
    if (!json)
        return json.error();
    if (!json->isObject())
        return shapeError(QStringLiteral("the answer is ") + typeName(json.value()) + QStringLiteral(", expected an object."));
    return json->toObject();
}

JsonReader::JsonReader(QJsonObject object, QString where)
    : m_object(std::move(object))
    , m_where(std::move(where))
{
}

void JsonReader::fail(const QString &key, const QString &problem)
{
    if (m_error)
        return;
    const QString path = m_where.isEmpty() ? key : m_where + QLatin1Char('.') + key;
    m_error = shapeError(path + QLatin1Char(' ') + problem + QLatin1Char('.'));
}

QJsonValue JsonReader::required(const QString &key, const char *expected)
{
    const QJsonValue value = m_object.value(key);
    if (value.isUndefined())
        fail(key, QStringLiteral("is missing"));
    else if (value.isNull())
        fail(key, QStringLiteral("is null, expected ") + QLatin1String(expected));
    return value;
}

QString JsonReader::string(const QString &key)
{
    const QJsonValue value = required(key, "a string");
    if (!value.isString() && !value.isUndefined() && !value.isNull())
        fail(key, QStringLiteral("is ") + typeName(value) + QStringLiteral(", expected a string"));
    return value.toString();
}

qint64 JsonReader::integer(const QString &key)
{
    const QJsonValue value = required(key, "an integer");
    const std::optional<qint64> whole = jsonInteger(value);
    if (!whole && !value.isUndefined() && !value.isNull())
        fail(key, QStringLiteral("is ") + typeName(value) + QStringLiteral(", expected an integer"));
    return whole.value_or(0);
}

bool JsonReader::boolean(const QString &key)
{
    const QJsonValue value = required(key, "true or false");
    if (!value.isBool() && !value.isUndefined() && !value.isNull())
        fail(key, QStringLiteral("is ") + typeName(value) + QStringLiteral(", expected true or false"));
    return value.toBool();
}

std::optional<QString> JsonReader::optionalString(const QString &key)
{
    const QJsonValue value = m_object.value(key);
    if (value.isUndefined() || value.isNull())
        return std::nullopt;
    if (!value.isString()) {
        fail(key, QStringLiteral("is ") + typeName(value) + QStringLiteral(", expected a string"));
        return std::nullopt;
    }
    return value.toString();
}

std::optional<qint64> JsonReader::optionalInteger(const QString &key)
{
    const QJsonValue value = m_object.value(key);
    if (value.isUndefined() || value.isNull())
        return std::nullopt;
    const std::optional<qint64> whole = jsonInteger(value);
    if (!whole)
        fail(key, QStringLiteral("is ") + typeName(value) + QStringLiteral(", expected an integer"));
    return whole;
}

QJsonArray JsonReader::array(const QString &key)
{
    const QJsonValue value = required(key, "an array");
    if (!value.isArray() && !value.isUndefined() && !value.isNull())
        fail(key, QStringLiteral("is ") + typeName(value) + QStringLiteral(", expected an array"));
    return value.toArray();
}

Result<QJsonObject> objectAt(const QJsonArray &array, qsizetype index, const QString &where)
{
    const QJsonValue value = array.at(index);
    if (!value.isObject())
        return shapeError(where + QStringLiteral(" is ") + typeName(value) + QStringLiteral(", expected an object."));
    return value.toObject();
}
