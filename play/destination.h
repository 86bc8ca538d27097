#ifndef DESTINATION_H
#define DESTINATION_H

#include <QString>

#include <cstdint>

// Where playback sends: the one destination type of the window, the command
// line and the player.
struct Destination {
    QString host;         // as the user wrote it, for messages
    uint32_t address = 0; // host byte order; 0 until resolved
    uint16_t port = 0;
};

#endif
