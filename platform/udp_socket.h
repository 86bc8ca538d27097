#ifndef UDP_SOCKET_H
#define UDP_SOCKET_H

// IPv4 and IPv6 datagram sockets behind an opaque handle. Plain IPv4
// addresses and ports are in host byte order at this interface; every result
// is a return code.

#include "platform/net_address.h"

#include <cstdint>

struct sockaddr_in;

struct UdpSocket;
struct UdpWaker;

enum UdpResult {
    UDP_OK = 0,
    UDP_TIMEOUT = -1,
    UDP_ERROR = -2,
    UDP_BUFFER_FULL = -3,
    UDP_WOKEN = -4 // only from udpReceiveOrWake: the waker was signalled
};

enum UdpOpenFlag : uint16_t {
    UDP_OPEN_BROADCAST = 1,
    UDP_OPEN_MULTIPOINT = 2,
    UDP_OPEN_ANY_PORT = 4,
    UDP_OPEN_LOOPBACK = 8,
    UDP_OPEN_IPV6 = 16 // an IPv6 socket (with LOOPBACK bound to ::1)
};

enum UdpReceiveFlag : uint16_t {
    UDP_RECV_LATEST = 1,
    UDP_RECV_FULL_OK = 2
};

// Capacity of a handle's prepared wait set.
constexpr int UDP_SET_SIZE = 64;

int udpOpen(UdpSocket **handle, uint16_t port, uint16_t flags);
int udpClose(UdpSocket *handle);
int udpReceive(UdpSocket *handle, char *buffer, int32_t capacity, sockaddr_in *source, uint16_t flags);
int udpWait(UdpSocket **handles, int count, int *index, uint32_t timeoutMicroseconds);
int udpReceiveTimed(UdpSocket *handle, char *buffer, int32_t capacity, uint32_t timeoutMicroseconds, uint16_t flags);
int udpSend(UdpSocket *handle, const char *data, int32_t length, uint32_t address, uint16_t port,
            uint32_t timeoutMicroseconds);
// To an IPv4 or IPv6 address; an IPv4 one through an IPv6 socket goes as a mapped address.
int udpSendTo(UdpSocket *handle, const char *data, int32_t length, const NetAddress *address, uint16_t port,
              uint32_t timeoutMicroseconds);

// A receive socket of `local`'s family bound to `local` (NET_NONE: every IPv4
// address) and `port`, held to the interface `interfaceName` when given. It
// takes multicast datagrams only of the groups it joins itself (Linux would
// otherwise hand it every group any socket on the machine joined on that port).
// UDP_ERROR with errno.
int udpOpenListen(UdpSocket **handle, const NetAddress *local, const char *interfaceName, uint16_t port,
                  uint16_t flags);
// Joins or leaves `group` on interface `interfaceIndex` (0: the one the routes
// choose), any source, or only `source` when given (a kernel source-specific
// membership). UDP_ERROR with errno.
int udpJoinGroup(UdpSocket *handle, const NetAddress *group, const NetAddress *source, uint32_t interfaceIndex);
int udpLeaveGroup(UdpSocket *handle, const NetAddress *group, const NetAddress *source, uint32_t interfaceIndex);
// What multicast sends through the handle get: hop limit (TTL), outgoing
// interface (0: the routes choose) and whether this host's own listeners hear them.
int udpSetMulticastSend(UdpSocket *handle, int ttl, uint32_t interfaceIndex, bool loop);

// Asks for a receive buffer of `bytes`; returns the size the platform granted, or UDP_ERROR.
int udpSetReceiveBuffer(UdpSocket *handle, int bytes);
// The local port a handle is bound to (after a send on an unbound handle, the one the platform chose); 0 on failure.
uint16_t udpLocalPort(UdpSocket *handle);

// A waker lets another thread end a wait at once, so a receiver can block for
// long stretches instead of polling its stop flag.
int udpWakerOpen(UdpWaker **waker);
int udpWakerClose(UdpWaker *waker);
int udpWakerSignal(UdpWaker *waker);
int udpWakerClear(UdpWaker *waker);
// Waits up to the time-out for a datagram or the waker; a datagram is received as udpReceive does.
// Returns the length, UDP_TIMEOUT, UDP_WOKEN (nothing received), UDP_ERROR or UDP_BUFFER_FULL.
int udpReceiveOrWake(UdpSocket *handle, UdpWaker *waker, char *buffer, int32_t capacity,
                     uint32_t timeoutMicroseconds, uint16_t flags);

// Asks the platform to count the datagrams it drops for want of room in the
// receive buffer (SO_RXQ_OVFL). UDP_OK or UDP_ERROR.
int udpEnableDropCounter(UdpSocket *handle);

// What came with a received datagram besides its bytes.
struct UdpArrival {
    // The platform's drop count for the socket as it stood when the datagram was
    // queued; unchanged when the platform attached none, which it does while nothing was dropped.
    uint32_t dropped = 0;
    uint32_t address = 0; // the sender's, when an IPv4 one (mapped ones included)
    uint16_t port = 0;
    NetAddress sender;    // the sender's, any family (a mapped IPv4 one as IPv4)
};

// As udpReceiveOrWake, filling `*arrival` after a datagram.
// A datagram already queued, without waiting: as udpReceiveOrWakeCounted, or
// UDP_TIMEOUT when none is queued. Lets a receiver drain a burst without a wait per datagram.
int udpReceiveQueuedCounted(UdpSocket *handle, char *buffer, int32_t capacity, uint16_t flags, UdpArrival *arrival);
int udpReceiveOrWakeCounted(UdpSocket *handle, UdpWaker *waker, char *buffer, int32_t capacity,
                            uint32_t timeoutMicroseconds, uint16_t flags, UdpArrival *arrival);

// Kernel receive stamps, for a receiver that measures a sender's timing without
// its own wake-up in the figures. Asks the platform to stamp each datagram as it
// is queued (SO_TIMESTAMPNS). UDP_OK or UDP_ERROR.
int udpEnableArrivalStamps(UdpSocket *handle);
// Waits up to the time-out for one datagram and receives it as udpReceiveTimed
// does (length, UDP_TIMEOUT, UDP_ERROR or UDP_BUFFER_FULL), with the time the
// platform queued it in `*stampNanoseconds` (CLOCK_REALTIME), or 0 when it attached none.
int udpReceiveStamped(UdpSocket *handle, char *buffer, int32_t capacity, uint32_t timeoutMicroseconds,
                      int64_t *stampNanoseconds);

#endif
