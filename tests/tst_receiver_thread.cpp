#include "net/udp_socket.h"
#include "record/korvel_recorder_thread.h"

#include <QFile>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <atomic>
#include <cstdio>
#include <unistd.h>

namespace {

constexpr uint32_t loopback = 0x7F000001;

// Receives the thread's reports on the test's thread through a queued connection,
// as the main window does.
class Reports : public QObject
{
    Q_OBJECT

public:
    explicit Reports(Korvel_Recorder_Thread &thread)
    {
        connect(&thread, &Korvel_Recorder_Thread::status, this, &Reports::status);
        connect(&thread, &Korvel_Recorder_Thread::status, &thread,
                [this](int stat) {
                    if (stat == 0)
                        endEmitted = true;
                },
                Qt::DirectConnection);
    }

    QList<int> values() const
    {
        QList<int> result;
        for (const QList<QVariant> &arguments : spy)
            result.append(arguments.at(0).toInt());
        return result;
    }

    // Set on the receiver thread the moment status(0) is emitted.
    std::atomic<bool> endEmitted{false};

signals:
    void status(int stat);

public:
    QSignalSpy spy{this, &Reports::status};
};

// Configures and starts a run as the window's Record and Preview commands do.
void startRun(Korvel_Recorder_Thread &thread, UdpSocket *socket, FILE *record, bool recording)
{
    thread.setSocket(socket);
    thread.setRecordFile(record);
    thread.setRecording(recording);
    thread.start();
}

QByteArray readAll(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

}

class TestReceiverThread : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void recordingWritesEveryDatagramWholeInOrder();
    void everyDatagramReportedOnce();
    void previewWritesNothing();
    void zeroByteEndsTextButNotFile();
    void emptyDatagramKeepsRunning();
    void stopBeforeAnyDatagram();
    void settersWaitForNextRun();
    void receiveFailureEndsRun();
    void shortWritesCounted();

private:
    void send(const QByteArray &datagram);
    FILE *openRecord(const QString &name);

    QTemporaryDir dir;
    UdpSocket *receiver = nullptr;
    UdpSocket *sender = nullptr;
    uint16_t port = 0;
};

void TestReceiverThread::init()
{
    QCOMPARE(udpOpen(&receiver, 0, UDP_OPEN_ANY_PORT | UDP_OPEN_LOOPBACK), int(UDP_OK));
    port = udpLocalPort(receiver);
    QVERIFY(port != 0);
    QCOMPARE(udpOpen(&sender, 0, 0), int(UDP_OK));
}

void TestReceiverThread::cleanup()
{
    udpClose(sender);
    udpClose(receiver);
    sender = receiver = nullptr;
}

void TestReceiverThread::send(const QByteArray &datagram)
{
    QCOMPARE(udpSend(sender, datagram.constData(), int32_t(datagram.size()), loopback, port, 1000000), int(UDP_OK));
}

FILE *TestReceiverThread::openRecord(const QString &name)
{
    return fopen(QFile::encodeName(dir.filePath(name)).constData(), "wb");
}

void TestReceiverThread::recordingWritesEveryDatagramWholeInOrder()
{
    const QByteArray first("fr 1\r\nts 0.010\r\nb 1\r\n");
    const QByteArray second("fr 2\r\nts 0.020\r\nb 12\r\n");
    QCOMPARE(first.size() + second.size(), 43);
    FILE *record = openRecord("two.wly");
    QVERIFY(record);
    Korvel_Recorder_Thread thread;
    Reports reports(thread);
    startRun(thread, receiver, record, true);
    QCOMPARE(thread.currentStatus(), 2);

    send(first);
    QTRY_COMPARE(reports.values(), QList<int>{2});
    QCOMPARE(thread.lastText(), QString::fromLatin1(first));
    send(second);
    QTRY_COMPARE(reports.values(), (QList<int>{2, 2}));
    QCOMPARE(thread.lastText(), QString::fromLatin1(second));

    thread.stop();
    QCOMPARE(fclose(record), 0);
    QCOMPARE(readAll(dir.filePath("two.wly")), first + second);
    QCOMPARE(thread.failedWrites(), 0);
}

