// Recording and preview through the real window with real datagrams on
// 127.0.0.1: what reaches the disk, what the user is told, and what is kept
// when something goes wrong.

#include "app/korvel_recorder.h"
#include "support/modal_answerer.h"
#include "support/window_fixture.h"

#include <QAction>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLabel>
#include <QSlider>
#include <QTemporaryDir>
#include <QTest>
#include <QTextEdit>

#include <memory>

using namespace Fixture;

namespace {

// 21 and 22 bytes: frame line, timestamp line and one body line, CR LF-ended.
const QByteArray first("fr 1\r\nts 1.0\r\n1 2 3\r\n");
const QByteArray second("fr 2\r\nts 1.02\r\n1 2 3\r\n");

QString temporaryRecording()
{
    return QDir::tempPath() + QLatin1String("/korvel_recorder_temp.wly");
}

}

class RecordingTest : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void recordStopAndSave();
    void stopWithNothingReceived();
    void recordWhilePreviewing();
    void previewWritesNothing();
    void portHeldElsewhere();
    void plantedLinkIsRefused();
    void failedSaveKeepsTheRecording();
    void saveAsCopiesAnOpenedRecording();

private:
    // Sends the datagrams and waits until the window has shown the last one.
    bool sendAndWait(const QList<QByteArray> &datagrams, const QByteArray &shownPart);
    std::unique_ptr<Korvel_recorder> window;
    std::unique_ptr<QTemporaryDir> dir;
    QString settingsDir;
    uint16_t port = 0;
    UdpPeer sender;
};

void RecordingTest::init()
{
    dir = std::make_unique<QTemporaryDir>();
    settingsDir = dir->path() + QLatin1String("/settings");
    port = freePort();
    SettingsFile settings;
    settings.recordPort = QString::number(port);
    settings.saveDir = dir->path();
    writeSettings(settingsDir, settings);
    QFile::remove(temporaryRecording());
    window = std::make_unique<Korvel_recorder>(settingsDir);
}

void RecordingTest::cleanup()
{
    Modal::disarmAll();
    window.reset();
    QFile::remove(temporaryRecording());
}

bool RecordingTest::sendAndWait(const QList<QByteArray> &datagrams, const QByteArray &shownPart)
{
    for (const QByteArray &datagram : datagrams)
        if (!sender.send(datagram, port))
            return false;
    auto *view = window->findChild<QTextEdit *>("te_datadisplay");
    return QTest::qWaitFor([&] { return view->toPlainText().toLatin1().contains(shownPart); }, 5000);
}

void RecordingTest::recordStopAndSave()
{
    QVERIFY(trigger(window.get(), "actionRecord"));
    QCOMPARE(window->findChild<QLabel *>("l_filename")->text(), QStringLiteral("<temporary buffer>"));
    QVERIFY(sendAndWait({first, second}, "fr 2"));

    const QString target = dir->path() + QLatin1String("/session");
    auto save = Modal::answerNextFileDialog(target);
    QVERIFY(trigger(window.get(), "actionStop"));
    QVERIFY(save->seen);
    QCOMPARE(save->title, QStringLiteral("Save File"));
    QCOMPARE(QDir(save->directory), QDir(dir->path()));

    // The file is the datagrams back to back: nothing added, nothing lost.
    QCOMPARE(readFile(target + QLatin1String(".wly")), first + second);
    QCOMPARE(window->findChild<QLabel *>("l_filename")->text(), target + QLatin1String(".wly"));
    QVERIFY(!QFileInfo::exists(temporaryRecording()));
    // The saved copy is loaded at once: playable, slider set to its range but disabled.
    QVERIFY(action(window.get(), "actionPlay")->isEnabled());
    auto *slider = window->findChild<QSlider *>("playSlider");
    QCOMPARE(slider->minimum(), 1);
    QCOMPARE(slider->maximum(), 2);
    QVERIFY(!slider->isEnabled());
}

void RecordingTest::stopWithNothingReceived()
{
    QVERIFY(trigger(window.get(), "actionRecord"));
    auto box = Modal::answerNextBox();
    auto save = Modal::answerNextFileDialog(QString(), 1000);
    QVERIFY(trigger(window.get(), "actionStop"));
    QVERIFY(box->seen);
    QCOMPARE(box->icon, QMessageBox::Warning);
    QCOMPARE(box->title, QStringLiteral("Korvel Recorder"));
    QCOMPARE(box->text, QStringLiteral("No data received on port %1.\nPlease check your network settings in Korvel.")
                            .arg(port));
    QTest::qWait(200);
    QVERIFY(!save->seen);
    QVERIFY(!QFileInfo::exists(temporaryRecording()));
    QVERIFY(action(window.get(), "actionRecord")->isEnabled());
    QVERIFY(!action(window.get(), "actionStop")->isEnabled());
}

