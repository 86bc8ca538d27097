#ifndef TRAFFIC_H
#define TRAFFIC_H

// Tracking-like frames and their paced sending, shared by korvel-send and the
// receive benchmark. Only ever sends to 127.0.0.1.

#include "platform/stopwatch.h"
#include "platform/udp_socket.h"

#include <QCommandLineParser>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

namespace Traffic {

constexpr uint32_t loopbackAddress = 0x7F000001;
constexpr int minimumSize = 60;
constexpr int maximumSize = 60000;

// Reads a numeric option if given; complains on standard error when it is out of range.
inline bool readOption(const char *program, const QCommandLineParser &parser, const QString &name, double low,
                       double high, double &value)
{
    if (!parser.isSet(name))
        return true;
    bool ok = false;
    value = parser.value(name).toDouble(&ok);
    if (ok && value >= low && value <= high)
        return true;
    std::fprintf(stderr, "%s: --%s must be a number from %g to %g\n", program, qPrintable(name), low, high);
    return false;
}

// Builds datagrams of exactly `size` bytes (unless the two header lines alone
// are longer): "fr N", "ts S", whole body lines of six-degree-of-freedom
// bodies, then one line of zeros that fills the rest. Every line ends in CR LF.
class FrameComposer
{
public:
    FrameComposer(int size, int32_t firstFrame, double firstTimestamp, double rate)
        : m_size(size), m_firstFrame(firstFrame), m_firstTimestamp(firstTimestamp), m_rate(rate)
    {
        uint32_t seed = 12345;
        auto next = [&seed](double range) {
            seed = seed * 1103515245u + 12345u;
            return (double((seed >> 8) & 0xFFFF) / 65535.0 - 0.5) * range;
        };
        char line[256];
        for (int body = 1; int(m_body.size()) < size; ++body) {
            int length = std::snprintf(line, sizeof line, "6d %d 0.000 %.3f %.3f %.3f", body, next(2000.0),
                                       next(2000.0), 1500.0 + next(500.0));
            for (int i = 0; i < 9; ++i)
                length += std::snprintf(line + length, sizeof line - size_t(length), " %.6f", next(2.0));
            length += std::snprintf(line + length, sizeof line - size_t(length), "\r\n");
            m_body.append(line, size_t(length));
            m_lineEnds.push_back(m_body.size());
        }
    }

    // Largest datagram compose() can produce, for the caller's buffer.
    int capacity() const { return m_size + 64; }

    int compose(uint32_t index, char *out) const
    {
        const int header = std::snprintf(out, size_t(capacity()), "fr %d\r\nts %.6f\r\n",
                                         int32_t(uint32_t(m_firstFrame) + index),
                                         m_firstTimestamp + double(index) / m_rate);
        if (header + 3 > m_size)
            return header;
        size_t lines = m_lineEnds.size();
        while (lines > 0 && header + int(m_lineEnds[lines - 1]) + 3 > m_size)
            --lines;
        const int body = lines > 0 ? int(m_lineEnds[lines - 1]) : 0;
        std::memcpy(out + header, m_body.data(), size_t(body));
        char *pad = out + header + body;
        const int digits = m_size - header - body - 2;
        for (int i = 0; i < digits; ++i)
            pad[i] = (i % 6 == 5 && i != digits - 1) ? ' ' : '0';
        pad[digits] = '\r';
        pad[digits + 1] = '\n';
        return m_size;
    }

private:
    int m_size;
    int32_t m_firstFrame;
    double m_firstTimestamp;
    double m_rate;
    std::string m_body;
    std::vector<size_t> m_lineEnds;
};

struct SendResult {
    int status = UDP_OK;
    uint64_t datagrams = 0;
    uint64_t bytes = 0;
    uint64_t microseconds = 0;
};

// Frame indices in the order they are sent: 0, 1, 2, ... count - 1.
class InOrder
{
public:
    explicit InOrder(uint64_t count) : m_count(count) {}
    bool next(uint32_t &index)
    {
        if (m_next >= m_count)
            return false;
        index = uint32_t(m_next++);
        return true;
    }

private:
    uint64_t m_count;
    uint64_t m_next = 0;
};

// Sends the frames `plan` names at absolute deadlines on the monotonic clock,
// one per period: sleeps until the next one is due, then sends every frame
// that is due, so a late wake-up costs no frames and high rates stay on average.
template <typename Plan, typename Sink>
SendResult sendPlanned(UdpSocket *socket, const NetAddress &address, uint16_t port, const FrameComposer &composer,
                       double rate, Plan &plan, Sink &&sent)
{
    std::vector<char> buffer(size_t(composer.capacity()));
    SendResult result;
    uint32_t index = 0;
    bool more = plan.next(index);
    const uint64_t start = Stopwatch::microseconds();
    while (more) {
        const uint64_t now = Stopwatch::microseconds();
        const uint64_t due = start + uint64_t(double(result.datagrams) * 1e6 / rate);
        if (due > now) {
            Stopwatch::sleepMicroseconds(uint32_t(due - now));
            continue;
        }
        while (more && start + uint64_t(double(result.datagrams) * 1e6 / rate) <= now) {
            const int length = composer.compose(index, buffer.data());
            result.status = udpSendTo(socket, buffer.data(), length, &address, port, 5000000);
            if (result.status != UDP_OK) {
                result.microseconds = Stopwatch::microseconds() - start;
                return result;
            }
            sent(buffer.data(), length);
            ++result.datagrams;
            result.bytes += uint64_t(length);
            more = plan.next(index);
        }
    }
    result.microseconds = Stopwatch::microseconds() - start;
    return result;
}

template <typename Sink>
SendResult sendPaced(UdpSocket *socket, uint16_t port, const FrameComposer &composer, double rate, uint64_t count,
                     Sink &&sent)
{
    InOrder plan(count);
    return sendPlanned(socket, netIpv4(loopbackAddress), port, composer, rate, plan, std::forward<Sink>(sent));
}

}

#endif
