#ifndef SOURCE_FILTER_H
#define SOURCE_FILTER_H

#include "platform/net_address.h"

#include <array>
#include <cstdint>
#include <cstring>

// Who may write into a recording: hosts and subnets of either family. Empty
// lets everyone in. Checking a sender neither allocates nor locks, so the
// receiver asks it for every datagram.
class SourceFilter
{
public:
    // Enough for a lab's senders; a list longer than this is refused, not cut.
    static constexpr int MaxEntries = 64;

    // False when the list is full or `prefix` does not fit the family.
    bool add(const NetAddress &network, int prefix)
    {
        const int bits = network.family == NET_IPV4 ? 32 : network.family == NET_IPV6 ? 128 : -1;
        if (count == MaxEntries || prefix < 0 || prefix > bits)
            return false;
        Entry &entry = entries[size_t(count++)];
        entry.family = network.family;
        uint8_t mask[16] = {};
        for (int bit = 0; bit < prefix; ++bit)
            mask[bit / 8] |= uint8_t(0x80u >> (bit % 8));
        std::memcpy(entry.mask, mask, sizeof mask);
        std::memcpy(entry.network, network.bytes, sizeof entry.network);
        entry.network[0] &= entry.mask[0];
        entry.network[1] &= entry.mask[1];
        return true;
    }

    bool isEmpty() const { return count == 0; }
    int size() const { return count; }

    bool allows(const NetAddress &sender) const
    {
        if (count == 0)
            return true;
        uint64_t words[2];
        std::memcpy(words, sender.bytes, sizeof words);
        for (int i = 0; i < count; ++i) {
            const Entry &entry = entries[size_t(i)];
            if (entry.family == sender.family && (words[0] & entry.mask[0]) == entry.network[0]
                && (words[1] & entry.mask[1]) == entry.network[1])
                return true;
        }
        return false;
    }

private:
    // Both in the address's byte order, so one AND and compare per half.
    struct Entry {
        uint64_t network[2];
        uint64_t mask[2];
        uint8_t family;
    };
    std::array<Entry, MaxEntries> entries{};
    int count = 0;
};

#endif
