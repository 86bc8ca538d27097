#ifndef RATE_METER_H
#define RATE_METER_H

#include <QList>

#include <cstdint>

// Arithmetic of the receive-rate meter over a list of millisecond arrival
// readings, oldest first. The caller holds the list's lock and supplies the clock.
namespace RateMeter {

// Appends the arrival `now`. While `warmUp` is armed and the list holds exactly
// four readings with a non-zero spacing, fills it backwards to one second's worth
// and disarms `warmUp`. Then drops readings older than 1000 ms while more than
// four remain: the list stays bounded when nobody refreshes the label, and what
// countRecent() and the warm-up see is the same as without the dropping.
void addArrival(QList<uint32_t> &arrivals, bool &warmUp, uint32_t now);

// Drops readings older than 1000 ms and returns how many are left.
int countRecent(QList<uint32_t> &arrivals, uint32_t now);

}

#endif
