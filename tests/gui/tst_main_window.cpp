// The shell as a user meets it: start state, enabling by mode, shortcuts,
// settings that survive a restart, and the order of shutdown.

#include "gui/korvel_recorder.h"
#include "gui/window_settings.h"
#include "settings/settings_store.h"
#include "support/modal_answerer.h"
#include "support/window_fixture.h"

#include <QAction>
#include <QCheckBox>
#include <QCoreApplication>
#include <QDialog>
#include <QDoubleSpinBox>
#include <QMenu>
#include <QDir>
#include <QDomDocument>
#include <QRegularExpression>
#include <QFile>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QSpinBox>
#include <QTemporaryDir>
#include <QTest>

using namespace Fixture;

namespace {

const QString idle = QStringLiteral("actionOpen actionRecord actionPreview menuSettings cb_disableView");

// The receive address and both send addresses as the window shows them.
QStringList addresses(QWidget *window)
{
    return {text(window, "label_receive"), text(window, "label_send_1"), text(window, "label_send_2")};
}

}

class MainWindowTest : public QObject
{
    Q_OBJECT

private slots:
    void init() { QDir(settingsDir).removeRecursively(); }
    void cleanup() { Modal::disarmAll(); }
    void startsWithoutSettingsFile();
    void enablingFollowsMode();
    void shortcuts();
    void playbackMenuAndKeys();
    void settingsSurviveARestart();
    void oldFilesReadAsBefore();
    void hostAddressesFollowTheirText();
    void handWrittenFileAndShutdown();

private:
    QTemporaryDir home;
    const QString settingsDir = home.path() + QLatin1String("/.Ostra/Korvel_Recorder");
};

void MainWindowTest::startsWithoutSettingsFile()
{
    auto box = Modal::answerNextBox();
    Korvel_recorder window(settingsDir);
    const QString missing = QCoreApplication::applicationDirPath() + QStringLiteral("/config/current-settings.xml");
    QCOMPARE(box->describe(), Modal::describe(QMessageBox::Warning, QStringLiteral("Error loading settings"),
                                              QStringLiteral("Files not found :\n") + missing));

    // Without a settings file the defaults hold, and an exit writes them, never empty texts.
    QCOMPARE(addresses(&window), QStringList({"port 5000", "localhost  port 5001", ""}));
    QCOMPARE(text(&window, "l_filename"), QStringLiteral("no file selected"));
    QCOMPARE(text(&window, "labelFrequency"), QStringLiteral("-- Hz"));
    QCOMPARE(enabling(&window), idle);
    for (const char *always : {"actionAbout", "actionHelp", "actionEnterWhatsThis", "actionExit"})
        QVERIFY2(window.findChild<QAction *>(always)->isEnabled(), always);
}

void MainWindowTest::enablingFollowsMode()
{
    SettingsFile settings;
    settings.recordPort = QString::number(freePort());
    writeSettings(settingsDir, settings);
    Korvel_recorder window(settingsDir);
    QVERIFY(trigger(&window, "actionPreview"));
    QCOMPARE(enabling(&window), QStringLiteral("actionStop actionRecord"));
    QVERIFY(trigger(&window, "actionRecord")); // straight from preview to recording
    QCOMPARE(enabling(&window), QStringLiteral("actionStop cb_disableView"));
    Modal::answerNextBox(); // nothing arrived
    QVERIFY(trigger(&window, "actionStop"));
    QCOMPARE(enabling(&window), idle);
}

void MainWindowTest::shortcuts()
{
    writeSettings(settingsDir, SettingsFile());
    Korvel_recorder window(settingsDir);
    window.show();
    // A closed dialog does not give the focus back by itself here.
    const auto refocus = [&window] {
        window.activateWindow();
        return QTest::qWaitForWindowActive(&window);
    };
    for (const auto &[key, title] : {std::pair{Qt::Key_F8, "Record Settings"}, {Qt::Key_F9, "Play Settings"}}) {
        QVERIFY(refocus());
        auto shown = std::make_shared<QString>();
        Modal::onNextDialog([shown](QDialog *dialog) {
            *shown = dialog->windowTitle();
            dialog->reject();
        });
        QTest::keyClick(&window, key);
        QCOMPARE(*shown, QLatin1String(title));
    }

    auto open = Modal::answerNextFileDialog(QString());
    QVERIFY(refocus());
    QTest::keyClick(&window, Qt::Key_O, Qt::ControlModifier);
    QCOMPARE(open->title, QStringLiteral("Open File"));
    QCOMPARE(open->nameFilters, QStringList(QStringLiteral("Korvel Recorder files (*.wly)")));

    QVERIFY(refocus());
    QTest::keyClick(&window, Qt::Key_Q);
    QTRY_VERIFY(!window.isVisible());
}

