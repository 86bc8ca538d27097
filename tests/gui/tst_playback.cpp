// Playback as the window routes it to the player, to a real receiver on
// 127.0.0.1: enabling, the keys, the view, and opening in the background.
// Timing, seeking and pacing are the player's own tests.

#include "gui/korvel_recorder.h"
#include "play/player.h"
#include "support/modal_answerer.h"
#include "support/recorded_frames.h"
#include "support/window_fixture.h"

#include <QDialog>
#include <QLabel>
#include <QPushButton>
#include <QSpinBox>
#include <QStatusBar>
#include <QSlider>
#include <QTableWidget>
#include <QTemporaryDir>
#include <QTest>

#include <memory>

using namespace Fixture;
using namespace Frames;

namespace {

// Idle with a recording to play, as after the end of a playback.
const QString idleWithRecording =
    QStringLiteral("actionOpen actionPlay actionSave_as actionRecord actionPreview menuSettings cb_disableView");
// Idle with the slider free, after a refused start or load.
const QString idleAtFrame =
    QStringLiteral("actionOpen actionPlay actionSave_as actionRecord actionPreview menuSettings playSlider cb_disableView");
const QString paused = QStringLiteral("actionPlay actionStop playSlider cb_disableView");

}

class PlaybackTest : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void playPauseStepAndEnd();
    void secondDestinationFails();
    void unusableSettingsAreRefused_data();
    void unusableSettingsAreRefused();
    void refusedLoadsKeepTheCurrentRecording_data();
    void refusedLoadsKeepTheCurrentRecording();
    void cancelledOpenKeepsTheCurrentRecording();
    void idleSliderByKeyboard();
    void goToFrameThenStep();
    void lateDatagramsOpenAndPlayAsRecorded();
    void playbackReportShowsThePlayersFigures();

private:
    void start();
    bool open(const QByteArray &content, const QString &name = QStringLiteral("recording.wly"));
    bool waitForOpen();
    void key(Qt::Key key, Qt::KeyboardModifiers modifiers = Qt::NoModifier);

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
    window->show();
    QVERIFY(QTest::qWaitForWindowActive(window.get()));
}

bool PlaybackTest::waitForOpen()
{
    // Open is offered again once the background open has ended.
    QAction *open = window->findChild<QAction *>("actionOpen");
    return QTest::qWaitFor([open] { return open->isEnabled(); }, 10000);
}

bool PlaybackTest::open(const QByteArray &content, const QString &name)
{
    const QString path = dir.filePath(name);
    return writeFile(path, content) && triggerWithFile(window.get(), "actionOpen", path) && waitForOpen();
}

void PlaybackTest::key(Qt::Key key, Qt::KeyboardModifiers modifiers)
{
    // A closed dialog does not give the focus back by itself here.
    window->activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(window.get()));
    QTest::keyClick(window.get(), key, modifiers);
}

void PlaybackTest::playPauseStepAndEnd()
{
    start();
    QVERIFY(open(recording(1, 8)));
    // The view shows the frame at the slider at once.
    QCOMPARE(text(window.get(), "te_datadisplay"), shown(1));
    key(Qt::Key_Space);
    QCOMPARE(enabling(window.get()), QStringLiteral("actionPause actionStop cb_disableView"));
    QTRY_COMPARE(text(window.get(), "labelFrequency"), QStringLiteral("60.0 Hz"));
    QList<QByteArray> received = receiver->receive(2);
    key(Qt::Key_Space);
    QCOMPARE(enabling(window.get()), paused);
    // At most one frame was already on its way when Pause came.
    received += receiver->receive(1, 300);
    QVERIFY(receiver->receive(1, 300).isEmpty());

    // A step sends exactly the next frame and shows it.
    const int before = received.size();
    key(Qt::Key_Period);
    received += receiver->receive(1);
    QVERIFY(receiver->receive(1, 300).isEmpty());
    QCOMPARE(text(window.get(), "te_datadisplay"), shown(before + 1));
    QCOMPARE(window->findChild<QSlider *>("playSlider")->value(), before + 1);

    // Each frame is trimmed, CR LF-ended and without comments.
    key(Qt::Key_Space);
    received += receiver->receive(8 - received.size());
    QCOMPARE(received, sent(span(1, 8)));
    QTRY_COMPARE(enabling(window.get()), idleWithRecording);
    QCOMPARE(text(window.get(), "labelFrequency"), QStringLiteral("-- Hz"));

    // A fresh Play shows where it starts at once, not the last run's frame.
    key(Qt::Key_Space);
    QCOMPARE(window->findChild<QSlider *>("playSlider")->value(), 1);
    QCOMPARE(receiver->receive(8), sent(span(1, 8)));
    QTRY_COMPARE(enabling(window.get()), idleWithRecording);
}

