#include "platform/udp_socket.h"

#include "platform/udp_handle.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <net/if.h>
#include <netdb.h>
#include <netinet/in.h>
#include <new>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

using namespace UdpDetail;

namespace {

void addToWaitSet(UdpWaitSet &set, int descriptor)
{
    if (set.count >= UDP_SET_SIZE)
        return;
    for (uint32_t i = 0; i < set.count; ++i) {
        if (set.descriptors[i] == descriptor)
            return;
    }
    set.descriptors[set.count++] = descriptor;
}

uint32_t fillPollSet(pollfd *fds, const UdpWaitSet &set, short events)
{
    for (uint32_t i = 0; i < set.count; ++i)
        fds[i] = pollfd{set.descriptors[i], events, 0};
    return set.count;
}

timespec toTimespec(uint64_t microseconds)
{
    timespec t;
    t.tv_sec = static_cast<time_t>(microseconds / 1000000);
    t.tv_nsec = static_cast<long>(microseconds % 1000000) * 1000;
    return t;
}

uint64_t monotonicMicroseconds()
{
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<uint64_t>(now.tv_sec) * 1000000u + static_cast<uint64_t>(now.tv_nsec) / 1000u;
}

// ppoll with the time-out split into seconds and microseconds. A signal
// landing in the wait resumes it for the time left instead of reporting a
// failure, which would end a recording for no reason. An invalid descriptor
// counts as a failure, as select would report it.
int pollFor(pollfd *fds, uint32_t count, uint32_t timeoutMicroseconds)
{
    const uint64_t deadline = monotonicMicroseconds() + timeoutMicroseconds;
    uint64_t left = timeoutMicroseconds;
    for (;;) {
        const timespec timeout = toTimespec(left);
        const int ready = ppoll(fds, count, &timeout, nullptr);
        if (ready >= 0) {
            for (uint32_t i = 0; i < count; ++i) {
                if (fds[i].revents & POLLNVAL) {
                    errno = EBADF; // so that callers can name the failure
                    return -1;
                }
            }
            return ready;
        }
        if (errno != EINTR)
            return -1;
        const uint64_t now = monotonicMicroseconds();
        left = now < deadline ? deadline - now : 0;
    }
}

void readSender(const sockaddr_storage &from, UdpArrival *arrival)
{
    NetAddress &sender = arrival->sender;
    sender = NetAddress();
    if (from.ss_family == AF_INET) {
        const auto &four = reinterpret_cast<const sockaddr_in &>(from);
        sender.family = NET_IPV4;
        std::memcpy(sender.bytes, &four.sin_addr, 4);
        arrival->port = ntohs(four.sin_port);
    } else if (from.ss_family == AF_INET6) {
        const auto &six = reinterpret_cast<const sockaddr_in6 &>(from);
        sender.family = NET_IPV6;
        std::memcpy(sender.bytes, &six.sin6_addr, 16);
        sender.scope = six.sin6_scope_id;
        arrival->port = ntohs(six.sin6_port);
        // An IPv4 sender on a dual-stack socket is still an IPv4 sender to a filter.
        if (IN6_IS_ADDR_V4MAPPED(&six.sin6_addr)) {
            sender = NetAddress();
            sender.family = NET_IPV4;
            std::memcpy(sender.bytes, six.sin6_addr.s6_addr + 12, 4);
        }
    }
    arrival->address = netIpv4Value(&sender);
}

// One datagram into the buffer. After a wait reported the socket readable the
// receive must not block: Linux may report readiness for a datagram that it
// then drops (bad checksum), and a blocking receive would hang the caller.
// With `arrival`, recvmsg also reads the sender and the drop counter the platform attaches.
ssize_t receiveOne(UdpSocket *handle, char *buffer, int32_t capacity, sockaddr_in *source, int systemFlags,
                   UdpArrival *arrival = nullptr)
{
    ssize_t length;
    do {
        if (arrival) {
            sockaddr_storage sender;
            std::memset(&sender, 0, sizeof sender);
            iovec part{buffer, static_cast<size_t>(capacity)};
            alignas(cmsghdr) char control[CMSG_SPACE(sizeof(uint32_t))];
            msghdr message;
            std::memset(&message, 0, sizeof message);
            message.msg_name = &sender;
            message.msg_namelen = sizeof sender;
            message.msg_iov = &part;
            message.msg_iovlen = 1;
            message.msg_control = control;
            message.msg_controllen = sizeof control;
            length = recvmsg(handle->socket, &message, systemFlags);
            if (length >= 0) {
                for (cmsghdr *c = CMSG_FIRSTHDR(&message); c; c = CMSG_NXTHDR(&message, c)) {
                    if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SO_RXQ_OVFL)
                        std::memcpy(&arrival->dropped, CMSG_DATA(c), sizeof(uint32_t));
                }
                readSender(sender, arrival);
                if (source && sender.ss_family == AF_INET)
                    std::memcpy(source, &sender, sizeof *source);
            }
        } else if (source) {
            socklen_t addressLength = sizeof(sockaddr_in);
            length = recvfrom(handle->socket, buffer, static_cast<size_t>(capacity), systemFlags,
                              reinterpret_cast<sockaddr *>(source), &addressLength);
        } else {
            length = recv(handle->socket, buffer, static_cast<size_t>(capacity), systemFlags);
        }
    } while (length < 0 && errno == EINTR);
    return length;
}

