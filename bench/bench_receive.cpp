// Receive path figures: the highest send rate that the receiver's 100 us timed
// loop (plus one fwrite per datagram) takes without loss, the same for a plain
// blocking recv loop, and what each way of waiting costs while no traffic comes.

#include "tools/traffic.h"

#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <thread>
#include <vector>

namespace {

constexpr uint32_t receiverSlice = 100; // microseconds, as the receiver thread waits
constexpr uint64_t quietEnd = 200000; // microseconds without data after the sender ends
constexpr uint32_t idleSeconds = 5;
const double rates[] = {10000, 15000, 20000, 25000, 50000, 100000, 150000, 200000, 300000};
const int sizes[] = {300, 1400};

enum class Loop { Timed, Blocking };

struct Receiver {
    std::atomic<bool> senderDone{false};
    std::atomic<uint64_t> received{0};
};

uint64_t threadCpuMicroseconds()
{
    rusage usage;
    getrusage(RUSAGE_THREAD, &usage);
    return uint64_t(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) * 1000000u
           + uint64_t(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec);
}

void timedLoop(UdpSocket *socket, FILE *file, Receiver &state)
{
    std::vector<char> buffer(200000);
    uint64_t lastData = Stopwatch::microseconds();
    for (;;) {
        const int length = udpReceiveTimed(socket, buffer.data(), int32_t(buffer.size()), receiverSlice,
                                           UDP_RECV_FULL_OK);
        if (length >= 0) {
            std::fwrite(buffer.data(), 1, size_t(length), file);
            state.received.fetch_add(1, std::memory_order_relaxed);
            lastData = Stopwatch::microseconds();
        } else if (length != UDP_TIMEOUT
                   || (state.senderDone && Stopwatch::microseconds() - lastData > quietEnd)) {
            return;
        }
    }
}

void blockingLoop(int descriptor, FILE *file, Receiver &state)
{
    std::vector<char> buffer(200000);
    for (;;) {
        const ssize_t length = recv(descriptor, buffer.data(), buffer.size(), 0);
        if (length >= 0) {
            std::fwrite(buffer.data(), 1, size_t(length), file);
            state.received.fetch_add(1, std::memory_order_relaxed);
        } else if ((errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) || state.senderDone) {
            // The receive time-out only ends the loop once the sender is done.
            return;
        }
    }
}

// The reference socket: plain, bound to 127.0.0.1 on a free port, with a
// receive time-out so that the loop can end.
int openPlainSocket(uint16_t &port)
{
    const int descriptor = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in local = {};
    local.sin_family = AF_INET;
    local.sin_addr.s_addr = htonl(Traffic::loopbackAddress);
    socklen_t size = sizeof local;
    timeval timeout = {0, long(quietEnd)};
    if (descriptor < 0 || bind(descriptor, reinterpret_cast<sockaddr *>(&local), sizeof local) != 0
        || getsockname(descriptor, reinterpret_cast<sockaddr *>(&local), &size) != 0
        || setsockopt(descriptor, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout) != 0) {
        if (descriptor >= 0)
            close(descriptor);
        return -1;
    }
    port = ntohs(local.sin_port);
    return descriptor;
}

struct StepResult {
    bool ok = false;
    uint64_t sent = 0;
    uint64_t received = 0;
    double sentRate = 0;
};

StepResult runStep(Loop loop, int size, double rate, int receiveBuffer)
{
    StepResult step;
    FILE *file = std::tmpfile();
    UdpSocket *receiveSocket = nullptr;
    int plain = -1;
    uint16_t port = 0;
    if (loop == Loop::Timed) {
        if (udpOpen(&receiveSocket, 0, UDP_OPEN_ANY_PORT | UDP_OPEN_LOOPBACK) == UDP_OK
            && (receiveBuffer == 0 || udpSetReceiveBuffer(receiveSocket, receiveBuffer) > 0))
            port = udpLocalPort(receiveSocket);
    } else {
        plain = openPlainSocket(port);
    }
    UdpSocket *sendSocket = nullptr;
    if (!file || port == 0 || udpOpen(&sendSocket, 0, 0) != UDP_OK) {
        if (file)
            std::fclose(file);
        if (receiveSocket)
            udpClose(receiveSocket);
        if (plain >= 0)
            close(plain);
        return step;
    }

    Receiver state;
    std::thread receiver([&] {
        if (loop == Loop::Timed)
            timedLoop(receiveSocket, file, state);
        else
            blockingLoop(plain, file, state);
    });

    // About 0.4 s of traffic per step, at least 4000 datagrams.
    const uint64_t count = std::max<uint64_t>(4000, uint64_t(rate * 0.4));
    const Traffic::FrameComposer composer(size, 1, 1000.0, rate);
    const Traffic::SendResult sent = Traffic::sendPaced(sendSocket, port, composer, rate, count,
                                                        [](const char *, int) {});
    state.senderDone = true;
    receiver.join();

    step.ok = sent.status == UDP_OK;
    step.sent = sent.datagrams;
    step.received = state.received;
    step.sentRate = sent.microseconds > 0 ? double(sent.datagrams - 1) * 1e6 / double(sent.microseconds) : 0;
    udpClose(sendSocket);
    if (receiveSocket)
        udpClose(receiveSocket);
    if (plain >= 0)
        close(plain);
    std::fclose(file);
    return step;
}

// Steps the rate up until a step loses datagrams in both of two tries; a step
// counts as lossless only when both tries lose nothing, since the machine is shared.
// Returns the lower achieved send rate of the best lossless step: at high rates
// the sender falls short of the rate asked.
double highestLossless(Loop loop, int size, int receiveBuffer)
{
    double best = 0;
    for (double rate : rates) {
        int lossless = 0;
        double achieved = rate;
        for (int attempt = 0; attempt < 2; ++attempt) {
            const StepResult step = runStep(loop, size, rate, receiveBuffer);
            const bool clean = step.ok && step.received == step.sent;
            lossless += clean ? 1 : 0;
            achieved = std::min(achieved, step.sentRate);
            std::printf("  %5d B  asked %7.0f Hz  sent %7.0f Hz  %7llu sent  %7llu received  %s\n", size, rate,
                        step.sentRate, (unsigned long long)step.sent, (unsigned long long)step.received,
                        !step.ok ? "SEND FAILED" : clean ? "no loss" : "LOSS");
        }
        if (lossless == 2)
            best = std::max(best, achieved);
        if (lossless == 0)
            break;
    }
    return best;
}

// CPU share of one core that a waiting receiver uses with no traffic at all.
void idleCost()
{
    UdpSocket *socket = nullptr;
    UdpWaker *waker = nullptr;
    if (udpOpen(&socket, 0, UDP_OPEN_ANY_PORT | UDP_OPEN_LOOPBACK) != UDP_OK || udpWakerOpen(&waker) != UDP_OK) {
        std::printf("idle cost: cannot open a socket or a waker\n");
        if (socket)
            udpClose(socket);
        return;
    }
    char buffer[2048];

    for (int blocking = 0; blocking < 2; ++blocking) {
        std::atomic<bool> stop{false};
        uint64_t wakeUps = 0, cpu = 0, wall = 0, stopLatency = 0;
        std::atomic<uint64_t> stopAsked{0};
        std::thread receiver([&] {
            const uint64_t cpuStart = threadCpuMicroseconds();
            const uint64_t wallStart = Stopwatch::microseconds();
            while (!stop) {
                const int result = blocking
                    ? udpReceiveOrWake(socket, waker, buffer, sizeof buffer, 10000000, 0)
                    : udpReceiveTimed(socket, buffer, sizeof buffer, receiverSlice, 0);
                ++wakeUps;
                if (result == UDP_WOKEN)
                    udpWakerClear(waker);
            }
            stopLatency = Stopwatch::microseconds() - stopAsked;
            cpu = threadCpuMicroseconds() - cpuStart;
            wall = Stopwatch::microseconds() - wallStart;
        });
        Stopwatch::sleepMicroseconds(idleSeconds * 1000000);
        stopAsked = Stopwatch::microseconds();
        stop = true;
        if (blocking)
            udpWakerSignal(waker);
        receiver.join();
        std::printf("  %-44s %6.2f %% of a core, %8.0f wake-ups/s, stopped %6llu us after the request\n",
                    blocking ? "udpReceiveOrWake, 10 s time-out, waker:" : "udpReceiveTimed, 100 us slices:",
                    100.0 * double(cpu) / double(wall), double(wakeUps) * 1e6 / double(wall),
                    (unsigned long long)stopLatency);
    }
    udpWakerClose(waker);
    udpClose(socket);
}

}

