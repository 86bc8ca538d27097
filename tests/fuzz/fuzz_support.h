#ifndef FUZZ_SUPPORT_H
#define FUZZ_SUPPORT_H

#include <QByteArray>
#include <QFile>
#include <QList>
#include <QTemporaryDir>

#include <cstdint>
#include <cstdio>
#include <cstdlib>

// A broken invariant must abort so that libFuzzer keeps the input as a finding.
#define FUZZ_CHECK(cond) \
    ((cond) ? void() : (std::fprintf(stderr, "broken invariant: %s (line %d)\n", #cond, __LINE__), std::abort()))

namespace FuzzSupport {

// One directory per process: creating one per input would dominate the run time.
inline const QTemporaryDir &scratchDir()
{
    static const QTemporaryDir dir;
    FUZZ_CHECK(dir.isValid());
    return dir;
}

inline QString writeFile(const QString &path, const uint8_t *data, size_t size)
{
    QFile file(path);
    FUZZ_CHECK(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    FUZZ_CHECK(file.write(reinterpret_cast<const char *>(data), qint64(size)) == qint64(size));
    return path;
}

// A line of a recording as both readers see it, worked out independently of them:
// the text without its LF (and without the CR of a CR LF end), whether an LF
// ended it, and the file position of its first byte.
struct Line {
    QByteArray text;
    bool hasLineEnd;
    qint64 offset;

    bool isFrameLine() const { return text.startsWith("fr "); }
    // The field after the three-character prefix, up to the next blank.
    QByteArray secondField() const { return text.mid(3).split(' ').constFirst(); }
    // The form the loader keeps in the frame index.
    QByteArray indexForm() const { return hasLineEnd ? text + '\n' : text; }
    // The form playback sends; comment lines are left out.
    QByteArray sendForm() const
    {
        return !isFrameLine() && text.trimmed().startsWith('#') ? QByteArray() : text.trimmed() + "\r\n";
    }
};
using Frame = QList<Line>;

// The input's lines grouped into frames: the preamble first (possibly empty), then one per frame line.
inline QList<Frame> splitFrames(const QByteArray &bytes)
{
    QList<Frame> frames(1);
    for (qsizetype start = 0, lf = 0; start < bytes.size(); start = lf < 0 ? bytes.size() : lf + 1) {
        lf = bytes.indexOf('\n', start);
        // Only a CR right before the LF belongs to the line end.
        const qsizetype end = lf < 0 ? bytes.size() : lf - (lf > start && bytes.at(lf - 1) == '\r');
        const Line line{bytes.mid(start, end - start), lf >= 0, start};
        if (line.isFrameLine())
            frames.append(Frame());
        frames.last().append(line);
    }
    return frames;
}

inline QByteArray joined(const Frame &frame, qsizetype from, QByteArray (Line::*form)() const)
{
    QByteArray text;
    for (qsizetype i = from; i < frame.size(); ++i)
        text += (frame[i].*form)();
    return text;
}

}

#endif