void MainWindowTest::playbackMenuAndKeys()
{
    writeSettings(settingsDir, SettingsFile());
    {
        Korvel_recorder window(settingsDir);
        window.show();
        QVERIFY(QTest::qWaitForWindowActive(&window));
        QStringList entries;
        for (const QAction *action : window.findChild<QMenu *>("menuPlayback")->actions())
            if (!action->isSeparator())
                entries << action->text() + QLatin1Char(' ') + action->shortcut().toString();
        QCOMPARE(entries, QStringList({"Play/Pause Space", "Step forward .", "Step back ,", "Faster ]", "Slower [",
                                       "Normal speed Backspace", "Go to frame… Ctrl+G", "Set range start ",
                                       "Set range end ", "Clear range ", "Playback report… "}));
        // Keyboard users reach every action through a menu and find its key in the tool tip.
        QStringList tips;
        for (QAction *action : window.findChildren<QAction *>()) {
            if (!action->objectName().startsWith(QLatin1String("action")))
                continue;
            const auto objects = action->associatedObjects();
            QVERIFY2(std::any_of(objects.begin(), objects.end(), [](QObject *o) { return qobject_cast<QMenu *>(o); }),
                     qPrintable(action->objectName()));
            if (!action->toolTip().isEmpty())
                tips << action->toolTip();
        }
        for (const char *tip : {"Play (Space)", "Pause (Space)", "Open (Ctrl+O)", "Recording info (Ctrl+I)", "Exit (Q)"})
            QVERIFY2(tips.contains(QLatin1String(tip)), tip);

        auto *speed = window.findChild<QDoubleSpinBox *>();
        QCOMPARE(speed->accessibleName(), QStringLiteral("Speed"));
        QStringList shown;
        for (Qt::Key key : {Qt::Key_BracketRight, Qt::Key_BracketRight, Qt::Key_BracketLeft, Qt::Key_Backspace,
                            Qt::Key_BracketLeft, Qt::Key_BracketRight}) {
            QTest::keyClick(&window, key);
            shown << speed->text();
        }
        QCOMPARE(shown, QStringList({"2×", "4×", "2×", "1×", "0.5×", "1×"}));
        // In the speed box the same keys type, and a typed value holds.
        speed->setFocus();
        QTest::keyClick(speed, Qt::Key_BracketRight);
        QCOMPARE(speed->value(), 1.0);
        speed->selectAll();
        QTest::keyClicks(speed, QStringLiteral("2.5"));
        QTest::keyClick(speed, Qt::Key_Return);
        QCOMPARE(speed->text(), QStringLiteral("2.5×"));
    }
    QVERIFY(readFile(settingsDir + QLatin1String("/config/current-settings.xml")).contains("<SPEED SPEED=\"2.5\"/>"));
}