int main()
{
    const uint64_t start = Stopwatch::microseconds();
    constexpr int largeBuffer = 4 * 1024 * 1024;
    struct Setup {
        const char *name;
        Loop loop;
        int receiveBuffer;
    };
    const Setup setups[] = {
        {"udpReceiveTimed 100 us loop, default receive buffer", Loop::Timed, 0},
        {"plain blocking recv loop, default receive buffer", Loop::Blocking, 0},
        {"udpReceiveTimed 100 us loop, 4 MiB receive buffer asked", Loop::Timed, largeBuffer},
    };
    UdpSocket *probe = nullptr;
    if (udpOpen(&probe, 0, UDP_OPEN_ANY_PORT | UDP_OPEN_LOOPBACK) == UDP_OK) {
        std::printf("a 4 MiB receive buffer asked is granted as %d bytes\n\n", udpSetReceiveBuffer(probe, largeBuffer));
        udpClose(probe);
    }
    double best[3][2] = {};
    for (int u = 0; u < 3; ++u) {
        std::printf("%s, one fwrite per datagram:\n", setups[u].name);
        for (int s = 0; s < 2; ++s)
            best[u][s] = highestLossless(setups[u].loop, sizes[s], setups[u].receiveBuffer);
    }
    std::printf("\nHighest achieved send rate without loss in two tries (0: none of the steps):\n");
    for (int s = 0; s < 2; ++s) {
        std::printf("  %5d B: timed loop %7.0f Hz, blocking recv %7.0f Hz, timed/blocking %.2f; "
                    "timed loop with 4 MiB buffer %7.0f Hz\n",
                    sizes[s], best[0][s], best[1][s], best[1][s] > 0 ? best[0][s] / best[1][s] : 0.0, best[2][s]);
    }
    std::printf("\nIdle cost, no traffic, %u s each:\n", idleSeconds);
    idleCost();
    std::printf("\ntotal %.1f s\n", double(Stopwatch::microseconds() - start) / 1e6);
    return 0;
}
