// The remote control over the real engines, headless: real WebSocket clients on
// 127.0.0.1, real UDP in and out, real files.

#include "play/recording_index.h"
#include "remote/engine_target.h"
#include "remote/json_rpc.h"
#include "remote/remote_server.h"
#include "remote/remote_token.h"
#include "support/fixture.h"
#include "support/recorded_frames.h"
#include "support/remote_peer.h"
#include "support/traffic_tools.h"

#include <QElapsedTimer>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>
#include <sys/stat.h>

using namespace Fixture;

namespace {

QJsonObject named(std::initializer_list<QPair<QString, QJsonValue>> pairs)
{
    QJsonObject object;
    for (const auto &pair : pairs)
        object.insert(pair.first, pair.second);
    return object;
}

}

class RemoteServerTest : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void tokenFile();
    void handshakeRefusals_data();
    void handshakeRefusals();
    void firstMessageAuthentication_data();
    void firstMessageAuthentication();
    void failuresDelayTheNextAnswer();
    void malformedRequests_data();
    void malformedRequests();
    void oversizeMessageCloses();
    void clientsAreBounded();
    void slowClientIsClosed();
    void recordStopSaveAndOpen();
    void previewAndDiscard();
    void recordFromPreview_data();
    void recordFromPreview();
    void preSecondsNeedAKeepingPreview_data();
    void preSecondsNeedAKeepingPreview();
    void playbackCommands();
    void notAllowedFollowsTheEnabling();
    void pathsAreChecked();

private:
    // Engines whose Preview keeps the last `preSeconds`, as serve --pre gives them, in place of
    // those before; the failure, empty when listening.
    QString serve(int preSeconds);
    std::unique_ptr<RemotePeer> connectPeer();
    QString writeRecording(const QString &name, int from, int to);

    QTemporaryDir dir;
    QString token;
    quint16 recordPort = 0;
    quint16 playPort = 0;
    std::unique_ptr<UdpPeer> receiver;
    std::unique_ptr<EngineTarget> target;
    std::unique_ptr<RemoteServer> server;
};

void RemoteServerTest::init()
{
    QString error;
    QVERIFY2(RemoteToken::load(dir.filePath(QStringLiteral("token")), token, error), qPrintable(error));
    recordPort = freePort();
    playPort = freePort();
    receiver = std::make_unique<UdpPeer>(playPort);
    error = serve(0);
    QVERIFY2(error.isEmpty(), qPrintable(error));
}

QString RemoteServerTest::serve(int preSeconds)
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

void RemoteServerTest::cleanup()
{
    server.reset();
    target.reset();
    receiver.reset();
}

std::unique_ptr<RemotePeer> RemoteServerTest::connectPeer()
{
    auto peer = std::make_unique<RemotePeer>();
    if (!peer->open(server->url(), token))
        return nullptr;
    return peer;
}

QString RemoteServerTest::writeRecording(const QString &name, int from, int to)
{
    const QString path = dir.filePath(name);
    return writeFile(path, Frames::recording(from, to)) ? path : QString();
}

void RemoteServerTest::tokenFile()
{
    const QString path = dir.filePath(QStringLiteral("token"));
    struct stat facts {};
    QCOMPARE(::stat(QFile::encodeName(path).constData(), &facts), 0);
    QCOMPARE(facts.st_mode & 0777, 0600u);
    QCOMPARE(token.size(), 64);
    // Read again, the same token; a second file gets another.
    QString again, other, error;
    QVERIFY(RemoteToken::load(path, again, error));
    QCOMPARE(again, token);
    QVERIFY(RemoteToken::load(dir.filePath(QStringLiteral("other")), other, error));
    QVERIFY(other != token);
    // A file someone else could read is narrowed; one with anything but the token is refused.
    QFile::setPermissions(path, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ReadOther);
    QVERIFY(RemoteToken::load(path, again, error));
    QCOMPARE(::stat(QFile::encodeName(path).constData(), &facts), 0);
    QCOMPARE(facts.st_mode & 0777, 0600u);
    QVERIFY(writeFile(dir.filePath(QStringLiteral("bad")), "not a token\n"));
    QVERIFY(!RemoteToken::load(dir.filePath(QStringLiteral("bad")), again, error));
    QVERIFY(error.contains(QLatin1String("64 lower-case hex digits")));
}

