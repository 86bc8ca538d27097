// The recording session's pre-trigger: what Preview keeps, and the switch from it into a recording.

#include "record/recording_session.h"
#include "support/fixture.h"
#include "support/traffic_tools.h"

#include <QProcess>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <ctime>

using Fixture::freePort;
using Fixture::readFile;
using Fixture::UdpPeer;

namespace {

constexpr RecordingSession::Start Started = RecordingSession::Start::Started;

double processCpuMs()
{
    timespec now{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
    return double(now.tv_sec) * 1e3 + double(now.tv_nsec) / 1e6;
}

QByteArray frame(int number, const QByteArray &body = "b 1 2 3")
{
    return "fr " + QByteArray::number(number) + "\r\nts " + QByteArray::number(number * 0.01, 'f', 3) + "\r\n" + body
           + "\r\n";
}

}

class TestPreTrigger : public QObject
{
    Q_OBJECT

    UdpPeer sender;
    QTemporaryDir dir;

    void send(const QByteArrayList &datagrams, int port)
    {
        for (const QByteArray &datagram : datagrams)
            QVERIFY(sender.send(datagram, uint16_t(port)));
    }

private slots:
    void switchFromPreview_data()
    {
        QTest::addColumn<int>("seconds");
        QTest::addColumn<QString>("pattern"); // empty: Record is pressed after `late`
        QTest::addColumn<QByteArrayList>("early");
        QTest::addColumn<int>("pauseMs"); // between early and late
        QTest::addColumn<QByteArrayList>("late");
        QTest::addColumn<QByteArrayList>("after");
        QTest::addColumn<QByteArray>("recorded");
        QTest::addColumn<int>("triggerFrame"); // -2: no switch
        QTest::addColumn<int>("preFrames");
        QTest::addColumn<int>("fromSeconds"); // Record through recordFromPreview() with these; -1: startRecording()

        const QByteArrayList none;
        QTest::newRow("off: Record starts afresh") << 0 << QString() << QByteArrayList{frame(1), frame(2)} << 0 << none
                                                   << QByteArrayList{frame(3)} << frame(3) << -2 << 0 << -1;
        QTest::newRow("on: the preview begins the recording")
            << 5 << QString() << QByteArrayList{frame(1), frame(2)} << 0 << none << QByteArrayList{frame(3)}
            << frame(1) + frame(2) + frame(3) << 2 << 1 << -1;
        // Kept too long, the recording would begin with what the user never asked for.
        QTest::newRow("older than the seconds left out")
            << 1 << QString() << QByteArrayList{frame(1)} << 1300 << QByteArrayList{frame(2)}
            << QByteArrayList{frame(3)} << frame(2) + frame(3) << 2 << 0 << -1;
        // The remote control's "record {pre_seconds}": fewer seconds than the preview keeps.
        QTest::newRow("record from the last second of five")
            << 5 << QString() << QByteArrayList{frame(1)} << 1300 << QByteArrayList{frame(2)}
            << QByteArrayList{frame(3)} << frame(2) + frame(3) << 2 << 0 << 1;
        QTest::newRow("unnumbered newest") << 5 << QString() << QByteArrayList{frame(1), "no number\r\n"} << 0 << none
                                           << none << frame(1) + "no number\r\n" << -1 << 1 << -1;
        const QByteArray fault = frame(2, "status fault\r\nb 4");
        QTest::newRow("a matching line begins it") << 5 << QStringLiteral("^status fault$")
                                                   << QByteArrayList{frame(1), fault, frame(3)} << 0 << none
                                                   << QByteArrayList{frame(4)}
                                                   << frame(1) + fault + frame(3) + frame(4) << 2 << 1 << -1;
        QTest::newRow("the last line without its end") << 5 << QStringLiteral("^end$")
                                                       << QByteArrayList{frame(1), "fr 2\r\nend"} << 0 << none << none
                                                       << frame(1) + "fr 2\r\nend" << 2 << 1 << -1;
        // A line, not the datagram: neither a part of a line nor two lines together match.
        QTest::newRow("whole line only") << 5 << QStringLiteral("^fault$") << QByteArrayList{fault} << 0 << none
                                         << none << QByteArray() << -2 << 0 << -1;
        QTest::newRow("not across lines") << 5 << QStringLiteral("fault\\s+b") << QByteArrayList{fault} << 0 << none
                                          << none << QByteArray() << -2 << 0 << -1;
    }

