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

struct Model {
    RecordingLoader::Result result;
    QList<Stored> stored; // frames with text, in file order; lost numbers are absent
};

Model model(const QByteArray &bytes)
{
    Model m;
    RecordingLoader::Result &r = m.result;
    const QList<Line> lines = splitLines(bytes);
    const QList<QList<Line>> frames = splitFrames(lines);
    qsizetype next = 1;
    if (!lines.isEmpty() && lines.first().isFrameLine()) {
        bool ok = false;
        r.first = lines.first().secondField().toInt(&ok);
        if (!ok || r.first < 0) {
            r.status = ok ? RecordingLoader::BadFrameNumbers : RecordingLoader::BadFirstNumber;
            r.first = 0;
            return m;
        }
        m.stored.append({r.first, joined(frames[1], 0, &Line::indexForm), lines.first().offset});
        next = 2;
    } else {
        m.stored.append({0, joined(frames[0], 1, &Line::indexForm), -1});
    }
    qint64 expected = r.first;
    qint64 lost = 0;
    r.last = r.first;
    for (; next < frames.size(); ++next) {
        const int number = frames[next].first().secondField().toInt();
        ++expected;
        if (number < expected || qint64(number) - r.first >= INT_MAX) {
            r = RecordingLoader::Result();
            r.status = RecordingLoader::BadFrameNumbers;
            return m;
        }
        for (qint64 n = expected; n < number && r.lostListed.size() < 10; ++n)
            r.lostListed.append(int(n));
        lost += number - expected;
        expected = number;
        r.last = number;
        m.stored.append({number, joined(frames[next], 0, &Line::indexForm), frames[next].first().offset});
    }
    r.lostCount = int(lost);
    r.status = RecordingLoader::Loaded;
    return m;
}

void checkStored(const FrameIndex &index, int first, const Stored &frame)
{
    const int k = frame.number - first;
    FUZZ_CHECK(index.text(k).toLatin1() == frame.text);
    FUZZ_CHECK(index.fileOffset(k) == frame.offset);
}

// Entries between two stored frames are lost: empty, no position.
void checkLost(const FrameIndex &index, int k)
{
    FUZZ_CHECK(index.text(k).isEmpty());
    FUZZ_CHECK(index.fileOffset(k) == -1);
}

void checkIndex(const FrameIndex &index, const Model &m, qint64 fileSize)
{
    const RecordingLoader::Result &r = m.result;
    FUZZ_CHECK(index.count() == qint64(r.last) - r.first + 1);
    // Every stored frame of a small file; the first and last hundred of a large one.
    constexpr qsizetype edge = 100;
    for (qsizetype i = 0; i < m.stored.size(); ++i) {
        if (i == edge && m.stored.size() > 2 * edge)
            i = m.stored.size() - edge;
        checkStored(index, r.first, m.stored[i]);
        if (i + 1 < m.stored.size() && m.stored[i + 1].number - m.stored[i].number > 1) {
            checkLost(index, m.stored[i].number - r.first + 1);
            checkLost(index, m.stored[i + 1].number - r.first - 1);
        }
    }
    for (int k : {0, index.count() / 2, index.count() - 1}) {
        const qint64 offset = index.fileOffset(k);
        FUZZ_CHECK(offset >= -1 && offset < fileSize);
        FUZZ_CHECK(offset < 0 || index.text(k).startsWith(QLatin1String("fr ")));
    }
    for (int k : {-1, index.count(), INT_MIN, INT_MAX}) {
        FUZZ_CHECK(index.text(k).isEmpty());
        FUZZ_CHECK(index.fileOffset(k) == -1);
    }
}

void checkLostText(const RecordingLoader::Result &r)
{
    QString expected = QLatin1String("Lost frame number ") + QString::number(r.lostCount) + QLatin1String(": ");
    for (int number : r.lostListed)
        expected += QLatin1Char(' ') + QString::number(number);
    if (r.lostCount > 10)
        expected += QLatin1String("...");
    FUZZ_CHECK(RecordingLoader::lostFramesText(r) == expected);
}

}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray bytes(reinterpret_cast<const char *>(data), qsizetype(size));
    const QString path = writeRecording(data, size);
    FrameIndex index;
    const RecordingLoader::Result result = RecordingLoader::load(path, index);
    const Model m = model(bytes);

    FUZZ_CHECK(result.status == m.result.status);
    FUZZ_CHECK(result.first == m.result.first);
    FUZZ_CHECK(result.last == m.result.last);
    if (result.status != RecordingLoader::Loaded)
        return 0;
    FUZZ_CHECK(result.lostCount == m.result.lostCount);
    FUZZ_CHECK(result.lostListed == m.result.lostListed);
    checkIndex(index, m, qint64(size));
    checkLostText(result);
    return 0;
}
