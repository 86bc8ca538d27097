#include "platform/udp_handle.h"

#include <cerrno>
#include <cstring>
#include <netinet/in.h>

// Group memberships and what multicast sends get.

using namespace UdpDetail;

namespace {

int changeMembership(UdpSocket *handle, const NetAddress *group, const NetAddress *source, uint32_t interfaceIndex,
                     bool join)
{
    if (!handle || !group || group->family != handle->family || !netIsMulticast(group)
        || (source && source->family != group->family)) {
        errno = EINVAL;
        return UDP_ERROR;
    }
    const int level = handle->family == NET_IPV6 ? IPPROTO_IPV6 : IPPROTO_IP;
    sockaddr_storage groupAddress;
    socketAddress(*group, 0, handle->family, groupAddress);
    if (!source) {
        group_req request;
        std::memset(&request, 0, sizeof request);
        request.gr_interface = interfaceIndex;
        request.gr_group = groupAddress;
        return setsockopt(handle->socket, level, join ? MCAST_JOIN_GROUP : MCAST_LEAVE_GROUP, &request,
                          sizeof request) == 0 ? UDP_OK : UDP_ERROR;
    }
    group_source_req request;
    std::memset(&request, 0, sizeof request);
    request.gsr_interface = interfaceIndex;
    request.gsr_group = groupAddress;
    socketAddress(*source, 0, handle->family, request.gsr_source);
    return setsockopt(handle->socket, level, join ? MCAST_JOIN_SOURCE_GROUP : MCAST_LEAVE_SOURCE_GROUP, &request,
                      sizeof request) == 0 ? UDP_OK : UDP_ERROR;
}

}

int udpJoinGroup(UdpSocket *handle, const NetAddress *group, const NetAddress *source, uint32_t interfaceIndex)
{
    return changeMembership(handle, group, source, interfaceIndex, true);
}

int udpLeaveGroup(UdpSocket *handle, const NetAddress *group, const NetAddress *source, uint32_t interfaceIndex)
{
    return changeMembership(handle, group, source, interfaceIndex, false);
}

int udpSetMulticastSend(UdpSocket *handle, int ttl, uint32_t interfaceIndex, bool loop)
{
    if (!handle || ttl < 0 || ttl > 255)
        return UDP_ERROR;
    const int descriptor = handle->socket;
    if (handle->family == NET_IPV6) {
        return setOption(descriptor, IPPROTO_IPV6, IPV6_MULTICAST_HOPS, ttl) == UDP_OK
                       && setOption(descriptor, IPPROTO_IPV6, IPV6_MULTICAST_IF, int(interfaceIndex)) == UDP_OK
                       && setOption(descriptor, IPPROTO_IPV6, IPV6_MULTICAST_LOOP, loop ? 1 : 0) == UDP_OK
                   ? UDP_OK
                   : UDP_ERROR;
    }
    ip_mreqn outgoing;
    std::memset(&outgoing, 0, sizeof outgoing);
    outgoing.imr_ifindex = int(interfaceIndex);
    return setOption(descriptor, IPPROTO_IP, IP_MULTICAST_TTL, ttl) == UDP_OK
                   && setsockopt(descriptor, IPPROTO_IP, IP_MULTICAST_IF, &outgoing, sizeof outgoing) == 0
                   && setOption(descriptor, IPPROTO_IP, IP_MULTICAST_LOOP, loop ? 1 : 0) == UDP_OK
               ? UDP_OK
               : UDP_ERROR;
}
