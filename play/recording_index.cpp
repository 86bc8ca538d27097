#include "play/recording_index.h"

#include "play/frame_range.h"
#include "play/index_file.h"
#include "play/index_scanner.h"
#include "play/stamp_pace.h"

#include "platform/stopwatch.h"

#include <QCoreApplication>
#include <QJsonArray>

#include <cmath>
#include <cstring>
#include <new>
#include <utility>

namespace {

constexpr int MaxListed = 10;

QString tr(const char *text)
{
    return QCoreApplication::translate("Korvel_recorder", text);
}

QString listedText(const char *title, int count, const QList<int> &listed)
{
    QString text = tr(title) + QString::number(count) + QLatin1String(": ");
    for (int number : listed)
        text += QLatin1Char(' ') + QString::number(number);
    if (count > MaxListed)
        text += QLatin1String("...");
    return text;
}

}

RecordingIndex::~RecordingIndex()
{
    FileAccess::closeFile(fd);
}

RecordingIndex::RecordingIndex(RecordingIndex &&other) noexcept
    : tables(std::move(other.tables)),
      filePath(std::move(other.filePath)),
      facts(other.facts),
      fd(std::exchange(other.fd, -1)),
      lost(other.lost),
      seconds(other.seconds),
      rate(other.rate),
      checkedAt(other.checkedAt.load()),
      changed(other.changed.load())
{
}

RecordingIndex &RecordingIndex::operator=(RecordingIndex &&other) noexcept
{
    if (this != &other) {
        FileAccess::closeFile(fd);
        tables = std::move(other.tables);
        filePath = std::move(other.filePath);
        facts = other.facts;
        fd = std::exchange(other.fd, -1);
        lost = other.lost;
        seconds = other.seconds;
        rate = other.rate;
        checkedAt = other.checkedAt.load();
        changed = other.changed.load();
    }
    return *this;
}

IndexResult RecordingIndex::build(const QString &path, RecordingIndex &out, const std::atomic<bool> *cancel,
                                  const IndexProgress &progress)
{
    IndexResult result;
    try {
        RecordingIndex fresh;
        fresh.filePath = path;
        fresh.fd = FileAccess::openForReading(path, &result.reason);
        if (fresh.fd < 0 || !FileAccess::facts(fresh.fd, fresh.facts, &result.reason))
            return result;
        if (!fresh.facts.regular) {
            result.status = IndexResult::NotRegular;
            result.reason = tr("%1 is %2, not a regular file.").arg(path, FileAccess::kindText(fresh.fd));
            return result;
        }
        if (IndexFile::read(indexFilePath(path), fresh.fd, fresh.facts, fresh.tables)) {
            result.status = IndexResult::Loaded;
            result.fromIdxFile = true;
            if (progress)
                progress(fresh.facts.size, fresh.facts.size);
        } else {
            fresh.tables = IndexTables();
            IndexScanner::scan(fresh.fd, fresh.facts.size, fresh.tables, result, cancel, progress);
            if (result.status != IndexResult::Loaded)
                return result;
            // A file written to while it was read would give offsets of two different files.
            FileAccess::Facts after;
            if (!FileAccess::facts(fresh.fd, after, &result.reason) || after.size != fresh.facts.size
                || after.modifiedNs != fresh.facts.modifiedNs || fresh.tables.dataEnd != fresh.facts.size) {
                result.status = IndexResult::OpenFailed;
                result.reason = tr("The file changed while it was read.");
                return result;
            }
            // A read-only folder only costs the next open a scan.
            if (fresh.facts.size > IndexFileThreshold)
                fresh.writeIndexFile();
        }
        fresh.summarize(result);
        out = std::move(fresh);
    } catch (const std::bad_alloc &) {
        result = IndexResult();
        result.status = IndexResult::OutOfMemory;
        result.reason = tr("There is not enough memory to index the file.");
    }
    return result;
}

QString RecordingIndex::indexFilePath(const QString &recordingPath)
{
    return recordingPath + QLatin1String(".idx");
}

bool RecordingIndex::writeIndexFile() const
{
    return isLoaded() && IndexFile::write(indexFilePath(filePath), facts, tables);
}

