// Playback through the real window to a real receiver on 127.0.0.1: which
// bytes go out, in which order, and where a paused playback resumes.

#include "app/korvel_recorder.h"
#include "support/modal_answerer.h"
#include "support/window_fixture.h"

#include <QSlider>
#include <QTemporaryDir>
#include <QTest>

#include <memory>

using namespace Fixture;

namespace {

// Idle with a recording to play, as after the end of a playback.
const QString idleWithRecording =
    QStringLiteral("actionOpen actionPlay actionSave_as actionRecord actionPreview menuSettings cb_disableView");

// A frame as stored, with blanks to trim and a comment to drop.
QByteArray storedFrame(int n)
{
    return QStringLiteral("fr %1\r\nts %2\r\n  body %1 0.5 -3  \r\n# note\r\n")
        .arg(n).arg(100.0 + n / 100.0, 0, 'f', 3).toLatin1();
}

// Frames from..to as playback sends them.
QList<QByteArray> sent(int from, int to)
{
    QList<QByteArray> frames;
    for (int n = from; n <= to; ++n)
        frames << QStringLiteral("fr %1\r\nts %2\r\nbody %1 0.5 -3\r\n")
                      .arg(n).arg(100.0 + n / 100.0, 0, 'f', 3).toLatin1();
    return frames;
}

QByteArray recording(int from, int to, const QList<int> &lost = {})
{
    QByteArray bytes;
    for (int n = from; n <= to; ++n)
        if (!lost.contains(n))
            bytes += storedFrame(n);
    return bytes;
}

}

class PlaybackTest : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void playPauseAndPlayAgain();
    void loopPacedByTimestamps();
    void secondDestinationFails();
    void resumeAfterSliderMove_data();
    void resumeAfterSliderMove();
    void idleSliderAndBadFrameNumbers();
    void playWithoutRecording();

private:
    void start();
    bool open(const QByteArray &content);
    void moveSlider(int frame);

    QTemporaryDir dir;
    SettingsFile settings;
    std::unique_ptr<Korvel_recorder> window;
    std::unique_ptr<UdpPeer> receiver;
};

void PlaybackTest::init()
{
    settings = SettingsFile();
    settings.port1 = QString::number(freePort());
    // A receiver that could not bind receives nothing, which every test notices.
    receiver = std::make_unique<UdpPeer>(settings.port1.toUShort());
}

void PlaybackTest::cleanup()
{
    Modal::disarmAll();
    window.reset();
}

void PlaybackTest::start()
{
    writeSettings(dir.path(), settings);
    window = std::make_unique<Korvel_recorder>(dir.path());
}

bool PlaybackTest::open(const QByteArray &content)
{
    const QString path = dir.filePath(QStringLiteral("recording.wly"));
    return writeFile(path, content) && triggerWithFile(window.get(), "actionOpen", path);
}

// The slider must be enabled for this to be a user's move; the enabling checks say so.
void PlaybackTest::moveSlider(int frame)
{
    auto *slider = window->findChild<QSlider *>("playSlider");
    slider->setSliderDown(true);
    slider->setSliderPosition(frame);
    slider->setSliderDown(false);
}

void PlaybackTest::playPauseAndPlayAgain()
{
    start();
    QVERIFY(open(QByteArray("# made by hand\r\n") + recording(1, 8)));
    QVERIFY(trigger(window.get(), "actionPlay"));
    QCOMPARE(text(window.get(), "labelFrequency"), QStringLiteral("60.0 Hz"));
    QCOMPARE(enabling(window.get()), QStringLiteral("actionPause actionStop cb_disableView"));
    QList<QByteArray> received = receiver->receive(2);
    QVERIFY(trigger(window.get(), "actionPause"));
    QCOMPARE(enabling(window.get()), QStringLiteral("actionPlay actionStop playSlider cb_disableView"));
    // At most one frame was already on its way when Pause came.
    received += receiver->receive(1, 300);
    QVERIFY(receiver->receive(1, 300).isEmpty());

    // The preamble is never sent; each frame is trimmed, CR LF-ended and without comments.
    QVERIFY(trigger(window.get(), "actionPlay"));
    received += receiver->receive(8 - received.size());
    QCOMPARE(received, sent(1, 8));
    QVERIFY(receiver->receive(1, 400).isEmpty());
    QTRY_COMPARE(enabling(window.get()), idleWithRecording);

    // A second pass starts again with frame 1, never with a stale frame line.
    QVERIFY(trigger(window.get(), "actionPlay"));
    QCOMPARE(receiver->receive(8), sent(1, 8));
}

void PlaybackTest::loopPacedByTimestamps()
{
    settings.loop = QStringLiteral("true");
    settings.timestamp = QStringLiteral("true");
    start();
    QVERIFY(open(recording(1, 3)));
    QVERIFY(trigger(window.get(), "actionPlay"));
    QCOMPARE(text(window.get(), "labelFrequency"), QStringLiteral("100.0 Hz"));
    QCOMPARE(receiver->receive(7), sent(1, 3) + sent(1, 3) + sent(1, 1));
    QVERIFY(trigger(window.get(), "actionStop"));

    // Equal stamps would divide by zero: the frequency setting paces instead.
    QVERIFY(open("fr 1\r\nts 10.0\r\nx\r\nfr 2\r\nts 10.0\r\nx\r\n"));
    QVERIFY(trigger(window.get(), "actionPlay"));
    QCOMPARE(text(window.get(), "labelFrequency"), QStringLiteral("60.0 Hz"));
    QCOMPARE(receiver->receive(2).size(), 2);
}

