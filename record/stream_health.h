#ifndef STREAM_HEALTH_H
#define STREAM_HEALTH_H

#include <QJsonObject>
#include <QtGlobal>

#include <array>
#include <atomic>

// What the stream looked like so far; the keys scripts read are these names.
struct StreamFigures {
    qint64 datagrams = 0;
    qint64 bytes = 0;
    qint64 frames_lost = 0;
    qint64 duplicates = 0;
    qint64 out_of_order = 0;
    qint64 unnumbered = 0;
    qint64 dropped = 0; // by the system, for want of room in the receive buffer
    double jitter_ms = 0;
    // Numbered runs: 1 from the first numbered datagram on, one more at each restart.
    qint64 passes = 0;
    qint64 first_frame = 0; // of the first run
    qint64 last_frame = 0; // highest number of the current run
    // Distinct source addresses (address and port), up to StreamHealth::MaxSenders.
    qint64 senders = 0;
    // Datagrams the source filter refused: not recorded, not in any figure above.
    qint64 rejected = 0;
};

// The figures scripts read, under those names, with the datagrams that could not be
// written: record --json and the remote control's health.
QJsonObject healthJson(const StreamFigures &figures, qint64 notWritten);

// Live counters over the "fr N" numbers of arriving datagrams. One thread adds,
// any thread reads figures(); adding never allocates or locks.
//
// Numbers are remembered in a sliding window of the last `Window` numbers up to
// the highest. A number above the highest advances the window; one a whole
// window or more above it is a discontinuity (two senders interleaved, or a
// sender that jumped), not a loss of the numbers between. Inside the window a number seen before is a
// duplicate, one not seen before is out of order. A new run (pass) begins, and
// the loss of the finished run is kept, when a number
//  - lies a whole window or more above the highest, or
//  - lies below the window, or
//  - repeats the run's first number after higher ones (a sender looping 1..N), or
//  - lies more than `EarlySlack` below the run's first number (a sender
//    restarting at 1 while the recording began later in its stream).
// lost = sum over runs of (highest - lowest + 1) - distinct numbers seen.
// Jitter follows RFC 3550 with the sender's spacing taken as the running mean
// of the arrival intervals: J += (|interval - mean| - J) / 16.
class StreamHealth
{
public:
    static constexpr qint64 Window = 65536;
    static constexpr qint64 EarlySlack = 64;
    // Enough to tell one sender from several; a flood from forged addresses stops counting here.
    static constexpr int MaxSenders = 64;

    StreamHealth() = default;
    StreamHealth(const StreamHealth &) = delete;
    StreamHealth &operator=(const StreamHealth &) = delete;

    // Adding thread, between runs: back to no datagrams.
    void reset();
    // Adding thread: one datagram that arrived at `arrivalMicroseconds` (monotonic)
    // from `source` (its address and port in one number);
    // `systemDrops` is the socket's drop counter as the platform last reported it.
    void add(const char *datagram, qsizetype length, qint64 arrivalMicroseconds, quint32 systemDrops,
             quint64 source);

    // Any thread: a consistent snapshot.
    StreamFigures figures() const;
    // Any thread: the number of the latest numbered datagram, -1 before one.
    qint64 newestFrame() const { return newest.load(std::memory_order_relaxed); }

private:
    void addNumber(qint64 number);
    void addSender(quint64 source);
    void startRun(qint64 number);
    bool seen(qint64 number) const;
    void mark(qint64 number);
    void clearNumbers(qint64 from, qint64 to);
    void publish();

    static constexpr int Words = int(Window / 64);
    std::array<quint64, Words> bits{};

    StreamFigures work;
    bool numbered = false;
    qint64 lowest = 0;
    qint64 distinct = 0;
    qint64 carriedLost = 0;
    qint64 lastArrival = -1;
    double meanInterval = -1;
    double jitterUs = 0;
    std::array<quint64, MaxSenders> senders{};

    // Seqlock around the published copy: odd while being written.
    std::atomic<quint64> sequence{0};
    static constexpr int Shared = 11;
    std::atomic<qint64> shared[Shared] = {};
    std::atomic<double> sharedJitter{0};
    std::atomic<qint64> newest{-1};
};

#endif
