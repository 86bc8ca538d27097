#include "settings/settings_play.h"
#include "settings/settings_record.h"
#include "support/modal_answerer.h"

#include <QApplication>
#include <QSignalSpy>
#include <QStyle>
#include <QStyleOptionButton>
#include <QTest>

#include <climits>

namespace {

// Never resolves and never reaches a name server: the empty label is refused locally.
const QString badHost = QStringLiteral("no..such..host");
const uint32_t loopback = 0x7f000001;

}

class TestSettingsDialogs : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void playForm();
    void playValuesComeBackThroughGetters();
    void playSpinBoxesClamp();
    void activeGreysOutSecondDestination();
    void unresolvableFirstHostBlocksOk_data();
    void unresolvableFirstHostBlocksOk();
    void secondHostCheckedOnlyWhileActive();
    void okSignalsBeforeAccepting();
    void cancelRejectsSilently();

    void recordForm();
    void recordPortAccepted_data();
    void recordPortAccepted();
    void recordPortRefused_data();
    void recordPortRefused();
    void recordCancelAfterRefusal();

private:
    void showAndActivate(QDialog *dialog);

    QWidget *window = nullptr;
    Settings_play *play = nullptr;
    Settings_record *record = nullptr;
};

void TestSettingsDialogs::init()
{
    window = new QWidget;
    window->setWindowIcon(QIcon(QStringLiteral("://korvel_recorder.png")));
    play = new Settings_play(window);
    record = new Settings_record(window);
}

void TestSettingsDialogs::cleanup()
{
    delete window;
    window = nullptr;
}

void TestSettingsDialogs::showAndActivate(QDialog *dialog)
{
    dialog->show();
    dialog->activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(dialog));
}

template<typename T>
static T *child(QObject *parent, const char *name)
{
    T *found = parent->findChild<T *>(QLatin1String(name));
    if (!found)
        qFatal("no child %s", name);
    return found;
}

// Clicks the box itself: the check box is wider than its indicator and text.
static void clickCheckBox(QCheckBox *box)
{
    QStyleOptionButton option;
    option.initFrom(box);
    const QRect indicator = box->style()->subElementRect(QStyle::SE_CheckBoxIndicator, &option, box);
    QTest::mouseClick(box, Qt::LeftButton, Qt::NoModifier, indicator.center());
}

void TestSettingsDialogs::playForm()
{
    QCOMPARE(play->objectName(), QStringLiteral("d_play"));
    QCOMPARE(play->windowTitle(), QStringLiteral("Play Settings"));
    QCOMPARE(play->windowIcon().cacheKey(), window->windowIcon().cacheKey());
    QVERIFY(!play->windowIcon().isNull());

    const QString hostHelp = QStringLiteral("This sets the host to which Korvel Recorder sends data during the playback. ");
    QCOMPARE(child<QLineEdit>(play, "le_host_1")->whatsThis(), hostHelp);
    QCOMPARE(child<QLineEdit>(play, "le_host_2")->whatsThis(), hostHelp);
    QCOMPARE(child<QLineEdit>(play, "le_host_1")->text(), QStringLiteral("localhost"));
    for (const char *name : {"sb_port_1", "sb_port_2"}) {
        auto *port = child<QSpinBox>(play, name);
        QCOMPARE(port->minimum(), 1);
        QCOMPARE(port->maximum(), 65535);
        QCOMPARE(port->value(), 5001);
        QCOMPARE(port->buttonSymbols(), QAbstractSpinBox::NoButtons);
    }
    auto *frequency = child<QSpinBox>(play, "sb_frequency_1");
    QCOMPARE(frequency->suffix(), QStringLiteral(" Hz"));
    QCOMPARE(frequency->minimum(), 4);
    QCOMPARE(frequency->maximum(), 60);
    QCOMPARE(frequency->value(), 4);
    QCOMPARE(frequency->whatsThis(), QStringLiteral("This sets the frame rate during playback. "));
    QCOMPARE(child<QRadioButton>(play, "rb_loop")->whatsThis(),
             QStringLiteral("This option automatically restarts the playback after reaching the end. "));
    QCOMPARE(child<QRadioButton>(play, "rb_single")->whatsThis(),
             QStringLiteral("This option stops the playback when reaching the end. "));
    QCOMPARE(child<QCheckBox>(play, "cb_timestamp")->whatsThis(),
             QStringLiteral("This will override the frame rate frequency on the left if there is timestamp "
                            "information available in the recorded file.  "));
    QCOMPARE(child<QCheckBox>(play, "cb_timestamp")->text(), QStringLiteral("use timestamp if available"));
    QVERIFY(child<QRadioButton>(play, "rb_loop")->isChecked());
    QVERIFY(child<QCheckBox>(play, "cb_timestamp")->isChecked());
    QVERIFY(!child<QCheckBox>(play, "activeBox")->isChecked());
    QCOMPARE(play->size(), QSize(424, 243));
}

