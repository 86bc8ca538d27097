#ifndef INDEX_RESULT_H
#define INDEX_RESULT_H

#include <QList>
#include <QPair>
#include <QString>

#include <functional>

// What indexing a recording gave. Shows nothing: front ends turn it into their messages.
struct IndexResult {
    enum Status {
        Loaded,
        OpenFailed,      // cannot be opened or read; `reason` says why
        NotRegular,      // a FIFO, device or directory; never opened for reading
        BadFirstNumber,  // the first frame line's number does not read
        NegativeFirstNumber, // `problemFrame`, the first number, is below 0
        BadFrameNumbers, // `problemFrame` follows `previousFrame`, lower by more than the reorder window or unreadable
        NoFrames,        // empty, or no frame line at all
        OutOfMemory,
        Cancelled
    };

    Status status = OpenFailed;
    QString reason;
    int problemFrame = 0;
    int previousFrame = 0;
    int lostCount = 0;
    QList<int> lostListed; // at most the first ten lost numbers
    int duplicateCount = 0; // frames dropped for repeating a number already stored
    QList<int> duplicatesListed; // at most the first ten
    int outOfOrderCount = 0; // frames kept that arrived after a higher number
    QList<QPair<int, int>> outOfOrderListed; // at most the first ten: (frame, the one before it)
    bool fromIdxFile = false;
};

// Bytes done of the total; called at most about a hundred times per build.
using IndexProgress = std::function<void(qint64 done, qint64 total)>;

#endif
