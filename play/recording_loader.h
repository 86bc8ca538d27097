#ifndef RECORDING_LOADER_H
#define RECORDING_LOADER_H

#include "play/frame_index.h"

#include <QList>
#include <QString>

// Reads a recording, checks its frame numbers and fills a frame index. Shows
// nothing: the window turns the result into its messages.
namespace RecordingLoader {

enum Status {
    Loaded,
    OpenFailed,        // index left as it was
    BadFirstNumber,    // first line "fr " whose number does not read; index cleared
    BadFrameNumbers    // a number not above its predecessor, or negative
};

struct Result {
    Status status = OpenFailed;
    int first = 0;
    int last = 0;
    int lostCount = 0;
    QList<int> lostListed; // at most the first ten lost numbers
};

Result load(const QString &path, FrameIndex &index);

// "Lost frame number <count>: <up to ten numbers each after a blank>[...]"
QString lostFramesText(const Result &result);

}

#endif