void RemoteServerTest::handshakeRefusals_data()
{
    QTest::addColumn<QByteArrayList>("headers");
    QTest::addColumn<QByteArray>("status");
    const QByteArray right = "Authorization: Bearer ";
    QTest::newRow("right token") << QByteArrayList{"RIGHT"} << QByteArray("HTTP/1.1 101 Switching Protocols");
    QTest::newRow("wrong token") << QByteArrayList{right + QByteArray(64, 'a')} << QByteArray("HTTP/1.1 401 Unauthorized");
    QTest::newRow("not bearer") << QByteArrayList{"Authorization: Basic eDp5"} << QByteArray("HTTP/1.1 401 Unauthorized");
    QTest::newRow("foreign origin") << QByteArrayList{"RIGHT", "Origin: http://evil.example"}
                                    << QByteArray("HTTP/1.1 403 Forbidden");
    QTest::newRow("own origin") << QByteArrayList{"RIGHT", "Origin: http://127.0.0.1:PORT"}
                                << QByteArray("HTTP/1.1 101 Switching Protocols");
    QTest::newRow("allowed origin") << QByteArrayList{"RIGHT", "Origin: http://rig.example:8080"}
                                    << QByteArray("HTTP/1.1 101 Switching Protocols");
    QTest::newRow("two origins") << QByteArrayList{"RIGHT", "Origin: http://127.0.0.1:PORT", "Origin: http://evil.example"}
                                 << QByteArray("HTTP/1.1 403 Forbidden");
    QTest::newRow("header too long") << QByteArrayList{"X-Filler: " + QByteArray(10000, 'x')}
                                     << QByteArray("HTTP/1.1 431 Request Header Fields Too Large");
}

void RemoteServerTest::handshakeRefusals()
{
    QFETCH(QByteArrayList, headers);
    QFETCH(QByteArray, status);
    const quint16 port = quint16(server->url().port());
    for (QByteArray &header : headers) {
        header.replace("PORT", QByteArray::number(port));
        if (header == "RIGHT")
            header = "Authorization: Bearer " + token.toLatin1();
    }
    QCOMPARE(handshakeStatus(port, headers), status);
}

void RemoteServerTest::firstMessageAuthentication_data()
{
    QTest::addColumn<QString>("first");
    QTest::addColumn<bool>("accepted");
    QTest::newRow("right token") << QStringLiteral("RIGHT") << true;
    QTest::newRow("wrong token") << QString(QStringLiteral("{\"jsonrpc\":\"2.0\",\"id\":1,\"method\":\"authenticate\","
                                                           "\"params\":{\"token\":\"%1\"}}"))
                                        .arg(QString(64, QLatin1Char('0')))
                                 << false;
    QTest::newRow("another method first") << QStringLiteral("{\"jsonrpc\":\"2.0\",\"id\":1,\"method\":\"status\"}") << false;
    QTest::newRow("garbage first") << QStringLiteral("\x01\x02 not json") << false;
    QTest::newRow("nothing within 5 s") << QString() << false;
}

void RemoteServerTest::firstMessageAuthentication()
{
    QFETCH(QString, first);
    QFETCH(bool, accepted);
    RemotePeer peer;
    QVERIFY(peer.open(server->url(), QString()));
    if (first == QLatin1String("RIGHT")) {
        QCOMPARE(peer.result(QStringLiteral("authenticate"), named({{QStringLiteral("token"), token}})), QJsonValue(true));
        QCOMPARE(peer.result(QStringLiteral("status")).toObject().value(QLatin1String("mode")), QJsonValue("idle"));
        return;
    }
    if (!first.isEmpty())
        peer.socket.sendTextMessage(first);
    QVERIFY(peer.waitForClose(RemoteServer::AuthenticateWithinMs + 5000));
    QCOMPARE(int(peer.socket.closeCode()), 1008);
    QVERIFY(!accepted);
}

// The second wrong token from one address waits a second for its answer; the right one is not delayed after that.
void RemoteServerTest::failuresDelayTheNextAnswer()
{
    const quint16 port = quint16(server->url().port());
    const QByteArray wrong = "Authorization: Bearer " + QByteArray(64, 'b');
    QCOMPARE(handshakeStatus(port, {wrong}), QByteArray("HTTP/1.1 401 Unauthorized"));
    QElapsedTimer clock;
    clock.start();
    QCOMPARE(handshakeStatus(port, {wrong}), QByteArray("HTTP/1.1 401 Unauthorized"));
    QVERIFY2(clock.elapsed() >= RemoteServer::FirstPenaltyMs - 50, qPrintable(QString::number(clock.elapsed())));
    // Two failures now: the next answer waits two seconds, even for the right token.
    clock.restart();
    QCOMPARE(handshakeStatus(port, {"Authorization: Bearer " + token.toLatin1()}),
             QByteArray("HTTP/1.1 101 Switching Protocols"));
    QVERIFY2(clock.elapsed() >= 2 * RemoteServer::FirstPenaltyMs - 50, qPrintable(QString::number(clock.elapsed())));
    clock.restart();
    QCOMPARE(handshakeStatus(port, {"Authorization: Bearer " + token.toLatin1()}),
             QByteArray("HTTP/1.1 101 Switching Protocols"));
    QVERIFY(clock.elapsed() < RemoteServer::FirstPenaltyMs);
}

