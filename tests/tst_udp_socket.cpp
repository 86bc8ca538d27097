#include "platform/stopwatch.h"
#include "platform/udp_socket.h"

#include <QtTest>

#include <csignal>
#include <ctime>
#include <fcntl.h>
#include <memory>
#include <netinet/in.h>
#include <sys/resource.h>
#include <unistd.h>

class TestUdpSocket : public QObject
{
    Q_OBJECT

    using Handle = std::unique_ptr<UdpSocket, decltype(&udpClose)>;
    Handle rx{nullptr, udpClose}, tx{nullptr, udpClose};
    char buffer[64];

    // On a port the platform picks, so parallel tests never collide.
    static Handle openHandle()
    {
        UdpSocket *handle = nullptr;
        return Handle(udpOpen(&handle, 0, UDP_OPEN_ANY_PORT | UDP_OPEN_LOOPBACK) == UDP_OK ? handle : nullptr, udpClose);
    }

    static int send(UdpSocket *sender, const QByteArray &payload, UdpSocket *receiver)
    {
        return udpSend(sender, payload.constData(), payload.size(), 0x7F000001, udpLocalPort(receiver), 5000000);
    }

private slots:
    void init()
    {
        QVERIFY((rx = openHandle()) && (tx = openHandle()));
    }

    void receive_data()
    {
        QTest::addColumn<QByteArrayList>("sent");
        QTest::addColumn<int>("flags");
        QTest::addColumn<int>("expected");
        QTest::newRow("empty datagram") << QByteArrayList{""} << 0 << 0;
        QTest::newRow("exactly capacity") << QByteArrayList{"fr 1\r\nb 12"} << 0 << int(UDP_BUFFER_FULL);
        QTest::newRow("cut to capacity, full ok") << QByteArrayList{"fr 1\r\nb 1234567"} << int(UDP_RECV_FULL_OK) << 10;
        QTest::newRow("latest of three") << QByteArrayList{"fr 1\r\nlonger first\r\n", "fr 2\r\n", "fr 3\r\nx\r\n"}
                                         << int(UDP_RECV_LATEST) << 9;
    }

    // Capacity 10 throughout; every datagram but the last comes from another
    // sender, so the source must be the newest datagram's.
    void receive()
    {
        QFETCH(QByteArrayList, sent);
        QFETCH(int, flags);
        for (int n = 0; n < sent.size(); ++n)
            QCOMPARE(send(n + 1 < sent.size() ? rx.get() : tx.get(), sent[n], rx.get()), int(UDP_OK));
        // A guard byte after the capacity catches a receive that writes past it.
        buffer[10] = '#';
        sockaddr_in source = {};
        QTEST(udpReceive(rx.get(), buffer, 10, &source, uint16_t(flags)), "expected");
        QCOMPARE(buffer[10], '#');
        QCOMPARE(QByteArray(buffer, qMin(sent.last().size(), 10)), sent.last().left(10));
        QCOMPARE(ntohs(source.sin_port), udpLocalPort(tx.get()));
        QCOMPARE(udpReceiveTimed(rx.get(), buffer, sizeof buffer, 0, 0), int(UDP_TIMEOUT));
    }

    void waitEndsOnTimeDataOrWaking()
    {
        UdpSocket *handles[2] = {rx.get(), tx.get()};
        int index = -1;
        // The wait is never restarted after a signal: one must neither end it early
        // nor be reported as an error, which would stop a running recording.
        const auto previous = signal(SIGALRM, [](int) {});
        const auto restore = qScopeGuard([&] { alarm(0); signal(SIGALRM, previous); });
        alarm(1);
        // Seconds and microseconds both count: either part alone waits far less.
        const uint64_t start = Stopwatch::microseconds();
        QCOMPARE(udpWait(handles, 2, &index, 1500000), int(UDP_TIMEOUT));
        QVERIFY(Stopwatch::microseconds() - start >= 1350000);
        // The second time both are readable: the first of them must be named.
        for (const int readable : {1, 0}) {
            QCOMPARE(send(tx.get(), "x", handles[readable]), int(UDP_OK));
            QCOMPARE(udpWait(handles, 2, &index, 0), int(UDP_OK));
            QCOMPARE(index, readable);
        }
        // Waking beats the datagram still queued, or a flood would keep a receiver from stopping.
        UdpWaker *waker = nullptr;
        QCOMPARE(udpWakerOpen(&waker), int(UDP_OK));
        const auto closeWaker = qScopeGuard([&] { udpWakerClose(waker); });
        QCOMPARE(udpWakerSignal(waker), int(UDP_OK));
        QCOMPARE(udpReceiveOrWake(rx.get(), waker, buffer, sizeof buffer, 30000000, 0), int(UDP_WOKEN));
    }

