#ifndef RANGE_OPTIONS_H
#define RANGE_OPTIONS_H

// The frame range of play and cut: --from and --until by frame number, or
// --from-marker and --until-marker by the label of a marker beside the recording.

#include "play/marker_store.h"

#include <QCommandLineParser>
#include <QList>
#include <QString>

#include <limits>

class RecordingIndex;

namespace CommandLine {

struct RangeChoice {
    bool hasFrom = false;
    bool hasUntil = false;
    qint64 from = 0;
    qint64 until = std::numeric_limits<int>::max();
    bool given() const { return hasFrom || hasUntil; }
};

void addRangeOptions(QCommandLineParser &parser);
// Reads the four options, the labels among the markers of `recordingPath`.
// -1 to go on; otherwise the exit status, after one line on standard error.
int readRange(const QCommandLineParser &parser, const QString &recordingPath, RangeChoice &range);

// The markers beside `recordingPath`, less those `index` (when given) does not
// hold; each problem with them is one warning line on standard error.
QList<Marker> readMarkers(const QString &recordingPath, const RecordingIndex *index);

}

#endif
