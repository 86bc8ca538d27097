#include "play/recording_stats.h"

#include "play/recording_index.h"
#include "play/stamp_pace.h"

#include <algorithm>

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
    stats.meanRate = index.meanRate();
    stats.frames = index.frameCount();
    if (stats.frames > 0) {
        stats.firstNumber = index.first();
        stats.lastNumber = index.last();
    }
    stats.lostFrames = index.lostCount();
    const QList<QPair<int, int>> lost = index.lostRanges();
    stats.lostRangeCount = lost.size();
    stats.lostRanges = lost.mid(0, listedLostRanges);

    Buckets buckets;
    // The time axis is the recording's pace, as playback follows it; the
    // intervals drawn are the recorded ones.
    StampPace pace(std::isnan(stats.meanRate) ? 0.0 : 1.0 / stats.meanRate);
    double previousStamp = NAN;
    double firstTime = NAN;
    double offset = 0.0; // of the last stamped frame; frames without a stamp count there
    double lastOffset = 0.0; // the furthest of them
    qint64 highest = qint64(index.first()) - 1;
    for (int position = 0; position < stats.frames; ++position) {
        const int number = index.frameAt(position);
        // Marked where the numbers jump ahead, less those that come late; only
        // the last reorder window of a gap can.
        qint64 lostBefore = 0;
        if (number > highest + 1) {
            lostBefore = number - highest - 1;
            for (qint64 n = std::max(highest + 1, qint64(number) - IndexTables::ReorderWindow); n < number; ++n)
                lostBefore -= index.contains(int(n)) ? 1 : 0;
        }
        highest = std::max(highest, qint64(number));

        const double stamp = index.timestamp(number);
        pace = position == 0 ? pace.begin(number, stamp) : pace.after(number, stamp);
        if (!std::isnan(stamp)) {
            if (stats.stampedFrames++ == 0)
                firstTime = pace.time();
            offset = pace.time() - firstTime;
            lastOffset = qMax(lastOffset, offset);
            if (!std::isnan(previousStamp))
                buckets.addInterval(offset, stamp - previousStamp);
            previousStamp = stamp;
        }
        buckets.addFrame(offset, int(lostBefore));
    }
    // Without two stamps there is no duration to show, and without one no time
    // axis to draw against. The last stamped frame stands for one mean interval,
    // as every other one does.
    if (stats.stampedFrames > 1)
        stats.durationSeconds = index.duration();
    if (stats.stampedFrames > 0) {
        const double interval = std::isnan(stats.meanRate) ? 0.0 : 1.0 / stats.meanRate;
        buckets.fill(stats, lastOffset + interval);
    }
    return stats;
}
