#include "remote/json_rpc.h"

#include <QJsonDocument>
#include <QJsonParseError>

#include <cmath>

namespace JsonRpc {

namespace {

constexpr int MaximumText = 4096; // a path, a token

Error invalidParams(const QString &message)
{
    return {InvalidParams, message};
}

QJsonObject envelope(const QJsonValue &id)
{
    return {{QStringLiteral("jsonrpc"), QStringLiteral("2.0")}, {QStringLiteral("id"), id}};
}

QByteArray compact(const QJsonObject &object)
{
    return QJsonDocument(object).toJson(QJsonDocument::Compact);
}

}

bool parse(const QByteArray &text, Request &request, Error &error)
{
    QJsonParseError parseError;
    const QJsonDocument document = QJsonDocument::fromJson(text, &parseError);
    if (parseError.error != QJsonParseError::NoError) {
        error = {ParseError, QStringLiteral("parse error: %1").arg(parseError.errorString())};
        return false;
    }
    if (!document.isObject()) {
        error = {InvalidRequest, QStringLiteral("invalid request: one JSON object expected (no batches)")};
        return false;
    }
    const QJsonObject object = document.object();
    const QJsonValue id = object.value(QLatin1String("id"));
    if (object.value(QLatin1String("jsonrpc")) != QLatin1String("2.0") || !object.value(QLatin1String("method")).isString()
        || !(id.isUndefined() || id.isNull() || id.isString() || id.isDouble())) {
        error = {InvalidRequest, QStringLiteral("invalid request: \"jsonrpc\": \"2.0\", a string \"method\" and "
                                                "an \"id\" that is a string or a number expected")};
        return false;
    }
    const QJsonValue params = object.value(QLatin1String("params"));
    if (!params.isUndefined() && !params.isObject()) {
        error = {InvalidParams, QStringLiteral("invalid params: parameters go by name, in an object")};
        request.id = id.isUndefined() ? QJsonValue() : id;
        return false;
    }
    request.id = id.isUndefined() ? QJsonValue() : id;
    request.answered = !id.isUndefined();
    request.method = object.value(QLatin1String("method")).toString();
    request.params = params.toObject();
    return true;
}

QByteArray result(const QJsonValue &id, const QJsonValue &value)
{
    QJsonObject object = envelope(id);
    object.insert(QStringLiteral("result"), value);
    return compact(object);
}

QByteArray error(const QJsonValue &id, const Error &error)
{
    QJsonObject object = envelope(id);
    object.insert(QStringLiteral("error"),
                  QJsonObject{{QStringLiteral("code"), error.code}, {QStringLiteral("message"), error.message}});
    return compact(object);
}

QByteArray notification(const QString &method, const QJsonObject &params)
{
    return compact({{QStringLiteral("jsonrpc"), QStringLiteral("2.0")},
                    {QStringLiteral("method"), method},
                    {QStringLiteral("params"), params}});
}

bool onlyNames(const QJsonObject &params, std::initializer_list<const char *> names, Error &error)
{
    for (auto it = params.begin(); it != params.end(); ++it) {
        bool known = false;
        for (const char *name : names)
            known = known || it.key() == QLatin1String(name);
        if (!known) {
            error = invalidParams(QStringLiteral("invalid params: unknown parameter \"%1\"").arg(it.key().left(64)));
            return false;
        }
    }
    return true;
}

bool readInteger(const QJsonObject &params, const char *name, qint64 low, qint64 high, int &value, Error &error)
{
    const QJsonValue given = params.value(QLatin1String(name));
    const double number = given.toDouble(std::nan(""));
    // Compared as doubles first: a huge number must not overflow a conversion.
    if (!given.isDouble() || !std::isfinite(number) || number != std::floor(number) || number < double(low)
        || number > double(high)) {
        error = invalidParams(QStringLiteral("invalid params: \"%1\" must be a whole number from %2 to %3")
                                  .arg(QLatin1String(name))
                                  .arg(low)
                                  .arg(high));
        return false;
    }
    value = int(number);
    return true;
}

bool readNumber(const QJsonObject &params, const char *name, double low, double high, double &value, Error &error)
{
    const QJsonValue given = params.value(QLatin1String(name));
    const double number = given.toDouble(std::nan(""));
    if (!given.isDouble() || !std::isfinite(number) || number < low || number > high) {
        error = invalidParams(QStringLiteral("invalid params: \"%1\" must be a number from %2 to %3")
                                  .arg(QLatin1String(name))
                                  .arg(low)
                                  .arg(high));
        return false;
    }
    value = number;
    return true;
}

bool readText(const QJsonObject &params, const char *name, QString &value, Error &error)
{
    const QJsonValue given = params.value(QLatin1String(name));
    if (!given.isString() || given.toString().isEmpty() || given.toString().size() > MaximumText) {
        error = invalidParams(QStringLiteral("invalid params: \"%1\" must be a text of 1 to %2 characters")
                                  .arg(QLatin1String(name))
                                  .arg(MaximumText));
        return false;
    }
    value = given.toString();
    return true;
}

}