    void switchFromPreview()
    {
        QFETCH(int, seconds);
        QFETCH(QString, pattern);
        QFETCH(QByteArrayList, early);
        QFETCH(int, pauseMs);
        QFETCH(QByteArrayList, late);
        QFETCH(QByteArrayList, after);
        QFETCH(QByteArray, recorded);
        QFETCH(int, triggerFrame);
        QFETCH(int, preFrames);
        QFETCH(int, fromSeconds);

        RecordingSession session;
        QSignalSpy triggered(&session, &RecordingSession::triggered);
        session.setPreTrigger(seconds);
        session.setTrigger(QRegularExpression(pattern));
        const int port = freePort();
        QString error;
        QVERIFY2(session.startPreview(port, &error) == Started, qPrintable(error));
        send(early, port);
        if (pauseMs > 0) {
            QTRY_COMPARE(session.received(), early.size());
            QTest::qWait(pauseMs); // the time that passes is what is tested
        }
        send(late, port);
        QTRY_COMPARE(session.received(), early.size() + late.size());
        if (pattern.isEmpty()) {
            QVERIFY2((fromSeconds < 0 ? session.startRecording(port, &error)
                                      : session.recordFromPreview(fromSeconds, &error))
                         == Started,
                     qPrintable(error));
            QCOMPARE(session.mode(), RecordingSession::Recording);
        }
        if (triggerFrame == -2) {
            QVERIFY(!triggered.wait(200));
        } else {
            QTRY_COMPARE(triggered.size(), 1);
            QCOMPARE(triggered.at(0).at(0).toLongLong(), triggerFrame);
            QCOMPARE(triggered.at(0).at(1).toLongLong(), preFrames);
            QCOMPARE(session.mode(), RecordingSession::Recording);
        }
        // A fresh recording counts afresh.
        const qint64 before = session.received();
        send(after, port);
        QTRY_COMPARE(session.received(), before + after.size());
        session.stop();
        // What the front ends offer to save: the recording's datagrams, not the preview's.
        QCOMPARE(session.recorded(), qint64(recorded.count("fr ") + recorded.count("no number")));
        QCOMPARE(session.hasTemporaryRecording() ? readFile(session.temporaryPath()) : QByteArray(), recorded);
        session.discardTemporary();
    }

    // At 10 kHz every datagram across the switch reaches the file once, in order, byte for byte.
    void switchIsContiguous()
    {
        const QString sent = dir.filePath(QStringLiteral("sent.bin"));
        RecordingSession session;
        session.setPreTrigger(10);
        const int port = freePort();
        QString error;
        QVERIFY2(session.startPreview(port, &error) == Started, qPrintable(error));
        QProcess sender;
        QVERIFY(TrafficTools::startSender(sender, uint16_t(port),
                                          {"--rate", "10000", "--count", "20000", "--out", sent}));
        QTRY_VERIFY(session.received() >= 8000);
        QVERIFY2(session.startRecording(port, &error) == Started, qPrintable(error));
        QVERIFY(sender.waitForFinished(20000));
        QTRY_COMPARE(session.received(), 20000);
        session.stop();
        QCOMPARE(session.failedWrites(), 0);
        QCOMPARE(readFile(session.temporaryPath()), readFile(sent));
        session.discardTemporary();
    }

    // Once the preview has become the recording, the receiving thread waits for
    // datagrams again instead of spinning: a whole core was burnt before.
    void switchLeavesTheReceiverWaiting()
    {
        RecordingSession session;
        session.setPreTrigger(5);
        const int port = freePort();
        QString error;
        QVERIFY2(session.startPreview(port, &error) == Started, qPrintable(error));
        send({frame(1)}, port);
        QTRY_COMPARE(session.received(), 1);
        QVERIFY2(session.startRecording(port, &error) == Started, qPrintable(error));
        QTRY_VERIFY(session.hasTriggered());
        const double before = processCpuMs();
        QTest::qWait(500);
        const double spent = processCpuMs() - before;
        QVERIFY2(spent < 150, qPrintable(QStringLiteral("%1 ms of processor time in 500 ms of silence").arg(spent)));
        const qint64 received = session.received();
        send({frame(2)}, port);
        QTRY_COMPARE(session.received(), received + 1);
        session.stop();
        QCOMPARE(readFile(session.temporaryPath()), frame(1) + frame(2));
        session.discardTemporary();
    }

    // Past the memory bound the oldest go: what is kept is the newest, whole, and within the bound.
    void memoryBound()
    {
        const qint64 bound = 1024 * 1024;
        const QString sent = dir.filePath(QStringLiteral("bound.bin"));
        RecordingSession session;
        session.setPreTrigger(600, bound);
        const int port = freePort();
        QString error;
        QVERIFY2(session.startPreview(port, &error) == Started, qPrintable(error));
        QVERIFY(TrafficTools::runSender(uint16_t(port), {"--rate", "20000", "--count", "8000", "--out", sent}));
        QTRY_COMPARE(session.received(), 8000);
        // Stop straight after Record: the switch handed over must still happen.
        QVERIFY2(session.startRecording(port, &error) == Started, qPrintable(error));
        session.stop();
        QVERIFY(session.hasTriggered());
        const QByteArray all = readFile(sent);
        const QByteArray kept = readFile(session.temporaryPath());
        QVERIFY2(kept.size() <= bound && kept.size() >= bound / 2, qPrintable(QString::number(kept.size())));
        QVERIFY(all.endsWith(kept));
        QVERIFY(kept.startsWith("fr "));
        session.discardTemporary();
    }
};

QTEST_GUILESS_MAIN(TestPreTrigger)
#include "tst_pre_trigger.moc"
