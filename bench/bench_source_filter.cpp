// The source filter's cost per datagram, beside the same loop without a filter.
// The receiver asks the filter once for every datagram, so this is what a
// filter adds to the receive path.

#include "platform/net_address.h"
#include "platform/stopwatch.h"
#include "record/source_filter.h"

#include <cstdio>
#include <vector>

namespace {

constexpr int Senders = 1024;
constexpr int Rounds = 20000; // Senders * Rounds checks per case

std::vector<NetAddress> arrivals()
{
    std::vector<NetAddress> senders;
    for (int i = 0; i < Senders; ++i) {
        NetAddress address = netIpv4(0x0A000000u | uint32_t(i * 2654435761u >> 8));
        if (i % 4 == 3) { // a quarter IPv6, as a mixed lab might send
            address = NetAddress();
            address.family = NET_IPV6;
            address.bytes[0] = 0xfe;
            address.bytes[1] = 0x80;
            address.bytes[15] = uint8_t(i);
        }
        senders.push_back(address);
    }
    return senders;
}

SourceFilter filterOf(int entries)
{
    SourceFilter filter;
    for (int i = 0; i < entries; ++i) {
        NetAddress network;
        int prefix = 0;
        char text[32];
        std::snprintf(text, sizeof text, "192.0.%d.0/24", i);
        netParseSubnet(text, &network, &prefix);
        filter.add(network, prefix);
    }
    return filter;
}

// ns per datagram; `kept` keeps the compiler from dropping the checks.
double measure(const SourceFilter *filter, const std::vector<NetAddress> &senders, long &kept)
{
    const uint64_t start = Stopwatch::microseconds();
    for (int round = 0; round < Rounds; ++round) {
        for (const NetAddress &sender : senders) {
            // The reference does what the receive loop does around the check: touch the sender.
            if (filter ? filter->allows(sender) : sender.family != NET_NONE)
                ++kept;
        }
    }
    return double(Stopwatch::microseconds() - start) * 1000.0 / (double(Rounds) * Senders);
}

}

int main()
{
    const std::vector<NetAddress> senders = arrivals();
    long kept = 0;
    std::printf("source filter, ns per datagram over %d checks each (lower is better; goal < 100 ns):\n",
                Rounds * Senders);
    std::printf("  %-46s %6.2f ns\n", "reference: the loop without a filter", measure(nullptr, senders, kept));
    const SourceFilter empty;
    std::printf("  %-46s %6.2f ns\n", "empty filter (everyone allowed)", measure(&empty, senders, kept));
    for (int entries : {1, 8, SourceFilter::MaxEntries}) {
        const SourceFilter filter = filterOf(entries);
        char name[64];
        std::snprintf(name, sizeof name, "%d entries, no sender matches (worst case)", entries);
        std::printf("  %-46s %6.2f ns\n", name, measure(&filter, senders, kept));
    }
    std::printf("(%ld kept)\n", kept);
    return 0;
}
