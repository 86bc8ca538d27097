// Saving through the real window: Stop's save and its questions, Save as,
// failed saves and the temporary recording they keep, and what Exit and a run
// that crashed leave to save.

#include "gui/korvel_recorder.h"
#include "gui/recording_controller.h"
#include "support/modal_answerer.h"
#include "support/recording_window_test.h"
#include "support/window_fixture.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSlider>
#include <QStorageInfo>
#include <QTemporaryDir>
#include <QTest>

#include <memory>

using namespace Fixture;

class RecordingSaveTest : public RecordingWindowTest
{
    Q_OBJECT

private slots:
    void cancelledSaveAsksFirst_data();
    void cancelledSaveAsksFirst();
    void saveOntoTheTemporaryRecording();
    void failedSaveKeepsTheRecording();
    void keptRecordingIsWhatPlays();
    void saveAsCopiesAnOpenedRecording();
    void abandonedRecordingIsOffered_data();
    void abandonedRecordingIsOffered();
    void exitWhileRecordingAsks_data();
    void exitWhileRecordingAsks();
};

void RecordingSaveTest::cancelledSaveAsksFirst_data()
{
    QTest::addColumn<QString>("press");
    QTest::addColumn<bool>("saved");
    QTest::newRow("Escape") << QString() << true;
    QTest::newRow("Save…") << QStringLiteral("Save…") << true;
    QTest::newRow("Discard") << QStringLiteral("Discard") << false;
}

void RecordingSaveTest::cancelledSaveAsksFirst()
{
    QFETCH(QString, press);
    QFETCH(bool, saved);
    QVERIFY(trigger(window.get(), "actionRecord"));
    QVERIFY(sendAndWait({first, second}, "fr 2"));

    std::shared_ptr<Modal::FileDialog> again;
    auto question = Modal::answerNextQuestion(press, [&] {
        if (saved)
            again = Modal::answerNextFileDialog(path("kept.wly"));
    });
    QVERIFY(triggerWithFile(window.get(), "actionStop", QString()));
    QVERIFY(question->seen);
    QCOMPARE(question->title, QStringLiteral("Save Record Data"));
    QVERIFY2(question->text.contains(QLatin1String("2 datagrams")), qPrintable(question->text));
    QCOMPARE(question->buttons, QStringList({QStringLiteral("Save…"), QStringLiteral("Discard")}));

    QVERIFY(!QFileInfo::exists(temporaryRecording));
    if (saved) {
        QVERIFY(again && again->seen);
        QCOMPARE(readFile(path("kept.wly")), first + second);
    } else {
        // Nothing left to play or save.
        QCOMPARE(enabling(window.get()), idle);
        QCOMPARE(text(window.get(), "l_filename"), QStringLiteral("no file selected"));
    }
}

void RecordingSaveTest::saveOntoTheTemporaryRecording()
{
    QVERIFY(trigger(window.get(), "actionRecord"));
    QVERIFY(sendAndWait({first, second}, "fr 2"));

    // The dialog's own question about replacing the file comes first.
    std::shared_ptr<QList<Modal::Box>> boxes;
    std::shared_ptr<Modal::FileDialog> again;
    auto replace = Modal::answerNextQuestion(QStringLiteral("&Yes"), [&] {
        boxes = Modal::answerEveryBox(10000, [&](const Modal::Box &) {
            if (!again)
                again = Modal::answerNextFileDialog(path("elsewhere.wly"));
        });
    });
    QVERIFY(triggerWithFile(window.get(), "actionStop", temporaryRecording));
    QVERIFY(replace->seen && boxes);
    QCOMPARE(boxes->size(), 1);
    QCOMPARE(boxes->first().title, QStringLiteral("Save Record Data"));
    QVERIFY2(boxes->first().text.contains(temporaryRecording), qPrintable(boxes->first().text));
    QVERIFY(again && again->seen);
    QCOMPARE(readFile(path("elsewhere.wly")), first + second);
}

void RecordingSaveTest::failedSaveKeepsTheRecording()
{
    QVERIFY(trigger(window.get(), "actionRecord"));
    QVERIFY(sendAndWait({first, second}, "fr 2"));

    // A file where a directory should be: the copy cannot be made.
    QVERIFY(writeFile(path("plain"), "x"));
    auto box = Modal::answerNextBox();
    QVERIFY(triggerWithFile(window.get(), "actionStop", path("plain/rec.wly")));
    QCOMPARE(box->title, QStringLiteral("Save Record Data"));
    QVERIFY2(box->text.startsWith("The recording could not be saved as " + path("plain/rec.wly") + ".\n"),
             qPrintable(box->text));
    QVERIFY(QFileInfo::exists(temporaryRecording));
    QCOMPARE(text(window.get(), "l_filename"), QStringLiteral("<temporary buffer>"));

    // The data is still there for another try, and once saved the kept copy goes.
    QVERIFY(triggerWithFile(window.get(), "actionSave_as", path("second-try.wly")));
    QCOMPARE(readFile(path("second-try.wly")), first + second);
    QVERIFY(!QFileInfo::exists(temporaryRecording));
}