void TestSettingsDialogs::playValuesComeBackThroughGetters()
{
    play->setValues(QStringLiteral("10.0.0.1"), 0x0a000001, 6000, 30, QStringLiteral("relay"), 0x0a000002, 40000,
                    false, false, true);
    QCOMPARE(play->host1(), QStringLiteral("10.0.0.1"));
    QCOMPARE(play->address1(), 0x0a000001u);
    QCOMPARE(play->host2(), QStringLiteral("relay"));
    QCOMPARE(play->address2(), 0x0a000002u);
    QCOMPARE(play->port1Value(), 6000);
    QCOMPARE(play->port1Text(), QStringLiteral("6000"));
    QCOMPARE(play->port2Value(), 40000);
    QCOMPARE(play->port2Text(), QStringLiteral("40000"));
    QCOMPARE(play->frequencyValue(), 30);
    QCOMPARE(play->frequencyText(), QStringLiteral("30"));
    QVERIFY(play->isActive());
    QCOMPARE(play->activeText(), QStringLiteral("true"));
    QVERIFY(!play->isLoop());
    QCOMPARE(play->loopText(), QStringLiteral("false"));
    QVERIFY(child<QRadioButton>(play, "rb_single")->isChecked());
    QVERIFY(!play->isTimestamp());
    QCOMPARE(play->timestampText(), QStringLiteral("false"));
    QCOMPARE(child<QLineEdit>(play, "le_host_2")->text(), QStringLiteral("relay"));
    QVERIFY(child<QLineEdit>(play, "le_host_2")->isEnabled());

    play->setValues(QStringLiteral("a"), 1, 1, 4, QStringLiteral("b"), 2, 2, true, true, false);
    QVERIFY(play->isLoop());
    QCOMPARE(play->loopText(), QStringLiteral("true"));
    QCOMPARE(play->timestampText(), QStringLiteral("true"));
    QCOMPARE(play->activeText(), QStringLiteral("false"));
    QVERIFY(!child<QLineEdit>(play, "le_host_2")->isEnabled());
    QVERIFY(!child<QSpinBox>(play, "sb_port_2")->isEnabled());
}

void TestSettingsDialogs::playSpinBoxesClamp()
{
    play->setValues(QStringLiteral("localhost"), loopback, 0, 0, QStringLiteral("localhost"), loopback, 0,
                    true, true, false);
    QCOMPARE(play->port1Text(), QStringLiteral("1"));
    QCOMPARE(play->port2Value(), 1);
    QCOMPARE(play->frequencyValue(), 4);
    QCOMPARE(play->frequencyText(), QStringLiteral("4"));

    play->setValues(QStringLiteral("localhost"), loopback, 65535, 100, QStringLiteral("localhost"), loopback, 65535,
                    true, true, false);
    QCOMPARE(play->port1Text(), QStringLiteral("65535"));
    QCOMPARE(play->frequencyValue(), 60);

    // A frequency beyond the range of int must clamp high, not wrap to a negative number.
    play->setValues(QStringLiteral("localhost"), loopback, 5001, UINT_MAX, QStringLiteral("localhost"), loopback,
                    5001, true, true, false);
    QCOMPARE(play->frequencyValue(), 60);
}