    void dropCounter()
    {
        // A tiny buffer overflows at once; the count comes with the next datagram that is queued.
        UdpWaker *waker = nullptr;
        QCOMPARE(udpWakerOpen(&waker), int(UDP_OK));
        const auto closeWaker = qScopeGuard([&] { udpWakerClose(waker); });
        QCOMPARE(udpEnableDropCounter(rx.get()), int(UDP_OK));
        QVERIFY(udpSetReceiveBuffer(rx.get(), 1) > 0);
        const QByteArray payload(1000, 'd');
        for (int i = 0; i < 50; ++i)
            QCOMPARE(send(tx.get(), payload, rx.get()), int(UDP_OK));
        UdpArrival arrival;
        int queued = 0;
        while (udpReceiveQueuedCounted(rx.get(), buffer, sizeof buffer, UDP_RECV_FULL_OK, &arrival) > 0)
            ++queued;
        QVERIFY(queued > 0 && queued < 50);
        QCOMPARE(send(tx.get(), "fr 1", rx.get()), int(UDP_OK));
        QCOMPARE(udpReceiveOrWakeCounted(rx.get(), waker, buffer, sizeof buffer, 1000000, 0, &arrival), 4);
        QCOMPARE(arrival.dropped, uint32_t(50 - queued));
        // The sender comes with it, to tell interleaved senders apart.
        QCOMPARE(arrival.address, uint32_t(0x7F000001));
        QCOMPARE(arrival.port, udpLocalPort(tx.get()));
    }

    void arrivalStamps()
    {
        const auto realtime = [] {
            timespec now;
            clock_gettime(CLOCK_REALTIME, &now);
            return int64_t(now.tv_sec) * 1000000000 + now.tv_nsec;
        };
        int64_t stamp = -1;
        // Not asked for: the platform attaches none.
        QCOMPARE(send(tx.get(), "fr 1", rx.get()), int(UDP_OK));
        QCOMPARE(udpReceiveStamped(rx.get(), buffer, sizeof buffer, 1000000, &stamp), 4);
        QCOMPARE(stamp, int64_t(0));

        // The stamp is when the datagram was queued, not when it was read 50 ms
        // later. The platform switches stamping on a moment after it was asked
        // (and stamps at the read until then), so a few tries are allowed.
        QCOMPARE(udpEnableArrivalStamps(rx.get()), int(UDP_OK));
        const QByteArray payload("fr 2\r\nlonger\r\n");
        bool queuedStamp = false;
        for (int attempt = 0; attempt < 20 && !queuedStamp; ++attempt) {
            const int64_t before = realtime();
            QCOMPARE(send(tx.get(), payload, rx.get()), int(UDP_OK));
            const int64_t sent = realtime();
            QTest::qWait(50);
            QCOMPARE(udpReceiveStamped(rx.get(), buffer, sizeof buffer, 1000000, &stamp), int(payload.size()));
            QCOMPARE(QByteArray(buffer, int(payload.size())), payload);
            QVERIFY(stamp >= before);
            queuedStamp = stamp <= sent + 25000000;
        }
        QVERIFY2(queuedStamp, "every stamp was taken at the read");

        // The refusals udpReceiveTimed gives, and the stamp cleared with them.
        QCOMPARE(udpReceiveStamped(rx.get(), buffer, sizeof buffer, 0, &stamp), int(UDP_TIMEOUT));
        QCOMPARE(stamp, int64_t(0));
        QCOMPARE(send(tx.get(), "fr 4\r\nb 1234567", rx.get()), int(UDP_OK));
        buffer[10] = '#';
        QCOMPARE(udpReceiveStamped(rx.get(), buffer, 10, 1000000, &stamp), int(UDP_BUFFER_FULL));
        QCOMPARE(buffer[10], '#');
        QCOMPARE(udpReceiveStamped(nullptr, buffer, sizeof buffer, 0, &stamp), int(UDP_ERROR));
        QCOMPARE(udpReceiveStamped(rx.get(), buffer, sizeof buffer, 0, nullptr), int(UDP_ERROR));
        QCOMPARE(udpEnableArrivalStamps(nullptr), int(UDP_ERROR));
    }

    void descriptors()
    {
        // A bind conflict must fail cleanly: error code, out argument untouched,
        // and no socket left open by the half-made handle.
        const auto openDescriptors = [] { return QDir("/proc/self/fd").entryList(QDir::Files | QDir::System).size(); };
        const int before = openDescriptors();
        UdpSocket *untouched = reinterpret_cast<UdpSocket *>(0x1);
        QCOMPARE(udpOpen(&untouched, udpLocalPort(rx.get()), UDP_OPEN_BROADCAST), int(UDP_ERROR));
        QCOMPARE(untouched, reinterpret_cast<UdpSocket *>(0x1));
        QCOMPARE(openDescriptors(), before);

        // select cannot watch descriptors at or above FD_SETSIZE; a wait set built
        // on it would corrupt memory or never see the datagram.
        rlimit limit;
        QCOMPARE(getrlimit(RLIMIT_NOFILE, &limit), 0);
        limit.rlim_cur = limit.rlim_max; // kept for the rest of this program, which minds no more descriptors
        if (limit.rlim_max < rlim_t(FD_SETSIZE + 100) || setrlimit(RLIMIT_NOFILE, &limit) != 0)
            QSKIP("cannot raise the descriptor limit above FD_SETSIZE");
        QList<int> fillers;
        const auto release = qScopeGuard([&] { for (const int fd : fillers) close(fd); });
        // Every descriptor below FD_SETSIZE taken, so the socket's lands above it.
        for (int fd = 0; fd < FD_SETSIZE; fillers.push_back(fd))
            QVERIFY((fd = open("/dev/null", O_RDONLY | O_CLOEXEC)) >= 0);
        Handle receiver = openHandle();
        QCOMPARE(send(tx.get(), "fr 7\r\n", receiver.get()), int(UDP_OK));
        QCOMPARE(udpReceiveTimed(receiver.get(), buffer, sizeof buffer, 2000000, 0), 6);
    }
};

QTEST_GUILESS_MAIN(TestUdpSocket)
#include "tst_udp_socket.moc"
