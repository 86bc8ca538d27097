#ifndef REMOTE_SERVER_H
#define REMOTE_SERVER_H

#include <QElapsedTimer>
#include <QHash>
#include <QHostAddress>
#include <QJsonObject>
#include <QList>
#include <QObject>
#include <QSet>
#include <QString>
#include <QStringList>
#include <QUrl>

class QTcpServer;
class QTcpSocket;
class QTimer;
class QWebSocket;
class QWebSocketServer;
class RemoteEvents;
class RemoteMethods;
class RemoteTarget;

// One connected client: its socket, whether it proved the token, what it hears.
class RemoteClient : public QObject
{
    Q_OBJECT

public:
    RemoteClient(QWebSocket *socket, bool authenticated, QObject *parent);

    QWebSocket *const socket;
    QHostAddress peer;
    bool authenticated = false;
    bool checking = false; // an authenticate message waits for its answer
    QSet<QString> events;
    QTimer *deadline = nullptr;
};

// The remote control's listening end: WebSocket, JSON-RPC 2.0, every byte hostile.
// The HTTP handshake is read here before the WebSocket library sees it, so a
// wrong token or a foreign Origin is refused with an HTTP status and nothing
// else. Messages, clients and each client's queue are bounded.
class RemoteServer : public QObject
{
    Q_OBJECT

public:
    struct Options {
        QHostAddress address = QHostAddress(QHostAddress::LocalHost);
        quint16 port = 5090;
        QString token;
        QStringList allowedOrigins; // beyond the listen address's own
    };

    static constexpr quint16 DefaultPort = 5090;
    static constexpr qint64 MaximumMessage = 64 * 1024;
    static constexpr int MaximumClients = 16;
    static constexpr qint64 MaximumQueued = 1024 * 1024;
    // Notifications that the next one replaces are left out for a client this far behind.
    static constexpr qint64 DropNotificationsAbove = 64 * 1024;
    static constexpr int AuthenticateWithinMs = 5000;
    static constexpr int HandshakeWithinMs = 5000;
    static constexpr int MaximumHeader = 8 * 1024;
    static constexpr int FirstPenaltyMs = 1000;
    static constexpr int LongestPenaltyMs = 30000;

    explicit RemoteServer(RemoteTarget *target, QObject *parent = nullptr);
    ~RemoteServer() override;

    bool listen(const Options &options, QString *error);
    void close();
    bool isListening() const;
    QUrl url() const;
    int clientCount() const { return int(clients.size()); }
    // Clients closed for not reading what they were sent.
    qint64 slowClientsClosed() const { return slowClosed; }

    // To every client that proved the token and hears `event`; `droppable` ones
    // are left out for a client that is behind, as the next one replaces them.
    void notify(const QString &event, const QJsonObject &params, bool droppable = false);
    bool anyoneHears(const QString &event) const;
    void send(RemoteClient *client, const QByteArray &message);

signals:
    void clientCountChanged(int count);

private:
    void acceptConnections();
    void readHandshake(QTcpSocket *socket);
    void answerHandshake(QTcpSocket *socket, const QByteArray &origin, const QByteArray &authorization);
    void refuseHandshake(QTcpSocket *socket, const char *status);
    void adoptUpgraded();
    void received(RemoteClient *client, const QString &message);
    void authenticate(RemoteClient *client, const QString &message);
    void closeClient(RemoteClient *client, int code, const QString &reason);
    void forget(RemoteClient *client);
    bool originAllowed(const QByteArray &origin) const;
    qint64 penaltyMs(const QHostAddress &peer) const;
    void penalize(const QHostAddress &peer);
    void forgive(const QHostAddress &peer);

    struct Penalty {
        int failures = 0;
        QElapsedTimer since;
    };

    RemoteTarget *target;
    RemoteMethods *methods;
    RemoteEvents *events;
    QTcpServer *listener;
    QWebSocketServer *upgrader;
    Options options;
    QList<QTcpSocket *> handshaking;
    QList<RemoteClient *> clients;
    QSet<QString> provenByHeader; // "address port" of upgrades whose header carried the token
    QHash<QString, Penalty> penalties;
    qint64 slowClosed = 0;
};

#endif