void MainWindowTest::settingsSurviveARestart()
{
    SettingsFile settings;
    settings.frequency = QStringLiteral("60.5"); // reads as 0: the dialog shows its lower bound
    settings.loop = QStringLiteral("true");
    writeSettings(settingsDir, settings);
    {
        Korvel_recorder window(settingsDir);
        Modal::onNextDialog([](QDialog *dialog) {
            QCOMPARE(dialog->findChild<QSpinBox *>("sb_frequency_1")->value(), 4);
            dialog->findChild<QLineEdit *>("le_host_1")->setText(QStringLiteral("example.invalid"));
            QTest::mouseClick(dialog->findChild<QPushButton *>("pb_cancel"), Qt::LeftButton);
        });
        QVERIFY(trigger(&window, "actionPlaySettings"));

        // The cancelled edit is forgotten; the frequency is kept at what the dialog showed.
        Modal::onNextDialog([](QDialog *dialog) {
            QCOMPARE(dialog->findChild<QLineEdit *>("le_host_1")->text(), QStringLiteral("127.0.0.1"));
            dialog->findChild<QLineEdit *>("le_host_1")->setText(QStringLiteral("127.0.0.2"));
            dialog->findChild<QSpinBox *>("sb_port_1")->setValue(6001);
            dialog->findChild<QCheckBox *>("activeBox")->click();
            dialog->findChild<QLineEdit *>("le_host_2")->setText(QStringLiteral("localhost"));
            dialog->findChild<QSpinBox *>("sb_port_2")->setValue(6002);
            dialog->findChild<QRadioButton *>("rb_single")->click();
            dialog->findChild<QSpinBox *>("sb_ttl")->setValue(5);
            dialog->findChild<QLineEdit *>("le_interface")->setText(QStringLiteral("lo"));
            dialog->findChild<QCheckBox *>("cb_multicast_loop")->click();
            QTest::mouseClick(dialog->findChild<QPushButton *>("pb_ok"), Qt::LeftButton);
        });
        QVERIFY(trigger(&window, "actionPlaySettings"));
        QCOMPARE(addresses(&window), QStringList({"port 5000", "127.0.0.2  port 6001", "localhost  port 6002"}));

        // Confirming the record dialog writes the play values too, unchanged.
        Modal::onNextDialog([](QDialog *dialog) {
            dialog->findChild<QLineEdit *>("le_port")->setText(QStringLiteral("40000"));
            dialog->findChild<QLineEdit *>("le_listen")->setText(QStringLiteral("127.0.0.1"));
            dialog->findChild<QLineEdit *>("le_join")->setText(QStringLiteral("239.1.2.3"));
            dialog->findChild<QLineEdit *>("le_allow")->setText(QStringLiteral("127.0.0.0/8, ::1"));
            QTest::mouseClick(dialog->findChild<QPushButton *>("pb_ok"), Qt::LeftButton);
        });
        QVERIFY(trigger(&window, "actionRecordSettings"));
        QCOMPARE(addresses(&window), QStringList({"port 40000", "127.0.0.2  port 6001", "localhost  port 6002"}));
    }
    const QByteArray written = readFile(settingsDir + QLatin1String("/config/current-settings.xml"));
    for (const char *line : {"<PLAY_HOST_1 HOST=\"127.0.0.2\"/>", "<FREQUENCY FREQUENCY=\"4\"/>",
                             "<LOOP LOOP=\"false\"/>", "<RECORD_PORT PORT_NR=\"40000\"/>",
                             "<RECORD_LISTEN ADDRESS=\"127.0.0.1\"/>", "<RECORD_JOIN GROUPS=\"239.1.2.3\"/>",
                             "<RECORD_ALLOW SENDERS=\"127.0.0.0/8 ::1\"/>", "<PLAY_TTL TTL=\"5\"/>",
                             "<PLAY_INTERFACE INTERFACE=\"lo\"/>", "<PLAY_MULTICAST_LOOP LOOP=\"false\"/>"})
        QVERIFY2(written.contains(line), line);
    // The new elements come after every element a file of before them has.
    QVERIFY(written.indexOf("<RECORD_LISTEN") > written.indexOf("<FAULT_SEED"));

    Korvel_recorder again(settingsDir);
    QCOMPARE(addresses(&again), QStringList({"port 40000", "127.0.0.2  port 6001", "localhost  port 6002"}));
    // The network fields come back into both dialogs.
    QStringList shown;
    const auto look = [&shown](QDialog *dialog) {
        const QRegularExpression fields(QStringLiteral("le_(listen|join|allow|interface)"));
        for (QLineEdit *edit : dialog->findChildren<QLineEdit *>(fields))
            shown << edit->objectName() + '=' + edit->text();
        if (auto *ttl = dialog->findChild<QSpinBox *>("sb_ttl"))
            shown << "ttl=" + ttl->text() + " loop="
                         + QString::number(dialog->findChild<QCheckBox *>("cb_multicast_loop")->isChecked());
        dialog->reject();
    };
    Modal::onNextDialog(look);
    QVERIFY(trigger(&again, "actionRecordSettings"));
    Modal::onNextDialog(look);
    QVERIFY(trigger(&again, "actionPlaySettings"));
    shown.sort();
    QCOMPARE(shown, QStringList({"le_allow=127.0.0.0/8 ::1", "le_interface=lo", "le_join=239.1.2.3",
                                 "le_listen=127.0.0.1", "ttl=5 loop=0"}));
}

