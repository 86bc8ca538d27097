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

// The monotonic clock in nanoseconds, and a sleep to an absolute reading of it:
// a schedule that sleeps to absolute deadlines never adds up its wake-up delays.
int64_t nanoseconds();
void sleepUntilNanoseconds(int64_t deadline);
// Lets the calling thread's timed sleeps end within a microsecond of their
// deadline instead of the platform's default 50 us slack; false when refused.
bool useFineTimerSlack();

}

#endif
