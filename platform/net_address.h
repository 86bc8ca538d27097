#ifndef NET_ADDRESS_H
#define NET_ADDRESS_H

// IPv4 and IPv6 addresses in one plain value, and what the platform knows
// about them: numeric parsing, subnets, interfaces and name lookup. Every
// result is a return code.

#include <cstddef>
#include <cstdint>

enum NetFamily : uint8_t { NET_NONE = 0, NET_IPV4 = 4, NET_IPV6 = 6 };

enum NetResult {
    NET_OK = 0,
    NET_MALFORMED = -1,
    NET_NOT_FOUND = -2, // no such interface, no local address, or a name without an address
    NET_ERROR = -3
};

struct NetAddress {
    uint8_t family = NET_NONE;
    uint8_t bytes[16] = {}; // network order; an IPv4 address in the first four
    uint32_t scope = 0;     // IPv6 interface index of a link-local address
};

constexpr int NET_TEXT_SIZE = 64;

// A numeric IPv4 or IPv6 address ("fe80::1%lo" takes the scope from the interface name).
int netParseAddress(const char *text, NetAddress *address);
// "ADDRESS" (a whole address) or "ADDRESS/PREFIX"; `network` keeps only the prefix's bits.
int netParseSubnet(const char *text, NetAddress *network, int *prefix);
// Host byte order IPv4 in, address out.
NetAddress netIpv4(uint32_t address);
// Host byte order IPv4 of an IPv4 address (or of an IPv4-mapped IPv6 one), else 0.
uint32_t netIpv4Value(const NetAddress *address);
bool netIsMulticast(const NetAddress *address);
// 0.0.0.0 or ::
bool netIsAny(const NetAddress *address);
bool netEqual(const NetAddress *a, const NetAddress *b);
// Writes the numeric text (with "%scope" where it has one); NET_ERROR when it does not fit.
int netFormat(const NetAddress *address, char *text, size_t capacity);

// The index of the interface named `name`, 0 when there is none.
uint32_t netInterfaceIndex(const char *name);
// The interface that holds the local address `address`; NET_NOT_FOUND when none does.
int netInterfaceOfAddress(const NetAddress *address, uint32_t *index);

// Blocking lookup of a name or numeric text: the first IPv4 address, else the
// first IPv6 one. NET_NOT_FOUND when it has neither.
int netResolve(const char *name, NetAddress *address);

#endif