void RemoteServerTest::malformedRequests_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<int>("code");
    QTest::newRow("not json") << QStringLiteral("{\"jsonrpc\": \"2.0\", ") << int(JsonRpc::ParseError);
    QTest::newRow("NaN") << QStringLiteral("{\"jsonrpc\":\"2.0\",\"id\":1,\"method\":\"seek\",\"params\":{\"frame\":NaN}}")
                         << int(JsonRpc::ParseError);
    QTest::newRow("batch") << QStringLiteral("[{\"jsonrpc\":\"2.0\",\"id\":1,\"method\":\"status\"}]")
                           << int(JsonRpc::InvalidRequest);
    QTest::newRow("no version") << QStringLiteral("{\"id\":1,\"method\":\"status\"}") << int(JsonRpc::InvalidRequest);
    QTest::newRow("method a number") << QStringLiteral("{\"jsonrpc\":\"2.0\",\"id\":1,\"method\":7}")
                                     << int(JsonRpc::InvalidRequest);
    QTest::newRow("id an object") << QStringLiteral("{\"jsonrpc\":\"2.0\",\"id\":{},\"method\":\"status\"}")
                                  << int(JsonRpc::InvalidRequest);
    QTest::newRow("params by position") << QStringLiteral("{\"jsonrpc\":\"2.0\",\"id\":1,\"method\":\"seek\",\"params\":[3]}")
                                        << int(JsonRpc::InvalidParams);
    QTest::newRow("unknown method") << QStringLiteral("{\"jsonrpc\":\"2.0\",\"id\":1,\"method\":\"format_disk\"}")
                                    << int(JsonRpc::MethodNotFound);
    const QString seek = QStringLiteral("{\"jsonrpc\":\"2.0\",\"id\":1,\"method\":\"seek\",\"params\":{\"frame\":%1}}");
    QTest::newRow("frame a text") << seek.arg(QStringLiteral("\"3\"")) << int(JsonRpc::InvalidParams);
    QTest::newRow("frame huge") << seek.arg(QStringLiteral("1e300")) << int(JsonRpc::InvalidParams);
    QTest::newRow("frame fraction") << seek.arg(QStringLiteral("2.5")) << int(JsonRpc::InvalidParams);
    QTest::newRow("frame negative") << seek.arg(QStringLiteral("-1")) << int(JsonRpc::InvalidParams);
    QTest::newRow("unknown parameter")
        << QStringLiteral("{\"jsonrpc\":\"2.0\",\"id\":1,\"method\":\"play\",\"params\":{\"loud\":true}}")
        << int(JsonRpc::InvalidParams);
    QTest::newRow("speed zero") << QStringLiteral("{\"jsonrpc\":\"2.0\",\"id\":1,\"method\":\"set_speed\",\"params\":{\"speed\":0}}")
                                << int(JsonRpc::InvalidParams);
    QTest::newRow("step two") << QStringLiteral("{\"jsonrpc\":\"2.0\",\"id\":1,\"method\":\"step\",\"params\":{\"direction\":2}}")
                              << int(JsonRpc::InvalidParams);
    QTest::newRow("range backwards")
        << QStringLiteral("{\"jsonrpc\":\"2.0\",\"id\":1,\"method\":\"set_range\",\"params\":{\"from\":9,\"to\":3}}")
        << int(JsonRpc::InvalidParams);
    QTest::newRow("unknown event")
        << QStringLiteral("{\"jsonrpc\":\"2.0\",\"id\":1,\"method\":\"subscribe\",\"params\":{\"events\":[\"everything\"]}}")
        << int(JsonRpc::InvalidParams);
    const QString record = QStringLiteral("{\"jsonrpc\":\"2.0\",\"id\":1,\"method\":\"record\",\"params\":{%1}}");
    // Refused before anything starts: the check below finds the server still idle.
    for (const char *params : {"\"pre_seconds\":\"5\"", "\"pre_seconds\":0.5", "\"pre_seconds\":-1", "\"pre_seconds\":601",
                               "\"pre_seconds\":null", "\"seconds\":5"})
        QTest::newRow(qPrintable(QStringLiteral("record ") + QLatin1String(params)))
            << record.arg(QLatin1String(params)) << int(JsonRpc::InvalidParams);
    QTest::newRow("relative path") << QStringLiteral("{\"jsonrpc\":\"2.0\",\"id\":1,\"method\":\"open\",\"params\":{\"path\":\"a.wly\"}}")
                                   << int(JsonRpc::InvalidParams);
}