void TestSettingsDialogs::activeGreysOutSecondDestination()
{
    play->setValues(QStringLiteral("localhost"), loopback, 5001, 4, QStringLiteral("192.168.7.7"), 0xc0a80707, 6002,
                    true, true, true);
    showAndActivate(play);
    auto *active = child<QCheckBox>(play, "activeBox");
    auto *host2 = child<QLineEdit>(play, "le_host_2");
    auto *port2 = child<QSpinBox>(play, "sb_port_2");

    clickCheckBox(active);
    QVERIFY(!active->isChecked());
    QVERIFY(!host2->isEnabled());
    QVERIFY(!port2->isEnabled());

    clickCheckBox(active);
    QVERIFY(active->isChecked());
    QVERIFY(host2->isEnabled());
    QVERIFY(port2->isEnabled());
    QCOMPARE(host2->text(), QStringLiteral("192.168.7.7"));
    QCOMPARE(port2->value(), 6002);
}

void TestSettingsDialogs::unresolvableFirstHostBlocksOk_data()
{
    QTest::addColumn<QString>("host1");
    QTest::newRow("unknown name") << badHost;
    QTest::newRow("any address") << QStringLiteral("0.0.0.0");
    QTest::newRow("empty") << QString();
}

void TestSettingsDialogs::unresolvableFirstHostBlocksOk()
{
    QFETCH(QString, host1);
    play->setValues(QStringLiteral("localhost"), loopback, 5001, 4, QStringLiteral("localhost"), loopback, 5001,
                    true, true, true);
    showAndActivate(play);
    child<QLineEdit>(play, "le_host_1")->setText(host1);
    child<QLineEdit>(play, "le_host_2")->setText(badHost);
    child<QSpinBox>(play, "sb_port_1")->setFocus();
    QSignalSpy written(play, &Settings_play::writeSettingFile);

    {
        // Both hosts are bad: one box only, for the first.
        const auto boxes = Modal::answerEveryBox();
        QTest::mouseClick(child<QPushButton>(play, "pb_ok"), Qt::LeftButton);
        QCOMPARE(boxes->size(), 1);
        QCOMPARE(boxes->first().icon, QMessageBox::Critical);
        QCOMPARE(boxes->first().title, QStringLiteral("host play"));
        QCOMPARE(boxes->first().text, QStringLiteral("Please check your ip address\n"));
        QVERIFY(boxes->first().hadParent);
    }
    QCOMPARE(written.count(), 0);
    QVERIFY(play->isVisible());
    QCOMPARE(play->focusWidget(), child<QLineEdit>(play, "le_host_1"));
    QCOMPARE(play->host1(), host1);
    QCOMPARE(play->address1(), 0u);
}

void TestSettingsDialogs::secondHostCheckedOnlyWhileActive()
{
    play->setValues(QStringLiteral("127.0.0.1"), loopback, 5001, 4, QStringLiteral("localhost"), loopback, 5001,
                    true, true, true);
    showAndActivate(play);
    child<QLineEdit>(play, "le_host_2")->setText(badHost);
    QSignalSpy written(play, &Settings_play::writeSettingFile);

    auto box = Modal::answerNextBox();
    QTest::mouseClick(child<QPushButton>(play, "pb_ok"), Qt::LeftButton);
    QVERIFY(box->seen);
    QCOMPARE(box->title, QStringLiteral("host play"));
    QCOMPARE(box->text, QStringLiteral("Please check your ip address\n"));
    QCOMPARE(written.count(), 0);
    QVERIFY(play->isVisible());
    QCOMPARE(play->focusWidget(), child<QLineEdit>(play, "le_host_2"));

    // Inactive, the same host passes and is handed on with the address 0.
    clickCheckBox(child<QCheckBox>(play, "activeBox"));
    QTest::mouseClick(child<QPushButton>(play, "pb_ok"), Qt::LeftButton);
    QCOMPARE(written.count(), 1);
    QCOMPARE(play->result(), int(QDialog::Accepted));
    QCOMPARE(play->address1(), loopback);
    QCOMPARE(play->host2(), badHost);
    QCOMPARE(play->address2(), 0u);
    QCOMPARE(play->activeText(), QStringLiteral("false"));
}

