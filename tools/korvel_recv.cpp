// Receives frames on 127.0.0.1, checks their "fr N" sequence as the recorder's
// live counters do and measures the arrival rate and its jitter. Arrivals are
// the kernel's receive stamps, so the figures are the sender's timing and not
// how soon this process was woken.

#include "record/stream_health.h"
#include "tools/traffic.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QFile>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

// Interval figures in us over arrival times in ns.
struct Jitter {
    double meanInterval = 0;
    double p50 = 0;
    double p99 = 0;
    double max = 0;
    double fitInterval = 0; // us, least squares over arrivals 2..n
    double firstOffset = 0; // us, the first arrival against that line extrapolated back
};

// The schedule the later frames keep, and how far the first frame was from it.
void fitArrivals(const std::vector<int64_t> &arrivals, Jitter &jitter)
{
    const size_t n = arrivals.size();
    if (n < 4)
        return;
    double meanX = 0, meanY = 0, sxx = 0, sxy = 0;
    for (size_t i = 1; i < n; ++i) {
        const double x = double(i), y = double(arrivals[i] - arrivals[1]), k = double(i);
        const double dx = x - meanX;
        meanX += dx / k;
        meanY += (y - meanY) / k;
        sxx += dx * (x - meanX);
        sxy += dx * (y - meanY);
    }
    jitter.fitInterval = sxy / sxx / 1e3;
    jitter.firstOffset = (double(arrivals[0] - arrivals[1]) - (meanY - sxy / sxx * meanX)) / 1e3;
}

double percentile(const std::vector<double> &sorted, double fraction)
{
    const size_t rank = size_t(std::ceil(fraction * double(sorted.size())));
    return sorted[std::min(sorted.size() - 1, rank > 0 ? rank - 1 : 0)];
}

// Jitter is |interval - mean interval| over consecutive arrivals.
Jitter measureJitter(const std::vector<int64_t> &arrivals)
{
    Jitter jitter;
    if (arrivals.size() < 2)
        return jitter;
    jitter.meanInterval = double(arrivals.back() - arrivals.front()) / double(arrivals.size() - 1) / 1e3;
    std::vector<double> deviations;
    deviations.reserve(arrivals.size() - 1);
    for (size_t i = 1; i < arrivals.size(); ++i)
        deviations.push_back(std::fabs(double(arrivals[i] - arrivals[i - 1]) / 1e3 - jitter.meanInterval));
    std::sort(deviations.begin(), deviations.end());
    jitter.p50 = percentile(deviations, 0.50);
    jitter.p99 = percentile(deviations, 0.99);
    jitter.max = deviations.back();
    fitArrivals(arrivals, jitter);
    return jitter;
}

}

