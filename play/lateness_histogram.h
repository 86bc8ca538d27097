#ifndef LATENESS_HISTOGRAM_H
#define LATENESS_HISTOGRAM_H

#include <QtGlobal>

#include <atomic>
#include <memory>

// Durations in bins of a fixed width (1 us up to 10 ms by default; longer ones
// share the last bin). Fixed memory, nothing allocated per addition; one
// thread adds while others read.
class LatenessHistogram
{
public:
    explicit LatenessHistogram(qint64 binNanoseconds = 1000, int bins = 10001);
    void clear();
    void add(qint64 nanoseconds);
    // The duration in us that `fraction` of the additions did not exceed; 0 with none.
    double percentile(double fraction) const;
    // Additions from `fromUs` (inclusive) to `toUs` (exclusive; negative: no end).
    qint64 count(double fromUs, double toUs) const;

private:
    qint64 width;
    int size;
    std::unique_ptr<std::atomic<quint32>[]> bins;
};

#endif