// Every malformed request gets its error, and the session goes on as it was.
void RemoteServerTest::malformedRequests()
{
    QFETCH(QString, text);
    QFETCH(int, code);
    auto peer = connectPeer();
    QVERIFY(peer);
    const QJsonObject answer = peer->answerTo(text);
    QCOMPARE(answer.value(QLatin1String("error")).toObject().value(QLatin1String("code")).toInt(), code);
    QCOMPARE(peer->result(QStringLiteral("status")).toObject().value(QLatin1String("mode")), QJsonValue("idle"));
    QCOMPARE(server->clientCount(), 1);
}

void RemoteServerTest::oversizeMessageCloses()
{
    auto peer = connectPeer();
    QVERIFY(peer);
    // Just below the bound is answered; above it, the connection closes.
    const QString id = QString(RemoteServer::MaximumMessage - 100, QLatin1Char('x'));
    const QString status = QStringLiteral("{\"jsonrpc\":\"2.0\",\"id\":\"%1\",\"method\":\"status\"}");
    QCOMPARE(peer->answerTo(status.arg(id)).value(QLatin1String("id")).toString(), id);
    peer->socket.sendTextMessage(status.arg(id + QString(200, QLatin1Char('x'))));
    QVERIFY(peer->waitForClose());
    QCOMPARE(int(peer->socket.closeCode()), 1009);
}

void RemoteServerTest::clientsAreBounded()
{
    std::vector<std::unique_ptr<RemotePeer>> peers;
    for (int i = 0; i < RemoteServer::MaximumClients; ++i) {
        peers.push_back(connectPeer());
        QVERIFY(peers.back());
    }
    QCOMPARE(server->clientCount(), RemoteServer::MaximumClients);
    QCOMPARE(handshakeStatus(quint16(server->url().port()), {"Authorization: Bearer " + token.toLatin1()}),
             QByteArray("HTTP/1.1 503 Service Unavailable"));
    peers.pop_back();
    QTRY_COMPARE(server->clientCount(), RemoteServer::MaximumClients - 1);
    QVERIFY(connectPeer());
}

// A client that sends requests and never reads the answers is closed once 1 MiB waits for it.
void RemoteServerTest::slowClientIsClosed()
{
    auto reader = connectPeer();
    QVERIFY(reader);
    QTcpSocket slow;
    slow.setReadBufferSize(4096);
    slow.connectToHost(QHostAddress::LocalHost, quint16(server->url().port()));
    QVERIFY(slow.waitForConnected(5000));
    slow.setSocketOption(QAbstractSocket::ReceiveBufferSizeSocketOption, 4096);
    slow.write("GET / HTTP/1.1\r\nHost: 127.0.0.1\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
               "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version: 13\r\nAuthorization: Bearer "
               + token.toLatin1() + "\r\n\r\n");
    QTRY_COMPARE(server->clientCount(), 2);
    // Masked text frames with a 60 000-byte id: each answer repeats it.
    const QByteArray id(60000, 'y');
    const QByteArray payload = "{\"jsonrpc\":\"2.0\",\"id\":\"" + id + "\",\"method\":\"status\"}";
    QByteArray frame;
    frame += char(0x81);
    frame += char(0x80 | 126);
    frame += char(payload.size() >> 8);
    frame += char(payload.size() & 0xff);
    frame += QByteArray(4, '\0'); // a zero mask leaves the payload as it is
    frame += payload;
    for (int i = 0; i < 60 && server->clientCount() == 2; ++i) {
        slow.write(frame);
        QTest::qWait(10);
    }
    QTRY_COMPARE(server->slowClientsClosed(), qint64(1));
    QCOMPARE(server->clientCount(), 1);
    // The others go on as before.
    QCOMPARE(reader->result(QStringLiteral("status")).toObject().value(QLatin1String("mode")), QJsonValue("idle"));
}