// A recording kept after a failed save stays what Play and Save as offer
// whatever a preview counts, and once saved it is what plays, not the
// recording opened before it.
void RecordingSaveTest::keptRecordingIsWhatPlays()
{
    QVERIFY(writeFile(path("opened.wly"), frame(7)));
    QVERIFY(triggerWithFile(window.get(), "actionOpen", path("opened.wly")));
    QTRY_COMPARE(text(window.get(), "l_filename"), path("opened.wly"));
    QVERIFY(trigger(window.get(), "actionRecord"));
    QVERIFY(sendAndWait({first, second}, "fr 2"));
    QVERIFY(writeFile(path("plain"), "x"));
    Modal::answerNextBox();
    QVERIFY(triggerWithFile(window.get(), "actionStop", path("plain/rec.wly")));
    QCOMPARE(text(window.get(), "l_filename"), QStringLiteral("<temporary buffer>"));

    const QString keptOffered = QStringLiteral("actionOpen actionPlay actionSave_as actionRecord actionPreview "
                                               "menuSettings cb_disableView");
    for (const QList<QByteArray> &previewed : {QList<QByteArray>(), QList<QByteArray>{frame(8), frame(9), frame(10)}}) {
        QVERIFY(trigger(window.get(), "actionPreview"));
        if (!previewed.isEmpty())
            QVERIFY(sendAndWait(previewed, "fr 10"));
        QVERIFY(trigger(window.get(), "actionStop"));
        QCOMPARE(enabling(window.get()), keptOffered);
        QCOMPARE(window->datagramsReceived(), 2);
    }

    QVERIFY(triggerWithFile(window.get(), "actionSave_as", path("saved.wly")));
    QCOMPARE(text(window.get(), "l_filename"), path("saved.wly"));
    auto *slider = window->findChild<QSlider *>("playSlider");
    QTRY_COMPARE(QList<int>({slider->minimum(), slider->maximum()}), QList<int>({1, 2}));
    QTRY_COMPARE(enabling(window.get()), keptOffered);
    UdpPeer receiver(playPort);
    QVERIFY(trigger(window.get(), "actionPlay"));
    QCOMPARE(receiver.receive(3, 1000), QList<QByteArray>({first, second}));
}

void RecordingSaveTest::saveAsCopiesAnOpenedRecording()
{
    QCOMPARE(enabling(window.get()), idle); // nothing to save yet
    QVERIFY(writeFile(path("original.wly"), first + second));
    QVERIFY(triggerWithFile(window.get(), "actionOpen", path("original.wly")));
    QTRY_COMPARE(text(window.get(), "l_filename"), path("original.wly"));
    QVERIFY(triggerWithFile(window.get(), "actionSave_as", path("copy.wly")));
    QTRY_COMPARE(readFile(path("copy.wly")), first + second); // copied in the background

    // The copy is now the current recording; a source that vanished is said, not saved as nothing.
    QTRY_COMPARE(text(window.get(), "l_filename"), path("copy.wly"));
    QVERIFY(QFile::remove(path("copy.wly")));
    auto box = Modal::answerNextBox();
    QVERIFY(!triggerWithFile(window.get(), "actionSave_as", path("nothing.wly")));
    QCOMPARE(box->describe(), Modal::describe(QMessageBox::Warning, "Save Record Data",
                                              "The recording " + path("copy.wly") + " no longer exists."));
    QVERIFY(!QFileInfo::exists(path("nothing.wly")));
}

void RecordingSaveTest::abandonedRecordingIsOffered_data()
{
    QTest::addColumn<QString>("press");
    QTest::addColumn<bool>("kept");
    QTest::addColumn<bool>("saved");
    QTest::newRow("Escape keeps it") << QString() << true << false;
    QTest::newRow("Save…") << QStringLiteral("Save…") << false << true;
    QTest::newRow("Discard") << QStringLiteral("Discard") << false << false;
}

