#include "play/lateness_histogram.h"

#include <algorithm>
#include <cmath>

LatenessHistogram::LatenessHistogram(qint64 binNanoseconds, int binCount)
    : width(binNanoseconds), size(binCount), bins(new std::atomic<quint32>[size_t(binCount)])
{
    clear();
}

void LatenessHistogram::clear()
{
    for (int i = 0; i < size; ++i)
        bins[i].store(0, std::memory_order_relaxed);
}

void LatenessHistogram::add(qint64 nanoseconds)
{
    bins[std::clamp<qint64>(nanoseconds / width, 0, size - 1)].fetch_add(1, std::memory_order_relaxed);
}

double LatenessHistogram::percentile(double fraction) const
{
    quint64 total = 0;
    for (int i = 0; i < size; ++i)
        total += bins[i].load(std::memory_order_relaxed);
    quint64 counted = 0;
    for (int i = 0; i < size && total > 0; ++i) {
        counted += bins[i].load(std::memory_order_relaxed);
        if (double(counted) >= fraction * double(total))
            return double(i) * double(width) / 1e3;
    }
    return 0;
}

qint64 LatenessHistogram::count(double fromUs, double toUs) const
{
    const auto binOf = [this](double us) { return int(std::clamp<double>(std::ceil(us * 1e3 / double(width)), 0, size)); };
    const int first = binOf(fromUs);
    const int end = toUs < 0 ? size : binOf(toUs);
    qint64 total = 0;
    for (int i = first; i < end; ++i)
        total += bins[i].load(std::memory_order_relaxed);
    return total;
}