int main(int argc, char *argv[])
{
    QCoreApplication application(argc, argv);
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("Receives frames on 127.0.0.1 and reports rate, jitter and "
                                                    "sequence errors. Exit code 3 when fewer than --count arrived."));
    parser.addHelpOption();
    parser.addOptions({
        {QStringLiteral("port"), QStringLiteral("Port on 127.0.0.1; 0 picks a free one and prints it."),
         QStringLiteral("P")},
        {QStringLiteral("count"), QStringLiteral("Stop after N datagrams (default: no limit)."), QStringLiteral("N")},
        {QStringLiteral("timeout-ms"),
         QStringLiteral("Once the first datagram arrived, stop after MS without one (default 10000). "
                        "The first is awaited without a limit."),
         QStringLiteral("MS")},
        {QStringLiteral("duration"), QStringLiteral("Stop after S seconds in all."), QStringLiteral("S")},
        {QStringLiteral("out"), QStringLiteral("Write the received datagrams to FILE."), QStringLiteral("FILE")},
        {QStringLiteral("rcvbuf"), QStringLiteral("Ask for a receive buffer of BYTES."), QStringLiteral("BYTES")},
    });
    parser.process(application);

    double port = -1, count = 0, timeoutMs = 10000, duration = 0, receiveBuffer = 0;
    if (!parser.isSet(QStringLiteral("port"))) {
        std::fprintf(stderr, "korvel-recv: --port is required\n");
        return 1;
    }
    const char *program = "korvel-recv";
    if (!Traffic::readOption(program, parser, QStringLiteral("port"), 0, 65535, port)
        || !Traffic::readOption(program, parser, QStringLiteral("count"), 1, 1e9, count)
        || !Traffic::readOption(program, parser, QStringLiteral("timeout-ms"), 1, 3600000, timeoutMs)
        || !Traffic::readOption(program, parser, QStringLiteral("duration"), 0.001, 86400, duration)
        || !Traffic::readOption(program, parser, QStringLiteral("rcvbuf"), 1, 2147483647.0, receiveBuffer))
        return 1;

    FILE *out = nullptr;
    if (parser.isSet(QStringLiteral("out"))) {
        out = std::fopen(QFile::encodeName(parser.value(QStringLiteral("out"))).constData(), "wb");
        if (!out) {
            std::perror("korvel-recv: --out");
            return 1;
        }
    }

    UdpSocket *socket = nullptr;
    const uint16_t flags = port == 0 ? UDP_OPEN_ANY_PORT | UDP_OPEN_LOOPBACK : UDP_OPEN_LOOPBACK;
    if (udpOpen(&socket, uint16_t(port), flags) != UDP_OK) {
        std::fprintf(stderr, "korvel-recv: cannot bind 127.0.0.1:%d\n", int(port));
        if (out)
            std::fclose(out);
        return 2;
    }
    // Without kernel stamps (refused, or none attached) the arrival is read from the clock after the receive.
    const bool kernelStamps = udpEnableArrivalStamps(socket) == UDP_OK;
    if (receiveBuffer > 0)
        std::printf("rcvbuf granted %d bytes\n", udpSetReceiveBuffer(socket, int(receiveBuffer)));
    // Scripts start the sender once this line is out.
    std::printf("listening port=%u\n", unsigned(udpLocalPort(socket)));
    std::fflush(stdout);

    std::vector<char> buffer(65536);
    std::vector<int64_t> arrivals;
    size_t unstamped = 0;
    arrivals.reserve(count > 0 ? size_t(count) : size_t(1) << 16);
    StreamHealth sequence;
    sequence.reset();
    uint64_t bytes = 0;
    int status = UDP_OK;
    bool written = true;
    const uint64_t idle = uint64_t(timeoutMs) * 1000;
    const uint64_t start = Stopwatch::microseconds();
    const uint64_t end = duration > 0 ? start + uint64_t(duration * 1e6) : UINT64_MAX;
    uint64_t lastActivity = start;

    while (count == 0 || arrivals.size() < size_t(count)) {
        const uint64_t now = Stopwatch::microseconds();
        // Someone may start the sender at human speed: the idle time counts from the first datagram.
        const uint64_t idleEnd = arrivals.empty() ? UINT64_MAX : lastActivity + idle;
        if (now >= idleEnd || now >= end)
            break;
        const uint64_t wait = std::min(idleEnd, end) - now;
        // The buffer exceeds any datagram, so a full buffer cannot happen.
        int64_t stamp = 0;
        const int length = udpReceiveStamped(socket, buffer.data(), int32_t(buffer.size()),
                                             uint32_t(std::min<uint64_t>(wait, 1000000)), &stamp);
        if (length == UDP_TIMEOUT)
            continue;
        if (length < 0) {
            status = length;
            break;
        }
        lastActivity = Stopwatch::microseconds();
        if (stamp == 0) {
            ++unstamped;
            stamp = std::chrono::duration_cast<std::chrono::nanoseconds>(
                        std::chrono::system_clock::now().time_since_epoch())
                        .count();
        }
        arrivals.push_back(stamp);
        bytes += uint64_t(length);
        sequence.add(buffer.data(), length, qint64(lastActivity), 0, 0); // one sender as far as this tool tells
        if (out && std::fwrite(buffer.data(), 1, size_t(length), out) != size_t(length))
            written = false;
    }
    udpClose(socket);
    if (out && std::fclose(out) != 0)
        written = false;

    const Jitter jitter = measureJitter(arrivals);
    const double seconds = arrivals.size() > 1 ? double(arrivals.back() - arrivals.front()) / 1e9 : 0.0;
    const double hertz = seconds > 0 ? double(arrivals.size() - 1) / seconds : 0.0;
    std::printf("received %zu datagrams, %llu bytes in %.3f s (%.1f Hz)\n", arrivals.size(),
                (unsigned long long)bytes, seconds, hertz);
    std::printf("interval mean %.1f us, jitter p50 %.1f us, p99 %.1f us, max %.1f us (%s)\n", jitter.meanInterval,
                jitter.p50, jitter.p99, jitter.max,
                unstamped == 0 ? "kernel receive stamps" : kernelStamps ? "some stamps from this process's clock"
                                                                       : "stamps from this process's clock");
    // Loop wraps (1..N, 1..N) start a new pass; they are neither lost nor out of order.
    const StreamFigures f = sequence.figures();
    std::printf("frames %lld to %lld in %lld passes: %lld missing, %lld repeated, %lld out of order, %lld without a "
                "frame line\n",
                (long long)f.first_frame, (long long)f.last_frame, (long long)f.passes, (long long)f.frames_lost,
                (long long)f.duplicates, (long long)f.out_of_order, (long long)f.unnumbered);
    std::printf("received=%zu bytes=%llu seconds=%.6f rate_hz=%.3f interval_mean_us=%.3f jitter_p50_us=%.3f "
                "jitter_p99_us=%.3f jitter_max_us=%.3f first_frame=%lld last_frame=%lld gaps=%lld repeats=%lld "
                "out_of_order=%lld unnumbered=%lld passes=%lld fit_interval_us=%.6f first_offset_us=%.3f unstamped=%zu\n",
                arrivals.size(), (unsigned long long)bytes, seconds, hertz, jitter.meanInterval, jitter.p50,
                jitter.p99, jitter.max, (long long)f.first_frame, (long long)f.last_frame, (long long)f.frames_lost,
                (long long)f.duplicates, (long long)f.out_of_order, (long long)f.unnumbered, (long long)f.passes, jitter.fitInterval, jitter.firstOffset, unstamped);

    if (status != UDP_OK) {
        std::fprintf(stderr, "korvel-recv: receive failed with %d\n", status);
        return 2;
    }
    if (!written) {
        std::fprintf(stderr, "korvel-recv: writing --out failed\n");
        return 2;
    }
    return count > 0 && arrivals.size() < size_t(count) ? 3 : 0;
}
