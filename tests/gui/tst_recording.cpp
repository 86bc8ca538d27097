// Recording and preview through the real window with real datagrams on
// 127.0.0.1: what is received and reaches the disk, what the user is told when
// the port, the disk or the socket fails, and the stream's health line.

#include "gui/korvel_recorder.h"
#include "record/recording_session.h"
#include "support/modal_answerer.h"
#include "support/recording_window_test.h"
#include "support/window_fixture.h"

#include <QDir>
#include <QFileInfo>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRegularExpression>
#include <QSlider>
#include <QStatusBar>
#include <QTest>
#include <QTextCursor>
#include <QTextDocument>

using namespace Fixture;

namespace {

// The stream health line as a user reads it, and the colour its word `word` is drawn in.
QString plainText(const QLabel *label)
{
    QTextDocument document;
    document.setHtml(label->text());
    return document.toPlainText();
}

QColor colourOf(const QLabel *label, const QString &word)
{
    QTextDocument document;
    document.setHtml(label->text());
    QTextCursor found = document.find(word);
    return found.isNull() ? QColor() : found.charFormat().foreground().color();
}

}

class RecordingTest : public RecordingWindowTest
{
    Q_OBJECT

private slots:
    void recordStopAndSave();
    void stopWithNothingReceived();
    void recordWhilePreviewing_data();
    void recordWhilePreviewing();
    void portRefused_data();
    void portRefused();
    void failedWriteWarnsAtOnce();
    void receiverEndsOnItsOwn();
    void streamHealthLine();
    void sourceFilterFromTheDialog();
};

