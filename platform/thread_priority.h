#ifndef THREAD_PRIORITY_H
#define THREAD_PRIORITY_H

// The scheduling class of the calling thread. A playback thread asks for the
// real-time class within what the platform allows it and falls back to the
// best nice value; neither is an error when refused.

enum ThreadPriority {
    PRIORITY_NORMAL = 0,   // nothing granted: the default class at nice 0
    PRIORITY_NICE = 1,     // a better nice value only
    PRIORITY_REALTIME = 2  // SCHED_FIFO
};

// Raises the calling thread as far as allowed: SCHED_FIFO at a modest
// priority, capped by RLIMIT_RTPRIO unless the process may exceed it, else the
// lowest nice value RLIMIT_NICE grants. Returns what was granted.
int threadPriorityRaise();
// Puts the calling thread back to the default class at nice 0.
void threadPriorityLower();

#endif
