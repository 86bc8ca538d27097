#ifndef MULTICAST_OPTIONS_H
#define MULTICAST_OPTIONS_H

#include "play/player.h"

#include <QString>

// What was wrong, naming the field and the value as the user wrote it.
struct MulticastOptionsError {
    enum Field { Ttl, Interface, Loop };
    Field field = Ttl;
    QString value;
    QString reason;
};

// Checks the multicast send options as the window and the command line take
// them: a hop limit 0 to 255, an interface of this machine by name, loop "on"
// or "off". An empty text keeps the default of Player::Multicast.
bool parseMulticastOptions(const QString &ttl, const QString &interfaceName, const QString &loop,
                           Player::Multicast &multicast, MulticastOptionsError *error);

#endif
