#include "play/stamp_pace.h"

#include <algorithm>
#include <cmath>

StampPace::StampPace(double secondsPerFrame) : interval(secondsPerFrame) {}

StampPace StampPace::begin(int number, double stamp) const
{
    StampPace next(interval);
    next.frame = number;
    if (!std::isnan(stamp)) {
        next.anchorRecorded = stamp;
        next.lastRecorded = stamp;
        next.lastRecordedFrame = number;
        next.hasRecorded = true;
    }
    return next;
}

StampPace StampPace::after(int number, double stamp) const
{
    StampPace next = *this;
    next.frame = number;
    next.anomaly = false;
    const double kept = current + interval * std::max(1, number - frame);
    if (std::isnan(stamp)) {
        next.current = kept;
        return next;
    }
    const double step = stamp - lastRecorded;
    if (!hasRecorded || isAnomaly(step)) {
        // The recorded intervals after an anomaly are kept exactly.
        next.anomaly = hasRecorded;
        next.current = kept;
        next.anchorRecorded = stamp;
        next.anchorTime = kept;
    } else {
        next.current = anchorTime + (stamp - anchorRecorded);
        if (step > 0.0)
            next.interval = step / std::max(1, number - lastRecordedFrame);
    }
    next.lastRecorded = stamp;
    next.lastRecordedFrame = number;
    next.hasRecorded = true;
    return next;
}
