// Recording and preview through the real window with real datagrams on
// 127.0.0.1: what reaches the disk, what the user is told, and what is kept
// when something goes wrong.

#include "app/korvel_recorder.h"
#include "support/modal_answerer.h"
#include "support/window_fixture.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSlider>
#include <QTemporaryDir>
#include <QTest>

#include <memory>

using namespace Fixture;

namespace {

// 21 and 22 bytes: frame line, timestamp line and one body line, CR LF-ended.
const QByteArray first("fr 1\r\nts 1.0\r\n1 2 3\r\n");
const QByteArray second("fr 2\r\nts 1.02\r\n1 2 3\r\n");
const QString idle = QStringLiteral("actionOpen actionRecord actionPreview menuSettings cb_disableView");
const QString temporaryRecording = QDir::tempPath() + QLatin1String("/korvel_recorder_temp.wly");

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
    void portHeldElsewhere();
    void plantedLinkIsRefused();
    void failedSaveKeepsTheRecording();
    void saveAsCopiesAnOpenedRecording();

private:
    // Sends the datagrams and waits until the window has shown the last one.
    bool sendAndWait(const QList<QByteArray> &datagrams, const QString &shownPart);
    QString path(const char *name) const { return dir.filePath(QLatin1String(name)); }

    QTemporaryDir dir;
    std::unique_ptr<Korvel_recorder> window;
    uint16_t port = 0;
    UdpPeer sender;
};

void RecordingTest::init()
{
    port = freePort();
    SettingsFile settings;
    settings.recordPort = QString::number(port);
    settings.saveDir = dir.path();
    writeSettings(path("settings"), settings);
    QFile::remove(temporaryRecording);
    window = std::make_unique<Korvel_recorder>(path("settings"));
}

void RecordingTest::cleanup()
{
    Modal::disarmAll();
    window.reset();
    QFile::remove(temporaryRecording);
}

bool RecordingTest::sendAndWait(const QList<QByteArray> &datagrams, const QString &shownPart)
{
    for (const QByteArray &datagram : datagrams)
        if (!sender.send(datagram, port))
            return false;
    return QTest::qWaitFor([&] { return text(window.get(), "te_datadisplay").contains(shownPart); }, 5000);
}

void RecordingTest::recordStopAndSave()
{
    QVERIFY(trigger(window.get(), "actionRecord"));
    QCOMPARE(text(window.get(), "l_filename"), QStringLiteral("<temporary buffer>"));
    QVERIFY(sendAndWait({first, second}, "fr 2"));

    auto save = Modal::answerNextFileDialog(path("session"));
    QVERIFY(trigger(window.get(), "actionStop"));
    QCOMPARE(save->title, QStringLiteral("Save File"));
    QCOMPARE(QDir(save->directory), QDir(dir.path()));

    // The file is the datagrams back to back: nothing added, nothing lost.
    QCOMPARE(readFile(path("session.wly")), first + second);
    QCOMPARE(text(window.get(), "l_filename"), path("session.wly"));
    QVERIFY(!QFileInfo::exists(temporaryRecording));
    // The saved copy is loaded at once: playable, slider set to its range but disabled.
    QTRY_COMPARE(enabling(window.get()), QStringLiteral("actionOpen actionPlay actionSave_as actionRecord actionPreview "
                                                    "menuSettings cb_disableView"));
    auto *slider = window->findChild<QSlider *>("playSlider");
    QCOMPARE(QList<int>({slider->minimum(), slider->maximum()}), QList<int>({1, 2}));
}

void RecordingTest::stopWithNothingReceived()
{
    QVERIFY(trigger(window.get(), "actionRecord"));
    auto box = Modal::answerNextBox();
    // Nothing to save, so no save dialog either; Stop would run it before it returns.
    QVERIFY(!triggerWithFile(window.get(), "actionStop", QString()));
    QCOMPARE(box->describe(), Modal::describe(QMessageBox::Warning, "Korvel Recorder", QStringLiteral(
        "No data received on port %1.\nPlease check your network settings in Korvel.").arg(port)));
    QVERIFY(!QFileInfo::exists(temporaryRecording));
    QCOMPARE(enabling(window.get()), idle);
}