void MainWindowTest::oldFilesReadAsBefore()
{
    using namespace SettingsStore;
    // The file shipped beside the program and the one the window tests write.
    const QString shipped = QFINDTESTDATA("../../config/current-settings.xml");
    QVERIFY(!shipped.isEmpty());
    const QString shippedDir = home.filePath(QStringLiteral("shipped"));
    QVERIFY(QDir().mkpath(shippedDir + QLatin1String("/config")));
    QVERIFY(QFile::copy(shipped, userFile(shippedDir)));
    const QString fixtureDir = home.filePath(QStringLiteral("fixture"));
    QVERIFY(writeSettings(fixtureDir, SettingsFile()));
    for (const QString &dir : {shippedDir, fixtureDir}) {
        WindowSettings settings(home.path());
        QString warning;
        QVERIFY(settings.load(dir, warning));
        QDomDocument file;
        QVERIFY(read(dir, file, warning));
        // Every element the file has is taken as it stands; what it lacks keeps the start's text.
        const QStringList defaults = defaultTexts();
        for (int key = 0; key < KeyCount; ++key) {
            const QDomElement element = file.documentElement().firstChildElement(elementName(Key(key)));
            const QString start = key == SaveFileDir || key == OpenFileDir ? home.path() : defaults[key];
            QCOMPARE(settings.text(Key(key)), element.isNull() ? start : element.attribute(attributeName(Key(key))));
        }
        // Without the network elements the window listens, joins and sends as it always did.
        ReceiveOptions options;
        Player::Multicast multicast;
        QString problem;
        QVERIFY(settings.receiveOptions(options, problem));
        QVERIFY(settings.multicast(multicast, problem));
        QCOMPARE((QList<int>{options.listenAddress.family, int(options.interfaceIndex), int(options.groups.size()),
                             options.filter.size(), options.family()}),
                 (QList<int>{NET_NONE, 0, 0, 0, NET_IPV4}));
        QCOMPARE((QList<int>{multicast.ttl, int(multicast.interfaceIndex), multicast.loop}), (QList<int>{1, 0, 1}));
    }
}

void MainWindowTest::hostAddressesFollowTheirText()
{
    using namespace SettingsStore;
    WindowSettings settings(home.path());
    settings.setText(PlayHost1, QStringLiteral("localhost"));
    QObject context;
    settings.resolveHostsLater(&context);
    // The user confirms another host before the start-up lookup has answered: no event has run yet.
    // Its address is made up, so that a lookup of it could only fail.
    settings.setText(PlayHost1, QStringLiteral("renamed.invalid"));
    settings.setAddress(0, QStringLiteral("renamed.invalid"), netIpv4(0x7F000002));
    // A lookup's relay under its context goes once it has answered.
    QTRY_VERIFY(context.findChildren<QObject *>().isEmpty());
    QList<Destination> destinations;
    QString unresolved;
    QVERIFY(settings.destinations(destinations, unresolved));
    QCOMPARE(netIpv4Value(&destinations.first().address), 0x7F000002u);

    // A dialog that looked nothing up (the record dialog confirmed) leaves the address found for the host.
    settings.setAddress(0, QStringLiteral("renamed.invalid"), NetAddress());
    QVERIFY(settings.destinations(destinations, unresolved));
    QCOMPARE(netIpv4Value(&destinations.first().address), 0x7F000002u);
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
        QCOMPARE(addresses(&window), QStringList({"port -1", "  port 6001", ""}));
        QFile::remove(file);
    }
    // Every exit writes all the settings, whether or not a dialog was confirmed.
    const QByteArray written = readFile(file);
    QVERIFY(written.startsWith("<KORVEL_RECORDER>\n    <RECORD_PORT PORT_NR=\"-1\"/>\n    <PLAY_HOST_1 HOST=\"\"/>\n"));
    QCOMPARE(written.count("/>"), qsizetype(SettingsStore::KeyCount));
    QVERIFY(written.contains(("<SAVE_FILE_DIR SAVE_FILE_DIR=\"" + QDir::homePath() + "\"/>").toUtf8()));
}

QTEST_MAIN(MainWindowTest)
#include "tst_main_window.moc"
