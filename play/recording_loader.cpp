#include "play/recording_loader.h"

#include "play/recording_lines.h"

#include <QCoreApplication>
#include <QFile>

#include <climits>
#include <cstring>

namespace {

constexpr qsizetype ChunkSize = 1 << 20;
constexpr int MaxLostListed = 10;

// Splits a file into lines read in large chunks. A CR LF end is handed out as
// LF, as text mode would; the file itself is read raw so that offsets are byte
// positions usable for seeking.
class LineScanner
{
public:
    explicit LineScanner(QFile &file)
        : file(file)
    {
        buffer.resize(ChunkSize);
    }

    // The next line and the file position of its first byte; false at the end.
    bool next(QByteArrayView &line, qint64 &offset)
    {
        for (;;) {
            char *start = buffer.data() + begin;
            const qsizetype available = end - begin;
            if (char *lf = static_cast<char *>(std::memchr(start, '\n', size_t(available)))) {
                qsizetype length = lf - start + 1;
                if (length >= 2 && lf[-1] == '\r') {
                    lf[-1] = '\n';
                    --length;
                }
                offset = take(start, lf - start + 1);
                line = QByteArrayView(start, length);
                return true;
            }
            if (atEnd) {
                if (available == 0)
                    return false;
                offset = take(start, available);
                line = QByteArrayView(start, available);
                return true;
            }
            refill();
        }
    }

private:
    // Consumes `consumed` bytes at `start` and gives their file position.
    qint64 take(const char *start, qsizetype consumed)
    {
        begin += consumed;
        return bufferOffset + (start - buffer.constData());
    }

    void refill()
    {
        const qsizetype rest = end - begin;
        if (rest > 0 && begin > 0)
            std::memmove(buffer.data(), buffer.data() + begin, size_t(rest));
        bufferOffset += begin;
        begin = 0;
        end = rest;
        if (end == buffer.size())
            buffer.resize(buffer.size() * 2); // a line longer than the buffer
        const qint64 got = file.read(buffer.data() + end, buffer.size() - end);
        if (got <= 0)
            atEnd = true;
        else
            end += got;
    }

    QFile &file;
    QByteArray buffer;
    qsizetype begin = 0;
    qsizetype end = 0;
    qint64 bufferOffset = 0; // file position of buffer[0]
    bool atEnd = false;
};

RecordingLoader::Result badFrameNumbers(RecordingLoader::Result result)
{
    result.status = RecordingLoader::BadFrameNumbers;
    result.first = 0;
    result.last = 0;
    return result;
}

}

namespace RecordingLoader {

Result load(const QString &path, FrameIndex &index)
{
    Result result;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly | QIODevice::Unbuffered))
        return result;

    LineScanner lines(file);
    QByteArrayView line;
    qint64 offset = 0;
    const bool hasFirstLine = lines.next(line, offset);
    index.clear();

    QByteArray pending;
    qint64 pendingOffset = -1;
    if (hasFirstLine && RecordingLines::isFrameLine(line)) {
        bool ok = false;
        const int first = RecordingLines::frameNumber(line, &ok);
        if (!ok) {
            result.status = BadFirstNumber;
            return result;
        }
        // Negative numbers are refused everywhere else; the first is no exception.
        if (first < 0)
            return badFrameNumbers(result);
        result.first = first;
        pending.append(line.data(), line.size());
        pendingOffset = offset;
    }
    // Text never outgrows the file: CR LF only shrinks and the first line may be dropped.
    index.reserve(file.size());

    qint64 expected = result.first;
    qint64 lostCount = 0;
    bool sawFrameLine = false;
    while (lines.next(line, offset)) {
        if (!RecordingLines::isFrameLine(line)) {
            pending.append(line.data(), line.size());
            continue;
        }
        index.append(pending.constData(), pending.size(), pendingOffset);
        pending.truncate(0);
        pending.append(line.data(), line.size());
        pendingOffset = offset;
        sawFrameLine = true;

        const int number = RecordingLines::frameNumber(line);
        ++expected;
        // Since first >= 0, expected > 0 and this also refuses negative numbers.
        // Numbers from 0 to INT_MAX would need one entry more than an int counts.
        if (number < expected || qint64(number) - result.first >= INT_MAX) {
            index.squeeze();
            return badFrameNumbers(result);
        }
        if (number > expected) {
            const qint64 gap = number - expected;
            for (qint64 n = expected; n < number && result.lostListed.size() < MaxLostListed; ++n)
                result.lostListed.append(int(n));
            index.appendLost(int(gap));
            lostCount += gap;
            expected = number;
        }
        result.last = number;
    }
    index.append(pending.constData(), pending.size(), pendingOffset);
    index.squeeze();
    if (!sawFrameLine)
        result.last = result.first;
    result.lostCount = int(lostCount);
    result.status = Loaded;
    return result;
}

QString lostFramesText(const Result &result)
{
    QString text = QCoreApplication::translate("Korvel_recorder", "Lost frame number ")
        + QString::number(result.lostCount) + QLatin1String(": ");
    for (int number : result.lostListed)
        text += QLatin1Char(' ') + QString::number(number);
    if (result.lostCount > MaxLostListed)
        text += QLatin1String("...");
    return text;
}

}
