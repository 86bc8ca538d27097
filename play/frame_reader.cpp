#include "play/frame_reader.h"

#include "play/recording_lines.h"

#include <QIODevice>

namespace {

constexpr qsizetype InitialLineCapacity = 4096;

void appendSendLine(QByteArray &frame, QByteArrayView line)
{
    const QByteArrayView trimmed = line.trimmed();
    frame.append(trimmed.data(), trimmed.size());
    frame.append("\r\n", 2);
}

// By number, as the loader reads it: the index then never points at a frame
// line that a search does not recognise ("fr 05", "fr \t5"), and searching 12
// never stops at "fr 120".
bool isFrameLineOf(QByteArrayView line, int number)
{
    if (!RecordingLines::isFrameLine(line))
        return false;
    bool ok = false;
    return RecordingLines::frameNumber(line, &ok) == number && ok;
}

}

// Reads one whole line into `line`, whatever its length; `line` keeps its
// capacity so that steady reading allocates nothing. The device is read raw,
// so a line keeps its CR LF end.
bool FrameReader::readLine(QIODevice &file)
{
    line.resize(qMax(line.capacity(), InitialLineCapacity));
    qsizetype used = 0;
    for (;;) {
        const qint64 got = file.readLine(line.data() + used, line.size() - used);
        if (got <= 0)
            break;
        used += got;
        // readLine stops one short of its room when the line goes on.
        if (line.at(used - 1) == '\n' || used < line.size() - 1)
            break;
        line.resize(line.size() * 2);
    }
    line.resize(used);
    return used > 0;
}

int FrameReader::readNextFrame(QIODevice &file, double &timestamp, bool loop, bool &seekPending,
                               int &currentFrame, QByteArray &frame)
{
    // Qt's text mode drops every CR of a line, not only that of a CR LF end: it
    // would alter payload bytes and turn "f\rr 1" into a frame line the loader
    // never saw. Raw lines end in CR LF or LF, and trimming takes care of both.
    if (file.isTextModeEnabled())
        file.setTextModeEnabled(false);
    frame.truncate(0);
    // With nothing held (fresh reader, or a held line dropped by the window)
    // there is no frame line to open the frame with, not even an empty one.
    if (timestamp != -2.0 && !heldFrameLine.isEmpty())
        appendSendLine(frame, heldFrameLine);
    timestamp = -1.0;

    if (seekPending) {
        while (readLine(file)) {
            if (isFrameLineOf(line, currentFrame)) {
                seekPending = false;
                appendSendLine(frame, line);
                return FrameRead;
            }
        }
        return NotFound;
    }

    while (readLine(file)) {
        if (RecordingLines::isTimestampLine(line))
            timestamp = RecordingLines::timestampValue(line);
        if (RecordingLines::isFrameLine(line)) {
            heldFrameLine.truncate(0);
            heldFrameLine.append(line.constData(), line.size());
            currentFrame = RecordingLines::frameNumber(line);
            return FrameRead;
        }
        if (!QByteArrayView(line).trimmed().startsWith('#'))
            appendSendLine(frame, line);
    }
    if (loop) {
        file.seek(0);
        return Rewound;
    }
    return EndOfFile;
}