void RemoteServerTest::recordStopSaveAndOpen()
{
    auto first = connectPeer();
    auto second = connectPeer();
    QVERIFY(first && second);
    for (RemotePeer *peer : {first.get(), second.get()})
        QVERIFY(!peer->result(QStringLiteral("subscribe"),
                              named({{QStringLiteral("events"), QJsonArray{QStringLiteral("health"), QStringLiteral("saved"),
                                                                            QStringLiteral("opened")}}}))
                     .toArray()
                     .isEmpty());

    QCOMPARE(first->result(QStringLiteral("record")), QJsonValue(true));
    for (RemotePeer *peer : {first.get(), second.get()})
        QVERIFY(peer->waitFor(QStringLiteral("state"), [](const QJsonObject &state) {
            return state.value(QLatin1String("mode")) == QLatin1String("recording");
        }));
    QVERIFY(TrafficTools::waitUntilBound(recordPort));
    UdpPeer sender;
    for (int n = 1; n <= 20; ++n)
        QVERIFY(sender.send(Frames::stored(n), recordPort));
    QTRY_COMPARE(first->result(QStringLiteral("health")).toObject().value(QLatin1String("datagrams")).toInt(), 20);
    for (RemotePeer *peer : {first.get(), second.get()})
        QVERIFY(peer->waitFor(QStringLiteral("health"), [](const QJsonObject &health) {
            return health.value(QLatin1String("datagrams")).toInt() == 20 && health.contains(QLatin1String("jitter_ms"));
        }));
    QCOMPARE(first->errorCode(QStringLiteral("play")), int(JsonRpc::NotAllowed));
    // While recording a marker goes to the newest frame received, and it travels with the save.
    QCOMPARE(first->result(QStringLiteral("add_marker"), named({{QStringLiteral("label"), QStringLiteral("ready")}})).toObject(),
             named({{QStringLiteral("frame"), 20}, {QStringLiteral("label"), QStringLiteral("ready")}}));

    QCOMPARE(second->result(QStringLiteral("stop")), QJsonValue(true));
    QVERIFY(first->waitFor(QStringLiteral("state"), [](const QJsonObject &state) {
        return state.value(QLatin1String("mode")) == QLatin1String("idle");
    }));
    const QString path = dir.filePath(QStringLiteral("trial"));
    const QJsonObject saved = first->result(QStringLiteral("save"), named({{QStringLiteral("path"), path}})).toObject();
    QCOMPARE(saved.value(QLatin1String("path")).toString(), path + QLatin1String(".wly"));
    QCOMPARE(readFile(path + QLatin1String(".wly")), Frames::recording(1, 20));
    for (RemotePeer *peer : {first.get(), second.get()}) {
        QVERIFY(peer->waitFor(QStringLiteral("saved")));
        QVERIFY(peer->waitFor(QStringLiteral("opened"), [&](const QJsonObject &opened) {
            return opened == named({{QStringLiteral("path"), path + QLatin1String(".wly")}, {QStringLiteral("frames"), 20},
                                    {QStringLiteral("first"), 1}, {QStringLiteral("last"), 20}, {QStringLiteral("lost"), 0}});
        }));
    }
    const QJsonObject status = first->result(QStringLiteral("status")).toObject();
    QCOMPARE(status.value(QLatin1String("file")).toString(), path + QLatin1String(".wly"));
    QCOMPARE(status.value(QLatin1String("frames")).toInt(), 20);
    QCOMPARE(first->result(QStringLiteral("info")).toObject().value(QLatin1String("markers")).toArray(),
             (QJsonArray{named({{QStringLiteral("frame"), 20}, {QStringLiteral("label"), QStringLiteral("ready")}})}));
    // Nothing left to save.
    QCOMPARE(first->errorCode(QStringLiteral("save"), named({{QStringLiteral("path"), path}})), int(JsonRpc::NotAllowed));

    const QString other = writeRecording(QStringLiteral("gaps.wly"), 5, 30);
    QVERIFY(QFile::remove(other));
    QVERIFY(writeFile(other, Frames::recording(5, 30, {7, 8})));
    QCOMPARE(first->result(QStringLiteral("open"), named({{QStringLiteral("path"), other}})).toObject(),
             named({{QStringLiteral("frames"), 24}, {QStringLiteral("first"), 5}, {QStringLiteral("last"), 30},
                    {QStringLiteral("lost"), 2}}));
    const QJsonObject info = first->result(QStringLiteral("info")).toObject();
    QCOMPARE(info.value(QLatin1String("lost_ranges")).toArray(), (QJsonArray{QJsonArray{7, 8}}));
    QCOMPARE(info.value(QLatin1String("bytes")).toInteger(), QFileInfo(other).size());
}

