#include "remote/remote_server.h"

#include "remote/json_rpc.h"
#include "remote/remote_events.h"
#include "remote/remote_methods.h"
#include "remote/remote_token.h"

#include <QPointer>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>
#include <QWebSocket>
#include <QWebSocketServer>

namespace {

constexpr int SendBuffer = 64 * 1024; // the kernel's share of a slow client's backlog stays small
constexpr int RememberedAddresses = 1024;
constexpr char HeaderRead[] = "korvelHeaderRead";

QString addressKey(const QHostAddress &address)
{
    return address.toString();
}

QString socketKey(const QHostAddress &address, quint16 port)
{
    return addressKey(address) + QLatin1Char(' ') + QString::number(port);
}

}

RemoteClient::RemoteClient(QWebSocket *socket, bool authenticated, QObject *parent)
    : QObject(parent), socket(socket), peer(socket->peerAddress()), authenticated(authenticated)
{
    socket->setParent(this);
    events = {QStringLiteral("state"), QStringLiteral("error")};
}

RemoteServer::RemoteServer(RemoteTarget *target, QObject *parent)
    : QObject(parent), target(target), listener(new QTcpServer(this)),
      upgrader(new QWebSocketServer(QStringLiteral("korvel-recorder"), QWebSocketServer::NonSecureMode, this))
{
    methods = new RemoteMethods(target, this);
    events = new RemoteEvents(target, this);
    connect(listener, &QTcpServer::newConnection, this, &RemoteServer::acceptConnections);
    connect(upgrader, &QWebSocketServer::newConnection, this, &RemoteServer::adoptUpgraded);
}

RemoteServer::~RemoteServer()
{
    close();
}

bool RemoteServer::listen(const Options &given, QString *error)
{
    close();
    options = given;
    if (options.token.isEmpty()) {
        *error = QStringLiteral("no token: the remote control never runs without one");
        return false;
    }
    if (!listener->listen(options.address, options.port)) {
        *error = QStringLiteral("cannot listen on %1:%2: %3")
                     .arg(options.address.toString())
                     .arg(options.port)
                     .arg(listener->errorString());
        return false;
    }
    options.port = listener->serverPort();
    return true;
}

void RemoteServer::close()
{
    listener->close();
    for (QTcpSocket *socket : std::as_const(handshaking))
        socket->deleteLater();
    handshaking.clear();
    const QList<RemoteClient *> open = clients;
    for (RemoteClient *client : open)
        closeClient(client, QWebSocketProtocol::CloseCodeGoingAway, QStringLiteral("the server closes"));
}

bool RemoteServer::isListening() const
{
    return listener->isListening();
}

QUrl RemoteServer::url() const
{
    QUrl url;
    url.setScheme(QStringLiteral("ws"));
    url.setHost(options.address.toString());
    url.setPort(options.port);
    return url;
}

// ---------------------------------------------------------------- the handshake

void RemoteServer::acceptConnections()
{
    while (QTcpSocket *socket = listener->nextPendingConnection()) {
        if (handshaking.size() + clients.size() >= MaximumClients) {
            refuseHandshake(socket, "503 Service Unavailable");
            continue;
        }
        socket->setSocketOption(QAbstractSocket::SendBufferSizeSocketOption, SendBuffer);
        // Answers go out at once, not held back behind a notification still unacknowledged.
        socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
        handshaking.append(socket);
        connect(socket, &QTcpSocket::readyRead, this, [this, socket] { readHandshake(socket); });
        connect(socket, &QTcpSocket::disconnected, this, [this, socket] {
            if (handshaking.removeOne(socket))
                socket->deleteLater();
        });
        // Only the header has to come in time; an answer held back by a penalty may take longer.
        QTimer::singleShot(HandshakeWithinMs, socket, [this, socket] {
            if (!socket->property(HeaderRead).toBool() && handshaking.removeOne(socket))
                socket->abort(), socket->deleteLater();
        });
    }
}

