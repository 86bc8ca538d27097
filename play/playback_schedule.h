#ifndef PLAYBACK_SCHEDULE_H
#define PLAYBACK_SCHEDULE_H

#include "play/stamp_pace.h"

#include <QtGlobal>

// When each frame of a playback is due, in nanoseconds of the playback clock.
// Every deadline is taken from one anchor, a (clock time, recording time) pair:
// due = anchor time + (recording time − anchor's recording time) / speed. The
// recording time of a frame is a whole number of periods (fixed rate) or its
// timestamp (every-timestamp pace), so intervals are never summed up and a long
// playback does not drift. The anchor moves on a restart, a speed change, the
// loop seam and when the 20 kHz ceiling holds a frame back.
class PlaybackSchedule
{
public:
    enum Pace { FixedRate, EveryTimestamp };

    static constexpr double ShortestPeriod = 50000.0; // ns: no faster than 20 kHz
    static constexpr double FallbackHertz = 4.0;      // the play settings' lowest rate
    // Deadlines stay within this many ns of the anchor (over 100 years), so no
    // sum or difference of clock times can overflow whatever the stamps say.
    static constexpr double FarthestDeadline = 4e18;

    // The period of a rate in ns; a rate of 0 or less (a hand-edited setting) plays at the fallback.
    static double periodOf(double hertz);
    // The interval of the first two stamps when it can set a pace, else the rate given.
    static double periodOfStamps(double t1, double t2, double hertz);

    // The base period at 1×: the fixed rate, or what a frame without stamps and the
    // empty slots (priming, loop seam) take in every-timestamp pace.
    void configure(Pace pace, double period);
    void setSpeed(double speed);
    double speed() const { return currentSpeed; }
    // The period actually used: the base period at the speed, held to the ceiling.
    double effectivePeriod() const;

    // The next frame planned is due `periods` periods after `now`: 2 on a fresh
    // start (the first period primes and sends nothing), 1 on a resume or seek.
    void restart(qint64 now, int periods);
    // The next pass's first frame is due two periods after the last frame: one
    // period stays empty at the seam.
    void loopSeam();
    // The speed from the next frame on: the schedule continues from where it stands
    // at `now`, so the change brings neither a burst nor a gap.
    void changeSpeed(qint64 now, double speed);

    // Plans `frame`, stamped `timestamp` (NaN when it has none), as the next one to
    // send, and returns its deadline. Frames come in the order they are sent.
    qint64 plan(int frame, double timestamp);
    // The planned frame went out (or was skipped) at its deadline.
    void commit();
    qint64 plannedDeadline() const { return next.deadline; }

    // Stamps that were anomalies of the stamp pace.
    qint64 stampAnomalies() const { return anomalies; }

private:
    struct Point {
        qint64 deadline = 0;
        double time = 0;       // recording time, ns
        StampPace stamps;
        qint64 count = 0;      // frames since the anchor
        bool anomaly = false;
    };

    qint64 place(double time);

    Pace pace = FixedRate;
    double period = 1e9 / FallbackHertz;
    double currentSpeed = 1.0;
    qint64 anchorClock = 0;
    double anchorTime = 0;
    double firstTime = 0;     // recording time of the first frame after the anchor
    bool firstPending = true; // the next frame planned is that first one
    bool planned = false;     // `next` holds a frame not yet committed
    bool hasLast = false;
    Point last;
    Point next;
    qint64 anomalies = 0;
};

#endif
