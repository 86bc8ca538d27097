#include "net/udp_socket.h"
#include "record/korvel_recorder_thread.h"

#include <QFile>
#include <QScopeGuard>
#include <QTemporaryDir>
#include <QTest>

#include <atomic>
#include <cstdio>
#include <memory>
#include <unistd.h>

namespace {

QByteArray readAll(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

}

class TestReceiverThread : public QObject
{
    Q_OBJECT

    QTemporaryDir dir;
    int runs = 0;
    UdpSocket *receiver = nullptr;
    UdpSocket *sender = nullptr;
    QString recordPath;
    FILE *record = nullptr;
    uint16_t port = 0;
    std::unique_ptr<Korvel_Recorder_Thread> thread;
    std::unique_ptr<QObject> relay; // gone with its test, and so are reports still queued for it
    QList<int> reports;
    std::atomic<bool> endEmitted{false}; // set on the receiver thread the moment status(0) is emitted

    // Configures and starts a run as the window's Record and Preview commands do.
    void start(bool recording, UdpSocket *socket, FILE *file)
    {
        thread->setSocket(socket);
        thread->setRecordFile(file);
        thread->setRecording(recording);
        thread->start();
    }

    void send(const QByteArray &datagram)
    {
        QCOMPARE(udpSend(sender, datagram.constData(), int32_t(datagram.size()), 0x7F000001, port, 1000000), int(UDP_OK));
    }

    // Ends the run and gives what reached the record file.
    QByteArray recorded()
    {
        thread->stop();
        fclose(record);
        record = nullptr;
        return readAll(recordPath);
    }

private slots:
    void init()
    {
        QCOMPARE(udpOpen(&receiver, 0, UDP_OPEN_ANY_PORT | UDP_OPEN_LOOPBACK), int(UDP_OK));
        QCOMPARE(udpOpen(&sender, 0, 0), int(UDP_OK));
        recordPath = dir.filePath(QString::number(++runs) + ".wly");
        record = fopen(QFile::encodeName(recordPath).constData(), "wb");
        QVERIFY(record);
        port = udpLocalPort(receiver);
        thread = std::make_unique<Korvel_Recorder_Thread>();
        relay = std::make_unique<QObject>();
        reports.clear();
        endEmitted = false;
        // Queued to the test's thread, as the main window receives them.
        connect(thread.get(), &Korvel_Recorder_Thread::status, relay.get(), [this](int stat) { reports << stat; });
        connect(thread.get(), &Korvel_Recorder_Thread::status, thread.get(),
                [this](int stat) { endEmitted = endEmitted || stat == 0; }, Qt::DirectConnection);
    }

    void cleanup()
    {
        thread.reset(); // stops first, so nothing is using what follows
        relay.reset();
        if (record)
            fclose(record);
        udpClose(sender);
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
    }

    void datagrams()
    {
        QFETCH(bool, recording);
        QFETCH(QByteArrayList, datagrams);
        const int shown = recording ? 2 : 4;
        start(recording, receiver, record);
        QCOMPARE(thread->currentStatus(), shown);
        // The caller's buffer is reused, not replaced: the window copies ten times a second.
        QByteArray copy(4096, 'x');
        const char *storage = copy.constData();
        QList<int> expected;
        for (const QByteArray &datagram : datagrams) {
            send(datagram);
            if (datagram.isEmpty())
                continue;
            expected << shown;
            QTRY_COMPARE(reports, expected);
            const QByteArray text(datagram.constData()); // up to the first zero byte
            QCOMPARE(thread->lastText(), QString::fromLatin1(text));
            thread->copyLastText(copy);
            QCOMPARE(copy, text);
            QCOMPARE(copy.constData(), storage);
        }
        QVERIFY(thread->isRunning());
        QCOMPARE(recorded(), recording ? datagrams.join() : QByteArray());
        QCOMPARE(thread->failedWrites(), 0);
        QTRY_COMPARE(reports, expected + QList<int>{0});
    }

