// The remote control hosted by the real window, offscreen: set up through its
// dialog, driven by real WebSocket clients, and the window showing each remote
// command as it shows the same click.

#include "gui/korvel_recorder.h"
#include "remote/json_rpc.h"
#include "remote/remote_token.h"
#include "settings/settings_store.h"
#include "support/modal_answerer.h"
#include "support/recorded_frames.h"
#include "support/remote_peer.h"
#include "support/traffic_tools.h"
#include "support/window_fixture.h"

#include <QApplication>
#include <QClipboard>
#include <QDialog>
#include <QJsonArray>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSlider>
#include <QSpinBox>
#include <QTemporaryDir>
#include <QTest>

#include <memory>

using namespace Fixture;

namespace {

const QString idle = QStringLiteral("actionOpen actionRecord actionPreview menuSettings cb_disableView");

QJsonObject named(const QString &name, const QJsonValue &value)
{
    return {{name, value}};
}

}

class RemoteWindowTest : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void dialogTurnsItOnAndShowsTheToken();
    void recordStopAndSaveAsTheWindowWould();
    void recordFromPreviewAsTheWindowWould();
    void playbackFollowsRemoteCommands();
    void modalDialogMakesCommandsBusy();
    void failuresComeBackInsteadOfBoxes();

private:
    // Turns the remote control on through its dialog; the URL to connect to.
    QUrl turnOn();
    std::unique_ptr<RemotePeer> connectPeer();
    QString path(const char *name) const { return dir->filePath(QLatin1String(name)); }

    std::unique_ptr<QTemporaryDir> dir;
    std::unique_ptr<Korvel_recorder> window;
    uint16_t recordPort = 0;
    uint16_t playPort = 0;
    QUrl url;
    QString token;
};

void RemoteWindowTest::init()
{
    dir = std::make_unique<QTemporaryDir>();
    recordPort = freePort();
    playPort = freePort();
    SettingsFile settings;
    settings.recordPort = QString::number(recordPort);
    settings.port1 = QString::number(playPort);
    settings.frequency = QStringLiteral("200");
    settings.saveDir = dir->path();
    settings.more.append({"PRE_TRIGGER SECONDS", QStringLiteral("10")}); // Preview keeps the last 10 s
    QVERIFY(writeSettings(path("settings"), settings));
    window = std::make_unique<Korvel_recorder>(path("settings"));
    window->show();
    url = turnOn();
    QVERIFY(url.isValid());
}

void RemoteWindowTest::cleanup()
{
    Modal::disarmAll();
    window.reset();
}

QUrl RemoteWindowTest::turnOn()
{
    const quint16 port = freePort();
    QString shownToken;
    const auto answered = Modal::onNextDialog([&](QDialog *dialog) {
        dialog->findChild<QSpinBox *>(QStringLiteral("sb_port"))->setValue(port);
        shownToken = dialog->findChild<QLineEdit *>(QStringLiteral("le_token"))->text();
        dialog->findChild<QPushButton *>(QStringLiteral("pb_copy"))->click();
        dialog->findChild<QPushButton *>(QStringLiteral("pb_ok"))->click();
    });
    if (!trigger(window.get(), "actionRemoteSettings") || !QTest::qWaitFor([&] { return *answered; }))
        return {};
    QString error;
    if (!RemoteToken::load(RemoteToken::defaultPath(path("settings")), token, error) || shownToken != token
        || QApplication::clipboard()->text() != token)
        return {};
    return QUrl(QStringLiteral("ws://127.0.0.1:%1").arg(port));
}

std::unique_ptr<RemotePeer> RemoteWindowTest::connectPeer()
{
    auto peer = std::make_unique<RemotePeer>();
    return peer->open(url, token) ? std::move(peer) : nullptr;
}

// The port is stored after the elements before it, and the status bar counts the clients.
void RemoteWindowTest::dialogTurnsItOnAndShowsTheToken()
{
    const QByteArray stored = readFile(SettingsStore::userFile(path("settings")));
    QVERIFY(stored.contains(QStringLiteral("<REMOTE_PORT PORT_NR=\"%1\"/>").arg(url.port()).toUtf8()));
    QVERIFY(stored.indexOf("REMOTE_PORT") > stored.indexOf("CONTINUE_NUMBERS"));
    auto label = window->findChild<QLabel *>(QStringLiteral("remoteClients"));
    QVERIFY(label && !label->isVisible());
    auto first = connectPeer();
    auto second = connectPeer();
    QVERIFY(first && second);
    QTRY_COMPARE(label->text(), QStringLiteral("remote: 2 clients"));
    QVERIFY(label->isVisible());
    second.reset();
    QTRY_COMPARE(label->text(), QStringLiteral("remote: 1 client"));
    first.reset();
    QTRY_VERIFY(!label->isVisible());
}

