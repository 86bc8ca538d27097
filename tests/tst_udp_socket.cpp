#include "net/stopwatch.h"
#include "net/udp_socket.h"

#include <QDir>
#include <QScopeGuard>
#include <QThread>
#include <QtTest>

#include <netinet/in.h>
#include <csignal>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/time.h>
#include <unistd.h>

#include <atomic>
#include <memory>
#include <vector>

namespace {

constexpr uint32_t loopback = 0x7F000001;

struct HandleCloser {
    void operator()(UdpSocket *handle) const { udpClose(handle); }
};
using Handle = std::unique_ptr<UdpSocket, HandleCloser>;

// A receiver on a port the platform picks, so parallel tests never collide.
Handle openReceiver()
{
    UdpSocket *handle = nullptr;
    if (udpOpen(&handle, 0, UDP_OPEN_ANY_PORT | UDP_OPEN_LOOPBACK) != UDP_OK)
        return Handle();
    return Handle(handle);
}

Handle openSender()
{
    UdpSocket *handle = nullptr;
    if (udpOpen(&handle, 0, UDP_OPEN_BROADCAST) != UDP_OK)
        return Handle();
    return Handle(handle);
}

int openDescriptorCount()
{
    return QDir(QStringLiteral("/proc/self/fd")).entryList(QDir::Files | QDir::System).size();
}

void noOp(int) {}

// Arms SIGALRM to land in the middle of a wait, without SA_RESTART.
struct AlarmDuring {
    struct sigaction previous;
    explicit AlarmDuring(int afterMicroseconds)
    {
        struct sigaction action = {};
        action.sa_handler = noOp;
        sigemptyset(&action.sa_mask);
        sigaction(SIGALRM, &action, &previous);
        itimerval timer = {};
        timer.it_value.tv_usec = afterMicroseconds;
        setitimer(ITIMER_REAL, &timer, nullptr);
    }
    ~AlarmDuring()
    {
        itimerval off = {};
        setitimer(ITIMER_REAL, &off, nullptr);
        sigaction(SIGALRM, &previous, nullptr);
    }
};

}

class TestUdpSocket : public QObject
{
    Q_OBJECT

private slots:
    void openAndBind();
    void failedOpenLeavesNothingBehind();
    void bufferFullRule_data();
    void bufferFullRule();
    void emptyDatagramAndBadCapacity();
    void latestReturnsNewestAndItsSender();
    void waitReportsFirstReadableHandle();
    void timeOutsLastTheirTime_data();
    void timeOutsLastTheirTime();
    void signalDoesNotBreakAWait();
    void descriptorAboveSelectLimit();
    void resolve_data();
    void resolve();
    void wakerEndsAWait();
    void receiveBufferAndBadArguments();
};

void TestUdpSocket::openAndBind()
{
    Handle receiver = openReceiver();
    QVERIFY(receiver);
    const uint16_t port = udpLocalPort(receiver.get());
    QVERIFY(port != 0);

    // Port 0 without UDP_OPEN_ANY_PORT stays unbound until its first send.
    Handle sender = openSender();
    QVERIFY(sender);
    QCOMPARE(udpLocalPort(sender.get()), uint16_t(0));
    QCOMPARE(udpSend(sender.get(), "fr 1\r\n", 6, loopback, port, 5000000), int(UDP_OK));
    const uint16_t sourcePort = udpLocalPort(sender.get());
    QVERIFY(sourcePort != 0);

    char buffer[64];
    sockaddr_in source = {};
    QCOMPARE(udpReceiveTimed(receiver.get(), buffer, sizeof buffer, 2000000, 0), 6);
    QCOMPARE(udpSend(sender.get(), "fr 2\r\n", 6, loopback, port, 5000000), int(UDP_OK));
    QCOMPARE(udpReceive(receiver.get(), buffer, sizeof buffer, &source, 0), 6);
    QCOMPARE(QByteArray(buffer, 6), QByteArray("fr 2\r\n"));
    QCOMPARE(ntohl(source.sin_addr.s_addr), loopback);
    QCOMPARE(ntohs(source.sin_port), sourcePort);
}

