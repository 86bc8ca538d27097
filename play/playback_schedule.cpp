#include "play/playback_schedule.h"

#include <algorithm>
#include <cmath>

double PlaybackSchedule::periodOf(double hertz)
{
    return 1e9 / (hertz > 0.0 ? hertz : FallbackHertz);
}

double PlaybackSchedule::periodOfStamps(double t1, double t2, double hertz)
{
    // Equal or decreasing stamps would give an infinite or negative period, absurd ones a wait of years.
    return t1 > 0.0 && StampPace::isPace(t2 - t1) ? (t2 - t1) * 1e9 : periodOf(hertz);
}

void PlaybackSchedule::configure(Pace newPace, double basePeriod)
{
    pace = newPace;
    period = basePeriod;
    last = Point();
    last.stamps = StampPace(basePeriod / 1e9);
    anomalies = 0;
    hasLast = false;
    planned = false;
    restart(0, 2);
}

void PlaybackSchedule::setSpeed(double speed)
{
    currentSpeed = speed;
}

double PlaybackSchedule::effectivePeriod() const
{
    return std::max(period / currentSpeed, ShortestPeriod);
}

void PlaybackSchedule::restart(qint64 now, int periods)
{
    anchorClock = now;
    anchorTime = 0;
    firstTime = periods * period;
    firstPending = true;
    planned = false;
    last.stamps.forgetStamps();
}

void PlaybackSchedule::loopSeam()
{
    anchorClock = last.deadline;
    anchorTime = last.time;
    firstTime = last.time + 2 * period;
    firstPending = true;
    planned = false;
    last.stamps.forgetStamps();
}

void PlaybackSchedule::changeSpeed(qint64 now, double speed)
{
    // Where the recording stands now, kept between the last frame sent and the
    // next one: a change long after a due frame sends it at once, and no more.
    double time = anchorTime + double(now - anchorClock) * currentSpeed;
    time = std::max(time, firstPending ? anchorTime : last.time);
    if (planned || firstPending)
        time = std::min(time, planned ? next.time : firstTime);
    anchorClock = now;
    anchorTime = time;
    currentSpeed = speed;
    if (planned)
        next.deadline = place(next.time);
}

qint64 PlaybackSchedule::plan(int frame, double timestamp)
{
    next = last;
    next.anomaly = false;
    if (firstPending) {
        next.time = firstTime;
        next.count = 1;
        next.stamps = last.stamps.begin(frame, timestamp);
    } else if (pace == FixedRate) {
        next.count = last.count + 1;
        next.time = firstTime + double(next.count - 1) * period;
    } else {
        next.count = last.count + 1;
        next.stamps = last.stamps.after(frame, timestamp);
        next.anomaly = next.stamps.isAnomalous();
        next.time = firstTime + next.stamps.time() * 1e9;
    }
    next.deadline = place(next.time);
    planned = true;
    return next.deadline;
}

qint64 PlaybackSchedule::place(double time)
{
    const double after = std::clamp((time - anchorTime) / currentSpeed, -FarthestDeadline, FarthestDeadline);
    qint64 deadline = anchorClock + std::llround(after);
    // The ceiling holds the frame back and moves the anchor with it, so later
    // frames do not rush to make up for it.
    if (hasLast && deadline < last.deadline + qint64(ShortestPeriod)) {
        const qint64 held = last.deadline + qint64(ShortestPeriod) - deadline;
        anchorClock += held;
        deadline += held;
    }
    return deadline;
}

void PlaybackSchedule::commit()
{
    last = next;
    hasLast = true;
    firstPending = false;
    planned = false;
    if (next.anomaly)
        ++anomalies;
}
