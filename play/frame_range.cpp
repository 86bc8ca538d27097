#include "play/frame_range.h"

#include "play/recording_index.h"

#include <algorithm>

namespace {

// A frame of the range lies at most this many places from its lowest or highest
// number in recorded order: the numbers between are distinct and within the
// reorder window of both.
constexpr int LateReach = 2 * IndexTables::ReorderWindow + 1;

int firstStored(const RecordingIndex &index, int from, int to)
{
    const int frame = index.contains(from) ? from : index.nextFrame(from);
    return frame >= 0 && frame <= to ? frame : -1;
}

int lastStored(const RecordingIndex &index, int from, int to)
{
    const int frame = index.contains(to) ? to : index.previousFrame(to);
    return frame >= from ? frame : -1;
}

}

FrameRange FrameRange::of(const RecordingIndex &index, bool ranged, int from, int to)
{
    FrameRange range;
    range.low = ranged ? std::max(from, index.first()) : index.first();
    range.high = ranged ? std::min(to, index.last()) : index.last();
    range.lowest = firstStored(index, range.low, range.high);
    range.highest = lastStored(index, range.low, range.high);
    if (range.lowest < 0)
        return range;
    const int lowestAt = index.positionOf(range.lowest);
    for (int p = std::max(0, lowestAt - LateReach); range.firstPosition < 0; ++p) {
        if (range.holds(index.frameAt(p)))
            range.firstPosition = p;
    }
    const int highestAt = index.positionOf(range.highest);
    for (int p = std::min(index.frameCount() - 1, highestAt + LateReach); range.lastPosition < 0; --p) {
        if (range.holds(index.frameAt(p)))
            range.lastPosition = p;
    }
    range.first = index.frameAt(range.firstPosition);
    range.last = index.frameAt(range.lastPosition);
    return range;
}

// Where `frame` stands in recorded order; a lost number stands just before the
// next stored one (after) or just after the previous one (before).
int FrameRange::placeOf(const RecordingIndex &index, int frame, int direction)
{
    const int at = index.positionOf(frame);
    if (at >= 0 || frame < 0)
        return at;
    const int neighbour = direction > 0 ? index.nextFrame(frame) : index.previousFrame(frame);
    if (neighbour < 0)
        return direction > 0 ? index.frameCount() : -1;
    return index.positionOf(neighbour) - direction;
}

int FrameRange::after(const RecordingIndex &index, int frame) const
{
    if (first < 0)
        return -1;
    const int at = placeOf(index, frame, 1);
    if (at < firstPosition)
        return first;
    for (int p = at + 1; p <= lastPosition; ++p) {
        const int next = index.frameAt(p);
        if (holds(next))
            return next;
    }
    return -1;
}

int FrameRange::before(const RecordingIndex &index, int frame) const
{
    const int at = placeOf(index, frame, -1);
    if (first < 0 || at <= firstPosition)
        return -1;
    if (at > lastPosition)
        return last;
    for (int p = at - 1; p >= firstPosition; --p) {
        const int previous = index.frameAt(p);
        if (holds(previous))
            return previous;
    }
    return -1;
}

int FrameRange::resolve(const RecordingIndex &index, int frame) const
{
    frame = std::clamp(frame, low, std::max(low, high));
    const int found = firstStored(index, frame, high);
    return found >= 0 ? found : lastStored(index, low, frame);
}
