#include "gui/dialogs/settings_play.h"
#include "gui/dialogs/settings_record.h"
#include "support/modal_answerer.h"

#include <QCheckBox>
#include <QGroupBox>
#include <QSpinBox>
#include <QTest>

#include <climits>

namespace {

// Never resolves and never reaches a name server: the empty label is refused locally.
const QString badHost = QStringLiteral("no..such..host");
const NetAddress loopback = netIpv4(0x7f000001);

}

class TestSettingsDialogs : public QObject
{
    Q_OBJECT

private slots:
    void playValuesComeBack_data()
    {
        QTest::addColumn<uint>("port"); // the second port is 65535 - port
        QTest::addColumn<uint>("frequency");
        QTest::addColumn<bool>("flag"); // loop, active and every timestamp; timestamp and continue are the opposite
        // Host 2, then port 1, port 2 and frequency as value and text, then the five flags; active and timestamp
        // are switched three times.
        QTest::addColumn<QString>("shown");
        QTest::newRow("as given") << 40000u << 30u << false
                                  << "10.7.7.7 40000 40000 25535 25535 30 30 false false true false true";
        QTest::newRow("lowest") << 0u << 0u << true << "10.7.7.7 1 1 65535 65535 4 4 true true false true false";
        // A frequency beyond int must clamp high, not wrap to a negative number.
        QTest::newRow("highest") << 65535u << UINT_MAX << true
                                 << "10.7.7.7 65535 65535 1 1 60 60 true true false true false";
    }

    void playValuesComeBack()
    {
        QFETCH(uint, port);
        QFETCH(uint, frequency);
        QFETCH(bool, flag);
        Settings_play play(nullptr);
        play.setValues(QStringLiteral("localhost"), loopback, port, frequency, QStringLiteral("10.7.7.7"),
                       netIpv4(0x0a070707), 65535 - port, flag, !flag, flag, flag, !flag);
        auto *host2 = play.findChild<QLineEdit *>("le_host_2");
        auto *port2 = play.findChild<QSpinBox *>("sb_port_2");
        auto *every = play.findChild<QCheckBox *>("cb_every_timestamp");
        // Active greys the second destination out and back, timestamp its "every" choice; both keep what they hold.
        for (bool active : {flag, !flag, flag}) {
            QCOMPARE((QList<bool>{host2->isEnabled(), port2->isEnabled(), every->isEnabled()}),
                     (QList<bool>{active, active, !active}));
            play.findChild<QCheckBox *>("activeBox")->click();
            play.findChild<QCheckBox *>("cb_timestamp")->click();
        }
        const QStringList shown = {host2->text(), QString::number(play.port1Value()), play.port1Text(),
                                   QString::number(play.port2Value()), play.port2Text(),
                                   QString::number(play.frequencyValue()), play.frequencyText(),
                                   play.loopText(), play.timestampText(), play.activeText(),
                                   play.everyTimestampText(), play.continueNumbersText()};
        QTEST(shown.join(' '), "shown");
        QCOMPARE((QList<bool>{play.isLoop(), play.isTimestamp(), play.isActive(), play.isEveryTimestamp(),
                              play.isContinueNumbers()}),
                 (QList<bool>{flag, flag, !flag, flag, !flag}));
    }

