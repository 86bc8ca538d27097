#ifndef FRAME_RANGE_H
#define FRAME_RANGE_H

class RecordingIndex;

// The part of a recording that playback covers: all of it, or [from, to] of a
// play range, and the stored frames that bound it.
struct FrameRange {
    int low = -1;   // frame numbers, the preamble's 0 included
    int high = -1;
    int first = -1; // stored frames within; -1 when it holds none
    int last = -1;

    static FrameRange of(const RecordingIndex &index, bool ranged, int from, int to);

    // The stored frame after / before `frame` within the range; -1 at its ends.
    int after(const RecordingIndex &index, int frame) const;
    int before(const RecordingIndex &index, int frame) const;
    // The first stored frame at or after `frame`, which is moved into the range;
    // the preamble when asked for; the last stored one when the range ends in lost frames.
    int resolve(const RecordingIndex &index, int frame) const;
};

#endif
