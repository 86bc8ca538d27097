#include "play/index_tables.h"

#include <algorithm>
#include <climits>
#include <numeric>

namespace {

// Run indices sorted by their first numbers.
std::vector<qint32> sortedByNumber(const std::vector<IndexTables::Run> &runs)
{
    std::vector<qint32> order(runs.size());
    std::iota(order.begin(), order.end(), 0);
    std::sort(order.begin(), order.end(),
              [&runs](qint32 a, qint32 b) { return runs[size_t(a)].firstNumber < runs[size_t(b)].firstNumber; });
    return order;
}

}

qsizetype IndexTables::rankAtOrBefore(qint64 number) const
{
    qsizetype low = 0;
    qsizetype high = qsizetype(runs.size());
    while (low < high) {
        const qsizetype middle = low + (high - low) / 2;
        if (runs[runByNumber(size_t(middle))].firstNumber <= number)
            low = middle + 1;
        else
            high = middle;
    }
    return low - 1;
}

qsizetype IndexTables::slotOf(int number) const
{
    const qsizetype k = rankAtOrBefore(number);
    if (k < 0)
        return -1;
    const size_t r = runByNumber(size_t(k));
    if (number > runLast(r))
        return -1;
    return runs[r].firstSlot + (number - runs[r].firstNumber);
}

int IndexTables::numberAt(qsizetype slot) const
{
    const auto after = std::upper_bound(runs.begin(), runs.end(), slot,
                                        [](qsizetype s, const Run &run) { return s < run.firstSlot; });
    const Run &run = *(after - 1);
    return int(run.firstNumber + (slot - run.firstSlot));
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
    const qsizetype k = rankAtOrBefore(number);
    if (k >= 0 && qint64(number) + 1 <= runLast(runByNumber(size_t(k))))
        return number + 1;
    return size_t(k + 1) < runs.size() ? runs[runByNumber(size_t(k + 1))].firstNumber : -1;
}

int IndexTables::previousNumber(int number) const
{
    const qsizetype k = rankAtOrBefore(qint64(number) - 1);
    if (k < 0)
        return -1;
    return int(qMin(qint64(number) - 1, runLast(runByNumber(size_t(k)))));
}

void IndexTables::orderRuns()
{
    byNumber.clear();
    for (size_t r = 0; r + 1 < runs.size(); ++r) {
        if (runs[r + 1].firstNumber < runs[r].firstNumber) {
            byNumber = sortedByNumber(runs);
            return;
        }
    }
}

bool IndexTables::isConsistent(qint64 fileSize) const
{
    const qsizetype stored = slotCount();
    if (dataEnd != fileSize || stored == 0 || stamps.size() != stored || runs.empty() || stored >= INT_MAX)
        return false;
    if (first < 0 || last < first || duplicateCount < duplicatesListed.size() || duplicatesListed.size() > 10)
        return false;
    if (qint64(last) - first >= INT_MAX || runs.front().firstSlot != 0)
        return false;
    for (size_t r = 0; r < runs.size(); ++r) {
        // Runs follow each other in the file and each is as long as it can be.
        if (runs[r].firstNumber < first || runEndSlot(r) > stored || runEndSlot(r) <= runs[r].firstSlot
            || runLast(r) > last || (r + 1 < runs.size() && qint64(runs[r + 1].firstNumber) == runLast(r) + 1))
            return false;
    }
    // In number order they neither overlap nor leave out the ends.
    const std::vector<qint32> order = sortedByNumber(runs);
    if (runs[size_t(order.front())].firstNumber != first || runLast(size_t(order.back())) != last)
        return false;
    for (size_t k = 0; k + 1 < order.size(); ++k) {
        if (runs[size_t(order[k + 1])].firstNumber <= runLast(size_t(order[k])))
            return false;
    }
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