void RecordingTest::recordWhilePreviewing()
{
    QVERIFY(trigger(window.get(), "actionPreview"));
    QVERIFY(sendAndWait({second}, "fr 2"));
    QVERIFY(trigger(window.get(), "actionRecord"));
    QCOMPARE(window->findChild<QLabel *>("l_filename")->text(), QStringLiteral("<temporary buffer>"));
    // An empty datagram from anywhere is nothing to keep and must not end the recording.
    QVERIFY(sender.send(QByteArray(), port));
    QVERIFY(sendAndWait({first}, "fr 1"));

    const QString target = dir->path() + QLatin1String("/from-preview.wly");
    auto save = Modal::answerNextFileDialog(target);
    QVERIFY(trigger(window.get(), "actionStop"));
    QVERIFY(save->seen);
    QCOMPARE(readFile(target), first);
}

void RecordingTest::previewWritesNothing()
{
    QVERIFY(trigger(window.get(), "actionPreview"));
    QVERIFY(!window->findChild<QWidget *>("cb_disableView")->isEnabled());
    // A zero byte ends the shown text, not the datagram.
    QVERIFY(sendAndWait({QByteArray("fr 7\r\nab\0cd\r\n", 13)}, "ab"));
    QVERIFY(!window->findChild<QTextEdit *>("te_datadisplay")->toPlainText().contains(QLatin1String("cd")));
    QVERIFY(trigger(window.get(), "actionStop"));
    QVERIFY(!QFileInfo::exists(temporaryRecording()));
}

void RecordingTest::portHeldElsewhere()
{
    UdpPeer holder(port);
    QVERIFY(holder.isOpen());
    auto box = Modal::answerNextBox();
    QVERIFY(trigger(window.get(), "actionRecord"));
    QVERIFY(box->seen);
    QCOMPARE(box->icon, QMessageBox::Critical);
    QCOMPARE(box->title, QStringLiteral("Korvel Recorder"));
    QCOMPARE(box->text, QStringLiteral("Please check your UDP settings\n"));
    QVERIFY(action(window.get(), "actionRecord")->isEnabled());
    QVERIFY(!action(window.get(), "actionStop")->isEnabled());

    auto again = Modal::answerNextBox();
    QVERIFY(trigger(window.get(), "actionPreview"));
    QVERIFY(again->seen);
    QVERIFY(action(window.get(), "actionPreview")->isEnabled());
}

void RecordingTest::plantedLinkIsRefused()
{
    // Another user's link at the fixed name must not make us truncate its target.
    const QString victim = dir->path() + QLatin1String("/victim");
    writeFile(victim, "precious");
    QVERIFY(QFile::link(victim, temporaryRecording()));

    auto box = Modal::answerNextBox();
    QVERIFY(trigger(window.get(), "actionRecord"));
    QVERIFY(box->seen);
    QCOMPARE(box->icon, QMessageBox::Warning);
    QCOMPARE(box->title, QStringLiteral("Save Record Data"));
    QCOMPARE(box->text, QStringLiteral("Error while writing temporary file"));
    QVERIFY(!box->hadParent);
    QCOMPARE(readFile(victim), QByteArray("precious"));
    QVERIFY(action(window.get(), "actionRecord")->isEnabled());
    QVERIFY(!action(window.get(), "actionStop")->isEnabled());
    // The port was given back: recording works once the link is gone.
    QFile::remove(temporaryRecording());
    QVERIFY(trigger(window.get(), "actionRecord"));
}

void RecordingTest::failedSaveKeepsTheRecording()
{
    QVERIFY(trigger(window.get(), "actionRecord"));
    QVERIFY(sendAndWait({first, second}, "fr 2"));

    // A file where a directory should be: the copy cannot be made.
    writeFile(dir->path() + QLatin1String("/plain"), "x");
    const QString impossible = dir->path() + QLatin1String("/plain/rec.wly");
    auto save = Modal::answerNextFileDialog(impossible);
    auto box = Modal::answerNextBox();
    QVERIFY(trigger(window.get(), "actionStop"));
    QVERIFY(save->seen);
    QVERIFY(box->seen);
    QCOMPARE(box->title, QStringLiteral("Save Record Data"));
    QVERIFY2(box->text.contains(impossible), qPrintable(box->text));
    QVERIFY(QFileInfo::exists(temporaryRecording()));
    QCOMPARE(window->findChild<QLabel *>("l_filename")->text(), QStringLiteral("<temporary buffer>"));

    // The data is still there for another try.
    const QString target = dir->path() + QLatin1String("/second-try.wly");
    auto retry = Modal::answerNextFileDialog(target);
    QVERIFY(trigger(window.get(), "actionSave_as"));
    QVERIFY(retry->seen);
    QCOMPARE(readFile(target), first + second);
}

void RecordingTest::saveAsCopiesAnOpenedRecording()
{
    const QString original = dir->path() + QLatin1String("/original.wly");
    writeFile(original, first + second);
    auto open = Modal::answerNextFileDialog(original);
    QVERIFY(trigger(window.get(), "actionOpen"));
    QVERIFY(open->seen);
    QCOMPARE(window->findChild<QLabel *>("l_filename")->text(), original);

    const QString copy = dir->path() + QLatin1String("/copy.wly");
    auto save = Modal::answerNextFileDialog(copy);
    QVERIFY(trigger(window.get(), "actionSave_as"));
    QVERIFY(save->seen);
    QCOMPARE(readFile(copy), first + second);
}

QTEST_MAIN(RecordingTest)
#include "tst_recording.moc"
