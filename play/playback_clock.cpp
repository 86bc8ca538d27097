#include "play/playback_clock.h"

#include "platform/stopwatch.h"

#include <algorithm>
#include <chrono>

namespace {

// The last stretch before a deadline is slept precisely. Every wake-up costs
// CPU, so rates from 200 Hz up sleep once per frame; commands that come during
// the stretch are taken when it ends, before the frame is sent.
constexpr qint64 PreciseStretch = 5000000;
constexpr qint64 LongestWait = 1000000000;

}

void PlaybackClock::wake()
{
    {
        const std::lock_guard<std::mutex> lock(mutex);
        wakePending = true;
    }
    woken.notify_all();
}

bool PlaybackClock::takeWake()
{
    const bool pending = wakePending;
    wakePending = false;
    return pending;
}

qint64 MonotonicPlaybackClock::now() const
{
    return Stopwatch::nanoseconds();
}

bool MonotonicPlaybackClock::sleepUntil(qint64 deadline)
{
    qint64 left = 0;
    {
        std::unique_lock<std::mutex> lock(mutex);
        for (;;) {
            if (takeWake())
                return false;
            left = deadline - now();
            if (left <= PreciseStretch)
                break;
            // In steps, so that no far deadline strains the wait's own arithmetic.
            woken.wait_for(lock, std::chrono::nanoseconds(std::min(left - PreciseStretch, LongestWait)));
        }
    }
    // Catching up costs no system call. A wake during the last stretch stays
    // pending and ends the next sleep.
    if (left > spin)
        Stopwatch::sleepUntilNanoseconds(deadline - spin);
    while (spin > 0 && now() < deadline) {
    }
    return true;
}

void MonotonicPlaybackClock::waitForWake()
{
    std::unique_lock<std::mutex> lock(mutex);
    woken.wait(lock, [this] { return wakePending; });
    wakePending = false;
}

SteppedPlaybackClock::SteppedPlaybackClock(qint64 start) : time(start) {}

qint64 SteppedPlaybackClock::now() const
{
    const std::lock_guard<std::mutex> lock(mutex);
    return time;
}

bool SteppedPlaybackClock::sleepUntil(qint64 deadline)
{
    std::unique_lock<std::mutex> lock(mutex);
    while (budget == 0 && !wakePending) {
        held = true;
        heldChanged.notify_all();
        woken.wait(lock);
    }
    held = false;
    if (takeWake()) {
        time += wakeLag;
        return false;
    }
    if (budget > 0)
        --budget;
    time = qMax(time, deadline);
    deadlines.push_back(deadline);
    return true;
}

void SteppedPlaybackClock::waitForWake()
{
    std::unique_lock<std::mutex> lock(mutex);
    woken.wait(lock, [this] { return wakePending; });
    wakePending = false;
    time += wakeLag;
}

void SteppedPlaybackClock::allow(int count)
{
    {
        const std::lock_guard<std::mutex> lock(mutex);
        budget = count;
        held = false;
    }
    woken.notify_all();
}

bool SteppedPlaybackClock::waitHeld(int timeoutMs)
{
    std::unique_lock<std::mutex> lock(mutex);
    return heldChanged.wait_for(lock, std::chrono::milliseconds(timeoutMs), [this] { return held; });
}

void SteppedPlaybackClock::advance(qint64 nanoseconds)
{
    const std::lock_guard<std::mutex> lock(mutex);
    time += nanoseconds;
}

void SteppedPlaybackClock::lagWakes(qint64 nanoseconds)
{
    const std::lock_guard<std::mutex> lock(mutex);
    wakeLag = nanoseconds;
}

std::vector<qint64> SteppedPlaybackClock::reached() const
{
    const std::lock_guard<std::mutex> lock(mutex);
    return deadlines;
}
