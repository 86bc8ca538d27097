// Loads a generated recording of a million frames and times seeking in it.
// Prints wall times and the process memory against the file size.

#include "play/frame_index.h"
#include "play/frame_reader.h"
#include "play/recording_loader.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>

#include <cstdio>

namespace {

constexpr int FrameCount = 1000000;

// A tracking-like recording: frame line, timestamp and three body lines, CR LF.
bool writeRecording(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return false;
    QByteArray batch;
    batch.reserve(1 << 20);
    char line[256];
    unsigned seed = 12345;
    auto next = [&seed] { return (seed = seed * 1103515245u + 12345u) >> 8; };
    for (int n = 1; n <= FrameCount; ++n) {
        const int length = std::snprintf(
            line, sizeof line,
            "fr %d\r\nts %.6f\r\n6dcal 2\r\n6d 1 [0 1.000][%u.%03u -%u.%03u %u.%03u]\r\n"
            "3d 2 [%u.%03u %u.%03u %u.%03u] [%u.%03u -%u.%03u]\r\n"
            "6di 0 [%u.%03u %u]\r\n",
            n, n / 60.0, next() % 2000, next() % 1000, next() % 2000, next() % 1000,
            next() % 2000, next() % 1000, next() % 2000, next() % 1000, next() % 2000,
            next() % 1000, next() % 2000, next() % 1000, next() % 2000, next() % 1000,
            next() % 2000, next() % 1000, next() % 2000, next() % 1000, next() % 100000);
        batch.append(line, length);
        if (batch.size() > (1 << 20) - 256) {
            if (file.write(batch) != batch.size())
                return false;
            batch.truncate(0);
        }
    }
    return file.write(batch) == batch.size();
}

// VmRSS or VmHWM of this process in kB.
long statusKb(const char *key)
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly | QIODevice::Text))
        return -1;
    // /proc files report size 0, so read them whole rather than by atEnd().
    const QByteArray prefix = QByteArray(key) + ':';
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (line.startsWith(prefix))
            return line.mid(prefix.size()).trimmed().split(' ').value(0).toLong();
    }
    return -1;
}

struct SeekResult {
    double ms = 0;
    QByteArray frame;
    int nextFrame = 0;
};

// What resuming after the slider does: search the frame line, then one normal read.
SeekResult seekAndResume(QFile &file, qint64 from, int number)
{
    FrameReader reader;
    QByteArray frame;
    double timestamp = -1.0;
    bool seekPending = true;
    int currentFrame = number;
    QElapsedTimer timer;
    timer.start();
    file.seek(from);
    const int found = reader.readNextFrame(file, timestamp, false, seekPending, currentFrame, frame);
    if (found == FrameReader::FrameRead)
        reader.readNextFrame(file, timestamp, false, seekPending, currentFrame, frame);
    SeekResult result;
    result.ms = timer.nsecsElapsed() / 1e6;
    result.frame = frame;
    result.nextFrame = found == FrameReader::FrameRead ? currentFrame : -1;
    return result;
}

}

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("bench.wly"));
    if (!dir.isValid() || !writeRecording(path)) {
        std::printf("cannot write the recording\n");
        return 1;
    }
    const qint64 fileBytes = QFile(path).size();
    const double fileKb = fileBytes / 1024.0;
    std::printf("recording: %d frames, %.1f MiB (%.0f bytes per frame)\n", FrameCount,
                fileKb / 1024, double(fileBytes) / FrameCount);
    std::printf("RSS before loading: %.1f MiB\n", statusKb("VmRSS") / 1024.0);

    FrameIndex index;
    RecordingLoader::Result loaded;
    for (int run = 1; run <= 3; ++run) {
        QElapsedTimer timer;
        timer.start();
        loaded = RecordingLoader::load(path, index);
        const double ms = timer.nsecsElapsed() / 1e6;
        std::printf("load %d: %.0f ms, status %d, frames %d..%d, entries %d\n", run, ms,
                    int(loaded.status), loaded.first, loaded.last, index.count());
    }
    const long rss = statusKb("VmRSS");
    const long hwm = statusKb("VmHWM");
    std::printf("after loading: VmRSS %.1f MiB = %.2f x file, VmHWM %.1f MiB = %.2f x file\n",
                rss / 1024.0, rss / fileKb, hwm / 1024.0, hwm / fileKb);
    if (loaded.status != RecordingLoader::Loaded)
        return 1;

    QFile file(path);
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text))
        return 1;
    std::printf("seek and resume (text-mode QFile):\n");
    for (int percent : {1, 50, 99}) {
        const int k = int(qint64(index.count()) * percent / 100);
        const int number = loaded.first + k;
        const SeekResult jumped = seekAndResume(file, index.fileOffset(k), number);
        const SeekResult scanned = seekAndResume(file, 0, number);
        std::printf("  frame %7d (%2d%%): from index offset %.3f ms, scan from 0 %.1f ms, %s\n",
                    number, percent, jumped.ms, scanned.ms,
                    jumped.frame == scanned.frame && jumped.nextFrame == scanned.nextFrame
                            && jumped.nextFrame == number + 1
                        ? "same frame"
                        : "DIFFERENT");
    }

    FrameReader reader;
    QByteArray frame;
    double timestamp = -2.0;
    bool seekPending = false;
    int currentFrame = 0;
    int frames = 0;
    file.seek(0);
    QElapsedTimer timer;
    timer.start();
    while (reader.readNextFrame(file, timestamp, false, seekPending, currentFrame, frame)
           == FrameReader::FrameRead) {
        timestamp = -1.0;
        ++frames;
    }
    const double passMs = timer.nsecsElapsed() / 1e6;
    std::printf("playback read of the whole file: %d frames in %.0f ms (%.2f us per frame)\n",
                frames, passMs, passMs * 1000 / frames);
    return 0;
}