// A bind conflict must fail cleanly: error code, out argument untouched, and
// no socket left open by the half-made handle.
void TestUdpSocket::failedOpenLeavesNothingBehind()
{
    Handle holder = openReceiver();
    QVERIFY(holder);
    const uint16_t port = udpLocalPort(holder.get());

    const int before = openDescriptorCount();
    UdpSocket *untouched = reinterpret_cast<UdpSocket *>(0x1);
    QCOMPARE(udpOpen(&untouched, port, UDP_OPEN_BROADCAST), int(UDP_ERROR));
    QCOMPARE(untouched, reinterpret_cast<UdpSocket *>(0x1));
    QCOMPARE(udpOpen(&untouched, port, UDP_OPEN_LOOPBACK), int(UDP_ERROR));
    QCOMPARE(openDescriptorCount(), before);

    // Once the holder is gone the port is free again.
    holder.reset();
    UdpSocket *reopened = nullptr;
    QCOMPARE(udpOpen(&reopened, port, UDP_OPEN_BROADCAST), int(UDP_OK));
    QCOMPARE(udpLocalPort(reopened), port);
    QCOMPARE(udpClose(reopened), int(UDP_OK));
    QCOMPARE(openDescriptorCount(), before - 1);
}

void TestUdpSocket::bufferFullRule_data()
{
    QTest::addColumn<int>("length");
    QTest::addColumn<int>("flags");
    QTest::addColumn<int>("expected");

    QTest::newRow("shorter than capacity") << 9 << 0 << 9;
    QTest::newRow("exactly capacity") << 10 << 0 << int(UDP_BUFFER_FULL);
    QTest::newRow("exactly capacity, full ok") << 10 << int(UDP_RECV_FULL_OK) << 10;
    QTest::newRow("cut to capacity") << 25 << 0 << int(UDP_BUFFER_FULL);
    QTest::newRow("cut to capacity, full ok") << 25 << int(UDP_RECV_FULL_OK) << 10;
}

void TestUdpSocket::bufferFullRule()
{
    QFETCH(int, length);
    QFETCH(int, flags);
    QFETCH(int, expected);

    Handle receiver = openReceiver();
    Handle sender = openSender();
    QVERIFY(receiver && sender);
    const QByteArray payload = QByteArray("0123456789abcdefghijklmnopqrstuvwxyz").left(length);
    QCOMPARE(udpSend(sender.get(), payload.constData(), length, loopback, udpLocalPort(receiver.get()), 5000000),
             int(UDP_OK));

    // A guard byte after the capacity catches a receive that writes past it.
    char buffer[11];
    buffer[10] = '#';
    QCOMPARE(udpReceiveTimed(receiver.get(), buffer, 10, 2000000, uint16_t(flags)), expected);
    QCOMPARE(buffer[10], '#');
    QCOMPARE(QByteArray(buffer, qMin(length, 10)), payload.left(10));
}

void TestUdpSocket::emptyDatagramAndBadCapacity()
{
    Handle receiver = openReceiver();
    Handle sender = openSender();
    QVERIFY(receiver && sender);
    const uint16_t port = udpLocalPort(receiver.get());

    char buffer[16];
    QCOMPARE(udpSend(sender.get(), "", 0, loopback, port, 5000000), int(UDP_OK));
    QCOMPARE(udpReceiveTimed(receiver.get(), buffer, sizeof buffer, 2000000, 0), 0);

    // A negative capacity would become a huge length for the platform and let
    // the datagram overrun the buffer.
    QCOMPARE(udpSend(sender.get(), "fr 1\r\n", 6, loopback, port, 5000000), int(UDP_OK));
    QCOMPARE(udpReceiveTimed(receiver.get(), buffer, -1, 2000000, 0), int(UDP_ERROR));
    QCOMPARE(udpReceive(receiver.get(), buffer, sizeof buffer, nullptr, 0), 6);
}

void TestUdpSocket::latestReturnsNewestAndItsSender()
{
    Handle receiver = openReceiver();
    QVERIFY(receiver);
    const uint16_t port = udpLocalPort(receiver.get());
    Handle senders[3] = {openSender(), openSender(), openSender()};
    const QByteArray payloads[3] = {"fr 1\r\nlonger first\r\n", "fr 2\r\n", "fr 3\r\nx\r\n"};
    for (int i = 0; i < 3; ++i) {
        QVERIFY(senders[i]);
        QCOMPARE(udpSend(senders[i].get(), payloads[i].constData(), payloads[i].size(), loopback, port, 5000000),
                 int(UDP_OK));
    }

    char buffer[64];
    sockaddr_in source = {};
    QCOMPARE(udpReceive(receiver.get(), buffer, sizeof buffer, &source, UDP_RECV_LATEST), payloads[2].size());
    QCOMPARE(QByteArray(buffer, payloads[2].size()), payloads[2]);
    QCOMPARE(ntohs(source.sin_port), udpLocalPort(senders[2].get()));
    QCOMPARE(udpReceiveTimed(receiver.get(), buffer, sizeof buffer, 0, 0), int(UDP_TIMEOUT));
}

