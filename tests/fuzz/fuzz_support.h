#ifndef FUZZ_SUPPORT_H
#define FUZZ_SUPPORT_H

#include <QByteArray>
#include <QFile>
#include <QList>
#include <QString>
#include <QTemporaryDir>

#include <cstdint>
#include <cstdio>
#include <cstdlib>

// A broken invariant must abort so that libFuzzer keeps the input as a finding.
#define FUZZ_CHECK(condition)                                                                        \
    do {                                                                                             \
        if (!(condition)) {                                                                          \
            std::fprintf(stderr, "broken invariant: %s (%s:%d)\n", #condition, __FILE__, __LINE__); \
            std::abort();                                                                            \
        }                                                                                            \
    } while (0)

namespace FuzzSupport {

// One directory per process: creating one per input would dominate the run time.
inline const QTemporaryDir &scratchDir()
{
    static const QTemporaryDir dir;
    FUZZ_CHECK(dir.isValid());
    return dir;
}

inline void writeFile(const QString &path, const uint8_t *data, size_t size)
{
    QFile file(path);
    FUZZ_CHECK(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    FUZZ_CHECK(file.write(reinterpret_cast<const char *>(data), qint64(size)) == qint64(size));
}

// The input as a recording file, always at the same path.
inline QString writeRecording(const uint8_t *data, size_t size)
{
    const QString path = scratchDir().filePath(QStringLiteral("input.wly"));
    writeFile(path, data, size);
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
    bool isTimestampLine() const { return text.startsWith("ts "); }
    // The field after the three-character prefix, up to the next blank.
    QByteArray secondField() const
    {
        const qsizetype space = text.indexOf(' ', 3);
        return text.mid(3, space < 0 ? -1 : space - 3);
    }
    // The form the loader keeps in the frame index.
    QByteArray indexForm() const { return hasLineEnd ? text + '\n' : text; }
    // The form playback sends; comment lines are left out.
    QByteArray sendForm() const
    {
        const QByteArray trimmed = text.trimmed();
        return !isFrameLine() && trimmed.startsWith('#') ? QByteArray() : trimmed + "\r\n";
    }
};

inline QList<Line> splitLines(const QByteArray &bytes)
{
    QList<Line> lines;
    qint64 start = 0;
    while (start < bytes.size()) {
        const qsizetype lf = bytes.indexOf('\n', start);
        const qsizetype end = lf < 0 ? bytes.size() : lf;
        QByteArray text = bytes.mid(start, end - start);
        if (lf >= 0 && text.endsWith('\r'))
            text.chop(1);
        lines.append({text, lf >= 0, start});
        start = end + 1;
    }
    return lines;
}

// Lines grouped into frames: the preamble first (possibly empty), then one group per frame line.
inline QList<QList<Line>> splitFrames(const QList<Line> &lines)
{
    QList<QList<Line>> frames(1);
    for (const Line &line : lines) {
        if (line.isFrameLine())
            frames.append(QList<Line>());
        frames.last().append(line);
    }
    return frames;
}

template<typename Form>
QByteArray joined(const QList<Line> &lines, qsizetype from, Form form)
{
    QByteArray text;
    for (qsizetype i = from; i < lines.size(); ++i)
        text += (lines[i].*form)();
    return text;
}

}

#endif
