#include "play/recording_stats.h"

#include "play/recording_index.h"

#include <array>
#include <limits>

namespace {

// Fixed-size time buckets that double their width whenever a timestamp lies beyond
// the last one, so the series stay bounded without knowing the recording's length.
class Buckets
{
public:
    void addFrame(double offset, int lostBefore)
    {
        Bucket &bucket = at(offset);
        ++bucket.frames;
        bucket.lost += lostBefore;
    }

    void addInterval(double offset, double interval)
    {
        Bucket &bucket = at(offset);
        bucket.intervalMin = qMin(bucket.intervalMin, interval);
        bucket.intervalMax = qMax(bucket.intervalMax, interval);
    }

    // `covered` is how far the last bucket reaches: it ends with the recording,
    // and its rate is taken over that part only, so the series does not drop at the end.
    void fill(RecordingStats &stats, double covered) const
    {
        stats.bucketSeconds = width;
        stats.rate.reserve(used);
        for (int i = 0; i < used; ++i) {
            const Bucket &bucket = buckets[i];
            const double x = i * width;
            const double reach = covered - x;
            const double seconds = i + 1 == used && reach > 0.0 && reach < width ? reach : width;
            stats.rate += QPointF(x, bucket.frames / seconds);
            if (bucket.lost > 0)
                stats.lostMarks += QPointF(x, bucket.lost);
            if (bucket.intervalMin <= bucket.intervalMax) {
                stats.intervalMin += QPointF(x, bucket.intervalMin * 1000.0);
                stats.intervalMax += QPointF(x, bucket.intervalMax * 1000.0);
            }
        }
    }

private:
    struct Bucket {
        qint64 frames = 0;
        qint64 lost = 0;
        double intervalMin = std::numeric_limits<double>::infinity();
        double intervalMax = -std::numeric_limits<double>::infinity();
    };

    Bucket &at(double offset)
    {
        // Stamps that step back before the first one count at the start; the upper
        // bound only keeps the widening finite for absurd stamps.
        if (!(offset > 0.0))
            offset = 0.0;
        offset = qMin(offset, 1e300);
        while (offset >= width * RecordingStats::maxPoints)
            widen();
        const int index = qMin(static_cast<int>(offset / width), RecordingStats::maxPoints - 1);
        used = qMax(used, index + 1);
        return buckets[index];
    }

    void widen()
    {
        const int half = (used + 1) / 2;
        for (int i = 0; i < half; ++i) {
            Bucket merged = buckets[2 * i];
            if (2 * i + 1 < used) {
                const Bucket &next = buckets[2 * i + 1];
                merged.frames += next.frames;
                merged.lost += next.lost;
                merged.intervalMin = qMin(merged.intervalMin, next.intervalMin);
                merged.intervalMax = qMax(merged.intervalMax, next.intervalMax);
            }
            buckets[i] = merged;
        }
        for (int i = half; i < used; ++i)
            buckets[i] = Bucket();
        used = half;
        width *= 2.0;
    }

    std::array<Bucket, RecordingStats::maxPoints> buckets{};
    int used = 0;
    double width = 1.0;
};

}

RecordingStats RecordingStats::of(const RecordingIndex &index)
{
    RecordingStats stats;
    stats.fileSize = index.fileSize();
    stats.durationSeconds = index.duration();
    stats.meanRate = index.meanRate();
    Buckets buckets;
    double firstStamp = NAN;
    double previousStamp = NAN;
    double offset = 0.0; // of the last stamped frame; frames without a stamp count there
    double lastOffset = 0.0; // the furthest of them
    // The preamble is frame 0, so numbers after it and below the first frame are lost.
    qint64 previous = index.hasPreamble() ? 0 : -1;
    int number = index.contains(index.first()) ? index.first() : index.nextFrame(index.first());
    for (; number >= 0; number = index.nextFrame(number)) {
        int lostBefore = 0;
        if (stats.frames == 0)
            stats.firstNumber = number;
        if (previous >= 0 && number > previous + 1) {
            lostBefore = int(number - previous - 1);
            stats.lostFrames += lostBefore;
            if (stats.lostRangeCount++ < listedLostRanges)
                stats.lostRanges += qMakePair(int(previous + 1), number - 1);
        }
        previous = number;
        stats.lastNumber = number;
        ++stats.frames;

        const double stamp = index.timestamp(number);
        if (std::isfinite(stamp)) {
            if (stats.stampedFrames++ == 0)
                firstStamp = stamp;
            offset = stamp - firstStamp;
            lastOffset = qMax(lastOffset, offset);
            if (!std::isnan(previousStamp))
                buckets.addInterval(offset, stamp - previousStamp);
            previousStamp = stamp;
        }
        buckets.addFrame(offset, lostBefore);
    }
    // Without a single stamp there is no time axis to draw against. The last stamped
    // frame stands for one mean interval, as every other one does.
    if (stats.stampedFrames > 0) {
        const double interval = std::isnan(stats.meanRate) ? 0.0 : 1.0 / stats.meanRate;
        buckets.fill(stats, lastOffset + interval);
    }
    return stats;
}
