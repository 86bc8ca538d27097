#include "record/rate_meter.h"

#include "platform/stopwatch.h"

namespace {

constexpr uint32_t windowMs = 1000;
// The warm-up looks at this many arrivals, and the bounded list never drops below
// it, so the warm-up sees exactly what it would see without the dropping.
constexpr int warmUpReadings = 4;

bool isStale(uint32_t reading, uint32_t now)
{
    return Stopwatch::elapsed(now, reading) > windowMs;
}

void fillBackwards(QList<uint32_t> &arrivals, bool &warmUp)
{
    const uint32_t spacing = Stopwatch::elapsed(arrivals.last(), arrivals.first()) / (warmUpReadings - 1);
    if (spacing == 0)
        return;
    warmUp = false;
    const int missing = int(windowMs / spacing) - warmUpReadings;
    if (missing <= 0)
        return;
    const uint32_t oldest = arrivals.first();
    arrivals.insert(0, missing, 0);
    for (int i = 0; i < missing; ++i)
        arrivals[i] = oldest - spacing * uint32_t(missing - i);
}

}

void RateMeter::addArrival(QList<uint32_t> &arrivals, bool &warmUp, uint32_t now)
{
    arrivals.append(now);
    if (warmUp && arrivals.size() == warmUpReadings)
        fillBackwards(arrivals, warmUp);
    while (arrivals.size() > warmUpReadings && isStale(arrivals.first(), now))
        arrivals.removeFirst();
}

int RateMeter::countRecent(QList<uint32_t> &arrivals, uint32_t now)
{
    while (!arrivals.isEmpty() && isStale(arrivals.first(), now))
        arrivals.removeFirst();
    return int(arrivals.size());
}