// Reads the header without taking it from the socket: the WebSocket library reads it again.
void RemoteServer::readHandshake(QTcpSocket *socket)
{
    const QByteArray head = socket->peek(MaximumHeader + 1);
    const qsizetype end = head.indexOf("\r\n\r\n");
    if (end < 0) {
        if (head.size() > MaximumHeader)
            refuseHandshake(socket, "431 Request Header Fields Too Large");
        return;
    }
    disconnect(socket, &QTcpSocket::readyRead, this, nullptr);
    socket->setProperty(HeaderRead, true);
    QByteArray origin, authorization;
    int origins = 0;
    for (const QByteArray &line : head.left(end).split('\n')) {
        const qsizetype colon = line.indexOf(':');
        const QByteArray name = line.left(colon).trimmed().toLower();
        const QByteArray value = line.mid(colon + 1).trimmed();
        if (colon > 0 && name == "origin")
            origin = value, ++origins;
        else if (colon > 0 && name == "authorization")
            authorization = value;
    }
    if (origins > 1) {
        refuseHandshake(socket, "403 Forbidden");
        return;
    }
    // Every answer to an address that failed waits its penalty.
    const qint64 wait = penaltyMs(socket->peerAddress());
    QPointer<QTcpSocket> guard(socket);
    QTimer::singleShot(wait, this, [this, guard, origin, authorization] {
        if (guard && handshaking.contains(guard.data()))
            answerHandshake(guard, origin, authorization);
    });
}

void RemoteServer::answerHandshake(QTcpSocket *socket, const QByteArray &origin, const QByteArray &authorization)
{
    handshaking.removeOne(socket);
    disconnect(socket, nullptr, this, nullptr);
    if (!origin.isEmpty() && !originAllowed(origin)) {
        refuseHandshake(socket, "403 Forbidden");
        return;
    }
    const bool provided = !authorization.isEmpty();
    if (provided) {
        const QByteArray bearer = "Bearer ";
        const bool right = authorization.startsWith(bearer)
                           && RemoteToken::matches(options.token, QString::fromLatin1(authorization.mid(bearer.size())));
        if (!right) {
            penalize(socket->peerAddress());
            refuseHandshake(socket, "401 Unauthorized");
            return;
        }
        forgive(socket->peerAddress());
        // Until the upgrade is adopted, or fails and the socket goes: a later connection
        // from the same address and port must prove the token itself.
        const QString key = socketKey(socket->peerAddress(), socket->peerPort());
        provenByHeader.insert(key);
        connect(socket, &QObject::destroyed, this, [this, key] { provenByHeader.remove(key); });
        connect(socket, &QTcpSocket::disconnected, this, [this, key] { provenByHeader.remove(key); });
    }
    upgrader->handleConnection(socket);
}

void RemoteServer::refuseHandshake(QTcpSocket *socket, const char *status)
{
    handshaking.removeOne(socket);
    disconnect(socket, nullptr, this, nullptr);
    socket->write(QByteArray("HTTP/1.1 ") + status + "\r\nContent-Length: 0\r\nConnection: close\r\n\r\n");
    socket->disconnectFromHost();
    connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
    // A peer that never reads must not keep the socket.
    QTimer::singleShot(1000, socket, [socket] { socket->abort(), socket->deleteLater(); });
}

bool RemoteServer::originAllowed(const QByteArray &origin) const
{
    const QString given = QString::fromLatin1(origin).toLower();
    QStringList own = {QStringLiteral("http://%1:%2").arg(url().authority().section(QLatin1Char(':'), 0, -2))
                           .arg(options.port)};
    // Nothing else can listen on this port: a page "from" it does not exist.
    if (options.address.isLoopback())
        own << QStringLiteral("http://localhost:%1").arg(options.port);
    for (const QString &allowed : own + options.allowedOrigins) {
        if (given == allowed.toLower())
            return true;
    }
    return false;
}

qint64 RemoteServer::penaltyMs(const QHostAddress &peer) const
{
    const auto it = penalties.constFind(addressKey(peer));
    if (it == penalties.constEnd() || it->failures == 0)
        return 0;
    const qint64 penalty = qMin<qint64>(qint64(FirstPenaltyMs) << qMin(it->failures - 1, 16), LongestPenaltyMs);
    return qMax<qint64>(0, penalty - it->since.elapsed());
}

void RemoteServer::penalize(const QHostAddress &peer)
{
    if (penalties.size() >= RememberedAddresses) {
        // The oldest failures have long served their penalty.
        for (auto it = penalties.begin(); it != penalties.end();)
            it = it->since.elapsed() > LongestPenaltyMs ? penalties.erase(it) : std::next(it);
    }
    if (penalties.size() >= RememberedAddresses)
        return;
    Penalty &penalty = penalties[addressKey(peer)];
    ++penalty.failures;
    penalty.since.start();
}

void RemoteServer::forgive(const QHostAddress &peer)
{
    penalties.remove(addressKey(peer));
}

// ---------------------------------------------------------------- clients

