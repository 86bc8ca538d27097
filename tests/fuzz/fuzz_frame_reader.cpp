// Plays arbitrary bytes with the frame reader, in normal and in seek mode, and
// compares every frame with the lines of the input and with the frame index.
#include "fuzz_support.h"

#include "play/frame_index.h"
#include "play/frame_reader.h"
#include "play/recording_loader.h"

#include <QBuffer>

#include <cmath>
#include <cstring>

using namespace FuzzSupport;

namespace {

// The state the window keeps around the reader between calls.
struct Playback {
    FrameReader reader;
    double timestamp = -2.0;
    bool seekPending = false;
    int currentFrame = 0;
    QByteArray frame;

    int read(QIODevice &file, bool loop)
    {
        return reader.readNextFrame(file, timestamp, loop, seekPending, currentFrame, frame);
    }
};

// What playback must send for each group of lines, worked out from the lines alone.
struct Expected {
    QList<QByteArray> frames;  // the preamble first, then one per frame line
    QList<int> numbers;        // of each frame line, 0 when it does not read
    QList<double> timestamps;  // of the latest "ts " line in each frame, -1.0 without
    QList<QList<Line>> groups;
};

Expected expectedFrames(const QByteArray &bytes)
{
    Expected e;
    e.groups = splitFrames(splitLines(bytes));
    for (const QList<Line> &group : e.groups) {
        e.frames.append(joined(group, 0, &Line::sendForm));
        e.numbers.append(group.isEmpty() ? 0 : group.first().secondField().toInt());
        double timestamp = -1.0;
        for (const Line &line : group) {
            if (line.isTimestampLine())
                timestamp = line.secondField().toDouble();
        }
        e.timestamps.append(timestamp);
    }
    return e;
}

bool sameTimestamp(double a, double b)
{
    return a == b || (std::isnan(a) && std::isnan(b));
}

// Every frame is whole lines ended by CR LF, none of them a comment.
void checkFrame(const QByteArray &frame)
{
    FUZZ_CHECK(frame.isEmpty() || frame.endsWith("\r\n"));
    for (const QByteArray &line : frame.split('\n'))
        FUZZ_CHECK(!line.startsWith('#'));
}

void normalPass(const QByteArray &bytes, QIODevice::OpenMode mode, bool loop, const Expected &e)
{
    QBuffer buffer;
    buffer.setData(bytes);
    FUZZ_CHECK(buffer.open(mode));
    Playback play;
    // One read per group and no more: an endless loop fails here instead of hanging.
    for (qsizetype i = 0; i < e.frames.size(); ++i) {
        const int result = play.read(buffer, loop);
        checkFrame(play.frame);
        FUZZ_CHECK(play.frame == e.frames[i]);
        FUZZ_CHECK(sameTimestamp(play.timestamp, e.timestamps[i]));
        if (i + 1 < e.frames.size()) {
            FUZZ_CHECK(result == FrameReader::FrameRead);
            FUZZ_CHECK(play.currentFrame == e.numbers[i + 1]);
        } else {
            FUZZ_CHECK(result == (loop ? FrameReader::Rewound : FrameReader::EndOfFile));
            FUZZ_CHECK(!loop || buffer.pos() == 0);
        }
        play.timestamp = -1.0; // as the send tick passes it once primed
    }
}

struct SeekOutcome {
    int found;
    QByteArray foundFrame;
    int next;
    QByteArray nextFrame;
    int currentFrame;
    qint64 position;
};

// A paused playback that stands after its priming read seeks `number` from
// `offset`, then reads on as the window does after repositioning.
SeekOutcome seek(const QByteArray &bytes, qint64 offset, int number)
{
    QBuffer buffer;
    buffer.setData(bytes);
    FUZZ_CHECK(buffer.open(QIODevice::ReadOnly | QIODevice::Text));
    Playback play;
    play.read(buffer, false);
    FUZZ_CHECK(buffer.seek(offset));
    play.seekPending = true;
    play.currentFrame = number;
    play.timestamp = -1.0;
    SeekOutcome outcome;
    outcome.found = play.read(buffer, false);
    checkFrame(play.frame);
    FUZZ_CHECK(play.seekPending == (outcome.found != FrameReader::FrameRead));
    FUZZ_CHECK(play.currentFrame == number);
    outcome.foundFrame = play.frame;
    outcome.next = outcome.found == FrameReader::FrameRead ? play.read(buffer, false) : outcome.found;
    checkFrame(play.frame);
    outcome.nextFrame = play.frame;
    outcome.currentFrame = play.currentFrame;
    outcome.position = buffer.pos();
    return outcome;
}

bool operator==(const SeekOutcome &a, const SeekOutcome &b)
{
    return a.found == b.found && a.foundFrame == b.foundFrame && a.next == b.next && a.nextFrame == b.nextFrame
        && a.currentFrame == b.currentFrame && a.position == b.position;
}

// A frame the index places in the file is found from its offset exactly as by a
// search from the start, and both give the lines that follow its frame line.
void seekIndexed(const QByteArray &bytes, const Expected &e, const FrameIndex &index, int first, int k)
{
    const qint64 offset = index.fileOffset(k);
    if (offset < 0)
        return;
    const int number = first + k;
    const SeekOutcome fromIndex = seek(bytes, offset, number);
    FUZZ_CHECK(fromIndex.found == FrameReader::FrameRead);
    FUZZ_CHECK(fromIndex == seek(bytes, 0, number));

    qsizetype g = 1;
    while (g < e.groups.size() && e.groups[g].first().offset != offset)
        ++g;
    FUZZ_CHECK(g < e.groups.size());
    const QByteArray held = e.groups.size() > 1 ? e.groups[1].first().sendForm() : QByteArray();
    FUZZ_CHECK(fromIndex.foundFrame == held + e.groups[g].first().sendForm());
    FUZZ_CHECK(fromIndex.nextFrame == held + joined(e.groups[g], 1, &Line::sendForm));
    if (g + 1 < e.groups.size()) {
        FUZZ_CHECK(fromIndex.next == FrameReader::FrameRead);
        FUZZ_CHECK(fromIndex.currentFrame == e.numbers[g + 1]);
    } else {
        FUZZ_CHECK(fromIndex.next == FrameReader::EndOfFile);
    }
}

}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray bytes(reinterpret_cast<const char *>(data), qsizetype(size));
    const Expected e = expectedFrames(bytes);
    for (QIODevice::OpenMode mode : {QIODevice::OpenMode(QIODevice::ReadOnly), QIODevice::ReadOnly | QIODevice::Text}) {
        normalPass(bytes, mode, false, e);
        normalPass(bytes, mode, true, e);
    }

    // A number the input may or may not hold: a search for it ends either way.
    int anyNumber = 0;
    std::memcpy(&anyNumber, data, qMin(size, sizeof anyNumber));
    const SeekOutcome any = seek(bytes, 0, anyNumber);
    FUZZ_CHECK(any.found == FrameReader::FrameRead || any.found == FrameReader::NotFound);

    FrameIndex index;
    const RecordingLoader::Result loaded = RecordingLoader::load(writeRecording(data, size), index);
    if (loaded.status != RecordingLoader::Loaded)
        return 0;
    for (int k : {0, 1, index.count() / 2, index.count() - 1})
        seekIndexed(bytes, e, index, loaded.first, k);
    return 0;
}
