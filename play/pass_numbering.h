#ifndef PASS_NUMBERING_H
#define PASS_NUMBERING_H

#include <QByteArray>
#include <QByteArrayView>

// Continues frame numbers and stamps across the passes of a loop, for receivers
// that drop frames whose numbers go back: the "fr" number and the first "ts"
// value of a datagram are shifted, every other byte stays as it is.
class PassNumbering
{
public:
    void setOffsets(qint64 frames, double seconds);
    bool isShifting() const { return frameOffset != 0 || stampOffset != 0.0; }

    // The datagram with both values shifted, in storage reused from call to call;
    // a value that does not read as a number stays as it is. The stamp keeps its
    // count of decimals.
    QByteArrayView apply(QByteArrayView datagram);

private:
    void appendShifted(QByteArrayView line);

    qint64 frameOffset = 0;
    double stampOffset = 0.0;
    QByteArray buffer;
};

#endif
