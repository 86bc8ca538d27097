#ifndef UDP_HANDLE_H
#define UDP_HANDLE_H

// What the udp_*.cpp files share behind the opaque handles; nothing else includes it.

#include "platform/udp_socket.h"

#include <sys/socket.h>

// The wait set is kept as a list of descriptors and waited on with ppoll:
// select's fd_set cannot hold descriptors at or above FD_SETSIZE and
// silently writes past its end when given one.
struct UdpWaitSet {
    uint32_t count;
    int descriptors[UDP_SET_SIZE];
};

struct UdpSocket {
    int socket;
    uint16_t flags;
    uint8_t family;
    UdpWaitSet waitSet;
    UdpSocket *previous;
    UdpSocket *next;
};

struct UdpWaker {
    int descriptor;
};

namespace UdpDetail {

// After a receive or write that did not block: was it only because nothing was there?
bool wouldBlock();
// `address` as the socket address a socket of `family` takes; its size, or 0 when it cannot.
socklen_t socketAddress(const NetAddress &address, uint16_t port, uint8_t family, sockaddr_storage &out);
int setOption(int descriptor, int level, int name, int value);

}

#endif
