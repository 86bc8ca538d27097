// Indexes arbitrary bytes as a recording, by scan and from the index file it
// writes, and compares both with a line-by-line model of the loading rules; each
// stored frame's send form and display text must be what the frame reader and
// the loader made of it. An input starting with '!' instead damages the index
// file (re-sealed, so that the checks behind the checksum are reached) and the
// index must then stay safe to use.
#include "fuzz_support.h"

#include "play/index_file.h"
#include "play/recording_index.h"
#include "play/send_form.h"

#include <climits>
#include <cmath>
#include <cstring>

using namespace FuzzSupport;

namespace {

struct Stored {
    int number;
    qint64 begin;
    qint64 end;
    double stamp;
    QByteArray sendForm;
    QByteArray shown;
};

struct Expected {
    IndexResult::Status status = IndexResult::Loaded;
    int first = 0, last = 0, problem = 0, previous = 0, lostCount = 0, duplicateCount = 0;
    bool preamble = false;
    QList<int> lostListed, duplicatesListed;
    QList<Stored> stored; // with the preamble as frame 0 when there is one
};

double stampOf(const Frame &frame)
{
    double stamp = std::nan("");
    for (const Line &line : frame) {
        if (line.text.startsWith("ts "))
            stamp = line.secondField().toDouble();
    }
    return stamp;
}

Expected refused(int problem, int previous)
{
    Expected e;
    e.status = IndexResult::BadFrameNumbers;
    e.problem = problem;
    e.previous = previous;
    return e;
}

Expected model(const QByteArray &bytes)
{
    Expected e;
    const QList<Frame> frames = splitFrames(bytes);
    if (frames.size() == 1) {
        e.status = IndexResult::NoFrames;
        return e;
    }
    const auto endOf = [&](qsizetype i) { return i + 1 < frames.size() ? frames[i + 1].first().offset : bytes.size(); };
    qsizetype next = 1;
    bool afterFrameLine = true;
    if (frames[0].isEmpty()) {
        bool ok = false;
        e.first = frames[1].first().secondField().toInt(&ok);
        if (!ok) {
            e.status = IndexResult::BadFirstNumber;
            return e;
        }
        if (e.first < 0)
            return refused(e.first, e.first);
        e.stored.append({e.first, 0, endOf(1), stampOf(frames[1]), joined(frames[1], 0, &Line::sendForm),
                         joined(frames[1], 0, &Line::indexForm)});
        next = 2;
    } else {
        // Frame 0 is the preamble less its first line.
        const qint64 begin = frames[0].size() > 1 ? frames[0][1].offset : frames[1].first().offset;
        e.stored.append({0, begin, endOf(0), std::nan(""), QByteArray(), joined(frames[0], 1, &Line::indexForm)});
        afterFrameLine = false;
        e.preamble = true;
    }
    e.last = e.first;
    for (; next < frames.size(); ++next) {
        bool ok = false;
        const int number = frames[next].first().secondField().toInt(&ok);
        if (ok && number == e.last && afterFrameLine) {
            if (e.duplicatesListed.size() < 10)
                e.duplicatesListed.append(number);
            ++e.duplicateCount;
            continue;
        }
        if (number <= e.last || qint64(number) - e.first >= INT_MAX)
            return refused(number, e.last);
        for (qint64 n = qint64(e.last) + 1; n < number && e.lostListed.size() < 10; ++n)
            e.lostListed.append(int(n));
        e.lostCount += number - e.last - 1;
        e.last = number;
        afterFrameLine = true;
        e.stored.append({number, frames[next].first().offset, endOf(next), stampOf(frames[next]),
                         joined(frames[next], 0, &Line::sendForm), joined(frames[next], 0, &Line::indexForm)});
    }
    return e;
}

void compare(const Expected &e, const IndexResult &result, const RecordingIndex &index, const QByteArray &bytes)
{
    FUZZ_CHECK(result.status == e.status);
    if (result.status == IndexResult::BadFrameNumbers)
        FUZZ_CHECK(result.problemFrame == e.problem && result.previousFrame == e.previous);
    if (result.status != IndexResult::Loaded) {
        FUZZ_CHECK(!index.isLoaded());
        return;
    }
    FUZZ_CHECK(index.first() == e.first && index.last() == e.last);
    FUZZ_CHECK(result.lostCount == e.lostCount && result.lostListed == e.lostListed);
    FUZZ_CHECK(result.duplicateCount == e.duplicateCount && result.duplicatesListed == e.duplicatesListed);
    FUZZ_CHECK(index.hasPreamble() == e.preamble);
    FUZZ_CHECK(index.frameCount() == e.stored.size() - (e.preamble ? 1 : 0));
    SendForm form;
    QByteArray raw;
    int previous = -1;
    for (const Stored &frame : e.stored) {
        // A frame ends where the next frame line starts, or a dropped duplicate of it.
        FUZZ_CHECK(index.readFrame(frame.number, raw) && raw == bytes.mid(frame.begin, frame.end - frame.begin));
        FUZZ_CHECK(SendForm::displayText(raw) == QString::fromLatin1(frame.shown));
        if (e.preamble && frame.number == 0)
            continue;
        FUZZ_CHECK(form.datagram(raw) == frame.sendForm);
        const double stamp = index.timestamp(frame.number);
        FUZZ_CHECK(stamp == frame.stamp || (std::isnan(stamp) && std::isnan(frame.stamp)));
        FUZZ_CHECK(index.previousFrame(frame.number) == previous);
        if (previous >= 0)
            FUZZ_CHECK(index.nextFrame(previous) == frame.number);
        previous = frame.number;
    }
    FUZZ_CHECK(index.nextFrame(previous) == -1);
    qint64 lost = 0;
    for (const auto &range : index.lostRanges()) {
        FUZZ_CHECK(range.first <= range.second && !index.contains(range.first) && !index.contains(range.second));
        lost += qint64(range.second) - range.first + 1;
    }
    FUZZ_CHECK(lost == e.lostCount);
}

// The recording's own checks, then the same through the index file it wrote.
void indexBothWays(const QByteArray &bytes, const QString &path)
{
    const Expected e = model(bytes);
    RecordingIndex scanned;
    const IndexResult result = RecordingIndex::build(path, scanned);
    FUZZ_CHECK(!result.fromIdxFile);
    compare(e, result, scanned, bytes);
    if (result.status != IndexResult::Loaded)
        return;
    FUZZ_CHECK(scanned.writeIndexFile());
    RecordingIndex loaded;
    const IndexResult fromFile = RecordingIndex::build(path, loaded);
    FUZZ_CHECK(fromFile.fromIdxFile);
    compare(e, fromFile, loaded, bytes);
}

// Whatever an index file holds, lookups and reads stay within the recording; a
// read may refuse a frame whose bytes do not start with a frame line.
void useDamaged(const RecordingIndex &index, qint64 fileSize)
{
    FUZZ_CHECK(index.first() <= index.last());
    QByteArray raw;
    int steps = 0;
    for (int n = index.hasPreamble() ? index.nextFrame(0) : index.first(); n >= 0 && steps < 64;
         n = index.nextFrame(n), ++steps) {
        FUZZ_CHECK(index.contains(n) && n <= index.last());
        const qint64 length = index.frameLength(n);
        FUZZ_CHECK(length > 0 && length <= fileSize);
        if (index.readFrame(n, raw))
            FUZZ_CHECK(raw.size() == qMin(length, RecordingIndex::MaxFrameRead));
    }
    index.lostRanges();
}

void damageIndexFile(const uint8_t *data, size_t size)
{
    const size_t length = size >= 3 ? qMin(size_t(data[1] | data[2] << 8), size - 3) : 0;
    const QString path = writeFile(scratchDir().filePath(QStringLiteral("damaged.wly")), data + 3, length);
    RecordingIndex scanned;
    if (RecordingIndex::build(path, scanned).status != IndexResult::Loaded || !scanned.writeIndexFile())
        return;
    const QString idxPath = RecordingIndex::indexFilePath(path);
    QFile idx(idxPath);
    FUZZ_CHECK(idx.open(QIODevice::ReadOnly));
    QByteArray file = idx.readAll();
    idx.close();
    // Five bytes a change: a position and what to flip there, or with nothing to flip a new length.
    for (size_t i = 3 + length; i + 5 <= size; i += 5) {
        quint32 position;
        std::memcpy(&position, data + i, 4);
        if (data[i + 4] == 0)
            file.resize(qsizetype(position % quint32(file.size() + 64)), '\0');
        else if (!file.isEmpty())
            file[qsizetype(position % quint32(file.size()))] ^= char(data[i + 4]);
    }
    if (file.size() >= 8) {
        IndexFile::Checksum sum;
        sum.add(file.constData(), file.size() - 8);
        const quint64 value = sum.value();
        std::memcpy(file.data() + file.size() - 8, &value, 8);
    }
    writeFile(idxPath, reinterpret_cast<const uint8_t *>(file.constData()), size_t(file.size()));
    RecordingIndex index;
    const IndexResult result = RecordingIndex::build(path, index);
    FUZZ_CHECK(result.status == IndexResult::Loaded);
    if (result.fromIdxFile)
        useDamaged(index, qint64(length));
}

}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size > 0 && data[0] == '!') {
        damageIndexFile(data, size);
        return 0;
    }
    const QString path = writeFile(scratchDir().filePath(QStringLiteral("input.wly")), data, size);
    QFile::remove(RecordingIndex::indexFilePath(path));
    indexBothWays(QByteArray(reinterpret_cast<const char *>(data), qsizetype(size)), path);
    return 0;
}
