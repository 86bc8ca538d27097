// The remote control's commands over the real engines, headless: real WebSocket
// clients on 127.0.0.1, real UDP in and out, real files.

#include "play/recording_index.h"
#include "remote/json_rpc.h"
#include "support/engine_server_test.h"
#include "support/recorded_frames.h"
#include "support/traffic_tools.h"

#include <QFile>
#include <QJsonArray>
#include <QtTest>

#include <sys/stat.h>

using namespace Fixture;

class RemoteServerTest : public EngineServerTest
{
    Q_OBJECT

private slots:
    void recordStopSaveAndOpen();
    void previewAndDiscard();
    void recordFromPreview_data();
    void recordFromPreview();
    void preSecondsNeedAKeepingPreview_data();
    void preSecondsNeedAKeepingPreview();
    void playbackCommands();
    void notAllowedFollowsTheEnabling();
    void pathsAreChecked();
};

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