void RemoteServerTest::previewAndDiscard()
{
    auto peer = connectPeer();
    QVERIFY(peer);
    QCOMPARE(peer->result(QStringLiteral("preview")), QJsonValue(true));
    QCOMPARE(peer->result(QStringLiteral("status")).toObject().value(QLatin1String("mode")), QJsonValue("previewing"));
    QCOMPARE(peer->errorCode(QStringLiteral("open"), named({{QStringLiteral("path"), dir.filePath("x.wly")}})),
             int(JsonRpc::NotAllowed));
    // Record during preview switches over, as the window's Record does.
    QCOMPARE(peer->result(QStringLiteral("record")), QJsonValue(true));
    QVERIFY(TrafficTools::waitUntilBound(recordPort));
    UdpPeer sender;
    QVERIFY(sender.send(Frames::stored(1), recordPort));
    QTRY_COMPARE(peer->result(QStringLiteral("health")).toObject().value(QLatin1String("datagrams")).toInt(), 1);
    QCOMPARE(peer->result(QStringLiteral("stop")), QJsonValue(true));
    QVERIFY(target->session().hasTemporaryRecording());
    const QString temporary = target->session().temporaryPath();
    QCOMPARE(peer->result(QStringLiteral("discard")), QJsonValue(true));
    QVERIFY(!QFileInfo::exists(temporary));
    QCOMPARE(peer->errorCode(QStringLiteral("discard")), int(JsonRpc::NotAllowed));

    // A stop with nothing received is told to everybody, as the window's box tells the user.
    auto other = connectPeer();
    QVERIFY(other);
    QCOMPARE(peer->result(QStringLiteral("record")), QJsonValue(true));
    QCOMPARE(peer->result(QStringLiteral("stop")), QJsonValue(true));
    QVERIFY(other->waitFor(QStringLiteral("error"), [&](const QJsonObject &error) {
        return error.value(QLatin1String("message")).toString()
               == QStringLiteral("No data received on port %1.").arg(recordPort);
    }));
}

void RemoteServerTest::recordFromPreview_data()
{
    QTest::addColumn<QJsonObject>("params");
    QTest::addColumn<int>("first"); // the first frame of the recording
    // Frames 1 to 10 arrive 1.5 s before the record, 11 to 20 just before it, 21 to 30 after it.
    QTest::newRow("all kept, as the window's Record") << QJsonObject() << 1;
    QTest::newRow("the last second") << named({{QStringLiteral("pre_seconds"), 1}}) << 11;
    QTest::newRow("none before") << named({{QStringLiteral("pre_seconds"), 0}}) << 21;
}

// A Preview that keeps 10 s becomes the recording without a gap: whole datagrams, in order, from those
// of the seconds asked for on.
void RemoteServerTest::recordFromPreview()
{
    QFETCH(QJsonObject, params);
    QFETCH(int, first);
    const QString error = serve(10);
    QVERIFY2(error.isEmpty(), qPrintable(error));
    auto peer = connectPeer();
    QVERIFY(peer);
    QCOMPARE(peer->result(QStringLiteral("preview")), QJsonValue(true));
    QVERIFY(TrafficTools::waitUntilBound(recordPort));
    UdpPeer sender;
    for (int n = 1; n <= 10; ++n)
        QVERIFY(sender.send(Frames::stored(n), recordPort));
    QTRY_COMPARE(target->session().received(), qint64(10));
    QTest::qWait(1500); // the age of the first ten is what is tested
    for (int n = 11; n <= 20; ++n)
        QVERIFY(sender.send(Frames::stored(n), recordPort));
    QTRY_COMPARE(target->session().received(), qint64(20));

    QCOMPARE(peer->result(QStringLiteral("record"), params), QJsonValue(true));
    QCOMPARE(peer->result(QStringLiteral("status")).toObject().value(QLatin1String("mode")), QJsonValue("recording"));
    for (int n = 21; n <= 30; ++n)
        QVERIFY(sender.send(Frames::stored(n), recordPort));
    QTRY_COMPARE(target->session().recorded(), qint64(31 - first));
    QCOMPARE(peer->result(QStringLiteral("stop")), QJsonValue(true));
    const QString path = dir.filePath(QStringLiteral("caught.wly"));
    const QJsonObject saved = peer->result(QStringLiteral("save"), named({{QStringLiteral("path"), path}})).toObject();
    QCOMPARE(saved.value(QLatin1String("path")), QJsonValue(path));
    QCOMPARE(readFile(path), Frames::recording(first, 30));
}