    void buttonsCheckTheFields_data()
    {
        QTest::addColumn<QString>("dialogName");
        QTest::addColumn<QString>("first"); // le_host_1 or le_port
        QTest::addColumn<QString>("second"); // le_host_2
        QTest::addColumn<bool>("active");
        QTest::addColumn<QString>("outcome"); // accepted, rejected (by Cancel) or the field given the focus
        QTest::addColumn<QString>("held"); // the addresses, or the port as text and number and the seconds kept
        // Both hosts are bad: one box only, for the first.
        QTest::newRow("empty first") << "play" << "" << badHost << true << "le_host_1" << "0 0";
        // The first destination is checked even while the second is inactive.
        QTest::newRow("any address") << "play" << "0.0.0.0" << "localhost" << false << "le_host_1" << "0 7f000001";
        QTest::newRow("unknown second") << "play" << "127.0.0.1" << badHost << true << "le_host_2" << "7f000001 0";
        QTest::newRow("inactive second") << "play" << "127.0.0.1" << badHost << false << "accepted" << "7f000001 0";
        QTest::newRow("known") << "play" << "localhost" << "127.0.0.1" << true << "accepted" << "7f000001 7f000001";
        QTest::newRow("play cancelled") << "play" << "10.1.1.1" << badHost << true << "rejected" << "7f000001 7f000001";
        QTest::newRow("-1 wraps") << "record" << "-1" << "" << false << "accepted" << "-1 65535 30";
        // Receive ports in the upper half are common; they are taken as unsigned.
        QTest::newRow("40000") << "record" << "40000" << "" << false << "accepted" << "40000 40000 30";
        QTest::newRow("letters") << "record" << "5a" << "" << false << "le_port" << "5a 0 0";
        // The field takes five characters, so 700000 arrives as 70000, which is too large.
        QTest::newRow("six digits") << "record" << "700000" << "" << false << "le_port" << "70000 0 0";
        QTest::newRow("record cancelled") << "record" << "6000" << "" << false << "rejected" << "4000 4000 0";
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
        play.setValues(QStringLiteral("localhost"), loopback, 5001, 4, QStringLiteral("localhost"), loopback, 5001,
                       true, true, active);
        record.setValues(QStringLiteral("4000"), 4000, 0);
        record.findChild<QSpinBox *>("sb_preTrigger")->setValue(30);
        QDialog *dialog = dialogName == "play" ? static_cast<QDialog *>(&play) : &record;
        QCOMPARE(dialog->windowTitle(), dialog == &play ? "Play Settings" : "Record Settings");
        dialog->show();
        QVERIFY(QTest::qWaitForWindowActive(dialog));
        // Like typing: the port field keeps five characters.
        dialog->findChild<QLineEdit *>(dialog == &play ? "le_host_1" : "le_port")->setText(first);
        play.findChild<QLineEdit *>("le_host_2")->setText(second);
        dialog->findChild<QPushButton *>("pb_ok")->setFocus();
        const auto held = [&] {
            const NetAddress a1 = play.address1(), a2 = play.address2();
            return dialog == &play ? QString::number(netIpv4Value(&a1), 16) + ' ' + QString::number(netIpv4Value(&a2), 16)
                                   : record.portText() + ' ' + QString::number(uint16_t(record.port())) + ' '
                                         + record.preTriggerText();
        };
        // The window reads the getters on the signal, so the play dialog must fill them while still open.
        QStringList heldAtSignal;
        const auto signalled = [&] { heldAtSignal += dialog == &play && !play.isVisible() ? "closed" : held(); };
        connect(&play, &Settings_play::writeSettingFile, this, signalled);
        connect(&record, &Settings_record::writeSettingFile, this, signalled);

        const auto boxes = Modal::answerEveryBox();
        QTest::mouseClick(dialog->findChild<QWidget *>(outcome == "rejected" ? "pb_cancel" : "pb_ok"), Qt::LeftButton);
        QStringList seen;
        for (const Modal::Box &box : *boxes)
            seen += (box.icon == QMessageBox::Critical ? "critical " : "other ") + box.title + ": " + box.text;
        const bool refused = outcome != "accepted" && outcome != "rejected";
        const QString box = dialog == &play ? "critical host play: Please check your ip address\n"
                                            : "critical port record: Please check your port\n";
        QCOMPARE(seen, refused ? QStringList{box} : QStringList());
        QCOMPARE(dialog->isVisible(), refused);
        const QString result = dialog->result() == QDialog::Accepted ? "accepted" : "rejected";
        QCOMPARE(refused ? dialog->focusWidget()->objectName() : result, outcome);
        QTEST(held(), "held");
        QCOMPARE(heldAtSignal, outcome == "accepted" ? QStringList{held()} : QStringList());
    }

    // Off by default, the stored texts come back, and OK refuses a fault the player could not take.
    void faultsGroup_data()
    {
        QTest::addColumn<QStringList>("faults"); // drop, duplicate, reorder, delay, seed
        QTest::addColumn<QString>("outcome");   // accepted or the field given the focus
        QTest::newRow("percentages and a list") << QStringList{"1.5%", "", "100-102,200", "2:0.5", "7"} << "accepted";
        QTest::newRow("bad list") << QStringList{"", "5-x", "", "", ""} << "le_duplicate";
        QTest::newRow("over 100%") << QStringList{"60%", "50%", "", "", ""} << "le_drop";
        QTest::newRow("bad delay") << QStringList{"", "", "", "2:x", ""} << "le_delay";
        QTest::newRow("bad seed") << QStringList{"", "", "", "", "-1"} << "le_seed";
    }

    void faultsGroup()
    {
        QFETCH(QStringList, faults);
        QFETCH(QString, outcome);
        Settings_play play(nullptr);
        QVERIFY(!play.findChild<QGroupBox *>("gb_faults")->isChecked());
        QCOMPARE(play.findChild<QCheckBox *>("cb_realtime")->text(), QStringLiteral("real-time priority when allowed"));
        play.setValues(QStringLiteral("localhost"), loopback, 5001, 4, QStringLiteral("localhost"), loopback, 5001,
                       true, true, false);
        play.setInstrumentValues(true, true, faults);
        QCOMPARE(play.faultTexts(), faults);
        QCOMPARE(play.realtimeText() + play.faultsText(), QStringLiteral("truetrue"));
        play.show();
        QVERIFY(QTest::qWaitForWindowActive(&play));
        const auto boxes = Modal::answerEveryBox();
        QTest::mouseClick(play.findChild<QWidget *>("pb_ok"), Qt::LeftButton);
        QCOMPARE(play.isVisible(), outcome != "accepted");
        QCOMPARE(boxes->size(), outcome == "accepted" ? 0 : 1);
        if (outcome != "accepted") {
            QCOMPARE(boxes->first().title, QStringLiteral("Faults"));
            QCOMPARE(play.focusWidget()->objectName(), outcome);
        }
    }

