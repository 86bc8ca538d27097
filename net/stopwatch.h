#ifndef STOPWATCH_H
#define STOPWATCH_H

// Monotonic clocks. Callers keep only the low 32 bits of a reading and compare
// readings only through elapsed(), which stays right across one wrap.

#include <cstdint>

namespace Stopwatch {

uint64_t microseconds();
uint32_t milliseconds();
uint32_t elapsed(uint32_t later, uint32_t earlier);

// Sleeps on the monotonic clock for the given microseconds (short waits of the playback schedule).
void sleepMicroseconds(uint32_t duration);

}

#endif
