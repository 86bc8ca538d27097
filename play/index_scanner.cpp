#include "play/index_scanner.h"

#include "net/file_access.h"
#include "play/index_tables.h"
#include "play/recording_lines.h"

#include <QCoreApplication>

#include <climits>
#include <cmath>
#include <cstring>
#include <memory>

namespace {

constexpr qsizetype BufferSize = qsizetype(4) << 20;
// Room kept after a line start before reading on. A frame or time stamp field
// longer than this (only in a damaged file) reads as no number.
constexpr qsizetype Lookahead = qsizetype(64) << 10;
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
        const int number = RecordingLines::frameNumber(line, &ok);
        if (state == State::FirstLine) {
            if (!ok) {
                result.status = IndexResult::BadFirstNumber;
                result.reason = tr("The first frame number does not read.");
                return false;
            }
            if (number < 0)
                return refuse(number, number);
            t.first = number;
            t.last = number;
            t.runs.push_back({number, 0});
            open(offset);
            return true;
        }
        // A datagram delivered twice in a row is recorded twice: keep the first.
        if (ok && number == t.last && state != State::Preamble) {
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
        // Numbers from first to INT_MAX would need one more than an int counts.
        if (number <= t.last || qint64(number) - t.first >= INT_MAX)
            return refuse(number, t.last);
        if (state == State::InFrame)
            close();
        if (state == State::Preamble)
            t.preambleLength = offset - t.preambleOffset;
        if (t.runs.empty() || number != t.last + 1)
            t.runs.push_back({number, int(t.slotCount())});
        t.last = number;
        open(offset);
        return true;
    }

    void timestampLine(QByteArrayView line)
    {
        if (state == State::InFrame)
            stamp = RecordingLines::timestampValue(line);
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
    bool refuse(int problem, int previous)
    {
        result.status = IndexResult::BadFrameNumbers;
        result.problemFrame = problem;
        result.previousFrame = previous;
        result.reason = problem < 0 && problem == previous
            ? tr("The first frame number %1 is negative.").arg(problem)
            : tr("Frame %1 follows frame %2.").arg(problem).arg(previous);
        return false;
    }

    void open(qint64 offset)
    {
        t.offsets.append(offset);
        stamp = std::nan("");
        state = State::InFrame;
    }

    void close() { t.stamps.append(stamp); }

    IndexTables &t;
    IndexResult &result;
    State state = State::FirstLine;
    double stamp = 0;
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
        const char *start = b.data.get() + b.begin;
        const qsizetype available = b.end - b.begin;
        const qint64 offset = b.bufferOffset + b.begin;
        if (available >= 3 && start[2] == ' ') {
            if (start[0] == 'f' && start[1] == 'r') {
                if (!scan.frameLine(fieldLine(start, available, b.atEnd), offset))
                    return;
            } else if (start[0] == 't' && start[1] == 's') {
                scan.timestampLine(fieldLine(start, available, b.atEnd));
            }
        }
        // Skip to the next line start; a line may go on past what the buffer holds.
        const char *lf = static_cast<const char *>(std::memchr(start, '\n', size_t(available)));
        while (!lf) {
            b.begin = b.end;
            if (b.atEnd)
                break;
            if (!readOn())
                return;
            lf = static_cast<const char *>(std::memchr(b.data.get(), '\n', size_t(b.end)));
        }
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
