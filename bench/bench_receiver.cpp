// Receiver thread alone, recording 300-byte datagrams from a paced sender on
// 127.0.0.1: how many are sent, written and reported, and what it costs idle.

#include "net/stopwatch.h"
#include "net/udp_socket.h"
#include "record/korvel_recorder_thread.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QTimer>

#include <sys/resource.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>

namespace {

constexpr uint32_t loopback = 0x7F000001;
constexpr int datagramSize = 300;

double processCpuSeconds()
{
    rusage usage;
    getrusage(RUSAGE_SELF, &usage);
    return double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec)
         + double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

void spinEventLoop(int milliseconds)
{
    QEventLoop loop;
    QTimer::singleShot(milliseconds, &loop, &QEventLoop::quit);
    loop.exec();
}

struct SendResult {
    long sent = 0;
    long failed = 0;
};

// Absolute deadlines: every datagram due by now goes out at once, so a late wake-up
// is caught up instead of lowering the rate. rate 0 sends as fast as it can.
SendResult sendPaced(uint16_t port, long rate, double seconds)
{
    SendResult result;
    UdpSocket *sender = nullptr;
    if (udpOpen(&sender, 0, 0) != UDP_OK)
        return result;
    char datagram[datagramSize];
    std::memset(datagram, 'x', sizeof datagram);
    const long total = rate > 0 ? long(double(rate) * seconds) : 0;
    const uint64_t start = Stopwatch::microseconds();
    const uint64_t end = start + uint64_t(seconds * 1e6);
    for (uint64_t now = start; now < end; now = Stopwatch::microseconds()) {
        const long due = rate > 0 ? qMin(total, long(double(now - start) * double(rate) / 1e6) + 1) : result.sent + 64;
        for (; result.sent < due; ++result.sent) {
            const int length = std::snprintf(datagram, sizeof datagram, "fr %ld\r\n", result.sent);
            datagram[length] = 'x';
            datagram[datagramSize - 2] = '\r';
            datagram[datagramSize - 1] = '\n';
            if (udpSend(sender, datagram, datagramSize, loopback, port, 1000000) != UDP_OK)
                ++result.failed;
        }
        if (rate > 0) {
            const uint64_t next = start + uint64_t(double(result.sent) * 1e6 / double(rate));
            if (next > now + 50)
                Stopwatch::sleepMicroseconds(uint32_t(next - now));
        }
    }
    udpClose(sender);
    return result;
}

void recordAt(UdpSocket *receiver, uint16_t port, const QString &path, long rate, double seconds)
{
    FILE *record = std::fopen(QFile::encodeName(path).constData(), "wb");
    if (!record) {
        std::printf("cannot open %s\n", qPrintable(path));
        return;
    }
    Korvel_Recorder_Thread thread;
    QObject counter;
    long reported = 0;
    QObject::connect(&thread, &Korvel_Recorder_Thread::status, &counter, [&reported](int stat) {
        if (stat == 2)
            ++reported;
    });
    thread.setSocket(receiver);
    thread.setRecordFile(record);
    thread.setRecording(true);
    thread.start();

    const double cpuBefore = processCpuSeconds();
    std::atomic<bool> done{false};
    SendResult sent;
    std::thread sender([&] {
        sent = sendPaced(port, rate, seconds);
        done = true;
    });
    while (!done)
        spinEventLoop(50);
    sender.join();
    // Let the queue drain before stopping, then let the last queued reports arrive.
    spinEventLoop(300);
    thread.stop();
    spinEventLoop(100);
    const double cpu = processCpuSeconds() - cpuBefore;
    std::fclose(record);

    const long written = long(QFileInfo(path).size() / datagramSize);
    const QString label = rate > 0 ? QString("%1 Hz").arg(rate) : QString("unpaced");
    std::printf("%-10s %5.1f s  sent %8ld (%.0f/s, %ld send failures)  written %8ld (%5.1f %%)  reported %8ld (%5.1f %%)"
                "  write failures %d  process CPU %.0f %% of a core\n",
                qPrintable(label), seconds, sent.sent, double(sent.sent) / seconds, sent.failed, written,
                sent.sent ? 100.0 * double(written) / double(sent.sent) : 0.0, reported,
                sent.sent ? 100.0 * double(reported) / double(sent.sent) : 0.0, thread.failedWrites(),
                100.0 * cpu / (seconds + 0.45));
}

void measureIdle(UdpSocket *receiver)
{
    Korvel_Recorder_Thread thread;
    thread.setSocket(receiver);
    thread.setRecording(false);
    thread.start();
    const double before = processCpuSeconds();
    spinEventLoop(5000);
    const double cpu = processCpuSeconds() - before;
    const uint64_t stopStart = Stopwatch::microseconds();
    thread.stop();
    const uint64_t stopTook = Stopwatch::microseconds() - stopStart;
    std::printf("idle, waiting on the waker:  process CPU %.3f s in 5 s (%.2f %% of a core), stop() took %llu us\n", cpu,
                cpu / 5.0 * 100.0, static_cast<unsigned long long>(stopTook));

    // For comparison, the same socket polled in 100 us slices as a plain loop would.
    char *buffer = new char[200001];
    std::atomic<bool> polling{true};
    const double pollBefore = processCpuSeconds();
    std::thread poller([&] {
        while (polling)
            udpReceiveTimed(receiver, buffer, 200000, 100, UDP_RECV_FULL_OK);
    });
    spinEventLoop(5000);
    polling = false;
    poller.join();
    const double pollCpu = processCpuSeconds() - pollBefore;
    delete[] buffer;
    std::printf("idle, polling every 100 us:  process CPU %.3f s in 5 s (%.2f %% of a core)\n", pollCpu,
                pollCpu / 5.0 * 100.0);
}

}

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QTemporaryDir dir;
    UdpSocket *receiver = nullptr;
    if (!dir.isValid() || udpOpen(&receiver, 0, UDP_OPEN_ANY_PORT | UDP_OPEN_LOOPBACK) != UDP_OK) {
        std::printf("cannot set up\n");
        return 1;
    }
    const uint16_t port = udpLocalPort(receiver);
    std::printf("receive buffer: asked for %d bytes, granted %d\n", 8 << 20, udpSetReceiveBuffer(receiver, 8 << 20));

    const double seconds = argc > 1 ? std::atof(argv[1]) : 3.0;
    for (long rate : {10000L, 50000L, 100000L, 200000L, 0L})
        recordAt(receiver, port, dir.filePath(QString("bench-%1.wly").arg(rate)), rate, seconds);
    measureIdle(receiver);
    udpClose(receiver);
    return 0;
}
