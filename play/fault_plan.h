#ifndef FAULT_PLAN_H
#define FAULT_PLAN_H

#include <QList>
#include <QPair>
#include <QString>

#include <atomic>
#include <memory>
#include <vector>

// Which frames a playback drops, duplicates or reorders on purpose, and by how
// much each is delayed. A frame's fate depends on the seed and its number only,
// through a generator of our own, so a seed gives the same faults on every run
// and machine.
struct FaultChoice {
    double percent = 0;               // of the frames, when no list is given
    QList<QPair<int, int>> frames;    // inclusive ranges of frame numbers

    bool isSet() const { return percent > 0 || !frames.isEmpty(); }
    bool lists(int frame) const;
    // "1.5%" or "100-102,200"; false with the reason when neither.
    static bool parse(const QString &text, FaultChoice &choice, QString &reason);
};

struct FaultOptions {
    FaultChoice drop;
    FaultChoice duplicate;
    FaultChoice reorder;      // sent after the frame that follows it
    double delayMeanMs = 0; // per frame, later deadlines unmoved
    double delayJitterMs = 0;
    quint64 seed = 0;

    bool any() const;
    // "MEAN_MS[:JITTER_MS]"; false with the reason when malformed.
    static bool parseDelay(const QString &text, FaultOptions &options, QString &reason);
};

class FaultPlan
{
public:
    enum Fault { None, Drop, Duplicate, Reorder };

    explicit FaultPlan(const FaultOptions &options = FaultOptions());

    bool any() const { return active; }
    // At most one fault a frame: listed frames take drop, duplicate, reorder in
    // that order; with percentages one draw picks among them, and a `spared`
    // frame (first or last of the range, or the one after a reordered frame)
    // gets none from a percentage, so the counts stay checkable.
    Fault faultOf(int frame, bool spared) const;
    // The frame's delay in ns, never negative.
    qint64 delayOf(int frame) const;

private:
    double uniform(int frame, quint64 stream) const;

    FaultOptions options;
    bool active = false;
};

// The faults a playback injected, in order. Fixed capacity, taken once before
// the playback: the schedule thread appends without allocating or locking,
// any thread reads what was published.
class FaultLog
{
public:
    explicit FaultLog(qsizetype capacity);

    void append(int frame, FaultPlan::Fault fault);
    // Frames given `fault`, in order; `total` counts those beyond the capacity too.
    QList<int> frames(FaultPlan::Fault fault) const;
    qint64 total(FaultPlan::Fault fault) const;

private:
    struct Entry {
        int frame;
        int fault;
    };
    std::vector<Entry> entries;
    std::atomic<qsizetype> published{0};
    std::atomic<qint64> counts[4] = {};
};

#endif