void RemoteServer::adoptUpgraded()
{
    while (QWebSocket *socket = upgrader->nextPendingConnection()) {
        const bool proven = provenByHeader.remove(socketKey(socket->peerAddress(), socket->peerPort()));
        socket->setMaxAllowedIncomingFrameSize(MaximumMessage);
        socket->setMaxAllowedIncomingMessageSize(MaximumMessage);
        auto *client = new RemoteClient(socket, proven, this);
        clients.append(client);
        connect(socket, &QWebSocket::textMessageReceived, client,
                [this, client](const QString &message) { received(client, message); });
        connect(socket, &QWebSocket::binaryMessageReceived, client, [this, client] {
            closeClient(client, QWebSocketProtocol::CloseCodeDatatypeNotSupported, QStringLiteral("text messages only"));
        });
        connect(socket, &QWebSocket::disconnected, client, [this, client] { forget(client); });
        if (!proven) {
            client->deadline = new QTimer(client);
            client->deadline->setSingleShot(true);
            connect(client->deadline, &QTimer::timeout, client, [this, client] {
                closeClient(client, QWebSocketProtocol::CloseCodePolicyViolated,
                            QStringLiteral("authenticate within 5 s"));
            });
            client->deadline->start(AuthenticateWithinMs);
        }
        emit clientCountChanged(clientCount());
    }
}

void RemoteServer::received(RemoteClient *client, const QString &message)
{
    if (!client->authenticated) {
        authenticate(client, message);
        return;
    }
    JsonRpc::Request request;
    JsonRpc::Error error;
    if (!JsonRpc::parse(message.toUtf8(), request, error)) {
        send(client, JsonRpc::error(request.id, error));
        return;
    }
    methods->handle(client, request);
}

void RemoteServer::authenticate(RemoteClient *client, const QString &message)
{
    JsonRpc::Request request;
    JsonRpc::Error error;
    QString token;
    if (client->checking || !JsonRpc::parse(message.toUtf8(), request, error)
        || request.method != QLatin1String("authenticate") || !JsonRpc::readText(request.params, "token", token, error)) {
        closeClient(client, QWebSocketProtocol::CloseCodePolicyViolated, QStringLiteral("authenticate first"));
        return;
    }
    client->checking = true;
    client->deadline->stop();
    QPointer<RemoteClient> guard(client);
    QTimer::singleShot(penaltyMs(client->peer), this, [this, guard, request, token] {
        if (!guard)
            return;
        if (!RemoteToken::matches(options.token, token)) {
            penalize(guard->peer);
            closeClient(guard, QWebSocketProtocol::CloseCodePolicyViolated, QStringLiteral("wrong token"));
            return;
        }
        forgive(guard->peer);
        guard->checking = false;
        guard->authenticated = true;
        if (request.answered)
            send(guard, JsonRpc::result(request.id, true));
    });
}

void RemoteServer::send(RemoteClient *client, const QByteArray &message)
{
    QWebSocket *socket = client->socket;
    if (socket->state() != QAbstractSocket::ConnectedState)
        return;
    socket->sendTextMessage(QString::fromUtf8(message));
    if (socket->bytesToWrite() > MaximumQueued) {
        ++slowClosed;
        closeClient(client, QWebSocketProtocol::CloseCodePolicyViolated, QStringLiteral("not reading"));
    }
}

void RemoteServer::notify(const QString &event, const QJsonObject &params, bool droppable)
{
    QByteArray message;
    const QList<RemoteClient *> listening = clients;
    for (RemoteClient *client : listening) {
        if (!client->authenticated || !client->events.contains(event))
            continue;
        if (droppable && client->socket->bytesToWrite() > DropNotificationsAbove)
            continue;
        if (message.isEmpty())
            message = JsonRpc::notification(event, params);
        send(client, message);
    }
}

bool RemoteServer::anyoneHears(const QString &event) const
{
    for (const RemoteClient *client : clients) {
        if (client->authenticated && client->events.contains(event))
            return true;
    }
    return false;
}

void RemoteServer::closeClient(RemoteClient *client, int code, const QString &reason)
{
    if (!clients.removeOne(client))
        return;
    emit clientCountChanged(clientCount());
    client->socket->close(QWebSocketProtocol::CloseCode(code), reason);
    // A client that does not read would never see the close: it goes at once.
    // Others get a moment for the closing handshake.
    if (client->socket->bytesToWrite() > DropNotificationsAbove)
        client->socket->abort();
    connect(client->socket, &QWebSocket::disconnected, client, &QObject::deleteLater);
    QTimer::singleShot(2000, client, &QObject::deleteLater);
}

void RemoteServer::forget(RemoteClient *client)
{
    if (!clients.removeOne(client))
        return;
    client->deleteLater();
    emit clientCountChanged(clientCount());
}
