// The shell as a user meets it: start state, enabling by mode, shortcuts,
// settings that survive a restart, and the order of shutdown.

#include "app/korvel_recorder.h"
#include "support/modal_answerer.h"
#include "support/window_fixture.h"

#include <QAction>
#include <QCheckBox>
#include <QCoreApplication>
#include <QDialog>
#include <QDir>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QSpinBox>
#include <QTemporaryDir>
#include <QTest>
#include <QTextEdit>

#include <memory>

using namespace Fixture;

class MainWindowTest : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup() { Modal::disarmAll(); }
    void startsWithoutSettingsFile();
    void enablingFollowsMode();
    void reportsFromTheReceiver();
    void shortcuts();
    void settingsSurviveARestart();
    void cancelledEditIsForgotten();
    void handWrittenFileAndShutdown();

private:
    std::unique_ptr<QTemporaryDir> home;
    QString settingsDir;
};

void MainWindowTest::init()
{
    home = std::make_unique<QTemporaryDir>();
    settingsDir = home->path() + QLatin1String("/.Ostra/Korvel_Recorder");
}

void MainWindowTest::startsWithoutSettingsFile()
{
    auto box = Modal::answerNextBox();
    Korvel_recorder window(settingsDir);
    QVERIFY(box->seen);
    QCOMPARE(box->icon, QMessageBox::Warning);
    QCOMPARE(box->title, QStringLiteral("Error loading settings"));
    QCOMPARE(box->text, QStringLiteral("Files not found :\n") + QCoreApplication::applicationDirPath() +
                            QStringLiteral("/config/current-settings.xml"));

    QCOMPARE(text(&window, "label_receive"), QStringLiteral("port "));
    QCOMPARE(text(&window, "label_send_1"), QStringLiteral("  port "));
    QCOMPARE(text(&window, "label_send_2"), QString());
    QCOMPARE(text(&window, "l_filename"), QStringLiteral("no file selected"));
    QCOMPARE(text(&window, "labelFrequency"), QStringLiteral("-- Hz"));
    QCOMPARE(enabling(&window), QStringLiteral("actionOpen actionRecord actionPreview menuSettings cb_disableView"));
    for (const char *always : {"actionAbout", "actionHelp", "actionEnterWhatsThis", "actionExit"})
        QVERIFY2(action(&window, always)->isEnabled(), always);
}

void MainWindowTest::enablingFollowsMode()
{
    SettingsFile settings;
    settings.recordPort = QString::number(freePort());
    writeSettings(settingsDir, settings);
    Korvel_recorder window(settingsDir);
    const QString idle = QStringLiteral("actionOpen actionRecord actionPreview menuSettings cb_disableView");
    QCOMPARE(enabling(&window), idle);

    QVERIFY(trigger(&window, "actionPreview"));
    QCOMPARE(enabling(&window), QStringLiteral("actionStop actionRecord"));
    QVERIFY(trigger(&window, "actionRecord")); // straight from preview to recording
    QCOMPARE(enabling(&window), QStringLiteral("actionStop cb_disableView"));

    auto box = Modal::answerNextBox();
    QVERIFY(trigger(&window, "actionStop"));
    QVERIFY(box->seen); // nothing arrived
    QCOMPARE(enabling(&window), idle);

    // A mode the window does not know changes nothing.
    window.update_status(3);
    window.updateControls();
    QCOMPARE(enabling(&window), idle);
}

void MainWindowTest::reportsFromTheReceiver()
{
    writeSettings(settingsDir, SettingsFile());
    Korvel_recorder window(settingsDir);
    auto *view = window.findChild<QTextEdit *>("te_datadisplay");
    auto *disable = window.findChild<QCheckBox *>("cb_disableView");

    // Report 2 with the view disabled: counted (Play becomes possible) but not shown.
    disable->setChecked(true);
    window.update_status(2);
    QVERIFY(QMetaObject::invokeMethod(&window, "update_display"));
    QCOMPARE(view->toPlainText(), QString());
    // Report 0: idle again, and the controls keep the look they had.
    window.update_status(0);
    QVERIFY(!action(&window, "actionPlay")->isEnabled());
    window.updateControls();
    QVERIFY(action(&window, "actionPlay")->isEnabled());
    QVERIFY(action(&window, "actionSave_as")->isEnabled());
}

