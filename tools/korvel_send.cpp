// Sends tracking-like frames to 127.0.0.1 at a steady rate, one datagram per frame.

#include "tools/traffic.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QFile>

#include <cstdio>

namespace {

// Frame numbers such as "4,10-12".
class NumberList
{
public:
    bool parse(const QString &text)
    {
        for (const QString &item : text.split(QLatin1Char(','), Qt::SkipEmptyParts)) {
            // A leading minus belongs to the number, so split ranges after the first character.
            const qsizetype dash = item.indexOf(QLatin1Char('-'), 1);
            bool ok = false, okTo = true;
            const qint64 from = item.left(dash < 0 ? item.size() : dash).trimmed().toLongLong(&ok);
            const qint64 to = dash < 0 ? from : item.mid(dash + 1).trimmed().toLongLong(&okTo);
            if (!ok || !okTo || to < from)
                return false;
            m_ranges.append({from, to});
        }
        return true;
    }

    bool contains(qint64 number) const
    {
        for (const auto &range : m_ranges) {
            if (number >= range.first && number <= range.second)
                return true;
        }
        return false;
    }

private:
    QList<QPair<qint64, qint64>> m_ranges;
};

// The frames in sending order with the faults a network can make: a dropped
// frame is not sent, a duplicated one twice in a row, a swapped one after its successor.
class FaultyOrder
{
public:
    FaultyOrder(uint64_t count, int32_t firstFrame, const NumberList &drop, const NumberList &duplicate,
                const NumberList &swap)
        : m_count(count), m_first(firstFrame), m_drop(drop), m_duplicate(duplicate), m_swap(swap)
    {
    }

    bool next(uint32_t &index)
    {
        while (m_head == m_tail) {
            if (m_next >= m_count)
                return false;
            m_head = m_tail = 0;
            if (m_swap.contains(number(m_next)) && m_next + 1 < m_count) {
                queue(m_next + 1);
                queue(m_next);
                m_next += 2;
            } else {
                queue(m_next++);
            }
        }
        index = m_pending[m_head++];
        return true;
    }

private:
    qint64 number(uint64_t index) const { return int32_t(uint32_t(m_first) + uint32_t(index)); }

    void queue(uint64_t index)
    {
        if (m_drop.contains(number(index)))
            return;
        m_pending[m_tail++] = uint32_t(index);
        if (m_duplicate.contains(number(index)))
            m_pending[m_tail++] = uint32_t(index);
    }

    uint64_t m_count;
    int32_t m_first;
    const NumberList &m_drop;
    const NumberList &m_duplicate;
    const NumberList &m_swap;
    uint64_t m_next = 0;
    uint32_t m_pending[4] = {};
    int m_head = 0;
    int m_tail = 0;
};

}

namespace {

// "ADDRESS:PORT" or "[IPv6 ADDRESS]:PORT", numeric only: the tool resolves no names.
bool readDestination(const QString &text, NetAddress &address, double &port)
{
    const qsizetype colon = text.lastIndexOf(QLatin1Char(':'));
    QString host = text.left(colon);
    if (host.startsWith(QLatin1Char('[')) && host.endsWith(QLatin1Char(']')))
        host = host.mid(1, host.size() - 2);
    bool ok = false;
    port = colon > 0 ? text.mid(colon + 1).toUInt(&ok) : 0;
    if (!ok || port < 1 || port > 65535 || netParseAddress(host.toLatin1().constData(), &address) != NET_OK) {
        std::fprintf(stderr, "korvel-send: --dest %s: expected ADDRESS:PORT or [IPv6 ADDRESS]:PORT\n",
                     qPrintable(text));
        return false;
    }
    return true;
}

}

