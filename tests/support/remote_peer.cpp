#include "remote_peer.h"

#include <QEventLoop>
#include <QJsonDocument>
#include <QNetworkRequest>
#include <QTcpSocket>
#include <QTest>
#include <QTimer>

namespace Fixture {

RemotePeer::RemotePeer()
{
    connect(&socket, &QWebSocket::textMessageReceived, this,
            [this](const QString &text) { messages.append(QJsonDocument::fromJson(text.toUtf8()).object()); });
}

bool RemotePeer::waitUntil(const std::function<bool()> &done, int timeoutMs)
{
    // `done` may consume what it found: it is asked until it says yes, never once more.
    bool reached = done();
    if (reached)
        return true;
    QEventLoop loop;
    QTimer timeout;
    timeout.setSingleShot(true);
    connect(&timeout, &QTimer::timeout, &loop, &QEventLoop::quit);
    const auto check = [&] {
        if (!reached && (reached = done()))
            loop.quit();
    };
    // Queued: the message is stored by the connection made first.
    connect(&socket, &QWebSocket::textMessageReceived, &loop, check, Qt::QueuedConnection);
    connect(&socket, &QWebSocket::connected, &loop, check, Qt::QueuedConnection);
    connect(&socket, &QWebSocket::disconnected, &loop, check, Qt::QueuedConnection);
    timeout.start(timeoutMs);
    loop.exec();
    return reached;
}

bool RemotePeer::open(const QUrl &url, const QString &token, const QByteArray &origin)
{
    QNetworkRequest request(url);
    if (!token.isEmpty())
        request.setRawHeader("Authorization", "Bearer " + token.toLatin1());
    if (!origin.isEmpty())
        request.setRawHeader("Origin", origin);
    socket.open(request);
    return waitUntil([this] { return socket.state() == QAbstractSocket::ConnectedState; }, 10000);
}

QJsonObject RemotePeer::answerTo(const QString &text, int timeoutMs)
{
    const qsizetype before = messages.size();
    socket.sendTextMessage(text);
    QJsonObject answer;
    waitUntil(
        [&] {
            for (qsizetype i = before; i < messages.size(); ++i) {
                if (messages[i].contains(QLatin1String("id"))) {
                    answer = messages[i];
                    return true;
                }
            }
            return false;
        },
        timeoutMs);
    return answer;
}

QJsonObject RemotePeer::call(const QString &method, const QJsonObject &params, int timeoutMs)
{
    const int id = nextId++;
    const qsizetype before = messages.size();
    socket.sendTextMessage(QString::fromUtf8(QJsonDocument(QJsonObject{{QStringLiteral("jsonrpc"), QStringLiteral("2.0")},
                                                                       {QStringLiteral("id"), id},
                                                                       {QStringLiteral("method"), method},
                                                                       {QStringLiteral("params"), params}})
                                                 .toJson(QJsonDocument::Compact)));
    QJsonObject answer;
    waitUntil(
        [&] {
            for (qsizetype i = before; i < messages.size(); ++i) {
                if (messages[i].value(QLatin1String("id")) == id) {
                    answer = messages[i];
                    return true;
                }
            }
            return false;
        },
        timeoutMs);
    return answer;
}

QJsonValue RemotePeer::result(const QString &method, const QJsonObject &params, int timeoutMs)
{
    return call(method, params, timeoutMs).value(QLatin1String("result"));
}

int RemotePeer::errorCode(const QString &method, const QJsonObject &params)
{
    return call(method, params).value(QLatin1String("error")).toObject().value(QLatin1String("code")).toInt();
}

QList<QJsonObject> RemotePeer::heard(const QString &event) const
{
    QList<QJsonObject> list;
    for (const QJsonObject &message : messages) {
        if (message.value(QLatin1String("method")) == event && !message.contains(QLatin1String("id")))
            list << message.value(QLatin1String("params")).toObject();
    }
    return list;
}

bool RemotePeer::waitFor(const QString &event, const std::function<bool(const QJsonObject &)> &test, int timeoutMs)
{
    return waitUntil(
        [&] {
            for (; checked < messages.size(); ++checked) {
                const QJsonObject &message = messages[checked];
                if (message.value(QLatin1String("method")) == event && !message.contains(QLatin1String("id"))
                    && (!test || test(message.value(QLatin1String("params")).toObject()))) {
                    ++checked;
                    return true;
                }
            }
            return false;
        },
        timeoutMs);
}

bool RemotePeer::waitForClose(int timeoutMs)
{
    return waitUntil([this] { return socket.state() == QAbstractSocket::UnconnectedState; }, timeoutMs);
}

QByteArray handshakeStatus(quint16 port, const QList<QByteArray> &headers, int timeoutMs)
{
    QTcpSocket tcp;
    tcp.connectToHost(QHostAddress::LocalHost, port);
    if (!tcp.waitForConnected(5000))
        return {};
    QByteArray request = "GET / HTTP/1.1\r\nHost: 127.0.0.1:" + QByteArray::number(port)
                         + "\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
                           "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version: 13\r\n";
    for (const QByteArray &header : headers)
        request += header + "\r\n";
    tcp.write(request + "\r\n");
    QTest::qWaitFor([&] { return tcp.canReadLine() || tcp.state() != QAbstractSocket::ConnectedState; }, timeoutMs);
    return tcp.readLine().trimmed();
}

}