void MainWindowTest::shortcuts()
{
    writeSettings(settingsDir, SettingsFile());
    Korvel_recorder window(settingsDir);
    window.show();
    QVERIFY(QTest::qWaitForWindowActive(&window));

    auto recordDialog = Modal::onNextDialog([](QDialog *dialog) {
        QCOMPARE(dialog->windowTitle(), QStringLiteral("Record Settings"));
        dialog->reject();
    });
    QTest::keyClick(&window, Qt::Key_F8);
    QVERIFY(*recordDialog);

    auto playDialog = Modal::onNextDialog([](QDialog *dialog) {
        QCOMPARE(dialog->windowTitle(), QStringLiteral("Play Settings"));
        dialog->reject();
    });
    window.activateWindow(); // a closed dialog does not give the focus back by itself here
    QVERIFY(QTest::qWaitForWindowActive(&window));
    QTest::keyClick(&window, Qt::Key_F9);
    QVERIFY(*playDialog);

    auto open = Modal::answerNextFileDialog(QString());
    window.activateWindow(); // a closed dialog does not give the focus back by itself here
    QVERIFY(QTest::qWaitForWindowActive(&window));
    QTest::keyClick(&window, Qt::Key_O, Qt::ControlModifier);
    QVERIFY(open->seen);
    QCOMPARE(open->title, QStringLiteral("Open File"));
    QCOMPARE(open->nameFilters, QStringList(QStringLiteral("Korvel Recorder files (*.wly)")));

    window.activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(&window));
    QTest::keyClick(&window, Qt::Key_Q);
    QTRY_VERIFY(!window.isVisible());
}

void MainWindowTest::settingsSurviveARestart()
{
    writeSettings(settingsDir, SettingsFile());
    {
        Korvel_recorder window(settingsDir);
        auto confirmed = Modal::onNextDialog([](QDialog *dialog) {
            dialog->findChild<QLineEdit *>("le_host_1")->setText(QStringLiteral("127.0.0.2"));
            dialog->findChild<QSpinBox *>("sb_port_1")->setValue(6001);
            dialog->findChild<QCheckBox *>("activeBox")->click();
            dialog->findChild<QLineEdit *>("le_host_2")->setText(QStringLiteral("localhost"));
            dialog->findChild<QSpinBox *>("sb_port_2")->setValue(6002);
            dialog->findChild<QSpinBox *>("sb_frequency_1")->setValue(25);
            dialog->findChild<QRadioButton *>("rb_single")->click();
            QTest::mouseClick(dialog->findChild<QPushButton *>("pb_ok"), Qt::LeftButton);
        });
        QVERIFY(trigger(&window, "actionPlaySettings"));
        QVERIFY(*confirmed);
        QCOMPARE(text(&window, "label_send_1"), QStringLiteral("127.0.0.2  port 6001"));
        QCOMPARE(text(&window, "label_send_2"), QStringLiteral("localhost  port 6002"));

        // Confirming the record dialog writes the play values too, unchanged.
        auto record = Modal::onNextDialog([](QDialog *dialog) {
            dialog->findChild<QLineEdit *>("le_port")->setText(QStringLiteral("40000"));
            QTest::mouseClick(dialog->findChild<QPushButton *>("pb_ok"), Qt::LeftButton);
        });
        QVERIFY(trigger(&window, "actionRecordSettings"));
        QVERIFY(*record);
        QCOMPARE(text(&window, "label_receive"), QStringLiteral("port 40000"));
    }
    const QByteArray written = readFile(settingsDir + QLatin1String("/config/current-settings.xml"));
    QVERIFY(written.contains("<PLAY_HOST_1 HOST=\"127.0.0.2\"/>"));
    QVERIFY(written.contains("<FREQUENCY FREQUENCY=\"25\"/>"));
    QVERIFY(written.contains("<LOOP LOOP=\"false\"/>"));
    QVERIFY(written.contains("<RECORD_PORT PORT_NR=\"40000\"/>"));

    Korvel_recorder again(settingsDir);
    QCOMPARE(text(&again, "label_receive"), QStringLiteral("port 40000"));
    QCOMPARE(text(&again, "label_send_1"), QStringLiteral("127.0.0.2  port 6001"));
    QCOMPARE(text(&again, "label_send_2"), QStringLiteral("localhost  port 6002"));
}