void TestSettingsDialogs::okSignalsBeforeAccepting()
{
    play->setValues(QString(), 0, 5001, 0, QString(), 0, 5001, true, true, false);
    showAndActivate(play);
    child<QLineEdit>(play, "le_host_1")->setText(QStringLiteral("localhost"));
    child<QSpinBox>(play, "sb_port_1")->setValue(7000);

    // The receiver reads the getters while the dialog is still open.
    bool visibleAtSignal = false;
    QString hostAtSignal;
    uint32_t addressAtSignal = 0;
    connect(play, &Settings_play::writeSettingFile, this, [&] {
        visibleAtSignal = play->isVisible();
        hostAtSignal = play->host1();
        addressAtSignal = play->address1();
    });
    QSignalSpy written(play, &Settings_play::writeSettingFile);
    QTest::mouseClick(child<QPushButton>(play, "pb_ok"), Qt::LeftButton);

    QCOMPARE(written.count(), 1);
    QVERIFY(visibleAtSignal);
    QCOMPARE(hostAtSignal, QStringLiteral("localhost"));
    QCOMPARE(addressAtSignal, loopback);
    QVERIFY(!play->isVisible());
    QCOMPARE(play->result(), int(QDialog::Accepted));
    QCOMPARE(play->port1Text(), QStringLiteral("7000"));
    // A stored frequency of 0 was shown as 4 Hz and is handed on as 4.
    QCOMPARE(play->frequencyText(), QStringLiteral("4"));
}

void TestSettingsDialogs::cancelRejectsSilently()
{
    play->setValues(QStringLiteral("localhost"), loopback, 5001, 10, QStringLiteral("localhost"), loopback, 5001,
                    true, true, false);
    showAndActivate(play);
    child<QLineEdit>(play, "le_host_1")->setText(QStringLiteral("10.1.1.1"));
    QSignalSpy written(play, &Settings_play::writeSettingFile);
    QTest::mouseClick(child<QPushButton>(play, "pb_cancel"), Qt::LeftButton);
    QCOMPARE(written.count(), 0);
    QVERIFY(!play->isVisible());
    QCOMPARE(play->result(), int(QDialog::Rejected));
    QCOMPARE(play->host1(), QStringLiteral("localhost"));

    // Reopening loads the stored values again.
    play->setValues(QStringLiteral("localhost"), loopback, 5001, 10, QStringLiteral("localhost"), loopback, 5001,
                    true, true, false);
    QCOMPARE(child<QLineEdit>(play, "le_host_1")->text(), QStringLiteral("localhost"));
}

void TestSettingsDialogs::recordForm()
{
    QCOMPARE(record->objectName(), QStringLiteral("d_record"));
    QCOMPARE(record->windowTitle(), QStringLiteral("Record Settings"));
    QCOMPARE(record->windowIcon().cacheKey(), window->windowIcon().cacheKey());
    QCOMPARE(record->minimumSize(), QSize(327, 115));
    QCOMPARE(record->maximumSize(), QSize(327, 115));
    auto *port = child<QLineEdit>(record, "le_port");
    QCOMPARE(port->text(), QStringLiteral("5000"));
    QCOMPARE(port->maxLength(), 5);
    QCOMPARE(port->geometry(), QRect(220, 30, 70, 18));
    QCOMPARE(port->whatsThis(),
             QStringLiteral("This sets the port on which Korvel Recorder is listening while recording."));
    QCOMPARE(child<QLabel>(record, "l_port")->text(), QStringLiteral("record port"));
    QCOMPARE(child<QPushButton>(record, "pb_ok")->geometry(), QRect(130, 80, 77, 21));
    QCOMPARE(child<QPushButton>(record, "pb_cancel")->geometry(), QRect(220, 80, 77, 21));

    showAndActivate(record);
    port->setFocus();
    QTest::keyClick(record, Qt::Key_Tab);
    QCOMPARE(record->focusWidget(), child<QPushButton>(record, "pb_ok"));
    QTest::keyClick(record, Qt::Key_Tab);
    QCOMPARE(record->focusWidget(), child<QPushButton>(record, "pb_cancel"));
}

