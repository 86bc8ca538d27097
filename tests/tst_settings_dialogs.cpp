#include "settings/settings_play.h"
#include "settings/settings_record.h"
#include "support/modal_answerer.h"

#include <QSignalSpy>
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
    void playValuesComeBack_data()
    {
        QTest::addColumn<uint>("port"); // the second port is 65535 - port
        QTest::addColumn<uint>("frequency");
        QTest::addColumn<bool>("flag"); // loop and active; timestamp is the opposite
        QTest::addColumn<QString>("shown"); // port 1, port 2 and frequency as value and text, then the three flags
        QTest::newRow("as given") << 40000u << 30u << false << "40000 40000 25535 25535 30 30 false true false";
        QTest::newRow("lowest") << 0u << 0u << true << "1 1 65535 65535 4 4 true false true";
        // A frequency beyond int must clamp high, not wrap to a negative number.
        QTest::newRow("highest") << 65535u << UINT_MAX << true << "65535 65535 1 1 60 60 true false true";
    }

    void playValuesComeBack()
    {
        QFETCH(uint, port);
        QFETCH(uint, frequency);
        QFETCH(bool, flag);
        Settings_play play(nullptr);
        QCOMPARE(play.windowTitle(), QStringLiteral("Play Settings"));
        play.setValues(QStringLiteral("localhost"), loopback, port, frequency, QString(), 0, 65535 - port, flag, !flag,
                       flag);
        const QStringList shown = {QString::number(play.port1Value()), play.port1Text(),
                                   QString::number(play.port2Value()), play.port2Text(),
                                   QString::number(play.frequencyValue()), play.frequencyText(),
                                   play.loopText(), play.timestampText(), play.activeText()};
        QTEST(shown.join(' '), "shown");
        QCOMPARE((QList<bool>{play.isLoop(), play.isTimestamp(), play.isActive()}), (QList<bool>{flag, !flag, flag}));
        QCOMPARE(play.findChild<QLineEdit *>("le_host_2")->isEnabled(), flag);
    }

    void activeGreysOutSecondDestinationAndKeepsIt()
    {
        Settings_play play(nullptr);
        play.setValues(QStringLiteral("localhost"), loopback, 5001, 4, QStringLiteral("192.168.7.7"), 0xc0a80707, 6002,
                       true, true, true);
        play.show();
        QVERIFY(QTest::qWaitForWindowActive(&play));
        auto *host2 = play.findChild<QLineEdit *>("le_host_2");
        auto *port2 = play.findChild<QSpinBox *>("sb_port_2");
        for (bool active : {false, true}) {
            QTest::keyClick(play.findChild<QCheckBox *>("activeBox"), Qt::Key_Space);
            QCOMPARE(host2->isEnabled(), active);
            QCOMPARE(port2->isEnabled(), active);
        }
        QCOMPARE(host2->text(), QStringLiteral("192.168.7.7"));
        QCOMPARE(port2->value(), 6002);
    }

    void buttonsCheckTheFields_data()
    {
        QTest::addColumn<QString>("dialogName");
        QTest::addColumn<QString>("first"); // le_host_1 or le_port
        QTest::addColumn<QString>("second"); // le_host_2
        QTest::addColumn<bool>("active");
        QTest::addColumn<QString>("outcome"); // accepted, rejected (by Cancel) or the field given the focus
        QTest::addColumn<QString>("held"); // the addresses, or the port as text and number
        // Both hosts are bad: one box only, for the first.
        QTest::newRow("unknown first") << "play" << badHost << badHost << true << "le_host_1" << "0 0";
        QTest::newRow("any address") << "play" << "0.0.0.0" << "localhost" << true << "le_host_1" << "0 7f000001";
        QTest::newRow("empty first") << "play" << "" << "localhost" << false << "le_host_1" << "0 7f000001";
        QTest::newRow("unknown second") << "play" << "127.0.0.1" << badHost << true << "le_host_2" << "7f000001 0";
        QTest::newRow("inactive second") << "play" << "127.0.0.1" << badHost << false << "accepted" << "7f000001 0";
        QTest::newRow("known") << "play" << "localhost" << "127.0.0.1" << true << "accepted" << "7f000001 7f000001";
        QTest::newRow("play cancelled") << "play" << "10.1.1.1" << badHost << true << "rejected" << "7f000001 7f000001";
        QTest::newRow("5000") << "record" << "5000" << "" << false << "accepted" << "5000 5000";
        QTest::newRow("-1 wraps") << "record" << "-1" << "" << false << "accepted" << "-1 65535";
        // Receive ports in the upper half are common; they are taken as unsigned.
        QTest::newRow("40000") << "record" << "40000" << "" << false << "accepted" << "40000 40000";
        QTest::newRow("70000") << "record" << "70000" << "" << false << "le_port" << "70000 0";
        QTest::newRow("letters") << "record" << "5a" << "" << false << "le_port" << "5a 0";
        QTest::newRow("empty") << "record" << "" << "" << false << "le_port" << " 0";
        // The field takes five characters, so 700000 arrives as 70000.
        QTest::newRow("six digits") << "record" << "700000" << "" << false << "le_port" << "70000 0";
        QTest::newRow("record cancelled") << "record" << "6000" << "" << false << "rejected" << "4000 4000";
    }

    void buttonsCheckTheFields()
    {
        QFETCH(QString, dialogName);
        QFETCH(QString, first);
        QFETCH(QString, second);
        QFETCH(bool, active);
        QFETCH(QString, outcome);
        Settings_play play(nullptr);
        Settings_record record(nullptr);
        QCOMPARE(record.windowTitle(), QStringLiteral("Record Settings"));
        play.setValues(QStringLiteral("localhost"), loopback, 5001, 4, QStringLiteral("localhost"), loopback, 5001,
                       true, true, active);
        record.setValues(QStringLiteral("4000"), 4000);
        QDialog *dialog = dialogName == "play" ? static_cast<QDialog *>(&play) : &record;
        dialog->show();
        QVERIFY(QTest::qWaitForWindowActive(dialog));
        // Like typing: the port field keeps five characters.
        dialog->findChild<QLineEdit *>(dialog == &play ? "le_host_1" : "le_port")->setText(first);
        play.findChild<QLineEdit *>("le_host_2")->setText(second);
        dialog->findChild<QPushButton *>("pb_ok")->setFocus();
        const auto held = [&] {
            return dialog == &play ? QString::number(play.address1(), 16) + ' ' + QString::number(play.address2(), 16)
                                   : record.portText() + ' ' + QString::number(uint16_t(record.port()));
        };
        // The window reads the getters on the signal, so they must be filled while the dialog is still open.
        QString heldAtSignal;
        connect(&play, &Settings_play::writeSettingFile, this, [&] { heldAtSignal = play.isVisible() ? held() : ""; });
        QSignalSpy written(dialog, SIGNAL(writeSettingFile()));

        const auto boxes = Modal::answerEveryBox();
        QTest::mouseClick(dialog->findChild<QWidget *>(outcome == "rejected" ? "pb_cancel" : "pb_ok"), Qt::LeftButton);
        QStringList seen;
        for (const Modal::Box &box : *boxes)
            seen += (box.icon == QMessageBox::Critical ? "critical " : "other ") + box.title + ": " + box.text;
        const bool refused = outcome != "accepted" && outcome != "rejected";
        const QString box = dialog == &play ? "critical host play: Please check your ip address\n"
                                            : "critical port record: Please check your port\n";
        QCOMPARE(seen, refused ? QStringList{box} : QStringList());
        QCOMPARE(written.count(), outcome == "accepted" ? 1 : 0);
        QCOMPARE(dialog->isVisible(), refused);
        if (refused)
            QCOMPARE(dialog->focusWidget()->objectName(), outcome);
        else
            QCOMPARE(dialog->result(), int(outcome == "accepted" ? QDialog::Accepted : QDialog::Rejected));
        QTEST(held(), "held");
        if (dialog == &play && outcome == "accepted")
            QCOMPARE(heldAtSignal, held());
    }
};

QTEST_MAIN(TestSettingsDialogs)
#include "tst_settings_dialogs.moc"
