#ifndef FRAME_READER_H
#define FRAME_READER_H

#include <QByteArray>

class QIODevice;

// Reads a recording one frame at a time, as playback sends it: the frame line
// and every further line but comments, each trimmed and ended with CR LF,
// Latin-1 bytes. The frame line that ends a frame is held for the next call.
// The device is read raw whatever its open mode (text mode is switched off).
class FrameReader
{
public:
    enum Result {
        FrameRead = 0,    // normal: a frame was read; seek: the frame line was found
        EndOfFile = -1,   // normal, no loop: the last frame of the file
        Rewound = -2,     // normal, loop: the last frame; the file is back at 0
        NotFound = -3     // seek: the frame line is not in the rest of the file
    };

    // `timestamp` in: -2.0 when the reader stands at the start of the file with
    // no frame line pending, anything else to open the frame with the held line.
    // Out: the frame's "ts " value, -1.0 when it had none (always in seek mode).
    // In seek mode (`seekPending`) searches the frame line of `currentFrame` and
    // clears `seekPending` when found; otherwise sets `currentFrame` to the number
    // of the frame line it stopped at. The frame goes to `frame`, whose storage is reused.
    int readNextFrame(QIODevice &file, double &timestamp, bool loop, bool &seekPending,
                      int &currentFrame, QByteArray &frame);

private:
    bool readLine(QIODevice &file);

    QByteArray heldFrameLine;
    QByteArray line;
};

#endif
