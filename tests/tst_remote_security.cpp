// The remote control's refusals over the real engines, headless: the token, the
// handshake, malformed requests, oversize messages and too many or slow clients,
// each from a real WebSocket client on 127.0.0.1.

#include "remote/json_rpc.h"
#include "remote/remote_token.h"
#include "support/engine_server_test.h"

#include <QElapsedTimer>
#include <QFile>
#include <QJsonDocument>
#include <QtTest>

#include <sys/stat.h>

using namespace Fixture;

class RemoteSecurityTest : public EngineServerTest
{
    Q_OBJECT

private slots:
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
};

void RemoteSecurityTest::tokenFile()
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

void RemoteSecurityTest::handshakeRefusals_data()
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

void RemoteSecurityTest::handshakeRefusals()
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

void RemoteSecurityTest::firstMessageAuthentication_data()
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

void RemoteSecurityTest::firstMessageAuthentication()
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
void RemoteSecurityTest::failuresDelayTheNextAnswer()
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

void RemoteSecurityTest::malformedRequests_data()
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
void RemoteSecurityTest::malformedRequests()
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

void RemoteSecurityTest::oversizeMessageCloses()
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

void RemoteSecurityTest::clientsAreBounded()
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
void RemoteSecurityTest::slowClientIsClosed()
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

QTEST_GUILESS_MAIN(RemoteSecurityTest)
#include "tst_remote_security.moc"
