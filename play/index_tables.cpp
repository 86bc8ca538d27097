#include "play/index_tables.h"

#include <algorithm>
#include <climits>

qsizetype IndexTables::runAtOrBefore(qint64 number) const
{
    const auto after = std::upper_bound(runs.begin(), runs.end(), number,
                                        [](qint64 n, const Run &run) { return n < run.firstNumber; });
    return qsizetype(after - runs.begin()) - 1;
}

qsizetype IndexTables::slotOf(int number) const
{
    const qsizetype r = runAtOrBefore(number);
    if (r < 0 || number > runLast(size_t(r)))
        return -1;
    return runs[size_t(r)].firstSlot + (number - runs[size_t(r)].firstNumber);
}

qint64 IndexTables::frameEnd(qsizetype slot) const
{
    const auto cut = std::lower_bound(cutEnds.begin(), cutEnds.end(), slot,
                                      [](const CutEnd &c, qsizetype s) { return c.slot < s; });
    if (cut != cutEnds.end() && cut->slot == slot)
        return cut->end;
    return slot + 1 < slotCount() ? offsets.at(slot + 1) : dataEnd;
}

int IndexTables::nextNumber(int number) const
{
    const qsizetype r = runAtOrBefore(number);
    if (r >= 0 && qint64(number) + 1 <= runLast(size_t(r)))
        return number + 1;
    return size_t(r + 1) < runs.size() ? runs[size_t(r + 1)].firstNumber : -1;
}

int IndexTables::previousNumber(int number) const
{
    const qsizetype r = runAtOrBefore(qint64(number) - 1);
    if (r < 0)
        return -1;
    return int(qMin(qint64(number) - 1, runLast(size_t(r))));
}

bool IndexTables::isConsistent(qint64 fileSize) const
{
    const qsizetype stored = slotCount();
    if (dataEnd != fileSize || stored == 0 || stamps.size() != stored || runs.empty() || stored >= INT_MAX)
        return false;
    if (first < 0 || last < first || duplicateCount < duplicatesListed.size() || duplicatesListed.size() > 10)
        return false;
    if (qint64(last) - first >= INT_MAX || runs.front().firstSlot != 0
        || (!hasPreamble && runs.front().firstNumber != first))
        return false;
    if (hasPreamble && (first != 0 || runs.front().firstNumber <= 0))
        return false;
    for (size_t r = 0; r + 1 < runs.size(); ++r) {
        // Each run ends before the next begins, with a lost number between them.
        if (runs[r + 1].firstSlot <= runs[r].firstSlot || runs[r + 1].firstSlot > stored
            || qint64(runs[r + 1].firstNumber) <= runLast(r) + 1)
            return false;
    }
    if (runs.back().firstSlot >= stored || runLast(runs.size() - 1) != last)
        return false;
    if (hasPreamble
        && (preambleOffset < 0 || preambleLength < 0 || preambleOffset + preambleLength > offsets.at(0)))
        return false;
    qint64 previous = -1;
    for (qsizetype c = 0; c < offsets.chunkCount(); ++c) {
        const qint64 *chunk = offsets.chunkData(c);
        for (qsizetype i = 0, n = offsets.chunkLength(c); i < n; ++i) {
            if (chunk[i] <= previous)
                return false;
            previous = chunk[i];
        }
    }
    if (previous >= dataEnd)
        return false;
    qint64 previousCut = -1;
    for (const CutEnd &cut : cutEnds) {
        if (cut.slot <= previousCut || cut.slot >= stored || cut.end <= offsets.at(cut.slot)
            || cut.end > (cut.slot + 1 < stored ? offsets.at(cut.slot + 1) : dataEnd))
            return false;
        previousCut = cut.slot;
    }
    return true;
}
