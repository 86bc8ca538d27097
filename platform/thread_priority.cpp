#include "platform/thread_priority.h"

#include <sched.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace {

// High enough to preempt ordinary work, low enough to leave the kernel's own
// real-time threads (usually 50 and up) ahead.
constexpr int WantedFifoPriority = 40;

// On Linux the nice value belongs to the thread: PRIO_PROCESS with a thread id changes that thread only.
id_t threadId()
{
    return id_t(syscall(SYS_gettid));
}

bool setFifo(int priority)
{
    sched_param parameter{};
    parameter.sched_priority = priority;
    return sched_setscheduler(0, SCHED_FIFO, &parameter) == 0;
}

}

int threadPriorityRaise()
{
    const int lowest = sched_get_priority_min(SCHED_FIFO);
    int priority = WantedFifoPriority;
    // A privileged process may go above the limit; try the wanted priority first.
    if (lowest > 0 && setFifo(priority))
        return PRIORITY_REALTIME;
    rlimit limit{};
    if (getrlimit(RLIMIT_RTPRIO, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY) {
        priority = int(limit.rlim_cur) < priority ? int(limit.rlim_cur) : priority;
        if (priority >= lowest && priority > 0 && setFifo(priority))
            return PRIORITY_REALTIME;
    }
    // RLIMIT_NICE holds 20 - the lowest nice value allowed.
    int best = 0;
    if (getrlimit(RLIMIT_NICE, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY)
        best = 20 - int(limit.rlim_cur > 40 ? 40 : limit.rlim_cur);
    else
        best = -20;
    for (int nice = best; nice < 0; ++nice) {
        if (setpriority(PRIO_PROCESS, threadId(), nice) == 0)
            return PRIORITY_NICE;
    }
    return PRIORITY_NORMAL;
}

void threadPriorityLower()
{
    sched_param parameter{};
    parameter.sched_priority = 0;
    sched_setscheduler(0, SCHED_OTHER, &parameter);
    setpriority(PRIO_PROCESS, threadId(), 0);
}