void RemoteWindowTest::recordStopAndSaveAsTheWindowWould()
{
    auto peer = connectPeer();
    QVERIFY(peer);
    QVERIFY(peer->result(QStringLiteral("subscribe"),
                         named(QStringLiteral("events"), QJsonArray{QStringLiteral("saved"), QStringLiteral("opened")}))
                .isArray());
    QCOMPARE(peer->result(QStringLiteral("record")), QJsonValue(true));
    QCOMPARE(enabling(window.get()), QStringLiteral("actionStop cb_disableView"));
    QCOMPARE(text(window.get(), "l_filename"), QStringLiteral("<temporary buffer>"));
    QVERIFY(peer->waitFor(QStringLiteral("state"), [](const QJsonObject &state) {
        return state.value(QLatin1String("mode")) == QLatin1String("recording");
    }));
    QVERIFY(TrafficTools::waitUntilBound(recordPort));
    UdpPeer sender;
    for (int n = 1; n <= 5; ++n)
        QVERIFY(sender.send(Frames::stored(n), recordPort));
    QTRY_COMPARE(window->datagramsReceived(), 5);

    // No save dialog: the recording is kept, and the window offers Save as, as after a cancelled dialog.
    QCOMPARE(peer->result(QStringLiteral("stop")), QJsonValue(true));
    QVERIFY(!QApplication::activeModalWidget());
    QCOMPARE(enabling(window.get()), QStringLiteral("actionOpen actionPlay actionSave_as ") + idle.mid(11));
    const QString target = path("remote-trial.wly");
    QCOMPARE(peer->result(QStringLiteral("save"), named(QStringLiteral("path"), target)).toObject(),
             named(QStringLiteral("path"), target));
    QCOMPARE(readFile(target), Frames::recording(1, 5));
    QVERIFY(peer->waitFor(QStringLiteral("opened"), [&](const QJsonObject &opened) {
        return opened.value(QLatin1String("path")) == target && opened.value(QLatin1String("frames")) == 5;
    }));
    QCOMPARE(text(window.get(), "l_filename"), target);
    auto slider = window->findChild<QSlider *>(QStringLiteral("playSlider"));
    QCOMPARE(slider->maximum(), 5);
}

// record {pre_seconds} during the window's Preview is its Record with fewer seconds than the setting keeps.
void RemoteWindowTest::recordFromPreviewAsTheWindowWould()
{
    auto peer = connectPeer();
    QVERIFY(peer);
    QCOMPARE(peer->result(QStringLiteral("preview")), QJsonValue(true));
    QVERIFY(TrafficTools::waitUntilBound(recordPort));
    UdpPeer sender;
    const auto received = [&] {
        return peer->result(QStringLiteral("health")).toObject().value(QLatin1String("datagrams")).toInt();
    };
    for (int n = 1; n <= 5; ++n)
        QVERIFY(sender.send(Frames::stored(n), recordPort));
    QTRY_COMPARE(received(), 5);
    QTest::qWait(1500); // older than the second asked for
    for (int n = 6; n <= 10; ++n)
        QVERIFY(sender.send(Frames::stored(n), recordPort));
    QTRY_COMPARE(received(), 10);

    QCOMPARE(peer->result(QStringLiteral("record"), named(QStringLiteral("pre_seconds"), 1)), QJsonValue(true));
    QCOMPARE(enabling(window.get()), QStringLiteral("actionStop cb_disableView"));
    QCOMPARE(text(window.get(), "l_filename"), QStringLiteral("<temporary buffer>"));
    for (int n = 11; n <= 15; ++n)
        QVERIFY(sender.send(Frames::stored(n), recordPort));
    QTRY_COMPARE(window->datagramsReceived(), 10);
    QCOMPARE(peer->result(QStringLiteral("stop")), QJsonValue(true));
    const QString target = path("caught.wly");
    QCOMPARE(peer->result(QStringLiteral("save"), named(QStringLiteral("path"), target)).toObject(),
             named(QStringLiteral("path"), target));
    QCOMPARE(readFile(target), Frames::recording(6, 15));
}