void PlaybackTest::secondDestinationFails()
{
    settings.active = QStringLiteral("true");
    settings.port2 = QStringLiteral("0"); // no datagram can go to port 0
    start();
    QVERIFY(open(recording(1, 5)));
    auto box = Modal::answerNextBox();
    QVERIFY(trigger(window.get(), "actionPlay"));
    QTRY_COMPARE(box->describe(),
                 Modal::describe(QMessageBox::Critical, "Korvel Recorder", "Error while sending data 2"));
    QCOMPARE(enabling(window.get()), idleWithRecording);
    QCOMPARE(text(window.get(), "labelFrequency"), QStringLiteral("-- Hz"));
}

void PlaybackTest::unusableSettingsAreRefused_data()
{
    QTest::addColumn<QString>("host");
    QTest::addColumn<QString>("ttl"); // PLAY_TTL of a hand-edited file
    QTest::addColumn<QString>("interfaceName");
    QTest::addColumn<QString>("message");
    QTest::newRow("unresolvable host") << "no-such-host.invalid" << "1" << ""
        << "The play host \"no-such-host.invalid\" cannot be resolved. Nothing is sent.\n"
           "Please check the play settings.";
    // Checked again at each start, as the dialog checks them: an interface may have gone since.
    QTest::newRow("interface gone") << "127.0.0.1" << "1" << "nosuch0"
        << "The multicast choice cannot be used: interface \"nosuch0\": no such interface. Nothing is sent.\n"
           "Please check the play settings.";
    QTest::newRow("hop limit too high") << "127.0.0.1" << "300" << ""
        << "The multicast choice cannot be used: TTL \"300\": expected a whole number from 0 to 255. "
           "Nothing is sent.\nPlease check the play settings.";
}

void PlaybackTest::unusableSettingsAreRefused()
{
    QFETCH(QString, host);
    QFETCH(QString, ttl);
    QFETCH(QString, interfaceName);
    QFETCH(QString, message);
    settings.host1 = host;
    settings.more = {{"PLAY_TTL TTL", ttl}, {"PLAY_INTERFACE INTERFACE", interfaceName}};
    start();
    QVERIFY(open(recording(1, 5)));
    auto box = Modal::answerNextBox();
    QVERIFY(trigger(window.get(), "actionPlay"));
    QCOMPARE(box->describe(), Modal::describe(QMessageBox::Critical, "Korvel Recorder", message));
    QCOMPARE(enabling(window.get()), idleAtFrame);
    QVERIFY(receiver->receive(1, 300).isEmpty());
}

void PlaybackTest::refusedLoadsKeepTheCurrentRecording_data()
{
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<QString>("box");
    const QString numbers = QStringLiteral("Critical | Korvel Recorder | This file has a problem with frame numbers "
                                           "and cannot be played.");
    QTest::newRow("decreasing beyond the reorder window") << QByteArray("fr 5\r\nx\r\nfr 75\r\nx\r\nfr 10\r\nx\r\n")
                                                         << numbers + QStringLiteral("\nframe 10 follows frame 75");
    QTest::newRow("negative first")
        << QByteArray("# note\r\nfr -5\r\n") << numbers + QStringLiteral("\nThe first frame number -5 is negative.");
    QTest::newRow("first number unreadable") << QByteArray("fr x\r\nbody\r\n") << numbers;
    QTest::newRow("no frames") << QByteArray("just a note\r\n")
                               << QStringLiteral("Warning | Korvel Recorder | File %1 holds no frames.");
}

