#ifndef INDEX_TABLES_H
#define INDEX_TABLES_H

#include "play/chunked_array.h"

#include <QList>

#include <vector>

// The data of a recording's index, as the scanner builds it and the index file
// stores it. Stored frames (those with a frame line) occupy slots in file
// order; numbers map to slots through runs of consecutive numbers, so a lost
// stretch costs nothing. Runs are in slot order; a datagram that arrived late
// starts a run below the one before it, and then `byNumber` orders them.
struct IndexTables {
    struct Run {
        int firstNumber;
        int firstSlot;
    };
    // A frame that ends early: a dropped duplicate follows it.
    struct CutEnd {
        qint64 slot;
        qint64 end;
    };

    // How far below the highest number so far a late datagram may come.
    static constexpr int ReorderWindow = 64;

    int first = 0; // the lowest number stored
    int last = 0;  // the highest
    // Text before the first frame line, less the file's first line: never a frame.
    bool hasPreamble = false;
    qint64 preambleOffset = 0;
    qint64 preambleLength = 0;
    qint64 dataEnd = 0; // the file size the index describes
    int duplicateCount = 0;
    QList<int> duplicatesListed;
    ChunkedArray<qint64> offsets; // of each slot's frame line
    ChunkedArray<double> stamps;  // NaN without a "ts " line
    std::vector<Run> runs;
    std::vector<CutEnd> cutEnds;
    // Run indices in number order; empty when the runs are in number order already.
    std::vector<qint32> byNumber;

    qsizetype slotCount() const { return offsets.size(); }
    qsizetype slotOf(int number) const; // -1 when not stored
    qint64 frameEnd(qsizetype slot) const;
    int nextNumber(int number) const;     // first stored number above, -1 when none
    int previousNumber(int number) const; // last stored number below, -1 when none
    int numberAt(qsizetype slot) const;

    // Calls `gap(from, to)` for each lost stretch in order; stops when it returns false.
    template <typename Gap>
    void forEachGap(Gap gap) const
    {
        qint64 previousEnd = qint64(first) - 1;
        for (size_t k = 0; k < runs.size(); ++k) {
            const size_t r = runByNumber(k);
            if (runs[r].firstNumber > previousEnd + 1 && !gap(int(previousEnd + 1), runs[r].firstNumber - 1))
                return;
            previousEnd = runLast(r);
        }
    }

    // Fills `byNumber` when the runs are out of number order; after a scan or a read.
    void orderRuns();

    // Whether tables read from an index file describe a file of `fileSize`
    // bytes without contradiction, so that no lookup can go astray.
    bool isConsistent(qint64 fileSize) const;

private:
    size_t runByNumber(size_t k) const { return byNumber.empty() ? k : size_t(byNumber[k]); }
    qint64 runEndSlot(size_t r) const { return r + 1 < runs.size() ? runs[r + 1].firstSlot : slotCount(); }
    qint64 runLast(size_t r) const { return runs[r].firstNumber + (runEndSlot(r) - runs[r].firstSlot) - 1; }
    // Rank (place in number order) of the run holding `number` or the last one before it; -1 when none.
    qsizetype rankAtOrBefore(qint64 number) const;
};

#endif
