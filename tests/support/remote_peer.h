#ifndef REMOTE_PEER_H
#define REMOTE_PEER_H

#include <QByteArray>
#include <QJsonObject>
#include <QList>
#include <QObject>
#include <QString>
#include <QUrl>
#include <QWebSocket>

#include <functional>

// A real WebSocket client of the remote control, for the tests and benchmarks.
namespace Fixture {

class RemotePeer : public QObject
{
public:
    RemotePeer();

    // Opens `url`, with the token in the handshake unless it is empty; true once open.
    bool open(const QUrl &url, const QString &token, const QByteArray &origin = {});
    // Sends a request and waits for its answer: the whole message, or an empty object on timeout.
    QJsonObject call(const QString &method, const QJsonObject &params = {}, int timeoutMs = 10000);
    // The "result" of call(), or an empty value when there was an error.
    QJsonValue result(const QString &method, const QJsonObject &params = {}, int timeoutMs = 10000);
    // The error code of call(); 0 when it succeeded.
    int errorCode(const QString &method, const QJsonObject &params = {});
    // Answer to a text sent as it is, for malformed input; empty on timeout.
    QJsonObject answerTo(const QString &text, int timeoutMs = 5000);

    // Notifications of `event` so far, their params.
    QList<QJsonObject> heard(const QString &event) const;
    // Waits for a notification of `event` (after those heard) whose params pass `test`.
    bool waitFor(const QString &event, const std::function<bool(const QJsonObject &)> &test = {}, int timeoutMs = 10000);
    bool waitForClose(int timeoutMs = 10000);

    QWebSocket socket;

private:
    // Runs this thread's events until `done` or the timeout; woken by each message, not by polling.
    bool waitUntil(const std::function<bool()> &done, int timeoutMs);

    QList<QJsonObject> messages;
    qsizetype checked = 0;
    int nextId = 1;
};

// The status line a raw upgrade request to 127.0.0.1:`port` gets, with `headers`
// ("Name: value") added, e.g. "HTTP/1.1 401 Unauthorized"; empty when none came.
QByteArray handshakeStatus(quint16 port, const QList<QByteArray> &headers, int timeoutMs = 40000);

}

#endif
