#ifndef RECORDING_STATS_H
#define RECORDING_STATS_H

#include <QList>
#include <QPair>
#include <QPointF>

#include <cmath>

class RecordingIndex;

// What the recording info shows about a recording: its counts and the series of
// its charts. The series are bucketed in time as they are gathered, so a
// recording of any length gives at most maxPoints points per series.
struct RecordingStats
{
    static constexpr int maxPoints = 2000;
    static constexpr int listedLostRanges = 20;

    int frames = 0;           // stored frames with a frame line
    int firstNumber = -1;     // -1 when there are none
    int lastNumber = -1;
    // As the index counts them.
    qint64 lostFrames = 0;
    qint64 lostRangeCount = 0;
    QList<QPair<int, int>> lostRanges; // the first listedLostRanges, inclusive
    int stampedFrames = 0;    // frames with a "ts" line
    double durationSeconds = NAN; // the index's figures from the "ts" lines; NaN with fewer than two
    double meanRate = NAN;
    qint64 fileSize = 0;

    // Width of one point of the series; 1 s unless the recording is longer than maxPoints seconds.
    double bucketSeconds = 1.0;
    // x: seconds after the first timestamp. Frames per second, and the number of
    // frames lost where there were any.
    QList<QPointF> rate;
    QList<QPointF> lostMarks;
    // x as above; the shortest and longest interval between consecutive timestamps
    // that end in a bucket, in milliseconds.
    QList<QPointF> intervalMin;
    QList<QPointF> intervalMax;

    // One pass over the index: no file read, nothing allocated per frame.
    static RecordingStats of(const RecordingIndex &index);
};

#endif