void TestReceiverThread::everyDatagramReportedOnce()
{
    FILE *record = openRecord("many.wly");
    QVERIFY(record);
    Korvel_Recorder_Thread thread;
    Reports reports(thread);
    startRun(thread, receiver, record, true);

    // In batches the socket's queue can always hold, so none is lost before the thread sees it.
    QByteArray expected;
    for (int batch = 0; batch < 10; ++batch) {
        for (int i = 0; i < 50; ++i) {
            const QByteArray datagram = "fr " + QByteArray::number(batch * 50 + i) + "\r\nb 1 2 3\r\n";
            send(datagram);
            expected += datagram;
        }
        QTRY_COMPARE(reports.spy.count(), (batch + 1) * 50);
    }
    thread.stop();
    QCOMPARE(fclose(record), 0);
    QCOMPARE(readAll(dir.filePath("many.wly")), expected);
    QTRY_COMPARE(reports.spy.count(), 501);
    QCOMPARE(reports.values(), QList<int>(500, 2) << 0);
}

void TestReceiverThread::previewWritesNothing()
{
    FILE *record = openRecord("preview.wly");
    QVERIFY(record);
    Korvel_Recorder_Thread thread;
    Reports reports(thread);
    startRun(thread, receiver, record, false);
    QCOMPARE(thread.currentStatus(), 4);

    send("fr 7\r\n");
    QTRY_COMPARE(reports.values(), QList<int>{4});
    QCOMPARE(thread.lastText(), QString("fr 7\r\n"));
    thread.stop();
    QCOMPARE(fclose(record), 0);
    QCOMPARE(QFileInfo(dir.filePath("preview.wly")).size(), 0);
}

void TestReceiverThread::zeroByteEndsTextButNotFile()
{
    FILE *record = openRecord("zero.wly");
    QVERIFY(record);
    Korvel_Recorder_Thread thread;
    Reports reports(thread);
    startRun(thread, receiver, record, true);

    const QByteArray datagram("fr 3\r\n\0hidden\r\n", 15);
    send(datagram);
    QTRY_COMPARE(reports.spy.count(), 1);
    QCOMPARE(thread.lastText(), QString("fr 3\r\n"));

    // The caller's buffer is reused, not replaced: the window copies ten times a second.
    QByteArray copy(4096, 'x');
    const char *storage = copy.constData();
    thread.copyLastText(copy);
    QCOMPARE(copy, QByteArray("fr 3\r\n"));
    QCOMPARE(copy.constData(), storage);

    thread.stop();
    QCOMPARE(fclose(record), 0);
    QCOMPARE(readAll(dir.filePath("zero.wly")), datagram);
}

void TestReceiverThread::emptyDatagramKeepsRunning()
{
    // Anyone on the network can send an empty datagram; it must not end a recording.
    FILE *record = openRecord("empty.wly");
    QVERIFY(record);
    Korvel_Recorder_Thread thread;
    Reports reports(thread);
    startRun(thread, receiver, record, true);

    send("fr 1\r\n");
    QTRY_COMPARE(reports.spy.count(), 1);
    send(QByteArray());
    send("fr 2\r\n");
    QTRY_COMPARE(reports.spy.count(), 2);
    QVERIFY(thread.isRunning());
    QCOMPARE(thread.currentStatus(), 2);
    QCOMPARE(thread.lastText(), QString("fr 2\r\n"));

    thread.stop();
    QCOMPARE(fclose(record), 0);
    QCOMPARE(readAll(dir.filePath("empty.wly")), QByteArray("fr 1\r\nfr 2\r\n"));
    QTRY_COMPARE(reports.values(), (QList<int>{2, 2, 0}));
}

