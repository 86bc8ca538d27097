#ifndef BENCH_MEASURE_H
#define BENCH_MEASURE_H

// What every benchmark measures with: processor time, quantiles, the load.

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <sys/resource.h>
#include <vector>

namespace Bench {

inline double quantile(const std::vector<double> &sorted, double q)
{
    return sorted.empty() ? 0.0 : sorted[std::min(sorted.size() - 1, size_t(q * double(sorted.size())))];
}

inline double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return quantile(values, 0.5);
}

// CPU time in microseconds, user plus system.
inline double cpuMicroseconds(int who)
{
    rusage usage;
    if (getrusage(who, &usage) != 0)
        return 0;
    return double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) * 1e6
           + double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec);
}

inline double processCpu() { return cpuMicroseconds(RUSAGE_SELF); }

// The calling thread's CPU time in microseconds; finer than getrusage's per-thread figure.
inline double threadCpu()
{
    timespec now;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return double(now.tv_sec) * 1e6 + double(now.tv_nsec) / 1e3;
}

// The load the figures were taken under.
inline void printLoad(const char *when)
{
    double load[3] = {0, 0, 0};
    if (getloadavg(load, 3) == 3)
        std::printf("load average %s: %.2f %.2f %.2f (2 cores)\n", when, load[0], load[1], load[2]);
}

}

#endif