    // The network fields go through the command line's own checks: a box naming the field, the
    // field focused, the dialog open and no signal; what is taken comes back as stored.
    void networkFieldsCheckedOnOk_data()
    {
        QTest::addColumn<QString>("dialogName");
        QTest::addColumn<QStringList>("fields"); // object name, text; a spin box takes a number
        QTest::addColumn<QString>("outcome");    // the stored texts, or the focused field and the box
        QTest::newRow("everyone, everywhere") << "record" << QStringList{"le_listen", " "}
                                              << "accepted:||";
        QTest::newRow("lists as typed") << "record"
            << QStringList{"le_listen", "127.0.0.1", "le_join", "239.1.2.3,  192.0.2.7@232.1.1.1",
                           "le_allow", "10.1.0.0/16 , fe80::/10"}
            << "accepted:127.0.0.1|239.1.2.3 192.0.2.7@232.1.1.1|10.1.0.0/16 fe80::/10";
        QTest::newRow("unknown interface") << "record" << QStringList{"le_listen", "nosuch0"}
            << "le_listen:Network: Please check the listen address \"nosuch0\": no such interface";
        QTest::newRow("unicast group") << "record" << QStringList{"le_join", "239.1.2.3 10.0.0.1"}
            << "le_join:Network: Please check the groups to join \"10.0.0.1\": 10.0.0.1 is not a multicast group";
        QTest::newRow("family mismatch") << "record" << QStringList{"le_listen", "127.0.0.1", "le_join", "ff12::7"}
            << "le_join:Network: Please check the groups to join \"ff12::7\": an IPv6 group where the socket is IPv4";
        QTest::newRow("malformed subnet") << "record" << QStringList{"le_allow", "10.1.0.0/40"}
            << "le_allow:Network: Please check the allowed senders \"10.1.0.0/40\": "
               "expected a host address or a subnet such as 10.1.0.0/16";
        QTest::newRow("multicast choices") << "play" << QStringList{"sb_ttl", "32", "le_interface", " lo "}
                                           << "accepted:32|lo|true";
        QTest::newRow("defaults") << "play" << QStringList() << "accepted:1||true";
        QTest::newRow("unknown send interface") << "play" << QStringList{"le_interface", "nosuch0"}
            << "le_interface:Multicast: Please check the interface \"nosuch0\": no such interface";
    }

    void networkFieldsCheckedOnOk()
    {
        QFETCH(QString, dialogName);
        QFETCH(QStringList, fields);
        QFETCH(QString, outcome);
        Settings_play play(nullptr);
        Settings_record record(nullptr);
        play.setValues(QStringLiteral("localhost"), loopback, 5001, 4, QStringLiteral("localhost"), loopback, 5001,
                       true, true, false);
        play.setMulticastValues(QStringLiteral("1"), QString(), true);
        record.setValues(QStringLiteral("4000"), 4000, 0);
        record.setNetworkValues(QString(), QString(), QString());
        QDialog *dialog = dialogName == "play" ? static_cast<QDialog *>(&play) : &record;
        dialog->show();
        QVERIFY(QTest::qWaitForWindowActive(dialog));
        for (qsizetype i = 0; i + 1 < fields.size(); i += 2) {
            if (auto *spin = dialog->findChild<QSpinBox *>(fields[i]))
                spin->setValue(fields[i + 1].toInt());
            else
                dialog->findChild<QLineEdit *>(fields[i])->setText(fields[i + 1]);
        }
        int written = 0;
        connect(&play, &Settings_play::writeSettingFile, this, [&] { ++written; });
        connect(&record, &Settings_record::writeSettingFile, this, [&] { ++written; });
        const auto boxes = Modal::answerEveryBox();
        QTest::mouseClick(dialog->findChild<QWidget *>("pb_ok"), Qt::LeftButton);
        QString seen;
        if (dialog->isVisible()) {
            seen = dialog->focusWidget()->objectName() + ':';
            for (const Modal::Box &box : *boxes)
                seen += (box.icon == QMessageBox::Critical ? "" : "not critical ") + box.title + ": " + box.text;
        } else {
            const QStringList held = dialog == &play
                ? QStringList{play.ttlText(), play.interfaceText(), play.multicastLoopText()}
                : QStringList{record.listenText(), record.joinText(), record.allowText()};
            seen = "accepted:" + held.join('|');
            QCOMPARE(boxes->size(), 0);
        }
        QCOMPARE(seen, outcome);
        QCOMPARE(written, outcome.startsWith("accepted") ? 1 : 0);
    }
};

QTEST_MAIN(TestSettingsDialogs)
#include "tst_settings_dialogs.moc"