void TestReceiverThread::stopBeforeAnyDatagram()
{
    Korvel_Recorder_Thread thread;
    Reports reports(thread);
    startRun(thread, receiver, nullptr, false);
    QCOMPARE(thread.currentStatus(), 4);
    // A stop that comes straight after the start must not be lost.
    thread.stop();
    QVERIFY(thread.isFinished());
    QVERIFY(reports.endEmitted);
    QCOMPARE(thread.currentStatus(), 0);
    QTRY_COMPARE(reports.values(), QList<int>{0});

    // Stopping again, and stopping a thread that never ran, is harmless.
    thread.stop();
    Korvel_Recorder_Thread idle;
    idle.stop();
    QCOMPARE(idle.currentStatus(), 0);
}

void TestReceiverThread::settersWaitForNextRun()
{
    FILE *record = openRecord("setters.wly");
    QVERIFY(record);
    UdpSocket *other = nullptr;
    QCOMPARE(udpOpen(&other, 0, UDP_OPEN_ANY_PORT | UDP_OPEN_LOOPBACK), int(UDP_OK));
    Korvel_Recorder_Thread thread;
    Reports reports(thread);
    startRun(thread, receiver, nullptr, false);

    thread.setRecording(true);
    thread.setRecordFile(record);
    thread.setSocket(other);
    send("fr 1\r\n");
    QTRY_COMPARE(reports.values(), QList<int>{4});
    QCOMPARE(thread.currentStatus(), 4);
    thread.stop();
    QCOMPARE(fflush(record), 0);
    QCOMPARE(QFileInfo(dir.filePath("setters.wly")).size(), 0);

    // The same object runs again with what it is given now.
    thread.setRecording(true);
    thread.setRecordFile(record);
    thread.start();
    QCOMPARE(thread.currentStatus(), 2);
    send("fr 2\r\n");
    QTRY_COMPARE(reports.values(), (QList<int>{4, 0, 2}));
    thread.stop();
    QCOMPARE(fclose(record), 0);
    QCOMPARE(readAll(dir.filePath("setters.wly")), QByteArray("fr 2\r\n"));
    udpClose(other);
}

void TestReceiverThread::receiveFailureEndsRun()
{
    // Without a socket every receive fails: the run must end on its own, say so
    // on standard output and report 0.
    const QString outPath = dir.filePath("stdout.txt");
    fflush(stdout);
    const int savedStdout = dup(STDOUT_FILENO);
    QVERIFY(savedStdout >= 0);
    QVERIFY(freopen(QFile::encodeName(outPath).constData(), "w", stdout));

    Korvel_Recorder_Thread thread;
    Reports reports(thread);
    startRun(thread, nullptr, nullptr, true);
    const bool ended = thread.wait(10000);

    fflush(stdout);
    dup2(savedStdout, STDOUT_FILENO);
    close(savedStdout);
    QVERIFY(ended);
    QCOMPARE(readAll(outPath), QByteArray("udp receive error -> stopped err -2\n"));
    QCOMPARE(thread.currentStatus(), 0);
    QTRY_COMPARE(reports.values(), QList<int>{0});
}

void TestReceiverThread::shortWritesCounted()
{
    // /dev/full fails every write; unbuffered, so each fwrite meets the failure itself.
    FILE *full = fopen("/dev/full", "wb");
    if (!full)
        QSKIP("/dev/full is not available");
    QCOMPARE(setvbuf(full, nullptr, _IONBF, 0), 0);
    Korvel_Recorder_Thread thread;
    Reports reports(thread);
    startRun(thread, receiver, full, true);

    send("fr 1\r\n");
    send("fr 2\r\n");
    send("fr 3\r\n");
    // Still shown and reported: the window counts and displays what arrives.
    QTRY_COMPARE(reports.values(), (QList<int>{2, 2, 2}));
    QCOMPARE(thread.failedWrites(), 3);
    QCOMPARE(thread.lastText(), QString("fr 3\r\n"));
    thread.stop();
    fclose(full);

    // The count belongs to one run.
    thread.setRecordFile(nullptr);
    thread.start();
    QCOMPARE(thread.failedWrites(), 0);
    thread.stop();
}

QTEST_GUILESS_MAIN(TestReceiverThread)
#include "tst_receiver_thread.moc"
