#ifndef RECORDING_LINES_H
#define RECORDING_LINES_H

#include <QByteArrayView>
#include <QtNumeric>

// How the loader and the frame reader recognise the lines of a recording.
namespace RecordingLines {

inline bool isFrameLine(QByteArrayView line)
{
    return line.startsWith("fr ");
}

inline bool isTimestampLine(QByteArrayView line)
{
    return line.startsWith("ts ");
}

// The second field of a line split at single spaces: what follows the
// three-character prefix up to the next space. Two spaces after the prefix
// give an empty field.
inline QByteArrayView secondField(QByteArrayView line)
{
    const QByteArrayView rest = line.sliced(3);
    const qsizetype space = rest.indexOf(' ');
    return space < 0 ? rest : rest.first(space);
}

// White space around the number, the line end included, is ignored.
inline int frameNumber(QByteArrayView frameLine, bool *ok = nullptr)
{
    return secondField(frameLine).toInt(ok);
}

// NaN when the field does not read as a finite number: the frame has no stamp.
inline double timestampValue(QByteArrayView timestampLine)
{
    // Blanks alone read as 0 to QByteArray: they are no number either.
    const QByteArrayView field = secondField(timestampLine).trimmed();
    bool ok = false;
    const double value = field.toDouble(&ok);
    return ok && !field.isEmpty() && qIsFinite(value) ? value : qQNaN();
}

}

#endif
