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
    bool ok = false;
    const double value = secondField(timestampLine).toDouble(&ok);
    return ok && qIsFinite(value) ? value : qQNaN();
}

}

#endif