void RecordingIndex::summarize(IndexResult &result)
{
    tables.orderRuns();
    qint64 lostTotal = 0;
    QList<int> listed;
    tables.forEachGap([&](int from, int to) {
        for (qint64 n = from; n <= to && listed.size() < MaxListed; ++n)
            listed.append(int(n));
        lostTotal += qint64(to) - from + 1;
        return true;
    });
    lost = int(lostTotal);
    // A run that starts below the frame before it is a datagram that came late.
    for (size_t r = 1; r < tables.runs.size(); ++r) {
        const int before = tables.numberAt(tables.runs[r].firstSlot - 1);
        if (tables.runs[r].firstNumber < before && result.outOfOrderCount++ < MaxListed)
            result.outOfOrderListed.append({tables.runs[r].firstNumber, before});
    }
    summarizeStamps();
    result.lostCount = lost;
    result.lostListed = listed;
    result.duplicateCount = tables.duplicateCount;
    result.duplicatesListed = tables.duplicatesListed;
}

void RecordingIndex::summarizeStamps()
{
    const qsizetype stored = tables.slotCount();
    // The pace's steps first: their mean stands in for anomalies before any step.
    double stepSum = 0;
    qint64 steps = 0;
    double previous = std::nan("");
    for (qsizetype slot = 0; slot < stored; ++slot) {
        const double stamp = tables.stamps.at(slot);
        if (std::isnan(stamp))
            continue;
        const double step = stamp - previous;
        if (!std::isnan(previous) && !StampPace::isAnomaly(step)) {
            stepSum += step;
            ++steps;
        }
        previous = stamp;
    }
    rate = stepSum > 0 ? steps / stepSum : std::nan("");
    StampPace pace(std::isnan(rate) ? 0.0 : 1.0 / rate);
    double firstTime = std::nan("");
    double lastTime = 0;
    for (qsizetype slot = 0; slot < stored; ++slot) {
        const double stamp = tables.stamps.at(slot);
        const int number = tables.numberAt(slot);
        pace = slot == 0 ? pace.begin(number, stamp) : pace.after(number, stamp);
        if (std::isnan(stamp))
            continue;
        if (std::isnan(firstTime))
            firstTime = pace.time();
        lastTime = pace.time();
    }
    seconds = std::isnan(firstTime) ? 0.0 : lastTime - firstTime;
}

QString RecordingIndex::lostFramesText(const IndexResult &result)
{
    return listedText("Lost frame number ", result.lostCount, result.lostListed);
}

QString RecordingIndex::duplicateFramesText(const IndexResult &result)
{
    return listedText("Duplicate frame number ", result.duplicateCount, result.duplicatesListed);
}

QString RecordingIndex::outOfOrderFramesText(const IndexResult &result)
{
    QStringList pairs;
    for (const auto &[frame, before] : result.outOfOrderListed)
        pairs.append(tr("%1 after %2").arg(frame).arg(before));
    return tr("Out-of-order frame numbers: ") + pairs.join(QLatin1String(", "))
        + (result.outOfOrderCount > MaxListed ? QLatin1String("...") : QLatin1String(""));
}

double RecordingIndex::timestamp(int number) const
{
    const qsizetype slot = tables.slotOf(number);
    return slot < 0 ? std::nan("") : tables.stamps.at(slot);
}

bool RecordingIndex::locate(int number, qint64 &offset, qint64 &length) const
{
    if (fd < 0)
        return false;
    const qsizetype slot = tables.slotOf(number);
    if (slot < 0)
        return false;
    offset = tables.offsets.at(slot);
    length = tables.frameEnd(slot) - offset;
    return true;
}

qint64 RecordingIndex::frameLength(int number) const
{
    qint64 offset = 0;
    qint64 length = -1;
    return locate(number, offset, length) ? length : -1;
}

bool RecordingIndex::unchanged(bool now) const
{
    if (changed.load(std::memory_order_relaxed))
        return false;
    const qint64 time = Stopwatch::nanoseconds();
    if (!now && time - checkedAt.load(std::memory_order_relaxed) < ChangeCheckNs)
        return true;
    FileAccess::Facts current;
    if (!FileAccess::facts(fd, current, nullptr) || current.size != facts.size
        || current.modifiedNs != facts.modifiedNs) {
        changed.store(true, std::memory_order_relaxed);
        return false;
    }
    checkedAt.store(time, std::memory_order_relaxed);
    return true;
}

bool RecordingIndex::readFrame(int number, QByteArray &raw, qint64 maxBytes) const
{
    // Asking the file for its size and time on every read would double the
    // system calls of playback at high rates.
    qint64 offset = 0;
    qint64 length = 0;
    if (!locate(number, offset, length) || !unchanged(false))
        return false;
    length = qMin(length, maxBytes);
    raw.resize(length);
    static constexpr char FrameLine[] = "fr ";
    const qsizetype lead = qMin(raw.size(), qsizetype(3));
    if (FileAccess::readAt(fd, raw.data(), length, offset) && std::memcmp(raw.constData(), FrameLine, lead) == 0)
        return true;
    unchanged(true);
    return false;
}

