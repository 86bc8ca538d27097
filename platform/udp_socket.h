#ifndef UDP_SOCKET_H
#define UDP_SOCKET_H

// IPv4 datagram sockets behind an opaque handle. Addresses and ports are in
// host byte order at this interface; every result is a return code.

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
    UDP_OPEN_LOOPBACK = 8
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
uint32_t udpResolve(const char *name);

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
    uint32_t address = 0; // the sender's
    uint16_t port = 0;
};

// As udpReceiveOrWake, filling `*arrival` after a datagram.
// A datagram already queued, without waiting: as udpReceiveOrWakeCounted, or
// UDP_TIMEOUT when none is queued. Lets a receiver drain a burst without a wait per datagram.
int udpReceiveQueuedCounted(UdpSocket *handle, char *buffer, int32_t capacity, uint16_t flags, UdpArrival *arrival);
int udpReceiveOrWakeCounted(UdpSocket *handle, UdpWaker *waker, char *buffer, int32_t capacity,
                            uint32_t timeoutMicroseconds, uint16_t flags, UdpArrival *arrival);

#endif