void PlaybackTest::refusedLoadsKeepTheCurrentRecording()
{
    QFETCH(QByteArray, content);
    QFETCH(QString, box);
    start();
    auto lostBox = Modal::answerNextBox();
    QVERIFY(open(recording(5, 9, {7, 8})));
    QCOMPARE(lostBox->describe(),
             Modal::describe(QMessageBox::Warning, "Korvel Recorder", "Lost frame number 2:  7 8"));
    auto refused = Modal::answerNextBox();
    QVERIFY(open(content, QStringLiteral("bad.wly")));
    QCOMPARE(refused->describe().section(QLatin1Char('\n'), 0, box.count(QLatin1Char('\n'))),
             box.contains(QLatin1String("%1")) ? box.arg(dir.filePath("bad.wly")) : box);
    // The recording opened before stays the current one, slider and label included.
    auto *slider = window->findChild<QSlider *>("playSlider");
    QCOMPARE(QList<int>({slider->minimum(), slider->maximum()}), QList<int>({5, 9}));
    QCOMPARE(text(window.get(), "l_filename"), dir.filePath("recording.wly"));
    QCOMPARE(enabling(window.get()), idleAtFrame);
}

void PlaybackTest::cancelledOpenKeepsTheCurrentRecording()
{
    start();
    QVERIFY(open(recording(1, 3)));
    // Big enough that indexing is still under way when Cancel is pressed.
    QByteArray big;
    big.reserve(200 << 20);
    for (int n = 1; big.size() < (200 << 20); ++n)
        big += stored(n);
    const QString path = dir.filePath(QStringLiteral("big.wly"));
    QVERIFY(writeFile(path, big));
    QVERIFY(triggerWithFile(window.get(), "actionOpen", path));
    QPushButton *cancel = nullptr;
    for (QPushButton *button : window->findChild<QStatusBar *>()->findChildren<QPushButton *>())
        if (button->text() == QLatin1String("Cancel"))
            cancel = button;
    QVERIFY(cancel && cancel->isVisible());
    QTest::mouseClick(cancel, Qt::LeftButton);
    QVERIFY(waitForOpen());
    QCOMPARE(window->findChild<QSlider *>("playSlider")->maximum(), 3);
    QCOMPARE(text(window.get(), "l_filename"), dir.filePath("recording.wly"));
    QVERIFY(!cancel->isVisible());
}

void PlaybackTest::idleSliderByKeyboard()
{
    start();
    Modal::answerNextBox(); // lost frames are reported on loading
    QVERIFY(open(recording(5, 9, {7})));
    auto *slider = window->findChild<QSlider *>("playSlider");
    slider->setFocus();
    QTest::keyClick(slider, Qt::Key_Right);
    QTRY_COMPARE(text(window.get(), "te_datadisplay"), shown(6));
    QTest::keyClick(slider, Qt::Key_Right);
    QTRY_COMPARE(text(window.get(), "te_datadisplay"), QString());
    QVERIFY(receiver->receive(1, 300).isEmpty());
    QCOMPARE(enabling(window.get()), idleAtFrame);

    // A step goes on from the frame shown, lost 7 here, not from where the player last was.
    key(Qt::Key_Period);
    QCOMPARE(receiver->receive(1), sent({8}));
    QCOMPARE(text(window.get(), "te_datadisplay"), shown(8));
    key(Qt::Key_Comma);
    QCOMPARE(receiver->receive(1), sent({6}));
}

void PlaybackTest::goToFrameThenStep()
{
    start();
    QVERIFY(open(recording(1, 20)));
    Modal::onNextDialog([](QDialog *dialog) {
        dialog->findChild<QSpinBox *>()->setValue(10);
        dialog->accept();
    });
    key(Qt::Key_G, Qt::ControlModifier);
    // Positioned without sending: paused there, the frame in the view and on the slider.
    QTRY_COMPARE(enabling(window.get()), paused);
    QCOMPARE(text(window.get(), "te_datadisplay"), shown(10));
    QCOMPARE(window->findChild<QSlider *>("playSlider")->value(), 10);
    QVERIFY(receiver->receive(1, 300).isEmpty());
    key(Qt::Key_Comma);
    QCOMPARE(receiver->receive(1), sent({9}));
    QCOMPARE(text(window.get(), "te_datadisplay"), shown(9));
}