void RecordingTest::recordStopAndSave()
{
    QVERIFY(trigger(window.get(), "actionRecord"));
    QCOMPARE(text(window.get(), "l_filename"), QStringLiteral("<temporary buffer>"));
    QVERIFY(sendAndWait({first, second}, "fr 2"));

    auto save = Modal::answerNextFileDialog(path("session"));
    QVERIFY(trigger(window.get(), "actionStop"));
    QCOMPARE(save->title, QStringLiteral("Save File"));
    QCOMPARE(QDir(save->directory), QDir(dir->path()));

    // The file is the datagrams back to back: nothing added, nothing lost.
    QCOMPARE(readFile(path("session.wly")), first + second);
    QCOMPARE(text(window.get(), "l_filename"), path("session.wly"));
    QVERIFY(!QFileInfo::exists(temporaryRecording));
    // The saved copy is loaded: playable, slider set to its range but disabled.
    QTRY_COMPARE(enabling(window.get()), QStringLiteral("actionOpen actionPlay actionSave_as actionRecord "
                                                        "actionPreview menuSettings cb_disableView"));
    auto *slider = window->findChild<QSlider *>("playSlider");
    QTRY_COMPARE(QList<int>({slider->minimum(), slider->maximum()}), QList<int>({1, 2}));
    // The last datagram is not left in the view as if it were the frame at the slider.
    QVERIFY(!text(window.get(), "te_datadisplay").contains(QLatin1String("fr 2")));
    QCOMPARE(text(window.get(), "labelFrequency"), QStringLiteral("-- Hz"));
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

void RecordingTest::recordWhilePreviewing_data()
{
    QTest::addColumn<QString>("keepSeconds"); // the setting; empty: a file from before it
    QTest::addColumn<QByteArray>("recorded");
    QTest::newRow("setting absent") << QString() << first;
    QTest::newRow("keeping none") << QStringLiteral("0") << first;
    QTest::newRow("keeping 5 s") << QStringLiteral("5") << frame(7) + first;
}

void RecordingTest::recordWhilePreviewing()
{
    QFETCH(QString, keepSeconds);
    QFETCH(QByteArray, recorded);
    window.reset();
    SettingsFile settings;
    settings.recordPort = QString::number(port);
    settings.saveDir = dir->path();
    if (!keepSeconds.isEmpty())
        settings.more.append({"PRE_TRIGGER SECONDS", keepSeconds});
    QVERIFY(writeSettings(path("settings"), settings));
    window = std::make_unique<Korvel_recorder>(path("settings"));

    QVERIFY(trigger(window.get(), "actionPreview"));
    QVERIFY(sendAndWait({frame(7)}, "fr 7"));
    auto *buffer = window->findChild<QLabel *>("bufferStatus");
    QVERIFY(buffer);
    QCOMPARE(buffer->isVisibleTo(window.get()), keepSeconds.toInt() > 0);
    if (keepSeconds.toInt() > 0)
        QCOMPARE(buffer->text(), QStringLiteral("buffer 0 s"));

    QVERIFY(trigger(window.get(), "actionRecord"));
    QCOMPARE(text(window.get(), "l_filename"), QStringLiteral("<temporary buffer>"));
    // The preview's datagram is shown in the view of the recording only when it belongs to it.
    QCOMPARE(text(window.get(), "te_datadisplay").contains(QLatin1String("fr 7")), recorded.startsWith("fr 7"));
    QVERIFY(sendAndWait({first}, "fr 1"));
    QVERIFY(!buffer->isVisibleTo(window.get()));
    QVERIFY(triggerWithFile(window.get(), "actionStop", path("from-preview.wly")));
    QCOMPARE(readFile(path("from-preview.wly")), recorded);
}

void RecordingTest::portRefused_data()
{
    QTest::addColumn<QString>("portText");
    QTest::addColumn<QString>("message");
    QTest::addColumn<QStringList>("more"); // "ELEMENT ATTRIBUTE" and value of a hand-edited file
    // Held by another socket: the platform refuses it.
    QTest::newRow("held") << QString()
                          << QStringLiteral("Please check your UDP settings\nPort %1 cannot be opened: ")
                                 + QString::fromLocal8Bit(strerror(EADDRINUSE)) << QStringList();
    // No socket could be bound to these; port 0 would bind a random port nobody sends to.
    for (const char *text : {"0", "70000"})
        QTest::newRow(text) << QString::fromLatin1(text)
                            << QStringLiteral("The record port %1 cannot be used. "
                                              "Please choose a port from 1 to 65535 in the record settings.")
                                   .arg(QLatin1String(text)) << QStringList();
    // Checked again at each start, as the dialog checks them: an interface may have gone since.
    QTest::newRow("listen interface gone")
        << "5000" << "Please check your UDP settings\nlisten address \"nosuch0\": no such interface"
        << QStringList{"RECORD_LISTEN ADDRESS", "nosuch0"};
    QTest::newRow("group of the other family")
        << "5000"
        << "Please check your UDP settings\ngroups to join \"ff12::7\": an IPv6 group where the socket is IPv4"
        << QStringList{"RECORD_LISTEN ADDRESS", "127.0.0.1", "RECORD_JOIN GROUPS", "ff12::7"};
}

void RecordingTest::portRefused()
{
    QFETCH(QString, portText);
    QFETCH(QString, message);
    const UdpPeer holder(port);
    if (portText.isEmpty()) {
        message = message.arg(port);
    } else {
        SettingsFile settings;
        settings.recordPort = portText;
        QFETCH(QStringList, more);
        QList<QByteArray> names;
        for (qsizetype i = 0; i + 1 < more.size(); i += 2)
            names << more[i].toLatin1();
        for (qsizetype i = 0; i < names.size(); ++i)
            settings.more.append({names[i].constData(), more[2 * i + 1]});
        writeSettings(path("settings"), settings);
        window = std::make_unique<Korvel_recorder>(path("settings"));
    }
    for (const char *command : {"actionRecord", "actionPreview"}) {
        auto box = Modal::answerNextBox();
        QVERIFY(trigger(window.get(), command));
        QCOMPARE(box->describe(), Modal::describe(QMessageBox::Critical, "Korvel Recorder", message));
        QCOMPARE(enabling(window.get()), idle);
    }
    QVERIFY(!QFileInfo::exists(temporaryRecording));
}

void RecordingTest::failedWriteWarnsAtOnce()
{
    QVERIFY(trigger(window.get(), "actionRecord"));
    QVERIFY(sendAndWait({first}, "fr 1"));
    auto *session = window->findChild<RecordingSession *>();
    QVERIFY(session);
    QList<Modal::Box> seen;
    {
        // The second datagram is cut short by the full disk, the third finds no room.
        const FileSizeLimit full(rlim_t(first.size() + 10));
        auto boxes = Modal::answerEveryBox();
        QVERIFY(sendAndWait({second}, "fr 2"));
        QTRY_COMPARE(boxes->size(), 1);
        // Receiving goes on, and a second failure says nothing new.
        QVERIFY(sendAndWait({frame(3)}, "fr 3"));
        QTRY_COMPARE(session->written() + session->failedWrites(), 3);
        QTest::qWait(300);
        seen = *boxes;
    }
    QCOMPARE(seen.size(), 1);
    QCOMPARE(seen.first().icon, QMessageBox::Warning);
    QCOMPARE(seen.first().title, QStringLiteral("Save Record Data"));
    QVERIFY2(seen.first().text.contains(QLatin1String("could not be written")), qPrintable(seen.first().text));
    QVERIFY2(seen.first().text.contains(QLatin1String(strerror(EFBIG))), qPrintable(seen.first().text));

    // With room again the next datagram follows the last whole one, and the summary at Stop counts what is missing.
    QVERIFY(sendAndWait({frame(4)}, "fr 4"));
    QTRY_COMPARE(session->written(), 2);
    auto summary = Modal::answerNextBox();
    QVERIFY(triggerWithFile(window.get(), "actionStop", path("partial.wly")));
    QVERIFY2(summary->text.startsWith(QLatin1String("2 of 4 received datagrams could not be written")),
             qPrintable(summary->text));
    QCOMPARE(readFile(path("partial.wly")), first + frame(4));
}

void RecordingTest::receiverEndsOnItsOwn()
{
    QVERIFY(trigger(window.get(), "actionRecord"));
    QVERIFY(sendAndWait({first, second}, "fr 2"));
    auto box = Modal::answerNextBox();
    QVERIFY(breakSocket(port));
    QTRY_VERIFY_WITH_TIMEOUT(box->seen, 5000);
    QCOMPARE(box->title, QStringLiteral("Korvel Recorder"));
    QVERIFY2(box->text.contains(QLatin1String("2 datagrams are kept")) && box->text.contains(QLatin1String("Stop will offer")),
             qPrintable(box->text));

    QVERIFY(triggerWithFile(window.get(), "actionStop", path("kept.wly")));
    QCOMPARE(readFile(path("kept.wly")), first + second);
}

void RecordingTest::streamHealthLine()
{
    auto *line = window->findChild<QLabel *>(QStringLiteral("streamHealth"));
    QVERIFY(line);
    const QRegularExpression figures(QStringLiteral(
        "^received (\\d+)  lost (\\d+)  duplicates (\\d+)  out of order (\\d+)  dropped (\\d+)  jitter \\d+\\.\\d\\d ms$"));

    QVERIFY(trigger(window.get(), "actionRecord"));
    // 3 lost, 5 twice, 4 late; the counts go on while the view is off.
    QVERIFY(sendAndWait({frame(1), frame(2)}, "fr 2"));
    QTRY_COMPARE(text(window.get(), "labelFrequency"), QStringLiteral("2 Hz"));
    window->findChild<QWidget *>(QStringLiteral("cb_disableView"))->setProperty("checked", true);
    for (int number : {5, 5, 4})
        QVERIFY(sender.send(frame(number), port));
    QTRY_VERIFY2(plainText(line).startsWith(QLatin1String("received 5  lost 1  duplicates 1  out of order 1  "
                                                          "dropped 0  jitter ")),
                 qPrintable(plainText(line)));
    QVERIFY2(figures.match(plainText(line)).hasMatch(), qPrintable(plainText(line)));
    // The rate label stands still with the view.
    QCOMPARE(text(window.get(), "labelFrequency"), QStringLiteral("2 Hz"));
    QCOMPARE(colourOf(line, QStringLiteral("lost")), QColor(Qt::red));
    QVERIFY(colourOf(line, QStringLiteral("duplicates")) != QColor(Qt::red));
    // One sender is not worth a word (the pattern ends at the jitter); a second one on the port is, in red.
    UdpPeer other;
    QVERIFY(other.send(frame(6), port));
    QTRY_VERIFY2(plainText(line).endsWith(QLatin1String(" ms  senders 2")), qPrintable(plainText(line)));
    QCOMPARE(colourOf(line, QStringLiteral("senders")), QColor(Qt::red));

    // Stop keeps the last figures; the next Preview starts afresh.
    const QString last = plainText(line);
    auto discard = Modal::answerNextQuestion(QStringLiteral("Discard"));
    QVERIFY(triggerWithFile(window.get(), "actionStop", QString()));
    QVERIFY(discard->seen);
    QCOMPARE(plainText(line), last);
    QVERIFY(trigger(window.get(), "actionPreview"));
    QTRY_VERIFY2(plainText(line).startsWith(QLatin1String("received 0  lost 0")), qPrintable(plainText(line)));
    QVERIFY2(!plainText(line).contains(QLatin1String("senders")), qPrintable(plainText(line)));
    QVERIFY(colourOf(line, QStringLiteral("lost")) != QColor(Qt::red));
}

// The Record settings' allowed senders reach the receiver at each start: a list
// without this machine refuses and counts 127.0.0.1, one with it lets it in.
void RecordingTest::sourceFilterFromTheDialog()
{
    const auto allow = [this](const QString &senders) {
        Modal::onNextDialog([senders](QDialog *dialog) {
            dialog->findChild<QLineEdit *>("le_allow")->setText(senders);
            QTest::mouseClick(dialog->findChild<QPushButton *>("pb_ok"), Qt::LeftButton);
        });
        return trigger(window.get(), "actionRecordSettings");
    };
    auto *line = window->findChild<QLabel *>(QStringLiteral("streamHealth"));
    QVERIFY(allow(QStringLiteral("192.0.2.7, 10.1.0.0/16")));
    QVERIFY(trigger(window.get(), "actionPreview"));
    for (int number : {1, 2, 3})
        QVERIFY(sender.send(frame(number), port));
    QTRY_VERIFY2(plainText(line).endsWith(QLatin1String(" ms  rejected 3")), qPrintable(plainText(line)));
    QVERIFY2(plainText(line).startsWith(QLatin1String("received 0  ")), qPrintable(plainText(line)));
    QCOMPARE(colourOf(line, QStringLiteral("rejected")), QColor(Qt::red));
    QCOMPARE(window->statusBar()->currentMessage(),
             QStringLiteral("Datagrams from 127.0.0.1 are rejected: not an allowed sender"));
    QCOMPARE(text(window.get(), "te_datadisplay"), QString());

    QVERIFY(trigger(window.get(), "actionStop"));
    QVERIFY(allow(QStringLiteral("192.0.2.7 127.0.0.0/8")));
    QVERIFY(trigger(window.get(), "actionPreview"));
    QVERIFY(sendAndWait({frame(4)}, QStringLiteral("fr 4")));
    QVERIFY2(!plainText(line).contains(QLatin1String("rejected")), qPrintable(plainText(line)));
}

QTEST_MAIN(RecordingTest)
#include "tst_recording.moc"
