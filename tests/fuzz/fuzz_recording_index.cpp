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

#include <QSet>

#include <algorithm>
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
    int first = 0, last = 0, problem = 0, previous = 0, lostCount = 0, duplicateCount = 0, outOfOrderCount = 0;
    QList<int> lostListed, duplicatesListed;
    QList<QPair<int, int>> outOfOrderListed;
    QList<Stored> stored; // in recorded order
};

double stampOf(const Frame &frame)
{
    double stamp = std::nan("");
    for (const Line &line : frame) {
        if (line.text.startsWith("ts ")) {
            const QByteArray field = line.secondField().trimmed();
            bool ok = false;
            const double value = field.toDouble(&ok);
            stamp = ok && !field.isEmpty() && std::isfinite(value) ? value : std::nan("");
        }
    }
    return stamp;
}

Expected refused(IndexResult::Status status, int problem, int previous)
{
    Expected e;
    e.status = status;
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
    const auto store = [&](int number, qsizetype i) {
        e.stored.append({number, frames[i].first().offset, endOf(i), stampOf(frames[i]),
                         joined(frames[i], 0, &Line::sendForm), joined(frames[i], 0, &Line::indexForm)});
    };
    // Whatever stands before the first frame line is no frame.
    bool ok = false;
    e.first = frames[1].first().secondField().toInt(&ok);
    if (!ok) {
        e.status = IndexResult::BadFirstNumber;
        return e;
    }
    if (e.first < 0)
        return refused(IndexResult::NegativeFirstNumber, e.first, 0);
    e.last = e.first;
    int previous = e.first;
    QSet<int> seen{e.first};
    store(e.first, 1);
    for (qsizetype next = 2; next < frames.size(); ++next) {
        const int number = frames[next].first().secondField().toInt(&ok);
        const qint64 below = qint64(e.last) - number;
        if (ok && below >= 0 && below <= 64 && seen.contains(number)) {
            if (e.duplicatesListed.size() < 10)
                e.duplicatesListed.append(number);
            ++e.duplicateCount;
            continue;
        }
        if (!ok || number < 0 || below > 64 || qint64(qMax(number, e.last)) - qMin(number, e.first) >= INT_MAX)
            return refused(IndexResult::BadFrameNumbers, number, previous);
        if (number < previous && e.outOfOrderCount++ < 10)
            e.outOfOrderListed.append({number, previous});
        e.first = qMin(e.first, number);
        e.last = qMax(e.last, number);
        previous = number;
        seen.insert(number);
        store(number, next);
    }
    QList<int> numbers(seen.begin(), seen.end());
    std::sort(numbers.begin(), numbers.end());
    for (qsizetype i = 0; i + 1 < numbers.size(); ++i) {
        for (qint64 n = qint64(numbers[i]) + 1; n < numbers[i + 1] && e.lostListed.size() < 10; ++n)
            e.lostListed.append(int(n));
        e.lostCount += numbers[i + 1] - numbers[i] - 1;
    }
    return e;
}

void compare(const Expected &e, const IndexResult &result, const RecordingIndex &index, const QByteArray &bytes)
{
    FUZZ_CHECK(result.status == e.status);
    if (result.status == IndexResult::BadFrameNumbers || result.status == IndexResult::NegativeFirstNumber)
        FUZZ_CHECK(result.problemFrame == e.problem && result.previousFrame == e.previous);
    if (result.status != IndexResult::Loaded) {
        FUZZ_CHECK(!index.isLoaded());
        return;
    }
    FUZZ_CHECK(index.first() == e.first && index.last() == e.last);
    FUZZ_CHECK(result.lostCount == e.lostCount && result.lostListed == e.lostListed);
    FUZZ_CHECK(result.duplicateCount == e.duplicateCount && result.duplicatesListed == e.duplicatesListed);
    FUZZ_CHECK(result.outOfOrderCount == e.outOfOrderCount && result.outOfOrderListed == e.outOfOrderListed);
    FUZZ_CHECK(index.frameCount() == e.stored.size());
    SendForm form;
    QByteArray raw;
    for (int position = 0; position < e.stored.size(); ++position) {
        const Stored &frame = e.stored[position];
        // A frame ends where the next frame line starts, or a dropped duplicate of it.
        FUZZ_CHECK(index.readFrame(frame.number, raw) && raw == bytes.mid(frame.begin, frame.end - frame.begin));
        FUZZ_CHECK(SendForm::displayText(raw) == QString::fromLatin1(frame.shown));
        FUZZ_CHECK(form.datagram(raw) == frame.sendForm);
        const double stamp = index.timestamp(frame.number);
        FUZZ_CHECK(stamp == frame.stamp || (std::isnan(stamp) && std::isnan(frame.stamp)));
        FUZZ_CHECK(index.positionOf(frame.number) == position && index.frameAt(position) == frame.number);
    }
    QList<int> numbers;
    for (const Stored &frame : e.stored)
        numbers.append(frame.number);
    std::sort(numbers.begin(), numbers.end());
    int previous = -1;
    for (int number : numbers) {
        FUZZ_CHECK(index.previousFrame(number) == previous);
        if (previous >= 0)
            FUZZ_CHECK(index.nextFrame(previous) == number);
        previous = number;
    }
    FUZZ_CHECK(index.nextFrame(previous) == -1);
    qint64 lost = 0;
    for (const auto &range : index.lostRanges()) {
        FUZZ_CHECK(range.first <= range.second && !index.contains(range.first) && !index.contains(range.second));
        lost += qint64(range.second) - range.first + 1;
    }
    FUZZ_CHECK(lost == e.lostCount);
    FUZZ_CHECK(std::isfinite(index.duration()) && index.duration() >= 0);
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
    for (int n = index.first(); n >= 0 && steps < 64;
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