void RecordingSaveTest::abandonedRecordingIsOffered()
{
    QFETCH(QString, press);
    QFETCH(bool, kept);
    QFETCH(bool, saved);
    // What a killed copy leaves: a non-empty temporary recording nobody holds.
    QVERIFY(writeFile(temporaryRecording, first + second));
    auto *controller = window->findChild<RecordingController *>();
    QVERIFY(controller);

    std::shared_ptr<Modal::FileDialog> dialog;
    auto question = Modal::answerNextQuestion(press, [&] {
        if (saved)
            dialog = Modal::answerNextFileDialog(path("rescued.wly"));
    });
    controller->offerAbandonedRecordings();
    QVERIFY(question->seen);
    QCOMPARE(question->title, QStringLiteral("Unsaved recording"));
    QVERIFY2(question->text.contains(QLatin1String("43 bytes")), qPrintable(question->text));
    QCOMPARE(question->buttons, QStringList({QStringLiteral("Save…"), QStringLiteral("Discard")}));
    QCOMPARE(QFileInfo::exists(temporaryRecording), kept);
    if (kept)
        QCOMPARE(readFile(temporaryRecording), first + second);
    if (saved) {
        QVERIFY(dialog && dialog->seen);
        QCOMPARE(readFile(path("rescued.wly")), first + second);
    }
}

void RecordingSaveTest::exitWhileRecordingAsks_data()
{
    QTest::addColumn<QString>("how");
    QTest::addColumn<QString>("press");
    QTest::addColumn<bool>("closed");
    QTest::addColumn<bool>("saved");
    QTest::addColumn<QString>("folder"); // of the saved copy; "" for the test's own
    QTest::newRow("Escape") << "close" << QString() << false << false << QString();
    QTest::newRow("Cancel") << "actionExit" << QStringLiteral("Cancel") << false << false << QString();
    QTest::newRow("Discard") << "close" << QStringLiteral("Discard") << true << false << QString();
    QTest::newRow("Stop and save…") << "actionExit" << QStringLiteral("Stop and save…") << true << true << QString();
    // Closed at once, the window took the copy with it.
    QTest::newRow("Stop and save… on another file system")
        << "actionExit" << QStringLiteral("Stop and save…") << true << true << QStringLiteral("/dev/shm");
}

void RecordingSaveTest::exitWhileRecordingAsks()
{
    QFETCH(QString, how);
    QFETCH(QString, press);
    QFETCH(bool, closed);
    QFETCH(bool, saved);
    QFETCH(QString, folder);
    std::unique_ptr<QTemporaryDir> elsewhere;
    if (!folder.isEmpty()) {
        elsewhere = std::make_unique<QTemporaryDir>(folder + QLatin1String("/korvel-XXXXXX"));
        if (!elsewhere->isValid() || QStorageInfo(folder).device() == QStorageInfo(QDir::tempPath()).device())
            QSKIP("no writable folder on another file system than the temporary folder");
    }
    const QString target = elsewhere ? elsewhere->filePath(QStringLiteral("on-exit.wly")) : path("on-exit.wly");
    auto exit = [&] {
        if (how == QLatin1String("close"))
            window->close();
        else
            QVERIFY(trigger(window.get(), "actionExit"));
    };

    // Idle, the window closes at once.
    window->show();
    auto unasked = Modal::answerNextQuestion(QStringLiteral("Cancel"), {}, 200);
    exit();
    QVERIFY(!window->isVisible());
    QTest::qWait(300);
    QVERIFY(!unasked->seen);

    window->show();
    QVERIFY(trigger(window.get(), "actionRecord"));
    QVERIFY(sendAndWait({first}, "fr 1"));
    std::shared_ptr<Modal::FileDialog> dialog;
    auto question = Modal::answerNextQuestion(press, [&] {
        if (saved)
            dialog = Modal::answerNextFileDialog(target);
    });
    exit();
    QVERIFY(question->seen);
    QCOMPARE(question->buttons,
             QStringList({QStringLiteral("Stop and save…"), QStringLiteral("Discard"), QStringLiteral("Cancel")}));
    if (elsewhere) {
        // The copy is under way: the window stays until it has ended.
        QVERIFY(window->isVisible());
        QTRY_VERIFY(!window->isVisible());
    }
    QCOMPARE(!window->isVisible(), closed);
    if (!closed) {
        // Still recording.
        QVERIFY(sendAndWait({second}, "fr 2"));
        QVERIFY(triggerWithFile(window.get(), "actionStop", path("after.wly")));
        QCOMPARE(readFile(path("after.wly")), first + second);
    }
    if (saved) {
        QVERIFY(dialog && dialog->seen);
        QCOMPARE(readFile(target), first);
    }
    QVERIFY(!QFileInfo::exists(temporaryRecording));
}

QTEST_MAIN(RecordingSaveTest)
#include "tst_recording_save.moc"
