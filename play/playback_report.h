#ifndef PLAYBACK_REPORT_H
#define PLAYBACK_REPORT_H

#include "play/lateness_histogram.h"

#include <QList>
#include <QtGlobal>

#include <atomic>

// Pass/fail limits of a playback; 0 leaves a limit unchecked.
struct PlaybackLimits {
    double maxLateUs = 0;
    double maxRateErrorPpm = 0;
};

// How a playback kept its schedule, for a measuring instrument: lateness of
// every send against its deadline, the rate fitted through all send times, the
// round trips of a lockstep playback and the rate a top-speed one reached.
// The schedule thread adds without allocating or locking; any thread reads.
class PlaybackReport
{
public:
    // Bucket edges of the lateness histogram in us; the last bucket has no end.
    static constexpr double BucketEdges[] = {0, 10, 20, 50, 100, 200, 500, 1000, 2000, 5000, 10000};

    struct Figures {
        qint64 frames = 0;        // sends timed against a deadline
        double lateP50 = 0;       // us
        double lateP99 = 0;
        double lateP999 = 0;
        double lateMax = 0;
        int lateMaxFrame = -1;    // the frame that went out latest
        double firstLate = 0;     // us, the first frame after the start
        double lastLate = 0;      // us, the latest frame sent
        double rateErrorPpm = 0;  // least-squares fit of send times on deadlines
        QList<qint64> buckets;    // one count per BucketEdges entry
        double roundTripP50 = 0;  // us, lockstep only
        double roundTripP99 = 0;
        double rateReached = 0;   // Hz, first to last send
    };

    struct Verdict {
        enum Kind { Within, Late, RateOff };
        Kind kind = Within;
        int frame = -1;  // with Late: the latest frame
        double lateUs = 0;
        double ppm = 0;
    };

    PlaybackReport();
    // Only the schedule thread clears and adds.
    void clear();
    // A frame due at `deadline` went out at `sent`, `late` ns after it was meant to.
    void addPaced(int frame, qint64 deadline, qint64 sent, qint64 late);
    // A frame went out at `sent` with no deadline (lockstep, top speed).
    void addUnpaced(qint64 sent);
    void addRoundTrip(qint64 nanoseconds);

    Figures figures() const;
    static Verdict check(const Figures &figures, const PlaybackLimits &limits);

private:
    void published(qint64 sent);

    LatenessHistogram lateness;
    LatenessHistogram roundTrips{10000, 100001}; // 10 us bins up to 1 s
    std::atomic<qint64> frames{0};
    std::atomic<qint64> lastLateness{0};    // ns
    std::atomic<qint64> firstLateness{0};   // ns
    std::atomic<quint64> latest{0};         // lateness in us << 32 | frame
    std::atomic<double> ppm{0};
    std::atomic<qint64> firstSent{0};
    std::atomic<qint64> lastSent{0};
    std::atomic<qint64> sends{0};

    // The fit, the schedule thread's own: running means and co-moments of
    // (deadline, send time) relative to the first deadline, stable over long runs.
    qint64 origin = 0;
    double meanX = 0, meanY = 0, sumXX = 0, sumXY = 0;
};

#endif