    void manyKeepTheirOrderAndOneReportEach()
    {
        start(true, receiver, record);
        // In batches the socket's queue can always hold, so none is lost before the thread sees it.
        QByteArray expected;
        for (int n = 0; n < 500; ++n) {
            const QByteArray datagram = "fr " + QByteArray::number(n) + "\r\nb 1 2 3\r\n";
            send(datagram);
            expected += datagram;
            if (n % 50 == 49)
                QTRY_COMPARE(reports.size(), n + 1);
        }
        QCOMPARE(recorded(), expected);
        QTRY_COMPARE(reports, QList<int>(500, 2) << 0);
    }

    void stopBeforeAnyDatagram()
    {
        start(false, receiver, nullptr);
        // A stop that comes straight after the start must not be lost.
        thread->stop();
        QVERIFY(thread->isFinished());
        QVERIFY(endEmitted);
        QCOMPARE(thread->currentStatus(), 0);
        QTRY_COMPARE(reports, QList<int>{0});
        // Stopping again, and stopping a thread that never ran, is harmless.
        thread->stop();
        Korvel_Recorder_Thread idle;
        idle.stop();
    }

    void settersIgnoredWhileRunning()
    {
        UdpSocket *other = nullptr;
        QCOMPARE(udpOpen(&other, 0, UDP_OPEN_ANY_PORT | UDP_OPEN_LOOPBACK), int(UDP_OK));
        const auto closeOther = qScopeGuard([&] { udpClose(other); });
        start(false, receiver, nullptr);
        thread->setRecording(true);
        thread->setRecordFile(record);
        thread->setSocket(other);
        send("fr 1\r\n");
        QTRY_COMPARE(reports, QList<int>{4});
        thread->stop();
        // The same object runs again with what it is given now, and only that.
        thread->setRecording(true);
        thread->setRecordFile(record);
        thread->start();
        send("fr 2\r\n");
        QTRY_COMPARE(reports, (QList<int>{4, 0, 2}));
        QCOMPARE(recorded(), QByteArray("fr 2\r\n"));
    }

    void receiveFailureEndsRun()
    {
        // Without a socket every receive fails: the run must end on its own, say so
        // on standard output and report 0.
        const QString outPath = dir.filePath("stdout.txt");
        fflush(stdout);
        const int savedStdout = dup(STDOUT_FILENO);
        QVERIFY(savedStdout >= 0);
        QVERIFY(freopen(QFile::encodeName(outPath).constData(), "w", stdout));
        start(true, nullptr, nullptr);
        const bool ended = thread->wait(10000);
        fflush(stdout);
        dup2(savedStdout, STDOUT_FILENO);
        close(savedStdout);
        QVERIFY(ended);
        QCOMPARE(readAll(outPath), QByteArray("udp receive error -> stopped err -2\n"));
        QCOMPARE(thread->currentStatus(), 0);
        QTRY_COMPARE(reports, QList<int>{0});
    }

    void shortWritesCounted()
    {
        // /dev/full fails every write; unbuffered, so each fwrite meets the failure itself.
        FILE *full = fopen("/dev/full", "wb");
        if (!full)
            QSKIP("/dev/full is not available");
        const auto closeFull = qScopeGuard([&] { fclose(full); });
        QCOMPARE(setvbuf(full, nullptr, _IONBF, 0), 0);
        start(true, receiver, full);
        for (const char *datagram : {"fr 1\r\n", "fr 2\r\n", "fr 3\r\n"})
            send(datagram);
        // Still shown and reported: the window counts and displays what arrives.
        QTRY_COMPARE(reports, (QList<int>{2, 2, 2}));
        QCOMPARE(thread->failedWrites(), 3);
        QCOMPARE(thread->lastText(), QString("fr 3\r\n"));
        thread->stop();
        // The count belongs to one run.
        thread->setRecordFile(nullptr);
        thread->start();
        QCOMPARE(thread->failedWrites(), 0);
    }
};

QTEST_GUILESS_MAIN(TestReceiverThread)
#include "tst_receiver_thread.moc"
