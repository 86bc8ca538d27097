#include "play/index_scanner.h"

#include "platform/file_access.h"
#include "play/index_tables.h"
#include "play/recording_lines.h"

#include <QCoreApplication>

#include <charconv>
#include <climits>
#include <cstring>
#include <limits>
#include <memory>

namespace {

constexpr qsizetype BufferSize = qsizetype(256) << 10;
// Room kept after a line start before reading on. A frame or time stamp field
// that runs on past it (only in a damaged file) may read as no number.
constexpr qsizetype Lookahead = qsizetype(4) << 10;
constexpr int MaxListed = 10;

QString tr(const char *text)
{
    return QCoreApplication::translate("Korvel_recorder", text);
}

// A window on the file: bytes [begin, end) of `data` start at file position
// `bufferOffset + begin`. Reading stops at the size the file had when opened.
class ScanBuffer
{
public:
    ScanBuffer(int fd, qint64 size)
        : data(new char[BufferSize]), fd(fd), size(size)
    {
    }

    // Keeps [begin, end) and reads on behind it.
    void refill()
    {
        const qsizetype rest = end - begin;
        if (rest > 0 && begin > 0)
            std::memmove(data.get(), data.get() + begin, size_t(rest));
        bufferOffset += begin;
        begin = 0;
        end = rest;
        const qint64 wanted = qMin(qint64(BufferSize - end), size - readTotal);
        const qint64 got = wanted > 0 ? FileAccess::readSome(fd, data.get() + end, wanted) : 0;
        if (got < 0)
            failed = true;
        if (got > 0) {
            end += got;
            readTotal += got;
        }
        atEnd = got <= 0 || readTotal == size;
    }

    std::unique_ptr<char[]> data;
    qsizetype begin = 0;
    qsizetype end = 0;
    qint64 bufferOffset = 0;
    qint64 readTotal = 0;
    bool atEnd = false;
    bool failed = false;

private:
    int fd;
    qint64 size;
};

// The line from `start` up to the end of its second field, as far as the buffer holds it.
QByteArrayView fieldLine(const char *start, qsizetype available, bool complete)
{
    qsizetype i = 3;
    while (i < available && start[i] != ' ' && start[i] != '\n')
        ++i;
    if (i == available && !complete)
        return QByteArrayView("fr x"); // longer than the lookahead: does not read
    return QByteArrayView(start, i);
}

// The common forms read directly; anything else goes to the general rules.
// Both give the same value for these forms (the double is correctly rounded
// either way), and a recording holds one number per line start that matters.
QByteArrayView plainField(QByteArrayView line)
{
    QByteArrayView field = line.sliced(3);
    if (field.endsWith('\r'))
        field.chop(1);
    return field;
}

int frameNumber(QByteArrayView line, bool *ok)
{
    const QByteArrayView field = plainField(line);
    if (field.isEmpty() || field.size() > 9)
        return RecordingLines::frameNumber(line, ok);
    int value = 0;
    for (char c : field) {
        if (c < '0' || c > '9')
            return RecordingLines::frameNumber(line, ok);
        value = value * 10 + (c - '0');
    }
    *ok = true;
    return value;
}

double timestampValue(QByteArrayView line)
{
    const QByteArrayView field = plainField(line);
    qsizetype i = field.startsWith('-') ? 1 : 0;
    const qsizetype digitsFrom = i;
    while (i < field.size() && field[i] >= '0' && field[i] <= '9')
        ++i;
    bool plain = i > digitsFrom;
    if (plain && i < field.size() && field[i] == '.') {
        const qsizetype fractionFrom = ++i;
        while (i < field.size() && field[i] >= '0' && field[i] <= '9')
            ++i;
        plain = i > fractionFrom;
    }
    double value = 0;
    if (plain && i == field.size()) {
        const auto read = std::from_chars(field.data(), field.data() + field.size(), value);
        if (read.ec == std::errc() && read.ptr == field.data() + field.size())
            return value;
    }
    return RecordingLines::timestampValue(line);
}

enum class State { FirstLine, Preamble, InFrame, InDuplicate };

class Scan
{
public:
    Scan(IndexTables &tables, IndexResult &result)
        : t(tables), result(result)
    {
    }

    // False when the recording is refused.
    bool frameLine(QByteArrayView line, qint64 offset)
    {
        bool ok = false;
        const int number = frameNumber(line, &ok);
        if (state == State::FirstLine || state == State::Preamble) {
            if (!ok) {
                result.status = IndexResult::BadFirstNumber;
                result.reason = tr("The first frame number does not read.");
                return false;
            }
            if (number < 0) {
                result.status = IndexResult::NegativeFirstNumber;
                result.problemFrame = number;
                result.reason = tr("The first frame number %1 is negative.").arg(number);
                return false;
            }
            if (state == State::Preamble)
                t.preambleLength = offset - t.preambleOffset;
            t.first = number;
            t.last = number;
            previous = number;
            t.runs.push_back({number, 0});
            open(offset);
            return true;
        }
        // UDP may deliver a datagram twice or late: a number already seen is
        // dropped, one seen not yet but at most ReorderWindow below the highest
        // is kept where it arrived.
        const qint64 below = qint64(t.last) - number;
        if (ok && below >= 0 && below <= IndexTables::ReorderWindow && seen(int(below)))
            return duplicate(number, offset);
        // Numbers from first to last would need one more than an int counts.
        if (!ok || number < 0 || below > IndexTables::ReorderWindow
            || qint64(qMax(number, t.last)) - qMin(number, t.first) >= INT_MAX)
            return refuse(number);
        if (state == State::InFrame)
            close();
        if (number != previous + 1)
            t.runs.push_back({number, int(t.slotCount())});
        if (below < 0)
            advance(int(-below));
        else
            seenBelow |= quint64(1) << (below - 1);
        t.first = qMin(t.first, number);
        previous = number;
        open(offset);
        return true;
    }

