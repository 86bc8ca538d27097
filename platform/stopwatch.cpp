#include "platform/stopwatch.h"

#include <cerrno>
#include <ctime>
#include <sys/prctl.h>

namespace {

timespec monotonicNow()
{
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return now;
}

}

namespace Stopwatch {

// Whole seconds times a million plus the remainder: no intermediate product
// can overflow, however long the machine has been up.
uint64_t microseconds()
{
    const timespec now = monotonicNow();
    return static_cast<uint64_t>(now.tv_sec) * 1000000u + static_cast<uint64_t>(now.tv_nsec) / 1000u;
}

uint32_t milliseconds()
{
    const timespec now = monotonicNow();
    return static_cast<uint32_t>(static_cast<uint64_t>(now.tv_sec) * 1000u
                                 + static_cast<uint64_t>(now.tv_nsec) / 1000000u);
}

uint32_t elapsed(uint32_t later, uint32_t earlier)
{
    return later - earlier;
}

void sleepMicroseconds(uint32_t duration)
{
    timespec left;
    left.tv_sec = static_cast<time_t>(duration / 1000000u);
    left.tv_nsec = static_cast<long>(duration % 1000000u) * 1000;
    // clock_nanosleep returns the error rather than setting errno.
    while (clock_nanosleep(CLOCK_MONOTONIC, 0, &left, &left) == EINTR) {
    }
}

int64_t nanoseconds()
{
    const timespec now = monotonicNow();
    return int64_t(now.tv_sec) * 1000000000 + int64_t(now.tv_nsec);
}

void sleepUntilNanoseconds(int64_t deadline)
{
    timespec until;
    until.tv_sec = static_cast<time_t>(deadline / 1000000000);
    until.tv_nsec = static_cast<long>(deadline % 1000000000);
    // An absolute sleep can simply be repeated after a signal.
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &until, nullptr) == EINTR) {
    }
}

bool useFineTimerSlack()
{
    return prctl(PR_SET_TIMERSLACK, 1000UL, 0UL, 0UL, 0UL) == 0;
}

}
