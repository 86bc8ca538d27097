#include "net/stopwatch.h"
#include "net/udp_socket.h"

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

// By default a receiver on a port the platform picks, so parallel tests never collide.
Handle openHandle(uint16_t flags = UDP_OPEN_ANY_PORT | UDP_OPEN_LOOPBACK, uint16_t port = 0)
{
    UdpSocket *handle = nullptr;
    return Handle(udpOpen(&handle, port, flags) == UDP_OK ? handle : nullptr);
}

int send(UdpSocket *sender, const QByteArray &payload, UdpSocket *receiver)
{
    return udpSend(sender, payload.constData(), payload.size(), loopback, udpLocalPort(receiver), 5000000);
}

}

class TestUdpSocket : public QObject
{
    Q_OBJECT

    Handle rx;
    Handle tx;
    char buffer[64];

private slots:
    void init()
    {
        rx = openHandle();
        tx = openHandle(UDP_OPEN_BROADCAST);
        QVERIFY(rx && tx && udpLocalPort(rx.get()) != 0);
    }

    void sendAndReceive()
    {
        // Port 0 without UDP_OPEN_ANY_PORT stays unbound until its first send.
        QCOMPARE(udpLocalPort(tx.get()), uint16_t(0));
        QCOMPARE(send(tx.get(), "fr 2\r\n", rx.get()), int(UDP_OK));
        sockaddr_in source = {};
        QCOMPARE(udpReceive(rx.get(), buffer, sizeof buffer, &source, 0), 6);
        QCOMPARE(QByteArray(buffer, 6), QByteArray("fr 2\r\n"));
        QCOMPARE(ntohl(source.sin_addr.s_addr), loopback);
        QCOMPARE(ntohs(source.sin_port), udpLocalPort(tx.get()));

        QCOMPARE(send(tx.get(), "", rx.get()), int(UDP_OK));
        QCOMPARE(udpReceiveTimed(rx.get(), buffer, sizeof buffer, 2000000, 0), 0);

        // Negative lengths would become huge ones for the platform and overrun
        // the buffers; the queued datagram must survive the refusal.
        QCOMPARE(send(tx.get(), "fr 1\r\n", rx.get()), int(UDP_OK));
        QCOMPARE(udpReceiveTimed(rx.get(), buffer, -1, 2000000, 0), int(UDP_ERROR));
        QCOMPARE(udpReceive(rx.get(), buffer, sizeof buffer, nullptr, 0), 6);
        QCOMPARE(udpSend(tx.get(), "x", -1, loopback, 9, 0), int(UDP_ERROR));
        QVERIFY(udpSetReceiveBuffer(rx.get(), 4 * 1024 * 1024) > 0);
    }

    // A bind conflict must fail cleanly: error code, out argument untouched,
    // and no socket left open by the half-made handle.
    void bindConflictLeavesNothingBehind()
    {
        const auto openDescriptors = [] { return QDir("/proc/self/fd").entryList(QDir::Files | QDir::System).size(); };
        const uint16_t port = udpLocalPort(rx.get());
        const int before = openDescriptors();
        UdpSocket *untouched = reinterpret_cast<UdpSocket *>(0x1);
        QCOMPARE(udpOpen(&untouched, port, UDP_OPEN_BROADCAST), int(UDP_ERROR));
        QCOMPARE(untouched, reinterpret_cast<UdpSocket *>(0x1));
        QCOMPARE(openDescriptors(), before);
        // Closing frees the port for a bind to that very port.
        rx.reset();
        rx = openHandle(UDP_OPEN_BROADCAST, port);
        QCOMPARE(udpLocalPort(rx.get()), port);
    }

    void bufferFullRule_data()
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

    void bufferFullRule()
    {
        QFETCH(int, length);
        QFETCH(int, flags);
        QFETCH(int, expected);
        const QByteArray payload = QByteArray("0123456789abcdefghijklmnopqrstuvwxyz").left(length);
        QCOMPARE(send(tx.get(), payload, rx.get()), int(UDP_OK));
        // A guard byte after the capacity catches a receive that writes past it.
        buffer[10] = '#';
        QCOMPARE(udpReceiveTimed(rx.get(), buffer, 10, 2000000, uint16_t(flags)), expected);
        QCOMPARE(buffer[10], '#');
        QCOMPARE(QByteArray(buffer, qMin(length, 10)), payload.left(10));
    }

    void latestReturnsNewestAndItsSender()
    {
        Handle first = openHandle(0);
        QCOMPARE(send(first.get(), "fr 1\r\nlonger first\r\n", rx.get()), int(UDP_OK));
        QCOMPARE(send(first.get(), "fr 2\r\n", rx.get()), int(UDP_OK));
        QCOMPARE(send(tx.get(), "fr 3\r\nx\r\n", rx.get()), int(UDP_OK));
        sockaddr_in source = {};
        QCOMPARE(udpReceive(rx.get(), buffer, sizeof buffer, &source, UDP_RECV_LATEST), 9);
        QCOMPARE(QByteArray(buffer, 9), QByteArray("fr 3\r\nx\r\n"));
        QCOMPARE(ntohs(source.sin_port), udpLocalPort(tx.get()));
        QCOMPARE(udpReceiveTimed(rx.get(), buffer, sizeof buffer, 0, 0), int(UDP_TIMEOUT));
    }

