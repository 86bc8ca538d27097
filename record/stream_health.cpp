#include "record/stream_health.h"

#include "play/recording_lines.h"

#include <cmath>
#include <utility>
#include <cstring>

namespace {

constexpr quint64 Mask = quint64(StreamHealth::Window - 1);

quint64 slot(qint64 number)
{
    return quint64(number) & Mask;
}

}

void StreamHealth::reset()
{
    bits.fill(0);
    work = StreamFigures();
    numbered = false;
    lowest = distinct = carriedLost = 0;
    lastArrival = -1;
    meanInterval = -1;
    jitterUs = 0;
    newest.store(-1, std::memory_order_relaxed);
    publish();
}

void StreamHealth::add(const char *datagram, qsizetype length, qint64 arrivalMicroseconds, quint32 systemDrops,
                       quint64 source)
{
    ++work.datagrams;
    work.bytes += length;
    work.dropped = systemDrops;
    addSender(source);

    if (lastArrival >= 0) {
        const double interval = double(arrivalMicroseconds - lastArrival);
        if (meanInterval < 0) {
            meanInterval = interval;
        } else {
            jitterUs += (std::fabs(interval - meanInterval) - jitterUs) / 16.0;
            meanInterval += (interval - meanInterval) / 16.0;
        }
    }
    lastArrival = arrivalMicroseconds;

    bool ok = false;
    const int number = RecordingLines::datagramFrameNumber(QByteArrayView(datagram, length), &ok);
    if (ok) {
        addNumber(number);
        newest.store(number, std::memory_order_relaxed);
    }
    else
        ++work.unnumbered;
    publish();
}

void StreamHealth::addNumber(qint64 n)
{
    if (!numbered) {
        numbered = true;
        work.first_frame = n;
        startRun(n);
        return;
    }
    const qint64 highest = work.last_frame;
    if (n >= highest + Window) {
        startRun(n);
        return;
    }
    if (n > highest) {
        clearNumbers(highest + 1, n);
        mark(n);
        work.last_frame = n;
        ++distinct;
        return;
    }
    if (n <= highest - Window) {
        startRun(n);
        return;
    }
    if (seen(n)) {
        if (n == lowest && n < highest)
            startRun(n);
        else
            ++work.duplicates;
        return;
    }
    if (n < lowest - EarlySlack) {
        startRun(n);
        return;
    }
    ++work.out_of_order;
    mark(n);
    ++distinct;
    if (n < lowest)
        lowest = n;
}

// The last sender is nearly always the one before: only a change looks through the list.
void StreamHealth::addSender(quint64 source)
{
    const qint64 known = work.senders;
    if (known > 0 && senders[size_t(known - 1)] == source)
        return;
    for (qint64 i = 0; i < known; ++i) {
        if (senders[size_t(i)] == source) {
            std::swap(senders[size_t(i)], senders[size_t(known - 1)]);
            return;
        }
    }
    if (known < MaxSenders)
        senders[size_t(work.senders++)] = source;
}

void StreamHealth::startRun(qint64 n)
{
    if (work.passes > 0)
        carriedLost += work.last_frame - lowest + 1 - distinct;
    ++work.passes;
    bits.fill(0);
    lowest = n;
    work.last_frame = n;
    distinct = 1;
    mark(n);
}

bool StreamHealth::seen(qint64 number) const
{
    const quint64 s = slot(number);
    return (bits[s / 64] >> (s % 64)) & 1u;
}

void StreamHealth::mark(qint64 number)
{
    const quint64 s = slot(number);
    bits[s / 64] |= quint64(1) << (s % 64);
}

// Forgets what the window held for [from, to] before those numbers take the slots.
void StreamHealth::clearNumbers(qint64 from, qint64 to)
{
    if (to - from + 1 >= Window) {
        bits.fill(0);
        return;
    }
    for (qint64 n = from; n <= to;) {
        const quint64 s = slot(n);
        if (s % 64 == 0 && to - n + 1 >= 64) {
            bits[s / 64] = 0;
            n += 64;
        } else {
            bits[s / 64] &= ~(quint64(1) << (s % 64));
            ++n;
        }
    }
}

void StreamHealth::publish()
{
    work.frames_lost = carriedLost + (numbered ? work.last_frame - lowest + 1 - distinct : 0);
    work.jitter_ms = jitterUs / 1000.0;
    const qint64 values[Shared] = {work.datagrams,  work.bytes,      work.frames_lost, work.duplicates,
                                   work.out_of_order, work.unnumbered, work.dropped,   work.passes,
                                   work.first_frame,  work.last_frame, work.senders};
    const quint64 s = sequence.load(std::memory_order_relaxed);
    sequence.store(s + 1, std::memory_order_relaxed);
    std::atomic_thread_fence(std::memory_order_release);
    for (int i = 0; i < Shared; ++i)
        shared[i].store(values[i], std::memory_order_relaxed);
    sharedJitter.store(work.jitter_ms, std::memory_order_relaxed);
    sequence.store(s + 2, std::memory_order_release);
}

StreamFigures StreamHealth::figures() const
{
    for (;;) {
        const quint64 before = sequence.load(std::memory_order_acquire);
        qint64 values[Shared];
        for (int i = 0; i < Shared; ++i)
            values[i] = shared[i].load(std::memory_order_relaxed);
        const double jitter = sharedJitter.load(std::memory_order_relaxed);
        std::atomic_thread_fence(std::memory_order_acquire);
        if (before % 2 == 0 && sequence.load(std::memory_order_relaxed) == before) {
            StreamFigures f;
            f.datagrams = values[0];
            f.bytes = values[1];
            f.frames_lost = values[2];
            f.duplicates = values[3];
            f.out_of_order = values[4];
            f.unnumbered = values[5];
            f.dropped = values[6];
            f.passes = values[7];
            f.first_frame = values[8];
            f.last_frame = values[9];
            f.senders = values[10];
            f.jitter_ms = jitter;
            return f;
        }
    }
}

QJsonObject healthJson(const StreamFigures &figures, qint64 notWritten)
{
    return {{QStringLiteral("datagrams"), figures.datagrams},
            {QStringLiteral("bytes"), figures.bytes},
            {QStringLiteral("frames_lost"), figures.frames_lost},
            {QStringLiteral("duplicates"), figures.duplicates},
            {QStringLiteral("out_of_order"), figures.out_of_order},
            {QStringLiteral("unnumbered"), figures.unnumbered},
            {QStringLiteral("dropped"), figures.dropped},
            {QStringLiteral("jitter_ms"), figures.jitter_ms},
            {QStringLiteral("passes"), figures.passes},
            {QStringLiteral("senders"), figures.senders},
            {QStringLiteral("rejected"), figures.rejected},
            {QStringLiteral("not_written"), notWritten}};
}