bool moreQueued(UdpSocket *handle)
{
    pollfd fds[UDP_SET_SIZE];
    const uint32_t count = fillPollSet(fds, handle->waitSet, POLLIN);
    return pollFor(fds, count, 0) == 1;
}

int receiveDatagram(UdpSocket *handle, char *buffer, int32_t capacity, sockaddr_in *source, uint16_t flags,
                    bool afterWait, UdpArrival *arrival = nullptr)
{
    if (!handle || capacity < 0)
        return UDP_ERROR;
    ssize_t length = receiveOne(handle, buffer, capacity, source, afterWait ? MSG_DONTWAIT : 0, arrival);
    if (length < 0)
        return afterWait && wouldBlock() ? UDP_TIMEOUT : UDP_ERROR;

    if (flags & UDP_RECV_LATEST) {
        while (moreQueued(handle)) {
            const ssize_t newer = receiveOne(handle, buffer, capacity, source, MSG_DONTWAIT, arrival);
            if (newer < 0) {
                if (wouldBlock())
                    break;
                return UDP_ERROR;
            }
            length = newer;
        }
    }

    if ((flags & UDP_RECV_FULL_OK) || length < capacity)
        return static_cast<int>(length);
    return UDP_BUFFER_FULL;
}

UdpSocket *createHandle(int descriptor, uint16_t flags, uint8_t family)
{
    UdpSocket *created = new (std::nothrow) UdpSocket;
    if (!created) {
        close(descriptor);
        return nullptr;
    }
    created->socket = descriptor;
    created->flags = flags;
    created->family = family;
    created->waitSet.count = 0;
    addToWaitSet(created->waitSet, descriptor);
    created->previous = nullptr;
    created->next = nullptr;
    return created;
}

} // namespace

