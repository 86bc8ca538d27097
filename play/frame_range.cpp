#include "play/frame_range.h"

#include "play/recording_index.h"

#include <algorithm>

namespace {

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
    range.first = firstStored(index, range.low, range.high);
    range.last = lastStored(index, range.low, range.high);
    return range;
}

int FrameRange::after(const RecordingIndex &index, int frame) const
{
    if (first < 0 || frame >= last)
        return -1;
    return frame < first ? first : index.nextFrame(frame);
}

int FrameRange::before(const RecordingIndex &index, int frame) const
{
    if (first < 0 || frame <= first)
        return -1;
    return frame > last ? last : index.previousFrame(frame);
}

int FrameRange::resolve(const RecordingIndex &index, int frame) const
{
    frame = std::clamp(frame, low, std::max(low, high));
    if (frame == 0 && index.hasPreamble())
        return 0;
    const int found = firstStored(index, frame, high);
    return found >= 0 ? found : lastStored(index, low, frame);
}
