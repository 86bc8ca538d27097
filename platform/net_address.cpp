#include "platform/net_address.h"

#include <arpa/inet.h>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ifaddrs.h>
#include <net/if.h>
#include <netdb.h>
#include <netinet/in.h>

namespace {

bool isMappedIpv4(const NetAddress *address)
{
    static const uint8_t prefix[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff};
    return address->family == NET_IPV6 && std::memcmp(address->bytes, prefix, sizeof prefix) == 0;
}

bool fromSockaddr(const sockaddr *from, NetAddress *address)
{
    *address = NetAddress();
    if (!from)
        return false;
    if (from->sa_family == AF_INET) {
        address->family = NET_IPV4;
        std::memcpy(address->bytes, &reinterpret_cast<const sockaddr_in *>(from)->sin_addr, 4);
        return true;
    }
    if (from->sa_family == AF_INET6) {
        const auto *six = reinterpret_cast<const sockaddr_in6 *>(from);
        address->family = NET_IPV6;
        std::memcpy(address->bytes, &six->sin6_addr, 16);
        address->scope = six->sin6_scope_id;
        return true;
    }
    return false;
}

}

int netParseAddress(const char *text, NetAddress *address)
{
    if (!text || !address)
        return NET_MALFORMED;
    *address = NetAddress();
    // inet_pton, not inet_aton: "10" or "1.2.3" are typing errors here, not shorthand.
    if (inet_pton(AF_INET, text, address->bytes) == 1) {
        address->family = NET_IPV4;
        return NET_OK;
    }
    char copy[NET_TEXT_SIZE];
    const size_t length = std::strlen(text);
    if (length >= sizeof copy)
        return NET_MALFORMED;
    std::memcpy(copy, text, length + 1);
    char *percent = std::strchr(copy, '%');
    if (percent)
        *percent = 0;
    if (inet_pton(AF_INET6, copy, address->bytes) != 1) {
        *address = NetAddress();
        return NET_MALFORMED;
    }
    address->family = NET_IPV6;
    if (percent) {
        const char *scope = percent + 1;
        char *end = nullptr;
        const unsigned long number = std::strtoul(scope, &end, 10);
        address->scope = *scope && end && *end == 0 ? uint32_t(number) : if_nametoindex(scope);
        if (address->scope == 0) {
            *address = NetAddress();
            return NET_NOT_FOUND;
        }
    }
    return NET_OK;
}

int netParseSubnet(const char *text, NetAddress *network, int *prefix)
{
    if (!text || !network || !prefix)
        return NET_MALFORMED;
    char copy[NET_TEXT_SIZE];
    const size_t length = std::strlen(text);
    if (length >= sizeof copy)
        return NET_MALFORMED;
    std::memcpy(copy, text, length + 1);
    char *slash = std::strchr(copy, '/');
    if (slash)
        *slash = 0;
    const int parsed = netParseAddress(copy, network);
    if (parsed != NET_OK)
        return parsed;
    const int bits = network->family == NET_IPV4 ? 32 : 128;
    *prefix = bits;
    if (slash) {
        const char *digits = slash + 1;
        char *end = nullptr;
        const long value = std::strtol(digits, &end, 10);
        if (!*digits || *digits < '0' || *digits > '9' || *end || value < 0 || value > bits) {
            *network = NetAddress();
            return NET_MALFORMED;
        }
        *prefix = int(value);
    }
    for (int bit = *prefix; bit < bits; ++bit)
        network->bytes[bit / 8] &= uint8_t(~(0x80u >> (bit % 8)));
    return NET_OK;
}

NetAddress netIpv4(uint32_t address)
{
    NetAddress result;
    result.family = NET_IPV4;
    const uint32_t network = htonl(address);
    std::memcpy(result.bytes, &network, 4);
    return result;
}