int main(int argc, char *argv[])
{
    QCoreApplication application(argc, argv);
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("Sends tracking-like frames to 127.0.0.1, or to --dest."));
    parser.addHelpOption();
    parser.addOptions({
        {QStringLiteral("port"), QStringLiteral("Destination port on 127.0.0.1."), QStringLiteral("P")},
        {QStringLiteral("dest"),
         QStringLiteral("Destination instead of --port: ADDRESS:PORT or [IPv6 ADDRESS]:PORT, a multicast group too."),
         QStringLiteral("ADDRESS:PORT")},
        {QStringLiteral("ttl"), QStringLiteral("Hop limit of multicast datagrams, 0 to 255 (default 1)."),
         QStringLiteral("N")},
        {QStringLiteral("rate"), QStringLiteral("Frames per second (default 1000)."), QStringLiteral("HZ")},
        {QStringLiteral("count"), QStringLiteral("Frames to send (default 1000)."), QStringLiteral("N")},
        {QStringLiteral("size"), QStringLiteral("Datagram size, 60 to 60000 (default 300)."), QStringLiteral("BYTES")},
        {QStringLiteral("first-frame"), QStringLiteral("Number of the first frame (default 1)."), QStringLiteral("F")},
        {QStringLiteral("ts-start"), QStringLiteral("First timestamp in seconds (default 1000.0)."),
         QStringLiteral("S")},
        {QStringLiteral("out"), QStringLiteral("Also write every datagram sent to FILE."), QStringLiteral("FILE")},
        {QStringLiteral("drop"), QStringLiteral("Leave out the frames numbered in LIST (e.g. 4,10-12)."),
         QStringLiteral("LIST")},
        {QStringLiteral("duplicate"), QStringLiteral("Send the frames numbered in LIST twice in a row."),
         QStringLiteral("LIST")},
        {QStringLiteral("swap"), QStringLiteral("Send each frame numbered in LIST after the frame that follows it."),
         QStringLiteral("LIST")},
    });
    parser.process(application);

    double port = 0, rate = 1000, count = 1000, size = 300, firstFrame = 1, firstTimestamp = 1000.0, ttl = 1;
    NetAddress destination = netIpv4(Traffic::loopbackAddress);
    if (parser.isSet(QStringLiteral("port")) == parser.isSet(QStringLiteral("dest"))) {
        std::fprintf(stderr, "korvel-send: give --port or --dest\n");
        return 1;
    }
    if (parser.isSet(QStringLiteral("dest")) && !readDestination(parser.value(QStringLiteral("dest")), destination, port))
        return 1;
    if ((parser.isSet(QStringLiteral("port")) && !Traffic::readOption("korvel-send", parser, QStringLiteral("port"), 1, 65535, port))
        || !Traffic::readOption("korvel-send", parser, QStringLiteral("ttl"), 0, 255, ttl)
        || !Traffic::readOption("korvel-send", parser, QStringLiteral("rate"), 0.001, 10000000, rate)
        || !Traffic::readOption("korvel-send", parser, QStringLiteral("count"), 0, 4294967295.0, count)
        || !Traffic::readOption("korvel-send", parser, QStringLiteral("size"), Traffic::minimumSize, Traffic::maximumSize, size)
        || !Traffic::readOption("korvel-send", parser, QStringLiteral("first-frame"), -2147483648.0, 2147483647.0, firstFrame)
        || !Traffic::readOption("korvel-send", parser, QStringLiteral("ts-start"), 0, 1e12, firstTimestamp))
        return 1;

    NumberList faults[3];
    const QString faultNames[3] = {QStringLiteral("drop"), QStringLiteral("duplicate"), QStringLiteral("swap")};
    for (int i = 0; i < 3; ++i) {
        if (!faults[i].parse(parser.value(faultNames[i]))) {
            std::fprintf(stderr, "korvel-send: --%s takes frame numbers such as 4,10-12\n", qPrintable(faultNames[i]));
            return 1;
        }
    }

    FILE *out = nullptr;
    if (parser.isSet(QStringLiteral("out"))) {
        out = std::fopen(QFile::encodeName(parser.value(QStringLiteral("out"))).constData(), "wb");
        if (!out) {
            std::perror("korvel-send: --out");
            return 1;
        }
    }

    UdpSocket *socket = nullptr;
    if (udpOpen(&socket, 0, destination.family == NET_IPV6 ? UDP_OPEN_IPV6 : 0) != UDP_OK
        || udpSetMulticastSend(socket, int(ttl), 0, true) != UDP_OK) {
        udpClose(socket);
        std::fprintf(stderr, "korvel-send: cannot open a socket\n");
        if (out)
            std::fclose(out);
        return 2;
    }
    const Traffic::FrameComposer composer(int(size), int32_t(firstFrame), firstTimestamp, rate);
    bool written = true;
    FaultyOrder order(uint64_t(count), int32_t(firstFrame), faults[0], faults[1], faults[2]);
    const Traffic::SendResult result =
        Traffic::sendPlanned(socket, destination, uint16_t(port), composer, rate, order, [&](const char *data, int length) {
            if (out && std::fwrite(data, 1, size_t(length), out) != size_t(length))
                written = false;
        });
    udpClose(socket);
    if (out && std::fclose(out) != 0)
        written = false;

    // The rate is taken between the first and the last send, as a receiver sees it.
    const double seconds = double(result.microseconds) / 1e6;
    const double hertz = result.datagrams > 1 && seconds > 0 ? double(result.datagrams - 1) / seconds : 0.0;
    std::printf("sent %llu datagrams, %llu bytes in %.3f s (%.1f Hz)\n", (unsigned long long)result.datagrams,
                (unsigned long long)result.bytes, seconds, hertz);
    if (result.status != UDP_OK) {
        std::fprintf(stderr, "korvel-send: send failed with %d\n", result.status);
        return 2;
    }
    if (!written) {
        std::fprintf(stderr, "korvel-send: writing --out failed\n");
        return 2;
    }
    return 0;
}
