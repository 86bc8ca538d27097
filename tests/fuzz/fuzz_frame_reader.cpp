// Plays arbitrary bytes with the frame reader and compares every frame with a
// model of the line rules; then seeks indexed frames from their offsets.
#include "fuzz_support.h"

#include "play/frame_index.h"
#include "play/frame_reader.h"
#include "play/recording_loader.h"

#include <QBuffer>

#include <cmath>
#include <tuple>

using namespace FuzzSupport;

namespace {

// The state the window keeps around the reader between calls; the window opens the file in text mode.
struct Playback {
    QBuffer buffer;
    FrameReader reader;
    double timestamp = -2.0;
    bool seekPending = false;
    int currentFrame = 0;
    QByteArray frame;

    explicit Playback(const QByteArray &bytes)
    {
        buffer.setData(bytes);
        FUZZ_CHECK(buffer.open(QIODevice::ReadOnly | QIODevice::Text));
    }
    int read(bool loop) { return reader.readNextFrame(buffer, timestamp, loop, seekPending, currentFrame, frame); }
};

// The value of the frame's last "ts " line, -1.0 without one.
double timestampOf(const Frame &frame)
{
    double timestamp = -1.0;
    for (const Line &line : frame) {
        if (line.text.startsWith("ts "))
            timestamp = line.secondField().toDouble();
    }
    return timestamp;
}

void play(const QByteArray &bytes, const QList<Frame> &frames, bool loop)
{
    Playback play(bytes);
    // One read per frame and no more: an endless loop fails here instead of hanging.
    for (qsizetype i = 0; i < frames.size(); ++i) {
        const int result = play.read(loop);
        FUZZ_CHECK(play.frame == joined(frames[i], 0, &Line::sendForm));
        const double timestamp = timestampOf(frames[i]);
        FUZZ_CHECK(play.timestamp == timestamp || (std::isnan(play.timestamp) && std::isnan(timestamp)));
        if (i + 1 < frames.size()) {
            FUZZ_CHECK(result == FrameReader::FrameRead);
            FUZZ_CHECK(play.currentFrame == frames[i + 1].first().secondField().toInt());
        } else {
            FUZZ_CHECK(result == (loop ? FrameReader::Rewound : FrameReader::EndOfFile));
            FUZZ_CHECK(!loop || play.buffer.pos() == 0);
        }
        play.timestamp = -1.0; // as the send tick passes it once primed
    }
}

// Result and frame of the search, of the read after it, then the frame number and file position.
using SeekOutcome = std::tuple<int, QByteArray, int, QByteArray, int, qint64>;

// A paused playback that stands after its priming read seeks `number` from
// `offset`, then reads on as the window does after repositioning.
SeekOutcome seek(const QByteArray &bytes, qint64 offset, int number)
{
    Playback play(bytes);
    play.read(false);
    FUZZ_CHECK(play.buffer.seek(offset));
    play.seekPending = true;
    play.currentFrame = number;
    play.timestamp = -1.0;
    const int found = play.read(false);
    const QByteArray foundFrame = play.frame;
    const int next = found == FrameReader::FrameRead ? play.read(false) : found;
    return {found, foundFrame, next, play.frame, play.currentFrame, play.buffer.pos()};
}

}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray bytes(reinterpret_cast<const char *>(data), qsizetype(size));
    const QList<Frame> frames = splitFrames(bytes);
    play(bytes, frames, false);
    play(bytes, frames, true);

    FrameIndex index;
    const QString path = writeFile(scratchDir().filePath(QStringLiteral("input.wly")), data, size);
    const RecordingLoader::Result loaded = RecordingLoader::load(path, index);
    for (int k : {0, 1, index.count() / 2, index.count() - 1}) {
        const qint64 offset = index.fileOffset(k);
        if (loaded.status != RecordingLoader::Loaded || offset < 0)
            continue;
        // The indexed frame line is found from its offset, and the playback goes on
        // exactly as after a search from the start.
        const SeekOutcome fromIndex = seek(bytes, offset, loaded.first + k);
        FUZZ_CHECK(std::get<0>(fromIndex) == FrameReader::FrameRead);
        const QByteArray frameLine = index.text(k).toLatin1().split('\n').constFirst().trimmed();
        FUZZ_CHECK(std::get<1>(fromIndex).endsWith(frameLine + "\r\n"));
        FUZZ_CHECK(fromIndex == seek(bytes, 0, loaded.first + k));
    }
    return 0;
}
