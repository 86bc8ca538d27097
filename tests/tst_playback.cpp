// Playback through the real window to a real receiver on 127.0.0.1: which
// bytes go out, in which order, and where a paused playback resumes.

#include "app/korvel_recorder.h"
#include "support/modal_answerer.h"
#include "support/window_fixture.h"

#include <QAction>
#include <QLabel>
#include <QSlider>
#include <QTemporaryDir>
#include <QTest>
#include <QTextEdit>

#include <memory>

using namespace Fixture;

namespace {

// A frame as stored, with blanks to trim and a comment to drop.
QByteArray storedFrame(int n)
{
    return QStringLiteral("fr %1\r\nts %2\r\n  body %1 0.5 -3  \r\n# note\r\n")
        .arg(n)
        .arg(100.0 + n / 100.0, 0, 'f', 3)
        .toLatin1();
}

// The same frame as playback sends it.
QByteArray sentFrame(int n)
{
    return QStringLiteral("fr %1\r\nts %2\r\nbody %1 0.5 -3\r\n").arg(n).arg(100.0 + n / 100.0, 0, 'f', 3).toLatin1();
}

QByteArray recording(int from, int to, const QList<int> &lost = {})
{
    QByteArray bytes;
    for (int n = from; n <= to; ++n)
        if (!lost.contains(n))
            bytes += storedFrame(n);
    return bytes;
}

int frameNumber(const QByteArray &datagram)
{
    return datagram.mid(3, datagram.indexOf('\r') - 3).toInt();
}

}

class PlaybackTest : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void playsOnceThenIdles();
    void loopsWithOneEmptyPeriod();
    void paceFromTimestamps();
    void secondDestinationFails();
    void pauseAndResume();
    void resumeAfterSliderMove_data();
    void resumeAfterSliderMove();
    void idleSliderOnlyShows();
    void badFrameNumbersRefused();
    void playWithoutRecording();

private:
    void start(const SettingsFile &settings);
    bool open(const QByteArray &content);
    void moveSlider(int frame);

    std::unique_ptr<QTemporaryDir> dir;
    std::unique_ptr<Korvel_recorder> window;
    std::unique_ptr<UdpPeer> receiver;
    uint16_t port = 0;
};

void PlaybackTest::init()
{
    dir = std::make_unique<QTemporaryDir>();
    port = freePort();
    receiver = std::make_unique<UdpPeer>(port);
    QVERIFY(receiver->isOpen());
}

void PlaybackTest::cleanup()
{
    Modal::disarmAll();
    window.reset();
    receiver.reset();
}

void PlaybackTest::start(const SettingsFile &given)
{
    SettingsFile settings = given;
    settings.port1 = QString::number(port);
    const QString settingsDir = dir->path() + QLatin1String("/settings");
    writeSettings(settingsDir, settings);
    window = std::make_unique<Korvel_recorder>(settingsDir);
}

bool PlaybackTest::open(const QByteArray &content)
{
    const QString path = dir->path() + QLatin1String("/recording.wly");
    writeFile(path, content);
    auto answer = Modal::answerNextFileDialog(path);
    return trigger(window.get(), "actionOpen") && answer->seen;
}

void PlaybackTest::moveSlider(int frame)
{
    auto *slider = window->findChild<QSlider *>("playSlider");
    QVERIFY(slider->isEnabled());
    slider->setSliderDown(true);
    slider->setSliderPosition(frame);
    slider->setSliderDown(false);
}

void PlaybackTest::playsOnceThenIdles()
{
    start(SettingsFile());
    QVERIFY(open(QByteArray("# made by hand\r\n") + recording(1, 3)));
    QVERIFY(trigger(window.get(), "actionPlay"));
    QCOMPARE(window->findChild<QLabel *>("labelFrequency")->text(), QStringLiteral("60.0 Hz"));
    QVERIFY(!action(window.get(), "actionPlay")->isEnabled());
    QVERIFY(action(window.get(), "actionPause")->isEnabled());

    // The preamble is never sent; each frame is trimmed, CR LF-ended and without comments.
    QCOMPARE(receiver->receive(3), QList<QByteArray>({sentFrame(1), sentFrame(2), sentFrame(3)}));
    QVERIFY(receiver->receive(1, 400).isEmpty());
    QTRY_VERIFY(action(window.get(), "actionPlay")->isEnabled());
    QVERIFY(!action(window.get(), "actionPause")->isEnabled());
    QVERIFY(!action(window.get(), "actionStop")->isEnabled());

    // A second pass starts again with frame 1, never with a stale frame line.
    QVERIFY(trigger(window.get(), "actionPlay"));
    QCOMPARE(receiver->receive(3), QList<QByteArray>({sentFrame(1), sentFrame(2), sentFrame(3)}));
}