void TestUdpSocket::waitReportsFirstReadableHandle()
{
    Handle receivers[3] = {openReceiver(), openReceiver(), openReceiver()};
    Handle sender = openSender();
    QVERIFY(receivers[0] && receivers[1] && receivers[2] && sender);
    UdpSocket *handles[4] = {receivers[0].get(), receivers[1].get(), receivers[2].get(), receivers[1].get()};

    int index = -1;
    QCOMPARE(udpWait(handles, 4, &index, 0), int(UDP_TIMEOUT));
    QCOMPARE(index, -1);

    QCOMPARE(udpSend(sender.get(), "b", 1, loopback, udpLocalPort(receivers[2].get()), 5000000), int(UDP_OK));
    QCOMPARE(udpWait(handles, 3, &index, 2000000), int(UDP_OK));
    QCOMPARE(index, 2);
    QCOMPARE(udpSend(sender.get(), "a", 1, loopback, udpLocalPort(receivers[1].get()), 5000000), int(UDP_OK));
    QTRY_COMPARE(udpWait(handles, 3, &index, 0), int(UDP_OK));
    QTRY_COMPARE(index, 1);
    QCOMPARE(udpWait(handles, 3, nullptr, 0), int(UDP_OK));
    QCOMPARE(udpWait(handles, 0, &index, 0), int(UDP_ERROR));
}

void TestUdpSocket::timeOutsLastTheirTime_data()
{
    QTest::addColumn<uint32_t>("timeout");
    QTest::newRow("under a second") << uint32_t(200000);
    // Seconds and microseconds both count: either part alone waits far less.
    QTest::newRow("seconds and microseconds") << uint32_t(1500000);
}

void TestUdpSocket::timeOutsLastTheirTime()
{
    QFETCH(uint32_t, timeout);
    Handle receiver = openReceiver();
    QVERIFY(receiver);
    char buffer[16];
    UdpSocket *handle = receiver.get();

    uint64_t start = Stopwatch::microseconds();
    QCOMPARE(udpReceiveTimed(handle, buffer, sizeof buffer, timeout, 0), int(UDP_TIMEOUT));
    QVERIFY(Stopwatch::microseconds() - start >= timeout * 9 / 10);

    start = Stopwatch::microseconds();
    QCOMPARE(udpWait(&handle, 1, nullptr, timeout), int(UDP_TIMEOUT));
    QVERIFY(Stopwatch::microseconds() - start >= timeout * 9 / 10);
}

// A signal landing in a wait must neither end it early nor report an error,
// which would stop a running recording.
void TestUdpSocket::signalDoesNotBreakAWait()
{
    Handle receiver = openReceiver();
    QVERIFY(receiver);
    char buffer[16];
    const uint64_t start = Stopwatch::microseconds();
    {
        AlarmDuring alarm(20000);
        QCOMPARE(udpReceiveTimed(receiver.get(), buffer, sizeof buffer, 300000, 0), int(UDP_TIMEOUT));
    }
    QVERIFY(Stopwatch::microseconds() - start >= 270000);
}

// select cannot watch descriptors at or above FD_SETSIZE; a wait set built on
// it would corrupt memory or never see the datagram.
void TestUdpSocket::descriptorAboveSelectLimit()
{
    const int wanted = FD_SETSIZE + 100;
    rlimit limit;
    QCOMPARE(getrlimit(RLIMIT_NOFILE, &limit), 0);
    if (limit.rlim_cur < rlim_t(wanted + 16)) {
        rlimit raised = limit;
        raised.rlim_cur = qMin<rlim_t>(wanted + 16, limit.rlim_max);
        if (setrlimit(RLIMIT_NOFILE, &raised) != 0 || raised.rlim_cur < rlim_t(wanted + 16))
            QSKIP("cannot raise the descriptor limit above FD_SETSIZE");
    }

    // Fill the low descriptors so that the next socket lands above the limit.
    std::vector<int> fillers;
    const auto release = qScopeGuard([&] {
        for (int fd : fillers)
            close(fd);
        setrlimit(RLIMIT_NOFILE, &limit);
    });
    const int seed = open("/dev/null", O_RDONLY | O_CLOEXEC);
    QVERIFY(seed >= 0);
    fillers.push_back(seed);
    int next = -1;
    while ((next = fcntl(seed, F_DUPFD_CLOEXEC, 0)) >= 0 && next < wanted)
        fillers.push_back(next);
    QVERIFY(next >= wanted);
    close(next);

    Handle receiver = openReceiver();
    QVERIFY(receiver);
    char link[64] = {};
    QVERIFY(readlink(QByteArray("/proc/self/fd/" + QByteArray::number(next)).constData(), link, sizeof link - 1) > 0);
    QVERIFY2(QByteArray(link).startsWith("socket:"), link);

    Handle sender = openSender();
    QVERIFY(sender);
    char buffer[32];
    QCOMPARE(udpReceiveTimed(receiver.get(), buffer, sizeof buffer, 1000, 0), int(UDP_TIMEOUT));
    QCOMPARE(udpSend(sender.get(), "fr 7\r\n", 6, loopback, udpLocalPort(receiver.get()), 5000000), int(UDP_OK));
    QCOMPARE(udpReceiveTimed(receiver.get(), buffer, sizeof buffer, 2000000, 0), 6);
    QCOMPARE(QByteArray(buffer, 6), QByteArray("fr 7\r\n"));
}