void RemoteWindowTest::playbackFollowsRemoteCommands()
{
    const QString recording = path("play.wly");
    QVERIFY(writeFile(recording, Frames::recording(1, 30)));
    UdpPeer receiver(playPort);
    auto peer = connectPeer();
    QVERIFY(peer);
    QCOMPARE(peer->result(QStringLiteral("open"), named(QStringLiteral("path"), recording)).toObject().value(QLatin1String("frames")),
             QJsonValue(30));
    QCOMPARE(text(window.get(), "l_filename"), recording);

    auto slider = window->findChild<QSlider *>(QStringLiteral("playSlider"));
    QCOMPARE(peer->result(QStringLiteral("seek"), named(QStringLiteral("frame"), 12)), QJsonValue(true));
    QCOMPARE(slider->value(), 12);
    QCOMPARE(text(window.get(), "te_datadisplay"), Frames::shown(12));
    // Paused at the frame: Play and the slider are offered, as after Go to frame.
    QCOMPARE(enabling(window.get()), QStringLiteral("actionPlay actionStop playSlider cb_disableView"));
    QCOMPARE(peer->result(QStringLiteral("step"), named(QStringLiteral("direction"), 1)), QJsonValue(true));
    QCOMPARE(receiver.receive(1), Frames::sent({13}));
    QCOMPARE(slider->value(), 13);
    // M's place and the next free label, beside the recording at once.
    QCOMPARE(peer->result(QStringLiteral("add_marker")).toObject(), (QJsonObject{{"frame", 13}, {"label", "M1"}}));
    QCOMPARE(readFile(recording + QLatin1String(".marks")), QByteArray("# korvel-markers 1\n13\tM1\n"));

    QCOMPARE(peer->result(QStringLiteral("set_speed"), named(QStringLiteral("speed"), 0.5)), QJsonValue(true));
    QCOMPARE(window->findChild<QDoubleSpinBox *>()->value(), 0.5);
    QCOMPARE(peer->result(QStringLiteral("set_range"), QJsonObject{{"from", 14}, {"to", 16}}), QJsonValue(true));
    QVERIFY(window->statusBar()->findChildren<QLabel *>().size() > 0);
    bool rangeShown = false;
    for (const QLabel *label : window->statusBar()->findChildren<QLabel *>())
        rangeShown = rangeShown || label->text() == QStringLiteral("range 14–16");
    QVERIFY(rangeShown);

    QCOMPARE(peer->result(QStringLiteral("play")), QJsonValue(true));
    QCOMPARE(enabling(window.get()), QStringLiteral("actionPause actionStop cb_disableView"));
    QCOMPARE(receiver.receive(3), Frames::sent({14, 15, 16}));
    QTRY_COMPARE(enabling(window.get()), QStringLiteral("actionOpen actionPlay actionSave_as ") + idle.mid(11));
    QCOMPARE(peer->result(QStringLiteral("clear_range")), QJsonValue(true));
    QCOMPARE(peer->result(QStringLiteral("play")), QJsonValue(true));
    QCOMPARE(peer->result(QStringLiteral("pause")), QJsonValue(true));
    QCOMPARE(enabling(window.get()), QStringLiteral("actionPlay actionStop playSlider cb_disableView"));
    QCOMPARE(peer->result(QStringLiteral("stop")), QJsonValue(true));
    QCOMPARE(enabling(window.get()), QStringLiteral("actionOpen actionPlay actionSave_as ") + idle.mid(11));
}

// While the user has a dialog to answer, commands wait for nobody and get "busy"; reading still works.
void RemoteWindowTest::modalDialogMakesCommandsBusy()
{
    auto peer = connectPeer();
    QVERIFY(peer);
    int busy = 0;
    QString mode;
    const auto answered = Modal::onNextDialog([&](QDialog *dialog) {
        busy = peer->errorCode(QStringLiteral("record"));
        mode = peer->result(QStringLiteral("status")).toObject().value(QLatin1String("mode")).toString();
        dialog->reject();
    });
    QVERIFY(trigger(window.get(), "actionRecordSettings"));
    QTRY_VERIFY(*answered);
    QCOMPARE(busy, int(JsonRpc::Busy));
    QCOMPARE(mode, QStringLiteral("idle"));
    QCOMPARE(enabling(window.get()), idle);
    QCOMPARE(peer->result(QStringLiteral("record")), QJsonValue(true));
}

// A failed remote command answers with what the box would say and shows no box;
// a box the user sees is heard by every client.
void RemoteWindowTest::failuresComeBackInsteadOfBoxes()
{
    auto peer = connectPeer();
    auto other = connectPeer();
    QVERIFY(peer && other);
    const UdpPeer holder(recordPort); // the record port is taken
    auto boxes = Modal::answerEveryBox(3000);
    const QJsonObject error = peer->call(QStringLiteral("record")).value(QLatin1String("error")).toObject();
    QCOMPARE(error.value(QLatin1String("code")).toInt(), int(JsonRpc::Failed));
    QVERIFY2(error.value(QLatin1String("message")).toString().startsWith(QLatin1String("Please check your UDP settings")),
             qPrintable(error.value(QLatin1String("message")).toString()));
    QVERIFY(other->waitFor(QStringLiteral("error")));
    QCOMPARE(enabling(window.get()), idle);

    const QString missing = path("missing.wly");
    QCOMPARE(peer->errorCode(QStringLiteral("open"), named(QStringLiteral("path"), missing)), int(JsonRpc::Failed));
    QTest::qWait(200);
    QVERIFY(boxes->isEmpty());
    boxes.reset();

    // The same failure from a click: the box shows, and the clients hear it.
    const auto box = Modal::answerNextBox();
    QVERIFY(trigger(window.get(), "actionPreview"));
    QTRY_VERIFY(box->seen);
    QVERIFY(other->waitFor(QStringLiteral("error"), [&](const QJsonObject &told) {
        return told.value(QLatin1String("message")).toString() == box->text;
    }));
}

QTEST_MAIN(RemoteWindowTest)
#include "tst_remote_window.moc"
