#include "play/pass_numbering.h"

#include "play/recording_lines.h"

#include <cstdio>

void PassNumbering::setOffsets(qint64 frames, double seconds)
{
    frameOffset = frames;
    stampOffset = seconds;
}

QByteArrayView PassNumbering::apply(QByteArrayView datagram)
{
    buffer.truncate(0);
    bool frameDone = false;
    bool stampDone = false;
    for (qsizetype start = 0; start < datagram.size();) {
        qsizetype end = datagram.indexOf('\n', start);
        end = end < 0 ? datagram.size() : end + 1;
        const QByteArrayView line = datagram.sliced(start, end - start);
        if (!frameDone && RecordingLines::isFrameLine(line)) {
            frameDone = true;
            appendShifted(line);
        } else if (!stampDone && RecordingLines::isTimestampLine(line)) {
            stampDone = true;
            appendShifted(line);
        } else {
            buffer.append(line.data(), line.size());
        }
        start = end;
    }
    return buffer;
}

void PassNumbering::appendShifted(QByteArrayView line)
{
    QByteArrayView field = RecordingLines::secondField(line);
    while (!field.isEmpty() && (field.back() == '\r' || field.back() == '\n'))
        field.chop(1);
    const qsizetype fieldEnd = 3 + field.size();
    char text[64];
    int length = -1;
    bool ok = false;
    if (RecordingLines::isFrameLine(line)) {
        const qint64 number = field.toLongLong(&ok);
        if (ok)
            length = std::snprintf(text, sizeof text, "%lld", static_cast<long long>(number + frameOffset));
    } else {
        const double value = field.toDouble(&ok);
        const qsizetype dot = field.indexOf('.');
        if (ok && (field.contains('e') || field.contains('E')))
            length = std::snprintf(text, sizeof text, "%.17g", value + stampOffset);
        else if (ok)
            length = std::snprintf(text, sizeof text, "%.*f", dot < 0 ? 0 : int(field.size() - dot - 1),
                                   value + stampOffset);
    }
    if (length < 0 || length >= int(sizeof text)) {
        buffer.append(line.data(), line.size());
        return;
    }
    buffer.append(line.data(), 3);
    buffer.append(text, length);
    buffer.append(line.data() + fieldEnd, line.size() - fieldEnd);
}