bool RecordingIndex::forEachFrame(int first, int last, const std::function<bool(int, QByteArrayView)> &each) const
{
    // Large enough that the per-read check costs nothing, small enough to stay in cache.
    constexpr qint64 BlockBytes = qint64(1) << 20;
    QByteArray block;
    const qsizetype slotLimit = qMin(qsizetype(last), tables.slotCount() - 1);
    for (qsizetype slot = qMax(first, 0); slot <= slotLimit;) {
        const qint64 start = tables.offsets.at(slot);
        qint64 end = tables.frameEnd(slot);
        qsizetype lastSlot = slot;
        while (lastSlot < slotLimit && tables.frameEnd(lastSlot + 1) - start <= BlockBytes) {
            ++lastSlot;
            end = tables.frameEnd(lastSlot);
        }
        if (!unchanged(true))
            return false;
        block.resize(end - start);
        if (!FileAccess::readAt(fd, block.data(), end - start, start))
            return false;
        for (; slot <= lastSlot; ++slot) {
            const qint64 offset = tables.offsets.at(slot);
            if (!each(tables.numberAt(slot), QByteArrayView(block).sliced(offset - start, tables.frameEnd(slot) - offset)))
                return false;
        }
    }
    return true;
}

qint64 RecordingIndex::forEachSpan(int from, int to, const std::function<void(qint64, qint64)> &span) const
{
    const FrameRange range = FrameRange::of(*this, true, from, to);
    if (range.first < 0)
        return 0;
    const qsizetype firstSlot = range.firstPosition;
    const qsizetype lastSlot = range.lastPosition;
    // The lines before the first frame go with it: a clip of everything is the file itself.
    qint64 start = firstSlot == 0 && tables.hasPreamble ? 0 : tables.offsets.at(firstSlot);
    for (qsizetype slot = firstSlot; slot <= lastSlot; ++slot) {
        const qint64 end = tables.frameEnd(slot);
        if (slot == lastSlot || tables.offsets.at(slot + 1) != end) {
            span(start, end - start);
            if (slot < lastSlot)
                start = tables.offsets.at(slot + 1);
        }
    }
    return lastSlot - firstSlot + 1;
}

QList<QPair<int, int>> RecordingIndex::lostRanges() const
{
    QList<QPair<int, int>> ranges;
    tables.forEachGap([&ranges](int from, int to) {
        ranges.append({from, to});
        return true;
    });
    return ranges;
}

double RecordingIndex::firstTimestamp() const
{
    for (qsizetype slot = 0; slot < tables.slotCount(); ++slot) {
        const double stamp = tables.stamps.at(slot);
        if (!std::isnan(stamp))
            return stamp;
    }
    return std::nan("");
}

QJsonObject RecordingIndex::summary(const QList<Marker> &markers) const
{
    QJsonArray ranges;
    for (const auto &range : lostRanges())
        ranges.append(QJsonArray{range.first, range.second});
    QJsonArray marks;
    for (const Marker &marker : markers)
        marks.append(QJsonObject{{QStringLiteral("frame"), marker.frame}, {QStringLiteral("label"), marker.label}});
    return {{QStringLiteral("frames"), frameCount()},
            {QStringLiteral("first"), first()},
            {QStringLiteral("last"), last()},
            {QStringLiteral("lost"), lostCount()},
            {QStringLiteral("lost_ranges"), ranges},
            {QStringLiteral("duration_s"), std::round(duration() * 1e6) / 1e6},
            {QStringLiteral("rate_hz"), std::isnan(meanRate()) ? 0.0 : std::round(meanRate() * 1e3) / 1e3},
            {QStringLiteral("bytes"), fileSize()},
            {QStringLiteral("markers"), marks}};
}

QString RecordingIndex::failureText(const QString &path, const IndexResult &result)
{
    switch (result.status) {
    case IndexResult::BadFirstNumber:
        return QStringLiteral("%1: the number of the first frame does not read").arg(path);
    case IndexResult::BadFrameNumbers:
        return QStringLiteral("%1: frame %2 follows frame %3").arg(path).arg(result.problemFrame).arg(result.previousFrame);
    case IndexResult::NoFrames:
        return QStringLiteral("%1: no frame lines, not a recording").arg(path);
    default:
        return QStringLiteral("%1: %2").arg(path, result.reason);
    }
}