void PlaybackTest::loopsWithOneEmptyPeriod()
{
    SettingsFile settings;
    settings.loop = QStringLiteral("true");
    start(settings);
    QVERIFY(open(recording(1, 3)));
    QVERIFY(trigger(window.get(), "actionPlay"));
    const QList<QByteArray> received = receiver->receive(7);
    QVERIFY(trigger(window.get(), "actionStop"));
    QCOMPARE(received, QList<QByteArray>({sentFrame(1), sentFrame(2), sentFrame(3), sentFrame(1), sentFrame(2),
                                          sentFrame(3), sentFrame(1)}));
}

void PlaybackTest::paceFromTimestamps()
{
    SettingsFile settings;
    settings.timestamp = QStringLiteral("true");
    start(settings);
    QVERIFY(open("fr 1\r\nts 10.0\r\nx\r\nfr 2\r\nts 10.02\r\nx\r\nfr 3\r\nts 10.04\r\nx\r\n"));
    QVERIFY(trigger(window.get(), "actionPlay"));
    QCOMPARE(window->findChild<QLabel *>("labelFrequency")->text(), QStringLiteral("50.0 Hz"));
    QCOMPARE(receiver->receive(3).size(), 3);

    // Equal stamps would divide by zero: the frequency setting paces instead.
    QVERIFY(open("fr 1\r\nts 10.0\r\nx\r\nfr 2\r\nts 10.0\r\nx\r\n"));
    QVERIFY(trigger(window.get(), "actionPlay"));
    QCOMPARE(window->findChild<QLabel *>("labelFrequency")->text(), QStringLiteral("60.0 Hz"));
    QCOMPARE(receiver->receive(2).size(), 2);
}

void PlaybackTest::secondDestinationFails()
{
    SettingsFile settings;
    settings.active = QStringLiteral("true");
    settings.port2 = QStringLiteral("0"); // no datagram can go to port 0
    start(settings);
    QVERIFY(open(recording(1, 5)));
    auto box = Modal::answerNextBox();
    QVERIFY(trigger(window.get(), "actionPlay"));
    QCOMPARE(receiver->receive(1), QList<QByteArray>({sentFrame(1)}));
    QTRY_VERIFY(box->seen);
    QCOMPARE(box->icon, QMessageBox::Critical);
    QCOMPARE(box->title, QStringLiteral("Korvel Recorder"));
    QCOMPARE(box->text, QStringLiteral("Error while sending data 2"));
    QVERIFY(receiver->receive(1, 300).isEmpty());
    QVERIFY(action(window.get(), "actionPlay")->isEnabled());
    QVERIFY(!action(window.get(), "actionPause")->isEnabled());
}

void PlaybackTest::pauseAndResume()
{
    start(SettingsFile());
    QVERIFY(open(recording(1, 8)));
    QVERIFY(trigger(window.get(), "actionPlay"));
    QList<QByteArray> received = receiver->receive(2);
    QVERIFY(trigger(window.get(), "actionPause"));
    QVERIFY(action(window.get(), "actionPlay")->isEnabled());
    QVERIFY(!action(window.get(), "actionRecord")->isEnabled());
    QVERIFY(window->findChild<QSlider *>("playSlider")->isEnabled());
    // At most one frame was already on its way when Pause came.
    received += receiver->receive(1, 300);
    QVERIFY(receiver->receive(1, 300).isEmpty());

    QVERIFY(trigger(window.get(), "actionPlay"));
    received += receiver->receive(8 - received.size());
    QList<QByteArray> expected;
    for (int n = 1; n <= 8; ++n)
        expected << sentFrame(n);
    QCOMPARE(received, expected);
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
    SettingsFile settings;
    settings.frequency = QStringLiteral("50");
    start(settings);
    if (!lost.isEmpty())
        Modal::answerNextBox(); // lost frames are reported on loading
    QVERIFY(open(recording(1, 130, lost)));
    QVERIFY(trigger(window.get(), "actionPlay"));
    QCOMPARE(receiver->receive(2).size(), 2);
    QVERIFY(trigger(window.get(), "actionPause"));
    receiver->receive(1, 200);

    moveSlider(chosen);
    QVERIFY(trigger(window.get(), "actionPlay"));
    const QList<QByteArray> after = receiver->receive(2);
    QCOMPARE(after.size(), 2);
    QCOMPARE(frameNumber(after.at(0)), resumed);
    QCOMPARE(after.at(0), sentFrame(resumed));
    QVERIFY(frameNumber(after.at(1)) > resumed);
}