void RecordingTest::recordWhilePreviewing()
{
    QVERIFY(trigger(window.get(), "actionPreview"));
    // A zero byte ends the shown text, not the datagram.
    QVERIFY(sendAndWait({QByteArray("fr 7\r\nab\0cd\r\n", 13)}, "ab"));
    QVERIFY(!text(window.get(), "te_datadisplay").contains(QLatin1String("cd")));
    QVERIFY(!QFileInfo::exists(temporaryRecording)); // a preview writes nothing

    QVERIFY(trigger(window.get(), "actionRecord"));
    QCOMPARE(text(window.get(), "l_filename"), QStringLiteral("<temporary buffer>"));
    // An empty datagram from anywhere is nothing to keep and must not end the recording.
    QVERIFY(sender.send(QByteArray(), port));
    QVERIFY(sendAndWait({first}, "fr 1"));
    QVERIFY(triggerWithFile(window.get(), "actionStop", path("from-preview.wly")));
    QCOMPARE(readFile(path("from-preview.wly")), first);
}

void RecordingTest::portHeldElsewhere()
{
    const UdpPeer holder(port);
    for (const char *command : {"actionRecord", "actionPreview"}) {
        auto box = Modal::answerNextBox();
        QVERIFY(trigger(window.get(), command));
        QCOMPARE(box->describe(),
                 Modal::describe(QMessageBox::Critical, "Korvel Recorder", "Please check your UDP settings\n"));
        QCOMPARE(enabling(window.get()), idle);
    }
}

void RecordingTest::plantedLinkIsRefused()
{
    // Another user's link at the fixed name must not make us truncate its target.
    QVERIFY(writeFile(path("victim"), "precious"));
    QVERIFY(QFile::link(path("victim"), temporaryRecording));

    auto box = Modal::answerNextBox();
    QVERIFY(trigger(window.get(), "actionRecord"));
    QCOMPARE(box->describe(),
             Modal::describe(QMessageBox::Warning, "Save Record Data", "Error while writing temporary file"));
    QVERIFY(!box->hadParent);
    QCOMPARE(readFile(path("victim")), QByteArray("precious"));
    QCOMPARE(enabling(window.get()), idle);
    // The port was given back: recording works once the link is gone.
    QFile::remove(temporaryRecording);
    QVERIFY(trigger(window.get(), "actionRecord"));
}

void RecordingTest::failedSaveKeepsTheRecording()
{
    QVERIFY(trigger(window.get(), "actionRecord"));
    QVERIFY(sendAndWait({first, second}, "fr 2"));

    // A file where a directory should be: the copy cannot be made.
    QVERIFY(writeFile(path("plain"), "x"));
    auto box = Modal::answerNextBox();
    QVERIFY(triggerWithFile(window.get(), "actionStop", path("plain/rec.wly")));
    QCOMPARE(box->describe(), Modal::describe(QMessageBox::Warning, "Save Record Data",
                                              "The recording could not be saved as " + path("plain/rec.wly") + '.'));
    QVERIFY(QFileInfo::exists(temporaryRecording));
    QCOMPARE(text(window.get(), "l_filename"), QStringLiteral("<temporary buffer>"));

    // The data is still there for another try.
    QVERIFY(triggerWithFile(window.get(), "actionSave_as", path("second-try.wly")));
    QCOMPARE(readFile(path("second-try.wly")), first + second);
}

void RecordingTest::saveAsCopiesAnOpenedRecording()
{
    QVERIFY(writeFile(path("original.wly"), first + second));
    QVERIFY(triggerWithFile(window.get(), "actionOpen", path("original.wly")));
    QTRY_COMPARE(text(window.get(), "l_filename"), path("original.wly"));
    QVERIFY(triggerWithFile(window.get(), "actionSave_as", path("copy.wly")));
    QCOMPARE(readFile(path("copy.wly")), first + second);
}

QTEST_MAIN(RecordingTest)
#include "tst_recording.moc"
