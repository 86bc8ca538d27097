#include "play/playback_report.h"

#include <algorithm>
#include <cmath>
#include <iterator>

PlaybackReport::PlaybackReport() = default;

void PlaybackReport::clear()
{
    lateness.clear();
    roundTrips.clear();
    for (auto *value : {&frames, &lastLateness, &firstLateness, &firstSent, &lastSent, &sends})
        value->store(0, std::memory_order_relaxed);
    latest.store(0, std::memory_order_relaxed);
    ppm.store(0, std::memory_order_relaxed);
    origin = 0;
    meanX = meanY = sumXX = sumXY = 0;
}

void PlaybackReport::addPaced(int frame, qint64 deadline, qint64 sent, qint64 late)
{
    const qint64 n = frames.load(std::memory_order_relaxed) + 1;
    lateness.add(late);
    lastLateness.store(late, std::memory_order_relaxed);
    if (n == 1) {
        firstLateness.store(late, std::memory_order_relaxed);
        origin = deadline;
    }
    const quint64 lateUs = quint64(std::clamp<qint64>(late / 1000, 0, 0xFFFFFFFF));
    if (n == 1 || lateUs > (latest.load(std::memory_order_relaxed) >> 32))
        latest.store(lateUs << 32 | quint32(frame), std::memory_order_relaxed);
    // Welford's update of the co-moments.
    const double x = double(deadline - origin), y = double(sent - origin);
    const double dx = x - meanX;
    meanX += dx / double(n);
    meanY += (y - meanY) / double(n);
    sumXX += dx * (x - meanX);
    sumXY += dx * (y - meanY);
    if (n > 2 && sumXX > 0 && sumXY > 0)
        ppm.store((sumXX / sumXY - 1.0) * 1e6, std::memory_order_relaxed);
    frames.store(n, std::memory_order_relaxed);
    published(sent);
}

void PlaybackReport::addUnpaced(qint64 sent)
{
    published(sent);
}

void PlaybackReport::published(qint64 sent)
{
    if (sends.fetch_add(1, std::memory_order_relaxed) == 0)
        firstSent.store(sent, std::memory_order_relaxed);
    lastSent.store(sent, std::memory_order_relaxed);
}

void PlaybackReport::addRoundTrip(qint64 nanoseconds)
{
    roundTrips.add(nanoseconds);
}

PlaybackReport::Figures PlaybackReport::figures() const
{
    Figures f;
    f.frames = frames.load(std::memory_order_relaxed);
    f.lateP50 = lateness.percentile(0.50);
    f.lateP99 = lateness.percentile(0.99);
    f.lateP999 = lateness.percentile(0.999);
    const quint64 worst = latest.load(std::memory_order_relaxed);
    f.lateMax = double(worst >> 32);
    f.lateMaxFrame = f.frames > 0 ? int(quint32(worst)) : -1;
    f.firstLate = double(firstLateness.load(std::memory_order_relaxed)) / 1e3;
    f.lastLate = double(lastLateness.load(std::memory_order_relaxed)) / 1e3;
    f.rateErrorPpm = ppm.load(std::memory_order_relaxed);
    const qsizetype edges = qsizetype(std::size(BucketEdges));
    for (qsizetype i = 0; i < edges; ++i)
        f.buckets.append(lateness.count(BucketEdges[i], i + 1 < edges ? BucketEdges[i + 1] : -1));
    f.roundTripP50 = roundTrips.percentile(0.50);
    f.roundTripP99 = roundTrips.percentile(0.99);
    const qint64 count = sends.load(std::memory_order_relaxed);
    const qint64 span = lastSent.load(std::memory_order_relaxed) - firstSent.load(std::memory_order_relaxed);
    f.rateReached = count > 1 && span > 0 ? double(count - 1) * 1e9 / double(span) : 0.0;
    return f;
}

PlaybackReport::Verdict PlaybackReport::check(const Figures &figures, const PlaybackLimits &limits)
{
    Verdict verdict;
    verdict.frame = figures.lateMaxFrame;
    verdict.lateUs = figures.lateMax;
    verdict.ppm = figures.rateErrorPpm;
    if (limits.maxLateUs > 0 && figures.frames > 0 && figures.lateMax > limits.maxLateUs)
        verdict.kind = Verdict::Late;
    else if (limits.maxRateErrorPpm > 0 && std::fabs(figures.rateErrorPpm) > limits.maxRateErrorPpm)
        verdict.kind = Verdict::RateOff;
    return verdict;
}