    void timestampLine(QByteArrayView line)
    {
        if (state == State::InFrame)
            stamp = timestampValue(line);
    }

    // The first line ended at `next` and was not a frame line.
    void firstLineEnded(qint64 next)
    {
        if (state == State::FirstLine) {
            state = State::Preamble;
            t.hasPreamble = true;
            t.preambleOffset = next;
        }
    }

    void finish(qint64 dataEnd)
    {
        t.dataEnd = dataEnd;
        if (state == State::InFrame)
            close();
        if (state == State::FirstLine || state == State::Preamble) {
            result.status = IndexResult::NoFrames;
            result.reason = tr("The file holds no frames.");
        } else {
            result.status = IndexResult::Loaded;
        }
    }

private:
    // Whether the number `below` under the highest was stored; 0 is the highest itself.
    bool seen(int below) const { return below == 0 || (seenBelow >> (below - 1) & 1) != 0; }

    // The highest number rises by `by`; the old highest is seen.
    void advance(int by)
    {
        static_assert(IndexTables::ReorderWindow == 64, "one bit of seenBelow a number");
        seenBelow = by >= 64 ? 0 : seenBelow << by;
        if (by <= 64)
            seenBelow |= quint64(1) << (by - 1);
        t.last += by;
    }

    bool duplicate(int number, qint64 offset)
    {
        // The frame before it ends where the repeat begins.
        if (state == State::InFrame) {
            close();
            t.cutEnds.push_back({t.slotCount() - 1, offset});
        }
        if (t.duplicatesListed.size() < MaxListed)
            t.duplicatesListed.append(number);
        ++t.duplicateCount;
        state = State::InDuplicate;
        return true;
    }

    bool refuse(int problem)
    {
        result.status = IndexResult::BadFrameNumbers;
        result.problemFrame = problem;
        result.previousFrame = previous;
        result.reason = tr("Frame %1 follows frame %2.").arg(problem).arg(previous);
        return false;
    }

    void open(qint64 offset)
    {
        t.offsets.append(offset);
        stamp = std::numeric_limits<double>::quiet_NaN();
        state = State::InFrame;
    }

    void close() { t.stamps.append(stamp); }

    IndexTables &t;
    IndexResult &result;
    State state = State::FirstLine;
    double stamp = 0;
    int previous = 0;       // the number of the last frame kept
    quint64 seenBelow = 0;  // bit i: the number i + 1 below the highest is stored
};

}

namespace IndexScanner {

void scan(int fd, qint64 size, IndexTables &tables, IndexResult &result, const std::atomic<bool> *cancel,
          const IndexProgress &progress)
{
    ScanBuffer b(fd, size);
    Scan scan(tables, result);
    int reportedPercent = -1;
    bool firstLine = true;
    // Checked once per read: a line start near the end of the buffer reads on first.
    const auto readOn = [&]() {
        b.refill();
        if (b.failed) {
            result.status = IndexResult::OpenFailed;
            result.reason = tr("The file cannot be read.");
            return false;
        }
        if (cancel && cancel->load(std::memory_order_relaxed)) {
            result.status = IndexResult::Cancelled;
            return false;
        }
        const int percent = size > 0 ? int(b.readTotal * 100 / size) : 100;
        if (progress && percent != reportedPercent) {
            reportedPercent = percent;
            progress(b.readTotal, size);
        }
        return true;
    };

    for (;;) {
        if (b.end - b.begin < Lookahead && !b.atEnd && !readOn())
            return;
        if (b.begin == b.end)
            break;
        const char *data = b.data.get();
        const char *end = data + b.end;
        // Line starts before `safe` have the lookahead in the buffer.
        const char *safe = b.atEnd ? end : end - Lookahead;
        const char *start = data + b.begin;
        const char *lf;
        for (;;) {
            const qsizetype available = end - start;
            if (available >= 3 && start[2] == ' ') {
                if (start[0] == 'f' && start[1] == 'r') {
                    if (!scan.frameLine(fieldLine(start, available, b.atEnd), b.bufferOffset + (start - data)))
                        return;
                } else if (start[0] == 't' && start[1] == 's') {
                    scan.timestampLine(fieldLine(start, available, b.atEnd));
                }
            }
            lf = static_cast<const char *>(std::memchr(start, '\n', size_t(available)));
            if (firstLine && lf) {
                firstLine = false;
                scan.firstLineEnded(b.bufferOffset + (lf + 1 - data));
            }
            if (!lf || lf + 1 >= safe)
                break;
            start = lf + 1;
        }
        if (lf) {
            b.begin = lf + 1 - data;
            continue;
        }
        // A line that goes on past what the buffer holds.
        do {
            b.begin = b.end;
            if (b.atEnd)
                break;
            if (!readOn())
                return;
            lf = static_cast<const char *>(std::memchr(b.data.get(), '\n', size_t(b.end)));
        } while (!lf);
        if (lf)
            b.begin = lf + 1 - b.data.get();
        if (firstLine) {
            firstLine = false;
            scan.firstLineEnded(b.bufferOffset + b.begin);
        }
    }
    scan.finish(b.readTotal);
}

}
