#include "play/lateness_histogram.h"

#include <algorithm>

LatenessHistogram::LatenessHistogram() : bins(new std::atomic<quint32>[Bins])
{
    clear();
}

void LatenessHistogram::clear()
{
    for (int i = 0; i < Bins; ++i)
        bins[i].store(0, std::memory_order_relaxed);
}

void LatenessHistogram::add(qint64 nanoseconds)
{
    bins[std::clamp<qint64>(nanoseconds / 1000, 0, Bins - 1)].fetch_add(1, std::memory_order_relaxed);
}

double LatenessHistogram::percentile(double fraction) const
{
    quint64 total = 0;
    for (int i = 0; i < Bins; ++i)
        total += bins[i].load(std::memory_order_relaxed);
    quint64 counted = 0;
    for (int i = 0; i < Bins && total > 0; ++i) {
        counted += bins[i].load(std::memory_order_relaxed);
        if (double(counted) >= fraction * double(total))
            return i;
    }
    return 0;
}
