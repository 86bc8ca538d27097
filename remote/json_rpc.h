#ifndef JSON_RPC_H
#define JSON_RPC_H

#include <QByteArray>
#include <QJsonObject>
#include <QJsonValue>
#include <QString>

#include <initializer_list>

// JSON-RPC 2.0 over text messages: reading requests, writing answers and
// notifications, and reading named parameters strictly (a wrong type, a number
// that is not a whole number in range, a name nobody asked for: invalid params).
namespace JsonRpc {

enum Code {
    ParseError = -32700,
    InvalidRequest = -32600,
    MethodNotFound = -32601,
    InvalidParams = -32602,
    // Application errors.
    NotAllowed = -32001, // not in this state
    Busy = -32002,       // the window waits for a user's answer
    Failed = -32003      // tried and failed; the message says why
};

struct Request {
    QJsonValue id;          // null when the request had none
    bool answered = true;   // false for a request without id: it gets no answer
    QString method;
    QJsonObject params;
};

struct Error {
    int code = 0;
    QString message;
};

// False with the error to answer (to id null) when `text` is no request.
bool parse(const QByteArray &text, Request &request, Error &error);

QByteArray result(const QJsonValue &id, const QJsonValue &value);
QByteArray error(const QJsonValue &id, const Error &error);
QByteArray notification(const QString &method, const QJsonObject &params);

// False with an invalid-params error when `params` has a name not in `names`.
bool onlyNames(const QJsonObject &params, std::initializer_list<const char *> names, Error &error);
// A whole number from low to high; false with an invalid-params error otherwise.
bool readInteger(const QJsonObject &params, const char *name, qint64 low, qint64 high, int &value, Error &error);
bool readNumber(const QJsonObject &params, const char *name, double low, double high, double &value, Error &error);
// A non-empty string of at most 4096 characters.
bool readText(const QJsonObject &params, const char *name, QString &value, Error &error);

}

#endif