void RemoteServerTest::preSecondsNeedAKeepingPreview_data()
{
    QTest::addColumn<int>("kept");    // serve --pre
    QTest::addColumn<bool>("preview"); // previewing when asked
    QTest::newRow("idle") << 10 << false;
    QTest::newRow("a preview keeping none") << 0 << true;
}

// With nothing kept a recording would silently lack the seconds asked for: refused, nothing
// started; no seconds asked for is a plain Record.
void RemoteServerTest::preSecondsNeedAKeepingPreview()
{
    QFETCH(int, kept);
    QFETCH(bool, preview);
    const QString error = serve(kept);
    QVERIFY2(error.isEmpty(), qPrintable(error));
    auto peer = connectPeer();
    QVERIFY(peer);
    if (preview)
        QCOMPARE(peer->result(QStringLiteral("preview")), QJsonValue(true));
    const QString mode = preview ? QStringLiteral("previewing") : QStringLiteral("idle");
    const QJsonObject refused = peer->call(QStringLiteral("record"), named({{QStringLiteral("pre_seconds"), 5}}))
                                    .value(QLatin1String("error"))
                                    .toObject();
    QCOMPARE(refused, named({{QStringLiteral("code"), int(JsonRpc::NotAllowed)},
                             {QStringLiteral("message"),
                              QStringLiteral("not allowed: pre_seconds needs a preview that keeps the last seconds")}}));
    QCOMPARE(peer->result(QStringLiteral("status")).toObject().value(QLatin1String("mode")), QJsonValue(mode));
    QVERIFY(!target->session().hasTemporaryRecording());
    QCOMPARE(peer->result(QStringLiteral("record"), named({{QStringLiteral("pre_seconds"), 0}})), QJsonValue(true));
    QCOMPARE(peer->result(QStringLiteral("status")).toObject().value(QLatin1String("mode")), QJsonValue("recording"));
}

void RemoteServerTest::playbackCommands()
{
    const QString path = writeRecording(QStringLiteral("play.wly"), 1, 40);
    auto peer = connectPeer();
    auto watcher = connectPeer();
    QVERIFY(peer && watcher);
    QVERIFY(!watcher->result(QStringLiteral("subscribe"),
                             named({{QStringLiteral("events"), QJsonArray{QStringLiteral("position"), QStringLiteral("pass_ended")}}}))
                 .isNull());
    QVERIFY(peer->result(QStringLiteral("open"), named({{QStringLiteral("path"), path}})).isObject());

    // Seek while idle shows the frame and pauses; step sends the next one at once.
    QCOMPARE(peer->result(QStringLiteral("seek"), named({{QStringLiteral("frame"), 10}})), QJsonValue(true));
    QJsonObject status = peer->result(QStringLiteral("status")).toObject();
    QCOMPARE(status.value(QLatin1String("player")), QJsonValue("paused"));
    QCOMPARE(status.value(QLatin1String("position")).toInt(), 10);
    QCOMPARE(peer->result(QStringLiteral("step"), named({{QStringLiteral("direction"), 1}})), QJsonValue(true));
    QCOMPARE(receiver->receive(1), Frames::sent({11}));
    QCOMPARE(peer->result(QStringLiteral("step"), named({{QStringLiteral("direction"), -1}})), QJsonValue(true));
    QCOMPARE(receiver->receive(1), Frames::sent({10}));

    QCOMPARE(peer->result(QStringLiteral("set_range"), named({{QStringLiteral("from"), 12}, {QStringLiteral("to"), 15}})),
             QJsonValue(true));
    QCOMPARE(peer->result(QStringLiteral("status")).toObject().value(QLatin1String("range")), QJsonValue(QJsonArray{12, 15}));
    QCOMPARE(peer->result(QStringLiteral("set_speed"), named({{QStringLiteral("speed"), 2}})), QJsonValue(true));
    QCOMPARE(peer->result(QStringLiteral("status")).toObject().value(QLatin1String("speed")).toDouble(), 2.0);
    QCOMPARE(peer->result(QStringLiteral("play")), QJsonValue(true));
    QVERIFY(watcher->waitFor(QStringLiteral("state"), [](const QJsonObject &state) {
        return state.value(QLatin1String("player")) == QLatin1String("playing");
    }));
    // The paused player goes on after the frame shown, within the range, to its end.
    QCOMPARE(receiver->receive(4), Frames::sent({12, 13, 14, 15}));
    QVERIFY(watcher->waitFor(QStringLiteral("pass_ended"), [](const QJsonObject &pass) {
        return pass == QJsonObject{{QStringLiteral("passes"), 1}, {QStringLiteral("oversize_skipped"), 0}};
    }));
    QVERIFY(watcher->waitFor(QStringLiteral("state"), [](const QJsonObject &state) {
        return state.value(QLatin1String("player")) == QLatin1String("idle");
    }));
    QVERIFY(!watcher->heard(QStringLiteral("position")).isEmpty());

    QCOMPARE(peer->result(QStringLiteral("clear_range")), QJsonValue(true));
    QCOMPARE(peer->result(QStringLiteral("status")).toObject().value(QLatin1String("range")), QJsonValue());
    QCOMPARE(peer->result(QStringLiteral("play")), QJsonValue(true));
    QCOMPARE(receiver->receive(2), Frames::sent({1, 2}));
    QCOMPARE(peer->result(QStringLiteral("pause")), QJsonValue(true));
    QCOMPARE(peer->result(QStringLiteral("status")).toObject().value(QLatin1String("player")), QJsonValue("paused"));
    QVERIFY(watcher->waitFor(QStringLiteral("position")));
    QCOMPARE(peer->result(QStringLiteral("stop")), QJsonValue(true));
    QCOMPARE(peer->result(QStringLiteral("status")).toObject().value(QLatin1String("player")), QJsonValue("idle"));
}

