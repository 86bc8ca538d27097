#include "net/udp_socket.h"
#include "record/korvel_recorder_thread.h"
#include "support/window_fixture.h"

#include <QFile>
#include <QTest>

#include <cstdio>
#include <memory>
#include <unistd.h>

class TestReceiverThread : public QObject
{
    Q_OBJECT

    UdpSocket *receiver = nullptr;
    Fixture::UdpPeer sender;
    FILE *record = nullptr;
    std::unique_ptr<Korvel_Recorder_Thread> thread;
    QList<int> reports;

    // Configures and starts a run as the window's Record and Preview commands do.
    void start(bool recording, UdpSocket *socket, FILE *file)
    {
        thread->setSocket(socket);
        thread->setRecordFile(file);
        thread->setRecording(recording);
        thread->start();
    }

    void send(const QByteArray &datagram) { QVERIFY(sender.send(datagram, udpLocalPort(receiver))); }

    static QByteArray contents(FILE *file)
    {
        rewind(file);
        QFile in;
        return in.open(file, QIODevice::ReadOnly) ? in.readAll() : QByteArray();
    }

private slots:
    void init()
    {
        QCOMPARE(udpOpen(&receiver, 0, UDP_OPEN_ANY_PORT | UDP_OPEN_LOOPBACK), int(UDP_OK));
        QVERIFY((record = tmpfile()));
        thread = std::make_unique<Korvel_Recorder_Thread>();
        reports.clear();
        // Queued to the test's thread, as the main window receives them.
        connect(thread.get(), &Korvel_Recorder_Thread::status, this, [this](int stat) { reports << stat; });
    }

    void cleanup()
    {
        thread.reset(); // stops first, so nothing is using what follows
        // Deliver the last run's reports now, before the next test clears the list.
        QCoreApplication::sendPostedEvents(this, QEvent::MetaCall);
        if (record)
            fclose(record);
        udpClose(receiver);
    }

    void datagrams_data()
    {
        QTest::addColumn<bool>("recording");
        QTest::addColumn<QByteArrayList>("datagrams");
        QTest::newRow("two frames, 21 + 22 bytes")
            << true << QByteArrayList{"fr 1\r\nts 0.010\r\nb 1\r\n", "fr 2\r\nts 0.020\r\nb 12\r\n"};
        // The text ends at a zero byte; the file keeps the whole datagram.
        QTest::newRow("zero byte") << true << QByteArrayList{QByteArray("fr 3\r\n\0hidden\r\n", 15)};
        // Anyone on the network can send an empty datagram; it must not end a recording.
        QTest::newRow("empty datagram") << true << QByteArrayList{"fr 1\r\n", "", "fr 2\r\n"};
        QTest::newRow("preview writes nothing") << false << QByteArrayList{"fr 7\r\n"};
        // A stop that comes straight after the start must not be lost.
        QTest::newRow("stop before any datagram") << false << QByteArrayList{};
    }

    void datagrams()
    {
        QFETCH(bool, recording);
        QFETCH(QByteArrayList, datagrams);
        const int shown = recording ? 2 : 4;
        start(recording, receiver, record);
        // Ignored while running: a new socket would never see the datagrams, a new mode would change what is written.
        thread->setSocket(nullptr);
        thread->setRecording(!recording);
        QCOMPARE(thread->currentStatus(), shown);
        for (const QByteArray &datagram : datagrams)
            send(datagram);
        const QList<int> expected(datagrams.size() - datagrams.count(QByteArray()), shown);
        QTRY_COMPARE(reports, expected);
        QByteArray text;
        thread->copyLastText(text);
        QCOMPARE(text, QByteArray(datagrams.value(datagrams.size() - 1).constData())); // up to the first zero byte
        thread->stop();
        QCOMPARE(contents(record), recording ? datagrams.join() : QByteArray());
        QTRY_COMPARE(reports, expected + QList<int>{0});
    }

    void receiveFailureEndsRun()
    {
        // Without a socket every receive fails: the run must end on its own, say so
        // on standard output and report 0.
        // This run writes no record file, so that file takes standard output.
        fflush(stdout);
        const int savedStdout = dup(STDOUT_FILENO);
        QVERIFY(savedStdout >= 0 && dup2(fileno(record), STDOUT_FILENO) >= 0);
        start(true, nullptr, nullptr);
        const bool ended = thread->wait(10000);
        fflush(stdout);
        dup2(savedStdout, STDOUT_FILENO);
        close(savedStdout);
        QVERIFY(ended);
        QCOMPARE(contents(record), QByteArray("udp receive error -> stopped err -2\n"));
        QTRY_COMPARE(reports, QList<int>{0});
    }

    void shortWritesCounted()
    {
        // /dev/full fails every write; unbuffered, so each fwrite meets the failure itself.
        QVERIFY((record = freopen("/dev/full", "wb", record)));
        QCOMPARE(setvbuf(record, nullptr, _IONBF, 0), 0);
        start(true, receiver, record);
        send("fr 1\r\n");
        send("fr 2\r\n");
        // Still reported: the window counts and displays what arrives.
        QTRY_COMPARE(reports, (QList<int>{2, 2}));
        QCOMPARE(thread->failedWrites(), 2);
    }
};

QTEST_GUILESS_MAIN(TestReceiverThread)
#include "tst_receiver_thread.moc"