int udpOpen(UdpSocket **handle, uint16_t port, uint16_t flags)
{
    if (!handle)
        return UDP_ERROR;
    const uint8_t family = (flags & UDP_OPEN_IPV6) ? NET_IPV6 : NET_IPV4;
    // Multipoint needs no special attributes here: a plain datagram socket can
    // join groups later.
    const int descriptor = socket(family == NET_IPV6 ? AF_INET6 : AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (descriptor < 0)
        return UDP_ERROR;
    UdpSocket *created = createHandle(descriptor, flags, family);
    if (!created)
        return UDP_ERROR;

    if (flags & UDP_OPEN_BROADCAST) {
        const int on = 1;
        if (family == NET_IPV4 && setsockopt(descriptor, SOL_SOCKET, SO_BROADCAST, &on, sizeof on) != 0) {
            udpClose(created);
            return UDP_ERROR;
        }
    }

    if ((flags & UDP_OPEN_ANY_PORT) || port != 0) {
        NetAddress local;
        local.family = family;
        if ((flags & UDP_OPEN_LOOPBACK) && family == NET_IPV6)
            local.bytes[15] = 1;
        else if (flags & UDP_OPEN_LOOPBACK)
            local = netIpv4(INADDR_LOOPBACK);
        sockaddr_storage address;
        const socklen_t size = socketAddress(local, (flags & UDP_OPEN_ANY_PORT) ? 0 : port, family, address);
        if (bind(descriptor, reinterpret_cast<const sockaddr *>(&address), size) != 0) {
            udpClose(created);
            return UDP_ERROR;
        }
    }

    *handle = created;
    return UDP_OK;
}

int udpOpenListen(UdpSocket **handle, const NetAddress *local, const char *interfaceName, uint16_t port,
                  uint16_t flags)
{
    if (!handle)
        return UDP_ERROR;
    NetAddress where = local && local->family != NET_NONE ? *local : netIpv4(INADDR_ANY);
    const int descriptor = socket(where.family == NET_IPV6 ? AF_INET6 : AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (descriptor < 0)
        return UDP_ERROR;
    UdpSocket *created = createHandle(descriptor, flags, where.family);
    if (!created)
        return UDP_ERROR;
    const auto failed = [created] {
        const int error = errno;
        udpClose(created);
        errno = error;
        return UDP_ERROR;
    };
    if ((flags & UDP_OPEN_BROADCAST) && where.family == NET_IPV4
        && setOption(descriptor, SOL_SOCKET, SO_BROADCAST, 1) != UDP_OK)
        return failed();
    if (interfaceName && *interfaceName
        && setsockopt(descriptor, SOL_SOCKET, SO_BINDTODEVICE, interfaceName, socklen_t(std::strlen(interfaceName)))
               != 0)
        return failed();
    // Older kernels lack the option; they deliver as they always did.
    if (where.family == NET_IPV6)
        setOption(descriptor, IPPROTO_IPV6, IPV6_MULTICAST_ALL, 0);
    else
        setOption(descriptor, IPPROTO_IP, IP_MULTICAST_ALL, 0);
    sockaddr_storage address;
    const socklen_t size = socketAddress(where, port, where.family, address);
    if (bind(descriptor, reinterpret_cast<const sockaddr *>(&address), size) != 0)
        return failed();
    *handle = created;
    return UDP_OK;
}

int udpClose(UdpSocket *handle)
{
    if (!handle)
        return UDP_ERROR;
    // No retry on EINTR: Linux has released the descriptor whatever close reports.
    const int closed = close(handle->socket);
    delete handle;
    return closed == 0 ? UDP_OK : UDP_ERROR;
}

int udpReceive(UdpSocket *handle, char *buffer, int32_t capacity, sockaddr_in *source, uint16_t flags)
{
    return receiveDatagram(handle, buffer, capacity, source, flags, false);
}

int udpWait(UdpSocket **handles, int count, int *index, uint32_t timeoutMicroseconds)
{
    if (!handles || count < 1)
        return UDP_ERROR;

    UdpWaitSet set;
    if (count == 1) {
        if (!handles[0])
            return UDP_ERROR;
        set = handles[0]->waitSet;
    } else {
        set.count = 0;
        for (int i = 0; i < count; ++i) {
            if (!handles[i])
                return UDP_ERROR;
            addToWaitSet(set, handles[i]->socket);
        }
    }

    pollfd fds[UDP_SET_SIZE];
    const uint32_t pollCount = fillPollSet(fds, set, POLLIN);
    const int ready = pollFor(fds, pollCount, timeoutMicroseconds);
    if (ready == 0)
        return UDP_TIMEOUT;
    if (ready < 0)
        return UDP_ERROR;

    if (count == 1) {
        if (index)
            *index = 0;
        return UDP_OK;
    }
    // Handles beyond the set's capacity were not waited on and cannot be reported.
    for (int i = 0; i < count; ++i) {
        for (uint32_t j = 0; j < pollCount; ++j) {
            if (fds[j].fd == handles[i]->socket && fds[j].revents != 0) {
                if (index)
                    *index = i;
                return UDP_OK;
            }
        }
    }
    return UDP_ERROR;
}

int udpReceiveTimed(UdpSocket *handle, char *buffer, int32_t capacity, uint32_t timeoutMicroseconds, uint16_t flags)
{
    const int waited = udpWait(&handle, 1, nullptr, timeoutMicroseconds);
    if (waited != UDP_OK)
        return waited;
    return receiveDatagram(handle, buffer, capacity, nullptr, flags, true);
}

int udpSend(UdpSocket *handle, const char *data, int32_t length, uint32_t address, uint16_t port,
            uint32_t timeoutMicroseconds)
{
    const NetAddress destination = netIpv4(address);
    return udpSendTo(handle, data, length, &destination, port, timeoutMicroseconds);
}

int udpSendTo(UdpSocket *handle, const char *data, int32_t length, const NetAddress *address, uint16_t port,
              uint32_t timeoutMicroseconds)
{
    if (!handle || !address || length < 0)
        return UDP_ERROR;
    sockaddr_storage destination;
    const socklen_t destinationSize = socketAddress(*address, port, handle->family, destination);
    if (destinationSize == 0) {
        errno = EAFNOSUPPORT;
        return UDP_ERROR;
    }
    // UDP_TIMEOUT while the send buffer is full.
    const auto attempt = [&] {
        ssize_t sent;
        do {
            sent = sendto(handle->socket, data, static_cast<size_t>(length), MSG_DONTWAIT,
                          reinterpret_cast<const sockaddr *>(&destination), destinationSize);
        } while (sent < 0 && errno == EINTR);
        if (sent < 0)
            return wouldBlock() ? int(UDP_TIMEOUT) : int(UDP_ERROR);
        return sent == length ? int(UDP_OK) : int(UDP_ERROR);
    };

    // The buffer nearly always has room: waiting for it first would cost a
    // system call per datagram.
    int result = attempt();
    if (result != UDP_TIMEOUT)
        return result;
    const uint64_t deadline = monotonicMicroseconds() + timeoutMicroseconds;
    for (;;) {
        const uint64_t now = monotonicMicroseconds();
        pollfd fds[UDP_SET_SIZE];
        const uint32_t count = fillPollSet(fds, handle->waitSet, POLLOUT);
        const int ready = pollFor(fds, count, now < deadline ? static_cast<uint32_t>(deadline - now) : 0);
        if (ready == 0)
            return UDP_TIMEOUT;
        if (ready != 1)
            return UDP_ERROR;
        // Writable but full again (another sender took the room): retry until the deadline.
        result = attempt();
        if (result != UDP_TIMEOUT || now >= deadline)
            return result;
    }
}

int udpSetReceiveBuffer(UdpSocket *handle, int bytes)
{
    if (!handle || bytes <= 0)
        return UDP_ERROR;
    // SO_RCVBUFFORCE passes the rmem_max cap but needs CAP_NET_ADMIN.
    if (setsockopt(handle->socket, SOL_SOCKET, SO_RCVBUFFORCE, &bytes, sizeof bytes) != 0
        && setsockopt(handle->socket, SOL_SOCKET, SO_RCVBUF, &bytes, sizeof bytes) != 0)
        return UDP_ERROR;
    // Linux doubles the request for its bookkeeping and reports the doubled
    // size; that is what is returned.
    int granted = 0;
    socklen_t size = sizeof granted;
    if (getsockopt(handle->socket, SOL_SOCKET, SO_RCVBUF, &granted, &size) != 0)
        return UDP_ERROR;
    return granted;
}

uint16_t udpLocalPort(UdpSocket *handle)
{
    if (!handle)
        return 0;
    sockaddr_storage local;
    socklen_t size = sizeof local;
    if (getsockname(handle->socket, reinterpret_cast<sockaddr *>(&local), &size) != 0)
        return 0;
    if (local.ss_family == AF_INET6)
        return ntohs(reinterpret_cast<const sockaddr_in6 &>(local).sin6_port);
    return local.ss_family == AF_INET ? ntohs(reinterpret_cast<const sockaddr_in &>(local).sin_port) : 0;
}

int udpReceiveOrWake(UdpSocket *handle, UdpWaker *waker, char *buffer, int32_t capacity,
                     uint32_t timeoutMicroseconds, uint16_t flags)
{
    return udpReceiveOrWakeCounted(handle, waker, buffer, capacity, timeoutMicroseconds, flags, nullptr);
}

int udpEnableDropCounter(UdpSocket *handle)
{
    if (!handle)
        return UDP_ERROR;
    const int on = 1;
    return setsockopt(handle->socket, SOL_SOCKET, SO_RXQ_OVFL, &on, sizeof on) == 0 ? UDP_OK : UDP_ERROR;
}

int udpReceiveOrWakeCounted(UdpSocket *handle, UdpWaker *waker, char *buffer, int32_t capacity,
                            uint32_t timeoutMicroseconds, uint16_t flags, UdpArrival *arrival)
{
    if (!handle || !waker)
        return UDP_ERROR;
    pollfd fds[UDP_SET_SIZE + 1];
    fds[0] = pollfd{waker->descriptor, POLLIN, 0};
    const uint32_t count = 1 + fillPollSet(fds + 1, handle->waitSet, POLLIN);
    const int ready = pollFor(fds, count, timeoutMicroseconds);
    if (ready == 0)
        return UDP_TIMEOUT;
    if (ready < 0)
        return UDP_ERROR;
    if (fds[0].revents != 0)
        return UDP_WOKEN;
    return receiveDatagram(handle, buffer, capacity, nullptr, flags, true, arrival);
}

int udpReceiveQueuedCounted(UdpSocket *handle, char *buffer, int32_t capacity, uint16_t flags, UdpArrival *arrival)
{
    return receiveDatagram(handle, buffer, capacity, nullptr, flags, true, arrival);
}

int udpEnableArrivalStamps(UdpSocket *handle)
{
    if (!handle)
        return UDP_ERROR;
    const int on = 1;
    return setsockopt(handle->socket, SOL_SOCKET, SO_TIMESTAMPNS, &on, sizeof on) == 0 ? UDP_OK : UDP_ERROR;
}

int udpReceiveStamped(UdpSocket *handle, char *buffer, int32_t capacity, uint32_t timeoutMicroseconds,
                      int64_t *stampNanoseconds)
{
    if (!handle || !stampNanoseconds || capacity < 0)
        return UDP_ERROR;
    *stampNanoseconds = 0;
    const int waited = udpWait(&handle, 1, nullptr, timeoutMicroseconds);
    if (waited != UDP_OK)
        return waited;
    iovec part{buffer, static_cast<size_t>(capacity)};
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(timespec))];
    msghdr message;
    std::memset(&message, 0, sizeof message);
    message.msg_iov = &part;
    message.msg_iovlen = 1;
    message.msg_control = control;
    message.msg_controllen = sizeof control;
    ssize_t length;
    do {
        // Readiness may be reported for a datagram the platform then drops: never block here.
        length = recvmsg(handle->socket, &message, MSG_DONTWAIT);
    } while (length < 0 && errno == EINTR);
    if (length < 0)
        return wouldBlock() ? UDP_TIMEOUT : UDP_ERROR;
    for (cmsghdr *c = CMSG_FIRSTHDR(&message); c; c = CMSG_NXTHDR(&message, c)) {
        if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_TIMESTAMPNS) {
            timespec stamp;
            std::memcpy(&stamp, CMSG_DATA(c), sizeof stamp);
            *stampNanoseconds = int64_t(stamp.tv_sec) * 1000000000 + stamp.tv_nsec;
        }
    }
    return length < capacity ? static_cast<int>(length) : UDP_BUFFER_FULL;
}

