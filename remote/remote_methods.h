#ifndef REMOTE_METHODS_H
#define REMOTE_METHODS_H

#include "remote/json_rpc.h"
#include "remote/remote_target.h"

#include <QList>
#include <QObject>
#include <QPointer>

class RemoteClient;
class RemoteServer;

// The methods of the protocol: parameters checked, the command given to the
// front end's target, its outcome answered. Opens and copying saves are
// answered when they end.
class RemoteMethods : public QObject
{
    Q_OBJECT

public:
    RemoteMethods(RemoteTarget *target, RemoteServer *server);

    void handle(RemoteClient *client, const JsonRpc::Request &request);

    // The notifications a client may subscribe to.
    static const QStringList &eventNames();

private:
    struct Waiting {
        QPointer<RemoteClient> client;
        JsonRpc::Request request;
        QString path;
    };

    using Method = void (RemoteMethods::*)(RemoteClient *, const JsonRpc::Request &);
    static Method methodNamed(const QString &name, bool &command);

    void status(RemoteClient *client, const JsonRpc::Request &request);
    void health(RemoteClient *client, const JsonRpc::Request &request);
    void info(RemoteClient *client, const JsonRpc::Request &request);
    void subscribe(RemoteClient *client, const JsonRpc::Request &request);
    void unsubscribe(RemoteClient *client, const JsonRpc::Request &request);
    void record(RemoteClient *client, const JsonRpc::Request &request);
    void preview(RemoteClient *client, const JsonRpc::Request &request);
    void stop(RemoteClient *client, const JsonRpc::Request &request);
    void save(RemoteClient *client, const JsonRpc::Request &request);
    void discard(RemoteClient *client, const JsonRpc::Request &request);
    void open(RemoteClient *client, const JsonRpc::Request &request);
    void play(RemoteClient *client, const JsonRpc::Request &request);
    void pause(RemoteClient *client, const JsonRpc::Request &request);
    void seek(RemoteClient *client, const JsonRpc::Request &request);
    void step(RemoteClient *client, const JsonRpc::Request &request);
    void setSpeed(RemoteClient *client, const JsonRpc::Request &request);
    void setRange(RemoteClient *client, const JsonRpc::Request &request);
    void clearRange(RemoteClient *client, const JsonRpc::Request &request);
    void addMarker(RemoteClient *client, const JsonRpc::Request &request);

    bool readEvents(const JsonRpc::Request &request, QStringList &events, JsonRpc::Error &error);
    bool readPath(const JsonRpc::Request &request, QString &path, JsonRpc::Error &error);
    void simple(RemoteClient *client, const JsonRpc::Request &request, RemoteTarget::Outcome (RemoteTarget::*command)());
    void answer(RemoteClient *client, const JsonRpc::Request &request, const RemoteTarget::Outcome &outcome,
                const QJsonValue &result = true);
    void reply(RemoteClient *client, const JsonRpc::Request &request, const QByteArray &message);
    void refuse(RemoteClient *client, const JsonRpc::Request &request, const JsonRpc::Error &error);
    void openFinished(const QString &path, const QString &failure);
    void saveFinished(const QString &path, const QString &failure);

    RemoteTarget *target;
    RemoteServer *server;
    QList<Waiting> opens;
    QList<Waiting> saves;
};

#endif
