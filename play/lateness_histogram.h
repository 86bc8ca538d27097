#ifndef LATENESS_HISTOGRAM_H
#define LATENESS_HISTOGRAM_H

#include <QtGlobal>

#include <atomic>
#include <memory>

// How late sends went out against their deadlines, in whole microseconds up to
// 10 ms (later ones share the last bin). Fixed memory, nothing allocated per
// send; one thread adds while others read.
class LatenessHistogram
{
public:
    static constexpr int Bins = 10001;

    LatenessHistogram();
    void clear();
    void add(qint64 nanoseconds);
    // The lateness in us that `fraction` of the sends did not exceed; 0 with none.
    double percentile(double fraction) const;

private:
    std::unique_ptr<std::atomic<quint32>[]> bins;
};

#endif