void TestUdpSocket::resolve_data()
{
    QTest::addColumn<QByteArray>("name");
    QTest::addColumn<uint32_t>("address");
    QTest::newRow("dotted") << QByteArray("192.168.0.10") << uint32_t(0xC0A8000A);
    QTest::newRow("broadcast") << QByteArray("255.255.255.255") << uint32_t(0xFFFFFFFF);
    QTest::newRow("host name") << QByteArray("localhost") << loopback;
    QTest::newRow("unknown name") << QByteArray("no-such-host.invalid") << uint32_t(0);
    QTest::newRow("any-address") << QByteArray("0.0.0.0") << uint32_t(0);
    QTest::newRow("empty") << QByteArray("") << uint32_t(0);
}

void TestUdpSocket::resolve()
{
    QFETCH(QByteArray, name);
    QFETCH(uint32_t, address);
    QCOMPARE(udpResolve(name.constData()), address);
}

void TestUdpSocket::wakerEndsAWait()
{
    Handle receiver = openReceiver();
    Handle sender = openSender();
    QVERIFY(receiver && sender);
    UdpWaker *waker = nullptr;
    QCOMPARE(udpWakerOpen(&waker), int(UDP_OK));
    const auto closeWaker = qScopeGuard([&] { udpWakerClose(waker); });
    char buffer[32];

    // A blocked receive in another thread ends at once, long before its time-out.
    std::atomic<int> result{1};
    std::unique_ptr<QThread> blocked(QThread::create([&] {
        result = udpReceiveOrWake(receiver.get(), waker, buffer, sizeof buffer, 30000000, 0);
    }));
    blocked->start();
    // It must stay blocked on its own: a wait that ends early proves nothing.
    QVERIFY(!blocked->wait(100));
    QCOMPARE(udpWakerSignal(waker), int(UDP_OK));
    QTRY_VERIFY_WITH_TIMEOUT(blocked->isFinished(), 5000);
    QCOMPARE(result.load(), int(UDP_WOKEN));

    // Waking takes precedence over a queued datagram and leaves both in place.
    QCOMPARE(udpSend(sender.get(), "fr 9\r\n", 6, loopback, udpLocalPort(receiver.get()), 5000000), int(UDP_OK));
    QCOMPARE(udpReceiveOrWake(receiver.get(), waker, buffer, sizeof buffer, 0, 0), int(UDP_WOKEN));
    QCOMPARE(udpReceiveOrWake(receiver.get(), waker, buffer, sizeof buffer, 0, 0), int(UDP_WOKEN));
    QCOMPARE(udpWakerClear(waker), int(UDP_OK));
    QCOMPARE(udpWakerClear(waker), int(UDP_OK));
    QCOMPARE(udpReceiveOrWake(receiver.get(), waker, buffer, sizeof buffer, 2000000, 0), 6);
    QCOMPARE(QByteArray(buffer, 6), QByteArray("fr 9\r\n"));
    QCOMPARE(udpReceiveOrWake(receiver.get(), waker, buffer, sizeof buffer, 1000, 0), int(UDP_TIMEOUT));
}

void TestUdpSocket::receiveBufferAndBadArguments()
{
    Handle receiver = openReceiver();
    QVERIFY(receiver);
    QVERIFY(udpSetReceiveBuffer(receiver.get(), 4 * 1024 * 1024) > 0);
    QCOMPARE(udpSetReceiveBuffer(receiver.get(), 0), int(UDP_ERROR));
    QCOMPARE(udpSend(receiver.get(), "x", -1, loopback, 9, 0), int(UDP_ERROR));
    QCOMPARE(udpClose(nullptr), int(UDP_ERROR));
    QCOMPARE(udpOpen(nullptr, 0, 0), int(UDP_ERROR));
}

QTEST_GUILESS_MAIN(TestUdpSocket)
#include "tst_udp_socket.moc"
