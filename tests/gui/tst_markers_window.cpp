// Markers and Export range in the offscreen window: the keys, the menu's
// enabling, the ticks and band on the slider, the warning about a damaged
// marks file, marking while recording, and the clip against the source's bytes.

#include "gui/korvel_recorder.h"
#include "gui/marker_slider.h"
#include "play/marker_store.h"
#include "support/modal_answerer.h"
#include "support/recorded_frames.h"
#include "support/window_fixture.h"

#include <QStatusBar>
#include <QTemporaryDir>
#include <QTest>

#include <memory>

using namespace Fixture;
using namespace Frames;

class MarkersWindowTest : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void keysMarkAndMove();
    void damagedMarksAreNamed();
    void markWhileRecording();
    void exportRangeIsTheSourcesBytes();

private:
    void start();
    bool open(const QByteArray &content, const QByteArray &marks = {});
    void key(Qt::Key key, Qt::KeyboardModifiers modifiers = Qt::NoModifier);
    MarkerSlider *slider() const { return window->findChild<MarkerSlider *>("playSlider"); }
    QString recordingPath() const { return dir.filePath(QStringLiteral("recording.wly")); }

    QTemporaryDir dir;
    SettingsFile settings;
    std::unique_ptr<Korvel_recorder> window;
};

void MarkersWindowTest::init()
{
    settings = SettingsFile();
    settings.port1 = QString::number(freePort());
    settings.recordPort = QString::number(freePort());
    settings.saveDir = dir.path();
}

void MarkersWindowTest::cleanup()
{
    Modal::disarmAll();
    window.reset();
}

void MarkersWindowTest::start()
{
    writeSettings(dir.path(), settings);
    window = std::make_unique<Korvel_recorder>(dir.path());
    window->show();
    QVERIFY(QTest::qWaitForWindowActive(window.get()));
}

bool MarkersWindowTest::open(const QByteArray &content, const QByteArray &marks)
{
    if (!writeFile(recordingPath(), content)
        || (!marks.isEmpty() && !writeFile(MarkerStore::pathFor(recordingPath()), marks))
        || !triggerWithFile(window.get(), "actionOpen", recordingPath()))
        return false;
    QAction *open = window->findChild<QAction *>("actionOpen");
    return QTest::qWaitFor([open] { return open->isEnabled(); }, 10000);
}

void MarkersWindowTest::key(Qt::Key key, Qt::KeyboardModifiers modifiers)
{
    window->activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(window.get()));
    QTest::keyClick(window.get(), key, modifiers);
}

void MarkersWindowTest::keysMarkAndMove()
{
    start();
    // Nothing to mark before a recording is open.
    for (const char *name : {"actionAddMarker", "actionNextMarker", "actionPreviousMarker", "actionExportRange"})
        QVERIFY2(!window->findChild<QAction *>(name)->isEnabled(), name);
    QCOMPARE(window->findChild<QAction *>("actionAddMarker")->toolTip(), QStringLiteral("Add marker (M)"));
    QCOMPARE(window->findChild<QAction *>("actionNextMarker")->toolTip(), QStringLiteral("Next marker (Shift+M)"));
    QCOMPARE(window->findChild<QAction *>("actionPreviousMarker")->toolTip(),
             QStringLiteral("Previous marker (Ctrl+Shift+M)"));
    QCOMPARE(window->findChild<QAction *>("actionExportRange")->toolTip(), QStringLiteral("Export range (Ctrl+E)"));

    QVERIFY(open(recording(1, 20), "# korvel-markers 1\n12\tcheck\n"));
    QCOMPARE(slider()->markers(), std::vector<int>{12});
    // M marks the frame shown; the file beside the recording follows at once.
    key(Qt::Key_M);
    QCOMPARE(slider()->markers(), (std::vector<int>{1, 12}));
    QCOMPARE(readFile(MarkerStore::pathFor(recordingPath())), QByteArray("# korvel-markers 1\n1\tM1\n12\tcheck\n"));
    QCOMPARE(window->statusBar()->currentMessage(), QStringLiteral("Marker M1 at frame 1"));

    key(Qt::Key_M, Qt::ShiftModifier);
    QTRY_COMPARE(slider()->value(), 12);
    QCOMPARE(text(window.get(), "te_datadisplay"), shown(12));
    key(Qt::Key_M, Qt::ShiftModifier);
    QCOMPARE(window->statusBar()->currentMessage(), QStringLiteral("No marker after frame 12"));
    QCOMPARE(slider()->value(), 12);
    key(Qt::Key_M, Qt::ControlModifier | Qt::ShiftModifier);
    QTRY_COMPARE(slider()->value(), 1);
    QCOMPARE(text(window.get(), "te_datadisplay"), shown(1));
    // The recording itself is never written to.
    QCOMPARE(readFile(recordingPath()), recording(1, 20));
}

