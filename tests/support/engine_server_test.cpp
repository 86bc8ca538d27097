#include "engine_server_test.h"

#include "recorded_frames.h"
#include "remote/remote_token.h"

#include <QtTest>

using namespace Fixture;

QJsonObject EngineServerTest::named(std::initializer_list<QPair<QString, QJsonValue>> pairs)
{
    QJsonObject object;
    for (const auto &pair : pairs)
        object.insert(pair.first, pair.second);
    return object;
}

void EngineServerTest::init()
{
    QString error;
    QVERIFY2(RemoteToken::load(dir.filePath(QStringLiteral("token")), token, error), qPrintable(error));
    recordPort = freePort();
    playPort = freePort();
    receiver = std::make_unique<UdpPeer>(playPort);
    error = serve(0);
    QVERIFY2(error.isEmpty(), qPrintable(error));
}

QString EngineServerTest::serve(int preSeconds)
{
    server.reset();
    target.reset();
    EngineTarget::Options options;
    options.recordPort = recordPort;
    options.preSeconds = preSeconds;
    options.destinations = {{QStringLiteral("127.0.0.1"), netIpv4(0x7F000001), playPort}};
    options.play.pace = Player::FixedRate;
    options.play.frequency = 200;
    target = std::make_unique<EngineTarget>(options);
    server = std::make_unique<RemoteServer>(target.get());
    RemoteServer::Options listen;
    listen.port = 0;
    listen.token = token;
    listen.allowedOrigins = {QStringLiteral("http://rig.example:8080")};
    QString error;
    server->listen(listen, &error);
    return error;
}

void EngineServerTest::cleanup()
{
    server.reset();
    target.reset();
    receiver.reset();
}

std::unique_ptr<RemotePeer> EngineServerTest::connectPeer()
{
    auto peer = std::make_unique<RemotePeer>();
    if (!peer->open(server->url(), token))
        return nullptr;
    return peer;
}

QString EngineServerTest::writeRecording(const QString &name, int from, int to)
{
    const QString path = dir.filePath(name);
    return writeFile(path, Frames::recording(from, to)) ? path : QString();
}
