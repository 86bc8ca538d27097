// Loads arbitrary bytes as a recording and compares the result with a plain
// line-by-line model of the loading rules.
#include "fuzz_support.h"

#include "play/frame_index.h"
#include "play/recording_loader.h"

#include <climits>

using namespace FuzzSupport;

namespace {

struct Stored {
    int number;
    QByteArray text;
    qint64 offset;
};

// `stored` gets the frames with text, in file order; lost numbers are absent.
RecordingLoader::Result model(const QByteArray &bytes, QList<Stored> &stored)
{
    RecordingLoader::Result r;
    const QList<Frame> frames = splitFrames(bytes);
    qsizetype next = 1;
    if (frames.size() > 1 && frames[0].isEmpty()) {
        bool ok = false;
        r.first = frames[1].first().secondField().toInt(&ok);
        if (!ok || r.first < 0) {
            r.status = ok ? RecordingLoader::BadFrameNumbers : RecordingLoader::BadFirstNumber;
            r.first = 0;
            return r;
        }
        stored.append({r.first, joined(frames[1], 0, &Line::indexForm), frames[1].first().offset});
        next = 2;
    } else {
        // Without a frame line first, frame 0 is the preamble less its first line.
        stored.append({0, joined(frames[0], 1, &Line::indexForm), -1});
    }
    r.last = r.first;
    for (; next < frames.size(); ++next) {
        const int number = frames[next].first().secondField().toInt();
        if (number <= r.last || qint64(number) - r.first >= INT_MAX) {
            r = RecordingLoader::Result();
            r.status = RecordingLoader::BadFrameNumbers;
            return r;
        }
        for (int n = r.last + 1; n < number && r.lostListed.size() < 10; ++n)
            r.lostListed.append(n);
        r.lostCount += number - r.last - 1;
        r.last = number;
        stored.append({number, joined(frames[next], 0, &Line::indexForm), frames[next].first().offset});
    }
    r.status = RecordingLoader::Loaded;
    return r;
}

}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    FrameIndex index;
    const QString path = writeFile(scratchDir().filePath(QStringLiteral("input.wly")), data, size);
    const RecordingLoader::Result result = RecordingLoader::load(path, index);
    QList<Stored> stored;
    const RecordingLoader::Result e = model(QByteArray(reinterpret_cast<const char *>(data), qsizetype(size)), stored);
    FUZZ_CHECK(result.status == e.status && result.first == e.first && result.last == e.last);
    if (result.status != RecordingLoader::Loaded)
        return 0;
    FUZZ_CHECK(result.lostCount == e.lostCount && result.lostListed == e.lostListed);
    FUZZ_CHECK(index.count() == qint64(result.last) - result.first + 1);
    for (qsizetype i = 0; i < stored.size(); ++i) {
        const Stored &frame = stored[i];
        FUZZ_CHECK(index.text(frame.number - result.first).toLatin1() == frame.text);
        FUZZ_CHECK(index.fileOffset(frame.number - result.first) == frame.offset);
        // The entries between two stored frames are lost: empty, no position.
        if (i > 0 && frame.number - stored[i - 1].number > 1) {
            for (int lost : {stored[i - 1].number + 1, frame.number - 1})
                FUZZ_CHECK(index.text(lost - result.first).isEmpty() && index.fileOffset(lost - result.first) == -1);
        }
    }
    for (int k : {-1, index.count(), INT_MIN, INT_MAX})
        FUZZ_CHECK(index.text(k).isEmpty() && index.fileOffset(k) == -1);
    return 0;
}