void TestSettingsDialogs::recordPortAccepted_data()
{
    QTest::addColumn<QString>("typed");
    QTest::addColumn<int>("port");
    QTest::newRow("5000") << "5000" << 5000;
    QTest::newRow("0") << "0" << 0;
    QTest::newRow("-1") << "-1" << 65535;
    QTest::newRow("-9999") << "-9999" << 55537;
    QTest::newRow("32767") << "32767" << 32767;
    // Receive ports in the upper half are common; they are taken as unsigned.
    QTest::newRow("40000") << "40000" << 40000;
    QTest::newRow("65535") << "65535" << 65535;
}

void TestSettingsDialogs::recordPortAccepted()
{
    QFETCH(QString, typed);
    QFETCH(int, port);
    record->setValues(QStringLiteral("5000"), 5000);
    showAndActivate(record);
    auto *field = child<QLineEdit>(record, "le_port");
    field->clear();
    QTest::keyClicks(field, typed);

    bool visibleAtSignal = true;
    connect(record, &Settings_record::writeSettingFile, this, [&] { visibleAtSignal = record->isVisible(); });
    QSignalSpy written(record, &Settings_record::writeSettingFile);
    QTest::mouseClick(child<QPushButton>(record, "pb_ok"), Qt::LeftButton);

    QCOMPARE(written.count(), 1);
    QVERIFY(!visibleAtSignal);
    QCOMPARE(record->result(), int(QDialog::Accepted));
    QCOMPARE(record->portText(), typed);
    QCOMPARE(int(uint16_t(record->port())), port);
}

void TestSettingsDialogs::recordPortRefused_data()
{
    QTest::addColumn<QString>("typed");
    QTest::addColumn<QString>("held");
    QTest::newRow("70000") << "70000" << "70000";
    QTest::newRow("letters") << "5a" << "5a";
    QTest::newRow("empty") << "" << "";
    QTest::newRow("minus") << "-" << "-";
    // The field takes five characters, so 700000 arrives as 70000.
    QTest::newRow("six digits") << "700000" << "70000";
}

void TestSettingsDialogs::recordPortRefused()
{
    QFETCH(QString, typed);
    QFETCH(QString, held);
    record->setValues(QStringLiteral("5000"), 5000);
    showAndActivate(record);
    auto *field = child<QLineEdit>(record, "le_port");
    field->clear();
    QTest::keyClicks(field, typed);
    child<QPushButton>(record, "pb_ok")->setFocus();
    QSignalSpy written(record, &Settings_record::writeSettingFile);

    {
        const auto boxes = Modal::answerEveryBox();
        QTest::mouseClick(child<QPushButton>(record, "pb_ok"), Qt::LeftButton);
        QCOMPARE(boxes->size(), 1);
        QCOMPARE(boxes->first().icon, QMessageBox::Critical);
        QCOMPARE(boxes->first().title, QStringLiteral("port record"));
        QCOMPARE(boxes->first().text, QStringLiteral("Please check your port\n"));
    }
    QCOMPARE(written.count(), 0);
    QVERIFY(record->isVisible());
    QCOMPARE(record->focusWidget(), field);
    QCOMPARE(record->portText(), held);
    QCOMPARE(record->port(), int16_t(0));
}

void TestSettingsDialogs::recordCancelAfterRefusal()
{
    record->setValues(QStringLiteral("-1"), 65535);
    QCOMPARE(record->port(), int16_t(-1));
    showAndActivate(record);
    auto *field = child<QLineEdit>(record, "le_port");
    field->setText(QStringLiteral("5a"));
    auto box = Modal::answerNextBox();
    QTest::mouseClick(child<QPushButton>(record, "pb_ok"), Qt::LeftButton);
    QVERIFY(box->seen);

    QSignalSpy written(record, &Settings_record::writeSettingFile);
    QTest::mouseClick(child<QPushButton>(record, "pb_cancel"), Qt::LeftButton);
    QCOMPARE(written.count(), 0);
    QCOMPARE(record->result(), int(QDialog::Rejected));

    record->setValues(QStringLiteral("-1"), 65535);
    QCOMPARE(field->text(), QStringLiteral("-1"));
    QCOMPARE(record->portText(), QStringLiteral("-1"));
}

QTEST_MAIN(TestSettingsDialogs)
#include "tst_settings_dialogs.moc"