uint32_t netIpv4Value(const NetAddress *address)
{
    if (!address)
        return 0;
    uint32_t network = 0;
    if (address->family == NET_IPV4)
        std::memcpy(&network, address->bytes, 4);
    else if (isMappedIpv4(address))
        std::memcpy(&network, address->bytes + 12, 4);
    return ntohl(network);
}

bool netIsMulticast(const NetAddress *address)
{
    if (!address)
        return false;
    if (address->family == NET_IPV4)
        return (address->bytes[0] & 0xf0) == 0xe0;
    return address->family == NET_IPV6 && address->bytes[0] == 0xff;
}

bool netIsAny(const NetAddress *address)
{
    if (!address || address->family == NET_NONE)
        return false;
    const int size = address->family == NET_IPV4 ? 4 : 16;
    for (int i = 0; i < size; ++i) {
        if (address->bytes[i])
            return false;
    }
    return true;
}

bool netEqual(const NetAddress *a, const NetAddress *b)
{
    return a && b && a->family == b->family && a->scope == b->scope
           && std::memcmp(a->bytes, b->bytes, a->family == NET_IPV4 ? 4 : 16) == 0;
}

int netFormat(const NetAddress *address, char *text, size_t capacity)
{
    if (!address || !text || capacity == 0)
        return NET_ERROR;
    const int family = address->family == NET_IPV4 ? AF_INET : address->family == NET_IPV6 ? AF_INET6 : -1;
    if (family < 0 || !inet_ntop(family, address->bytes, text, socklen_t(capacity)))
        return NET_ERROR;
    if (address->family == NET_IPV6 && address->scope) {
        const size_t used = std::strlen(text);
        char name[IF_NAMESIZE];
        const char *scope = if_indextoname(address->scope, name);
        const int written = scope ? std::snprintf(text + used, capacity - used, "%%%s", scope)
                                  : std::snprintf(text + used, capacity - used, "%%%u", address->scope);
        if (written < 0 || size_t(written) >= capacity - used)
            return NET_ERROR;
    }
    return NET_OK;
}

uint32_t netInterfaceIndex(const char *name)
{
    return name && *name ? if_nametoindex(name) : 0;
}

int netInterfaceOfAddress(const NetAddress *address, uint32_t *index)
{
    if (!address || !index)
        return NET_MALFORMED;
    ifaddrs *list = nullptr;
    if (getifaddrs(&list) != 0)
        return NET_ERROR;
    int result = NET_NOT_FOUND;
    for (const ifaddrs *entry = list; entry; entry = entry->ifa_next) {
        NetAddress local;
        if (!fromSockaddr(entry->ifa_addr, &local) || local.family != address->family)
            continue;
        if (std::memcmp(local.bytes, address->bytes, local.family == NET_IPV4 ? 4 : 16) == 0) {
            *index = if_nametoindex(entry->ifa_name);
            result = *index ? NET_OK : NET_NOT_FOUND;
            break;
        }
    }
    freeifaddrs(list);
    return result;
}

int netResolve(const char *name, NetAddress *address)
{
    if (!name || !*name || !address)
        return NET_NOT_FOUND;
    if (netParseAddress(name, address) == NET_OK)
        return NET_OK;
    addrinfo hints;
    std::memset(&hints, 0, sizeof hints);
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_DGRAM;
    addrinfo *found = nullptr;
    if (getaddrinfo(name, nullptr, &hints, &found) != 0 || !found)
        return NET_NOT_FOUND;
    // IPv4 first, as before IPv6 was known: a name with both keeps going where it went.
    const addrinfo *chosen = nullptr;
    for (const addrinfo *entry = found; entry && !chosen; entry = entry->ai_next) {
        if (entry->ai_family == AF_INET)
            chosen = entry;
    }
    for (const addrinfo *entry = found; entry && !chosen; entry = entry->ai_next) {
        if (entry->ai_family == AF_INET6)
            chosen = entry;
    }
    const bool ok = chosen && fromSockaddr(chosen->ai_addr, address);
    freeaddrinfo(found);
    return ok ? NET_OK : NET_NOT_FOUND;
}
