#ifndef PLAYBACK_CLOCK_H
#define PLAYBACK_CLOCK_H

#include <QtGlobal>

#include <condition_variable>
#include <mutex>
#include <vector>

// The time a playback schedule runs on, in nanoseconds. A sleep can be cut
// short by wake() from another thread, so commands never wait for a deadline;
// a wake() that comes while nobody sleeps ends the next sleep at once.
class PlaybackClock
{
public:
    virtual ~PlaybackClock() = default;

    virtual qint64 now() const = 0;
    // True when the deadline was reached, false when woken first.
    virtual bool sleepUntil(qint64 deadline) = 0;
    // Sleeps until woken, however long that takes.
    virtual void waitForWake() = 0;
    void wake();
    // How much of the end of each sleep is spun instead of slept; set by the sleeping thread.
    virtual void setFinalSpin(qint64 nanoseconds) { Q_UNUSED(nanoseconds); }

protected:
    // True (and the wake consumed) when one is pending; the mutex must be held.
    bool takeWake();

    mutable std::mutex mutex;
    std::condition_variable woken;
    bool wakePending = false;
};

// The monotonic clock. The last stretch before a deadline is slept with one
// absolute clock_nanosleep, which a condition variable cannot match in
// precision; the wait before it is the interruptible part.
class MonotonicPlaybackClock : public PlaybackClock
{
public:
    qint64 now() const override;
    bool sleepUntil(qint64 deadline) override;
    void waitForWake() override;
    void setFinalSpin(qint64 nanoseconds) override { spin = nanoseconds; }

private:
    qint64 spin = 0;
};

// A clock for tests whose time jumps to each deadline asked for. It grants a
// budget of deadlines (unlimited unless limited) and holds the sleeper at the
// next one once the budget is spent, so a test can act at a chosen point.
class SteppedPlaybackClock : public PlaybackClock
{
public:
    explicit SteppedPlaybackClock(qint64 start = 1000000000);

    qint64 now() const override;
    bool sleepUntil(qint64 deadline) override;
    void waitForWake() override;

    // Deadlines the sleeper may still reach before it is held; negative for no limit.
    void allow(int deadlines);
    // Waits (up to `timeoutMs`) until the sleeper is held for want of budget.
    bool waitHeld(int timeoutMs = 5000);
    // Lets time pass as if the machine had been busy.
    void advance(qint64 nanoseconds);
    // Every wake-up by a command comes this late, as on a loaded machine.
    void lagWakes(qint64 nanoseconds);
    // Every deadline reached so far, in order.
    std::vector<qint64> reached() const;

private:
    qint64 time;
    int budget = -1;
    bool held = false;
    qint64 wakeLag = 0;
    std::condition_variable heldChanged;
    std::vector<qint64> deadlines;
};

#endif
