#ifndef ENGINE_SERVER_TEST_H
#define ENGINE_SERVER_TEST_H

#include "fixture.h"
#include "remote/engine_target.h"
#include "remote/remote_server.h"
#include "remote_peer.h"

#include <QJsonObject>
#include <QObject>
#include <QString>
#include <QTemporaryDir>

#include <initializer_list>
#include <memory>

// What the remote control's tests over the engines share: a token of their own,
// the engines with free record and play ports behind a server on 127.0.0.1 (as
// serve starts them), and a receiver on the play port.
class EngineServerTest : public QObject
{
    Q_OBJECT

protected:
    static QJsonObject named(std::initializer_list<QPair<QString, QJsonValue>> pairs);

    // Engines whose Preview keeps the last `preSeconds`, as serve --pre gives them, in place of
    // those before; the failure, empty when listening.
    QString serve(int preSeconds);
    std::unique_ptr<Fixture::RemotePeer> connectPeer();
    QString writeRecording(const QString &name, int from, int to);

    QTemporaryDir dir;
    QString token;
    quint16 recordPort = 0;
    quint16 playPort = 0;
    std::unique_ptr<Fixture::UdpPeer> receiver;
    std::unique_ptr<EngineTarget> target;
    std::unique_ptr<RemoteServer> server;

private slots:
    void init();
    void cleanup();
};

#endif
