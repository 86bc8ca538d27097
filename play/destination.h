#ifndef DESTINATION_H
#define DESTINATION_H

#include "platform/net_address.h"

#include <QString>

#include <cstdint>

// Where playback sends: the one destination type of the window, the command
// line and the player.
struct Destination {
    QString host;       // as the user wrote it, for messages
    NetAddress address; // IPv4 or IPv6; family NET_NONE until resolved
    uint16_t port = 0;
};

#endif