    void waitReportsFirstReadableHandle()
    {
        Handle others[2] = {openHandle(), openHandle()};
        UdpSocket *handles[4] = {rx.get(), others[0].get(), others[1].get(), others[0].get()};
        int index = -1;
        QCOMPARE(udpWait(handles, 4, &index, 0), int(UDP_TIMEOUT));
        QCOMPARE(send(tx.get(), "b", handles[2]), int(UDP_OK));
        QCOMPARE(udpWait(handles, 3, &index, 2000000), int(UDP_OK));
        QCOMPARE(index, 2);
        QCOMPARE(send(tx.get(), "a", handles[1]), int(UDP_OK));
        QCOMPARE(udpWait(handles, 3, &index, 0), int(UDP_OK));
        QCOMPARE(index, 1);
        QCOMPARE(udpWait(handles, 3, nullptr, 0), int(UDP_OK));
        QCOMPARE(udpWait(handles, 0, &index, 0), int(UDP_ERROR));
    }

    void timeOutsLastTheirTime()
    {
        // No SA_RESTART: a signal in the wait must neither end it early nor be
        // reported as an error, which would stop a running recording.
        struct sigaction action = {}, previous;
        action.sa_handler = [](int) {};
        sigaction(SIGALRM, &action, &previous);
        const auto restore = qScopeGuard([&] { sigaction(SIGALRM, &previous, nullptr); });
        // Seconds and microseconds both count: either part alone waits far less.
        for (const uint32_t timeout : {200000u, 1500000u}) {
            itimerval alarm = {};
            alarm.it_value.tv_usec = 20000;
            setitimer(ITIMER_REAL, &alarm, nullptr);
            const uint64_t start = Stopwatch::microseconds();
            QCOMPARE(udpReceiveTimed(rx.get(), buffer, sizeof buffer, timeout, 0), int(UDP_TIMEOUT));
            QVERIFY(Stopwatch::microseconds() - start >= timeout * 9 / 10);
        }
    }

    // select cannot watch descriptors at or above FD_SETSIZE; a wait set built
    // on it would corrupt memory or never see the datagram.
    void descriptorAboveSelectLimit()
    {
        const int wanted = FD_SETSIZE + 100;
        rlimit limit;
        QCOMPARE(getrlimit(RLIMIT_NOFILE, &limit), 0);
        rlimit raised = limit;
        raised.rlim_cur = qMax<rlim_t>(limit.rlim_cur, qMin<rlim_t>(wanted + 16, limit.rlim_max));
        if (raised.rlim_cur < rlim_t(wanted + 16) || setrlimit(RLIMIT_NOFILE, &raised) != 0)
            QSKIP("cannot raise the descriptor limit above FD_SETSIZE");
        // Fill the low descriptors so that the next socket lands above the limit.
        std::vector<int> fillers;
        const auto release = qScopeGuard([&] {
            for (int fd : fillers)
                close(fd);
            setrlimit(RLIMIT_NOFILE, &limit);
        });
        int next;
        while ((next = open("/dev/null", O_RDONLY | O_CLOEXEC)) >= 0 && next < wanted)
            fillers.push_back(next);
        QVERIFY(next >= wanted);
        close(next);
        Handle receiver = openHandle();
        char link[64] = {};
        QVERIFY(readlink(qPrintable(QStringLiteral("/proc/self/fd/%1").arg(next)), link, sizeof link - 1) > 0);
        QVERIFY2(QByteArray(link).startsWith("socket:"), link);

        QCOMPARE(send(tx.get(), "fr 7\r\n", receiver.get()), int(UDP_OK));
        QCOMPARE(udpReceiveTimed(receiver.get(), buffer, sizeof buffer, 2000000, 0), 6);
    }

    void resolve()
    {
        QCOMPARE(udpResolve("192.168.0.10"), 0xC0A8000Au);
        QCOMPARE(udpResolve("255.255.255.255"), 0xFFFFFFFFu);
        QCOMPARE(udpResolve("localhost"), loopback);
        // Unknown names and the any-address are no target at all.
        QCOMPARE(udpResolve("no-such-host.invalid"), 0u);
        QCOMPARE(udpResolve("0.0.0.0"), 0u);
        QCOMPARE(udpResolve(""), 0u);
    }

    void wakerEndsAWait()
    {
        UdpWaker *waker = nullptr;
        QCOMPARE(udpWakerOpen(&waker), int(UDP_OK));
        const auto closeWaker = qScopeGuard([&] { udpWakerClose(waker); });
        std::atomic<int> result{1};
        std::unique_ptr<QThread> blocked(QThread::create(
            [&] { result = udpReceiveOrWake(rx.get(), waker, buffer, sizeof buffer, 30000000, 0); }));
        blocked->start();
        // Signal only once the receive blocks: a waker looked at just before
        // the wait, and not during it, would pass otherwise.
        QVERIFY(!blocked->wait(100));
        QCOMPARE(udpWakerSignal(waker), int(UDP_OK));
        QVERIFY(blocked->wait(5000));
        QCOMPARE(result.load(), int(UDP_WOKEN));

        // Waking beats a queued datagram, or a flood would keep a receiver from
        // stopping; the datagram stays queued, and clearing twice is no error.
        QCOMPARE(send(tx.get(), "fr 9\r\n", rx.get()), int(UDP_OK));
        QCOMPARE(udpReceiveOrWake(rx.get(), waker, buffer, sizeof buffer, 0, 0), int(UDP_WOKEN));
        QCOMPARE(udpWakerClear(waker), int(UDP_OK));
        QCOMPARE(udpWakerClear(waker), int(UDP_OK));
        QCOMPARE(udpReceiveOrWake(rx.get(), waker, buffer, sizeof buffer, 0, 0), 6);
    }
};

QTEST_GUILESS_MAIN(TestUdpSocket)
#include "tst_udp_socket.moc"
