#ifndef FRAME_RANGE_H
#define FRAME_RANGE_H

class RecordingIndex;

// The part of a recording that playback covers: all of it, or the frames
// numbered [from, to] of a play range. Playback goes in recorded order; a
// datagram that arrived late plays where it arrived.
struct FrameRange {
    int low = -1;     // frame numbers
    int high = -1;
    int first = -1;   // the stored frames that open and close it in recorded order; -1 when it holds none
    int last = -1;
    int lowest = -1;  // its lowest and highest stored numbers
    int highest = -1;
    int firstPosition = -1; // of `first` and `last` in recorded order
    int lastPosition = -1;

    static FrameRange of(const RecordingIndex &index, bool ranged, int from, int to);

    // The stored frame after / before `frame` within the range, in recorded order; -1 at its ends.
    int after(const RecordingIndex &index, int frame) const;
    int before(const RecordingIndex &index, int frame) const;
    // The first stored number at or after `frame`, which is moved into the range;
    // the last stored one when the range ends in lost frames.
    int resolve(const RecordingIndex &index, int frame) const;

private:
    bool holds(int number) const { return number >= low && number <= high; }
    static int placeOf(const RecordingIndex &index, int frame, int direction);
};

#endif