// What the README's sender with --drop, --duplicate and --swap leaves: it opens
// with a warning for each, and plays what arrived in the order it arrived.
void PlaybackTest::lateDatagramsOpenAndPlayAsRecorded()
{
    start();
    const QByteArray content = stored(1) + stored(3) + stored(2) + stored(5) + stored(5) + stored(6);
    std::shared_ptr<QList<Modal::Box>> boxes = Modal::answerEveryBox();
    QVERIFY(open(content));
    QTRY_COMPARE(boxes->size(), 3);
    QStringList texts;
    for (const Modal::Box &box : std::as_const(*boxes))
        texts << box.describe();
    QCOMPARE(texts, (QStringList{Modal::describe(QMessageBox::Warning, "Korvel Recorder", "Lost frame number 1:  4"),
                                 Modal::describe(QMessageBox::Warning, "Korvel Recorder", "Duplicate frame number 1:  5"),
                                 Modal::describe(QMessageBox::Warning, "Korvel Recorder",
                                                 "Out-of-order frame numbers: 2 after 3")}));
    boxes.reset();
    key(Qt::Key_Space);
    QCOMPARE(receiver->receive(5), sent({1, 3, 2, 5, 6}));
}

// The dialog must read the report the player keeps, as play --json does: a figure
// taken from elsewhere, a label left blank or a bucket shifted differs from it.
void PlaybackTest::playbackReportShowsThePlayersFigures()
{
    settings.frequency = QStringLiteral("500");
    settings.more = {{"FAULTS FAULTS", QStringLiteral("true")},
                     {"FAULT_DROP FRAMES", QStringLiteral("3,5")},
                     {"FAULT_DUPLICATE FRAMES", QStringLiteral("7")}};
    start();
    QVERIFY(open(recording(1, 60)));
    QVERIFY(!window->findChild<QAction *>("actionPlaybackReport")->isEnabled());
    QVERIFY(trigger(window.get(), "actionPlay"));
    QCOMPARE(receiver->receive(60 - 2 + 1).size(), 59);
    QTRY_COMPARE(enabling(window.get()), idleWithRecording);

    const Player::Stats stats = window->findChild<Player *>()->stats();
    const PlaybackReport::Figures &timing = stats.timing;
    QCOMPARE(stats.dropped, 2);
    QCOMPARE(stats.duplicated, 1);
    QVERIFY(timing.frames > 0);
    auto checked = std::make_shared<bool>(false);
    Modal::onNextDialog([&, checked](QDialog *dialog) {
        const auto shown = [dialog](const char *key) {
            const QLabel *label = dialog->findChild<QLabel *>(key);
            return label ? label->text() : QStringLiteral("no label ") + QLatin1String(key);
        };
        // Figures are shown to 0.1 us and 0.01 ppm.
        const auto number = [&shown](const char *key) { return shown(key).section(QLatin1Char(' '), 0, 0).toDouble(); };
        QCOMPARE(dialog->windowTitle(), QStringLiteral("Playback report"));
        QCOMPARE(number("frames_sent"), double(stats.framesSent));
        QCOMPARE(number("send_errors"), double(stats.sendErrors));
        const std::pair<const char *, double> figures[] = {{"jitter_p50_us", timing.lateP50},
                                                           {"jitter_p99_us", timing.lateP99},
                                                           {"late_p999_us", timing.lateP999},
                                                           {"late_max_us", timing.lateMax},
                                                           {"first_late_us", timing.firstLate}};
        for (const auto &[key, value] : figures)
            QVERIFY2(qAbs(number(key) - value) <= 0.05 + 1e-9, qPrintable(shown(key) + QLatin1String(" for ") + key));
        QVERIFY2(qAbs(number("rate_error_ppm") - timing.rateErrorPpm) <= 0.005 + 1e-9, qPrintable(shown("rate_error_ppm")));
        QVERIFY2(shown("late_max_us").endsWith(QStringLiteral("(frame %1)").arg(timing.lateMaxFrame)),
                 qPrintable(shown("late_max_us")));
        QCOMPARE(shown("realtime"), stats.realtime ? QStringLiteral("granted") : QStringLiteral("not granted"));
        QCOMPARE(shown("injected"), QStringLiteral("2 dropped, 1 duplicated, 0 reordered"));
        const QTableWidget *histogram = dialog->findChild<QTableWidget *>("late_histogram_us");
        QVERIFY(histogram);
        QCOMPARE(histogram->rowCount(), timing.buckets.size());
        for (int i = 0; i < histogram->rowCount(); ++i)
            QCOMPARE(histogram->item(i, 1)->text().toLongLong(), timing.buckets[i]);
        *checked = true;
        dialog->reject();
    });
    QVERIFY(trigger(window.get(), "actionPlaybackReport"));
    QVERIFY(*checked);
}

QTEST_MAIN(PlaybackTest)
#include "tst_playback.moc"
