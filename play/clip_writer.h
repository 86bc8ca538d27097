#ifndef CLIP_WRITER_H
#define CLIP_WRITER_H

// A clip: the frames of a range of a recording, written to a new recording
// byte for byte as stored, with the markers that fall inside. Frames keep their
// numbers, so the clip plays and reports as the same frames.

#include "play/marker_store.h"

#include <QList>
#include <QString>

#include <atomic>

class RecordingIndex;

struct ClipRange {
    bool hasFrom = false;
    bool hasUntil = false;
    int from = 0;
    int until = 0;
};

struct ClipResult {
    enum Status {
        Written,
        NoFrames,   // the range holds no stored frame of the recording
        ReadFailed, // the recording changed or could not be read
        WriteFailed,
        Cancelled
    };
    Status status = NoFrames;
    QString reason;
    qint64 frames = 0; // stored frames with a frame line
    int first = -1;
    int last = -1;
    qint64 bytes = 0;
    int markers = 0;
};

namespace ClipWriter {

// Writes frames `from` to `until` (clamped to the recording) of `index` to
// `target` beside it then by rename, and the markers among `markers` inside the
// range to the target's marks file. The target is never left half written.
ClipResult write(const RecordingIndex &index, int from, int until, const QList<Marker> &markers,
                 const QString &target, const std::atomic<bool> *cancel = nullptr);

}

#endif