namespace UdpDetail {

bool wouldBlock()
{
    return errno == EAGAIN || errno == EWOULDBLOCK;
}

// `address` as the socket address a socket of `family` takes; its size, or 0 when it cannot.
socklen_t socketAddress(const NetAddress &address, uint16_t port, uint8_t family, sockaddr_storage &out)
{
    std::memset(&out, 0, sizeof out);
    if (family == NET_IPV4 && address.family == NET_IPV4) {
        auto &four = reinterpret_cast<sockaddr_in &>(out);
        four.sin_family = AF_INET;
        four.sin_port = htons(port);
        std::memcpy(&four.sin_addr, address.bytes, 4);
        return sizeof four;
    }
    if (family != NET_IPV6 || address.family == NET_NONE)
        return 0;
    auto &six = reinterpret_cast<sockaddr_in6 &>(out);
    six.sin6_family = AF_INET6;
    six.sin6_port = htons(port);
    if (address.family == NET_IPV4) {
        six.sin6_addr.s6_addr[10] = 0xff;
        six.sin6_addr.s6_addr[11] = 0xff;
        std::memcpy(six.sin6_addr.s6_addr + 12, address.bytes, 4);
    } else {
        std::memcpy(&six.sin6_addr, address.bytes, 16);
        six.sin6_scope_id = address.scope;
    }
    return sizeof six;
}

int setOption(int descriptor, int level, int name, int value)
{
    return setsockopt(descriptor, level, name, &value, sizeof value) == 0 ? UDP_OK : UDP_ERROR;
}

}
