#ifndef STAMP_PACE_H
#define STAMP_PACE_H

// The recording's own time line as its "ts" values pace it: for each frame in
// the order it is sent, the time in seconds after the first frame. A step
// between recorded stamps that goes back, is not finite or jumps further than
// LongestStep is an anomaly and lasts one interval of the pace so far; frames
// without a stamp last one such interval per frame number too. Times are taken
// from the last anomaly's place, never summed up, so stamps of any size cannot
// overflow them. Playback, the recording's duration and the pcap export all
// follow this one rule.
class StampPace
{
public:
    static constexpr double LongestStep = 10.0;       // s
    static constexpr double LongestInterval = 3600.0; // s: no pace waits longer between two frames

    static bool isAnomaly(double step) { return !(step >= 0.0 && step <= LongestStep); }
    // Whether the first two stamps' interval can set a fixed pace.
    static bool isPace(double interval) { return interval > 0.0 && interval <= LongestInterval; }

    // `interval`: seconds per frame number until the stamps show one.
    explicit StampPace(double interval = 0.0);

    // `frame` starts the time line at 0, `stamp` NaN when it has none; the interval is kept.
    StampPace begin(int frame, double stamp) const;
    // `frame` follows the one this pace stands at.
    StampPace after(int frame, double stamp) const;
    // Stamps before this say nothing about the next frame (another place, another pass).
    void forgetStamps() { hasRecorded = false; }

    double time() const { return current; }
    bool isAnomalous() const { return anomaly; }

private:
    double current = 0;        // s after the first frame
    double interval = 0;       // s per frame number
    double anchorRecorded = 0; // a recorded stamp and its time, from the last anomaly on
    double anchorTime = 0;
    double lastRecorded = 0;
    int frame = 0;
    int lastRecordedFrame = 0;
    bool hasRecorded = false;
    bool anomaly = false;
};

#endif