void MainWindowTest::cancelledEditIsForgotten()
{
    SettingsFile settings;
    settings.frequency = QStringLiteral("60.5"); // reads as 0: the dialog shows its lower bound
    writeSettings(settingsDir, settings);
    Korvel_recorder window(settingsDir);
    auto edited = Modal::onNextDialog([](QDialog *dialog) {
        QCOMPARE(dialog->findChild<QSpinBox *>("sb_frequency_1")->value(), 4);
        dialog->findChild<QLineEdit *>("le_host_1")->setText(QStringLiteral("example.invalid"));
        QTest::mouseClick(dialog->findChild<QPushButton *>("pb_cancel"), Qt::LeftButton);
    });
    QVERIFY(trigger(&window, "actionPlaySettings"));
    QVERIFY(*edited);
    auto reopened = Modal::onNextDialog([](QDialog *dialog) {
        QCOMPARE(dialog->findChild<QLineEdit *>("le_host_1")->text(), QStringLiteral("127.0.0.1"));
        QTest::mouseClick(dialog->findChild<QPushButton *>("pb_ok"), Qt::LeftButton);
    });
    QVERIFY(trigger(&window, "actionPlaySettings"));
    QVERIFY(*reopened);
    QVERIFY(readFile(settingsDir + QLatin1String("/config/current-settings.xml"))
                .contains("<FREQUENCY FREQUENCY=\"4\"/>"));
}

void MainWindowTest::handWrittenFileAndShutdown()
{
    // Any order, comments and strangers are fine; the last occurrence wins; a
    // missing attribute empties the text but keeps a directory.
    QDir().mkpath(settingsDir + QLatin1String("/config"));
    const QString file = settingsDir + QLatin1String("/config/current-settings.xml");
    writeFile(file, "<KORVEL_RECORDER><OTHER PORT_NR=\"1\"/><!-- note --><RECORD_PORT PORT_NR=\"7\"/>"
                    "<PLAY_PORT_1 PORT_NR=\"6001\"/><PLAY_HOST_1/><RECORD_PORT PORT_NR=\"-1\"/>"
                    "<SAVE_FILE_DIR/></KORVEL_RECORDER>");
    {
        Korvel_recorder window(settingsDir);
        QCOMPARE(text(&window, "label_receive"), QStringLiteral("port -1"));
        QCOMPARE(text(&window, "label_send_1"), QStringLiteral("  port 6001"));
        QFile::remove(file);
    }
    // Every exit writes all eleven settings, whether or not a dialog was confirmed.
    const QByteArray written = readFile(file);
    QVERIFY(written.startsWith("<KORVEL_RECORDER>\n    <RECORD_PORT PORT_NR=\"-1\"/>\n    <PLAY_HOST_1 HOST=\"\"/>\n"));
    QCOMPARE(written.count("/>"), 11);
    QVERIFY(written.contains(("<SAVE_FILE_DIR SAVE_FILE_DIR=\"" + QDir::homePath() + "\"/>").toUtf8()));
}

QTEST_MAIN(MainWindowTest)
#include "tst_main_window.moc"