void RemoteServerTest::notAllowedFollowsTheEnabling()
{
    auto peer = connectPeer();
    QVERIFY(peer);
    // Nothing open, nothing running: as the window's disabled actions.
    for (const char *method : {"play", "pause", "stop", "discard", "info", "clear_range", "add_marker"})
        QCOMPARE(peer->errorCode(QLatin1String(method)), int(JsonRpc::NotAllowed));
    QCOMPARE(peer->errorCode(QStringLiteral("seek"), named({{QStringLiteral("frame"), 1}})), int(JsonRpc::NotAllowed));
    QCOMPARE(peer->errorCode(QStringLiteral("step"), named({{QStringLiteral("direction"), 1}})), int(JsonRpc::NotAllowed));
    const QJsonObject error = peer->call(QStringLiteral("play")).value(QLatin1String("error")).toObject();
    QCOMPARE(error.value(QLatin1String("message")).toString(), QStringLiteral("not allowed: no recording is open"));
}

// The same checks as the window's Open and Save: nothing but a regular recording, and failures say why.
void RemoteServerTest::pathsAreChecked()
{
    auto peer = connectPeer();
    auto other = connectPeer();
    QVERIFY(peer && other);
    const QString fifo = dir.filePath(QStringLiteral("pipe.wly"));
    QCOMPARE(::mkfifo(QFile::encodeName(fifo).constData(), 0600), 0);
    for (const QString &path : {fifo, QStringLiteral("/dev/zero"), dir.path(), dir.filePath(QStringLiteral("missing.wly"))}) {
        const QJsonObject error = peer->call(QStringLiteral("open"), named({{QStringLiteral("path"), path}}))
                                      .value(QLatin1String("error"))
                                      .toObject();
        QCOMPARE(error.value(QLatin1String("code")).toInt(), int(JsonRpc::Failed));
        QVERIFY2(error.value(QLatin1String("message")).toString().startsWith(path), qPrintable(error.value(QLatin1String("message")).toString()));
        QVERIFY(other->waitFor(QStringLiteral("error")));
    }
    QCOMPARE(peer->result(QStringLiteral("status")).toObject().value(QLatin1String("file")), QJsonValue());

    // A kept recording is never saved onto a FIFO: refused, and still kept.
    QCOMPARE(peer->result(QStringLiteral("record")), QJsonValue(true));
    QVERIFY(TrafficTools::waitUntilBound(recordPort));
    UdpPeer sender;
    QVERIFY(sender.send(Frames::stored(1), recordPort));
    QTRY_COMPARE(peer->result(QStringLiteral("health")).toObject().value(QLatin1String("datagrams")).toInt(), 1);
    QCOMPARE(peer->result(QStringLiteral("stop")), QJsonValue(true));
    const QJsonObject error =
        peer->call(QStringLiteral("save"), named({{QStringLiteral("path"), fifo}})).value(QLatin1String("error")).toObject();
    QCOMPARE(error.value(QLatin1String("code")).toInt(), int(JsonRpc::Failed));
    QVERIFY(error.value(QLatin1String("message")).toString().contains(QLatin1String("is not a regular file")));
    QVERIFY(target->session().hasTemporaryRecording());
}

QTEST_GUILESS_MAIN(RemoteServerTest)
#include "tst_remote_server.moc"