void PlaybackTest::idleSliderOnlyShows()
{
    start(SettingsFile());
    auto lostBox = Modal::answerNextBox();
    QVERIFY(open(recording(5, 9, {7, 8})));
    QVERIFY(lostBox->seen);
    QCOMPARE(lostBox->text, QStringLiteral("Lost frame number 2:  7 8"));
    auto *slider = window->findChild<QSlider *>("playSlider");
    QCOMPARE(slider->minimum(), 5);
    QCOMPARE(slider->maximum(), 9);
    QCOMPARE(slider->value(), 5);

    auto *view = window->findChild<QTextEdit *>("te_datadisplay");
    moveSlider(6);
    QCOMPARE(view->toPlainText(), QString::fromLatin1(storedFrame(6)).remove(QLatin1Char('\r')));
    moveSlider(7);
    QCOMPARE(view->toPlainText(), QString());
    QVERIFY(receiver->receive(1, 300).isEmpty());
    QVERIFY(action(window.get(), "actionOpen")->isEnabled());
    QVERIFY(!action(window.get(), "actionStop")->isEnabled());
}

void PlaybackTest::badFrameNumbersRefused()
{
    start(SettingsFile());
    QVERIFY(open(recording(1, 3)));
    auto box = Modal::answerNextBox();
    QVERIFY(open("fr 5\r\nx\r\nfr 6\r\nx\r\nfr 6\r\nx\r\n"));
    QVERIFY(box->seen);
    QCOMPARE(box->icon, QMessageBox::Critical);
    QCOMPARE(box->text, QStringLiteral("This file has a problem with frame numbers and cannot be played."));

    // A first frame line whose number does not read is refused with the same box, not silently.
    auto silent = Modal::answerNextBox();
    QVERIFY(open("fr x\r\nbody\r\n"));
    QVERIFY(silent->seen);
    QCOMPARE(silent->text, QStringLiteral("This file has a problem with frame numbers and cannot be played."));
    // The recording opened before stays the current one.
    QCOMPARE(window->findChild<QSlider *>("playSlider")->maximum(), 3);
}

void PlaybackTest::playWithoutRecording()
{
    SettingsFile settings;
    settings.recordPort = QString::number(freePort());
    start(settings);
    QVERIFY(trigger(window.get(), "actionRecord"));
    UdpPeer sender;
    QVERIFY(sender.send(storedFrame(1), settings.recordPort.toUShort()));
    auto *view = window->findChild<QTextEdit *>("te_datadisplay");
    QTRY_VERIFY(view->toPlainText().contains(QLatin1String("fr 1")));
    auto cancel = Modal::answerNextFileDialog(QString());
    QVERIFY(trigger(window.get(), "actionStop"));
    QVERIFY(cancel->seen);

    // Data arrived but nothing was saved: Play is offered and explains itself.
    auto box = Modal::answerNextBox();
    QVERIFY(trigger(window.get(), "actionPlay"));
    QVERIFY(box->seen);
    QCOMPARE(box->icon, QMessageBox::Warning);
    QCOMPARE(box->text, QStringLiteral("Please select a file in the File -> Open dialog."));
    QVERIFY(action(window.get(), "actionOpen")->isEnabled());
}

QTEST_MAIN(PlaybackTest)
#include "tst_playback.moc"