void PlaybackTest::secondDestinationFails()
{
    settings.active = QStringLiteral("true");
    settings.port2 = QStringLiteral("0"); // no datagram can go to port 0
    start();
    QVERIFY(open(recording(1, 5)));
    auto box = Modal::answerNextBox();
    QVERIFY(trigger(window.get(), "actionPlay"));
    QCOMPARE(receiver->receive(1), sent(1, 1));
    QTRY_COMPARE(box->describe(),
                 Modal::describe(QMessageBox::Critical, "Korvel Recorder", "Error while sending data 2"));
    QVERIFY(receiver->receive(1, 300).isEmpty());
    QCOMPARE(enabling(window.get()), idleWithRecording);
}

void PlaybackTest::resumeAfterSliderMove_data()
{
    QTest::addColumn<QList<int>>("lost");
    QTest::addColumn<int>("chosen");
    QTest::addColumn<int>("resumed");
    QTest::newRow("consecutive frames") << QList<int>() << 30 << 31;
    QTest::newRow("on a lost frame") << QList<int>{30} << 30 << 32;
    // Frame 120 begins with the digits of 12 and must not be taken for it.
    QTest::newRow("lost 12 before 120") << QList<int>{12} << 12 << 14;
    QTest::newRow("two lost in a row") << QList<int>{40, 41} << 40 << 43;
    QTest::newRow("back to the start") << QList<int>() << 1 << 2;
}

void PlaybackTest::resumeAfterSliderMove()
{
    QFETCH(QList<int>, lost);
    QFETCH(int, chosen);
    QFETCH(int, resumed);
    settings.frequency = QStringLiteral("50");
    start();
    Modal::answerNextBox(); // lost frames are reported on loading
    QVERIFY(open(recording(1, 130, lost)));
    QVERIFY(trigger(window.get(), "actionPlay"));
    QCOMPARE(receiver->receive(2).size(), 2);
    QVERIFY(trigger(window.get(), "actionPause"));
    receiver->receive(1, 200);

    moveSlider(chosen);
    QVERIFY(trigger(window.get(), "actionPlay"));
    QCOMPARE(receiver->receive(2), sent(resumed, resumed + 1));
}

void PlaybackTest::idleSliderAndBadFrameNumbers()
{
    start();
    auto lostBox = Modal::answerNextBox();
    QVERIFY(open(recording(5, 9, {7, 8})));
    QCOMPARE(lostBox->describe(),
             Modal::describe(QMessageBox::Warning, "Korvel Recorder", "Lost frame number 2:  7 8"));
    QCOMPARE(enabling(window.get()), QStringLiteral("actionOpen actionPlay actionSave_as actionRecord actionPreview "
                                                    "menuSettings playSlider cb_disableView"));
    auto *slider = window->findChild<QSlider *>("playSlider");
    QCOMPARE(QList<int>({slider->minimum(), slider->maximum(), slider->value()}), QList<int>({5, 9, 5}));

    // Moving the slider while idle only shows the frame, or nothing for a lost one.
    moveSlider(6);
    QCOMPARE(text(window.get(), "te_datadisplay"), QString::fromLatin1(storedFrame(6)).remove(QLatin1Char('\r')));
    moveSlider(7);
    QCOMPARE(text(window.get(), "te_datadisplay"), QString());
    QVERIFY(receiver->receive(1, 300).isEmpty());

    // Repeated numbers, and a first frame line whose number does not read: the
    // same box for both, never a silent refusal.
    for (const char *bad : {"fr 5\r\nx\r\nfr 6\r\nx\r\nfr 6\r\nx\r\n", "fr x\r\nbody\r\n"}) {
        auto box = Modal::answerNextBox();
        QVERIFY(open(bad));
        QCOMPARE(box->describe(), Modal::describe(QMessageBox::Critical, "Korvel Recorder",
                                                  "This file has a problem with frame numbers and cannot be played."));
    }
    // The recording opened before stays the current one.
    QCOMPARE(slider->maximum(), 9);
}

void PlaybackTest::playWithoutRecording()
{
    settings.recordPort = QString::number(freePort());
    start();
    QVERIFY(trigger(window.get(), "actionRecord"));
    QVERIFY(UdpPeer().send(storedFrame(1), settings.recordPort.toUShort()));
    QTRY_VERIFY(text(window.get(), "te_datadisplay").contains(QLatin1String("fr 1")));
    QVERIFY(triggerWithFile(window.get(), "actionStop", QString()));

    // Data arrived but nothing was saved: Play is offered and explains itself.
    auto box = Modal::answerNextBox();
    QVERIFY(trigger(window.get(), "actionPlay"));
    QCOMPARE(box->describe(), Modal::describe(QMessageBox::Warning, "Korvel Recorder",
                                              "Please select a file in the File -> Open dialog."));
    QCOMPARE(enabling(window.get()), idleWithRecording);
}

QTEST_MAIN(PlaybackTest)
#include "tst_playback.moc"