void MarkersWindowTest::damagedMarksAreNamed()
{
    start();
    auto box = Modal::answerNextBox();
    QVERIFY(open(recording(1, 9), "# korvel-markers 1\n3\tok\nnot a marker\n42\tgone\n"));
    QCOMPARE(box->describe(),
             Modal::describe(QMessageBox::Warning, "Markers",
                             QStringLiteral("Line 3 of %1 is not a marker: \"not a marker\". The other lines are kept.\n"
                                            "1 marker(s) for frames the recording does not hold are left out: "
                                            "gone (frame 42)")
                                 .arg(MarkerStore::pathFor(recordingPath()))));
    // The recording opens anyway, with the good markers.
    QCOMPARE(text(window.get(), "l_filename"), recordingPath());
    QCOMPARE(slider()->markers(), std::vector<int>{3});
}

void MarkersWindowTest::markWhileRecording()
{
    start();
    QVERIFY(trigger(window.get(), "actionRecord"));
    UdpPeer sender;
    const uint16_t port = settings.recordPort.toUShort();
    for (int n = 1; n <= 3; ++n)
        QVERIFY(sender.send(stored(n), port));
    QTRY_VERIFY(text(window.get(), "te_datadisplay").contains(QLatin1String("fr 3")));
    // M marks the newest frame received, whatever the slider shows.
    QVERIFY(trigger(window.get(), "actionAddMarker"));
    QVERIFY(sender.send(stored(4), port));
    QTRY_VERIFY(text(window.get(), "te_datadisplay").contains(QLatin1String("fr 4")));

    const QString saved = dir.filePath(QStringLiteral("session.wly"));
    QVERIFY(triggerWithFile(window.get(), "actionStop", saved));
    QCOMPARE(readFile(saved), recording(1, 4));
    QCOMPARE(readFile(MarkerStore::pathFor(saved)), QByteArray("# korvel-markers 1\n3\tM1\n"));
    // Opened after saving, with its marker on the slider.
    QTRY_COMPARE(slider()->markers(), std::vector<int>{3});
}

void MarkersWindowTest::exportRangeIsTheSourcesBytes()
{
    start();
    auto lost = Modal::answerNextBox(); // the lost frame is reported on loading
    QVERIFY(open(recording(1, 20, {6}), "# korvel-markers 1\n2\tbefore\n5\tinside\n"));
    QVERIFY(lost->seen);
    slider()->setValue(4);
    QVERIFY(trigger(window.get(), "actionSetRangeStart"));
    slider()->setValue(9);
    QVERIFY(trigger(window.get(), "actionSetRangeEnd"));
    QVERIFY(slider()->hasBand());

    const QString clip = dir.filePath(QStringLiteral("clip.wly"));
    QVERIFY(triggerWithFile(window.get(), "actionExportRange", clip));
    QTRY_VERIFY(window->findChild<QAction *>("actionExportRange")->isEnabled());
    QCOMPARE(readFile(clip), recording(4, 9, {6}));
    QCOMPARE(readFile(MarkerStore::pathFor(clip)), QByteArray("# korvel-markers 1\n5\tinside\n"));
    QCOMPARE(window->statusBar()->currentMessage(), QStringLiteral("5 frame(s) exported to %1").arg(clip));

    // Without a range, the whole recording.
    QVERIFY(trigger(window.get(), "actionClearRange"));
    QVERIFY(!slider()->hasBand());
    const QString whole = dir.filePath(QStringLiteral("whole.wly"));
    QVERIFY(triggerWithFile(window.get(), "actionExportRange", whole));
    QTRY_COMPARE(readFile(whole), recording(1, 20, {6}));
}

QTEST_MAIN(MarkersWindowTest)
#include "tst_markers_window.moc"
