// Opens "Recording info" for generated recordings of a million frames at 1 kHz
// with irregular stamps, and times the statistics and the dialog (built and
// painted offscreen) beside indexing the same file. One recording loses a frame
// every 997, the other every second frame: the most number runs there can be.
// Usage: bench_recording_info [PICTURE.png]  (also saves the first one's charts there)

#include "gui/dialogs/recording_info.h"
#include "play/recording_index.h"
#include "play/recording_stats.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>

#include <cstdio>

namespace {

constexpr int FrameCount = 1000000;

bool writeRecording(const QString &path, int lostEvery)
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return false;
    QByteArray batch;
    batch.reserve(1 << 20);
    char line[128];
    unsigned seed = 12345;
    auto next = [&seed] { return (seed = seed * 1103515245u + 12345u) >> 8; };
    int written = 0;
    for (int n = 1; written < FrameCount; ++n) {
        if (n % lostEvery == 0)
            continue;
        // 1 ms apart with up to ±0.2 ms of jitter.
        const double stamp = n / 1000.0 + (int(next() % 401) - 200) * 1e-6;
        const int length = std::snprintf(line, sizeof line, "fr %d\r\nts %.6f\r\n6d 1 [0 1.000][%u.%03u 0 0]\r\n",
                                         n, stamp, next() % 2000, next() % 1000);
        batch.append(line, length);
        ++written;
        if (batch.size() > (1 << 20) - 128) {
            if (file.write(batch) != batch.size())
                return false;
            batch.truncate(0);
        }
    }
    return file.write(batch) == batch.size();
}

}

int main(int argc, char *argv[])
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    QTemporaryDir dir;
    for (const int lostEvery : {997, 2}) {
        const QString path = dir.filePath(QStringLiteral("lost-every-%1.wly").arg(lostEvery));
        if (!dir.isValid() || !writeRecording(path, lostEvery)) {
            std::fprintf(stderr, "cannot write %s\n", qPrintable(path));
            return 1;
        }

        QElapsedTimer timer;
        timer.start();
        RecordingIndex index;
        if (RecordingIndex::build(path, index).status != IndexResult::Loaded) {
            std::fprintf(stderr, "cannot index %s\n", qPrintable(path));
            return 1;
        }
        const double indexMs = timer.nsecsElapsed() / 1e6;

        timer.restart();
        const RecordingStats stats = RecordingStats::of(index);
        const double statsMs = timer.nsecsElapsed() / 1e6;

        timer.restart();
        RecordingInfo info(index);
        info.show();
        info.grab(); // paints both charts
        const double dialogMs = timer.nsecsElapsed() / 1e6;
        std::printf("recording: %d frames, %lld bytes, %lld lost, one every %d\n", stats.frames,
                    static_cast<long long>(stats.fileSize), static_cast<long long>(stats.lostFrames), lostEvery);
        std::printf("  reference: indexing the file          %8.1f ms\n", indexMs);
        std::printf("  statistics (%4lld rate points)        %8.1f ms\n", static_cast<long long>(stats.rate.size()),
                    statsMs);
        std::printf("  dialog: statistics, build and paint   %8.1f ms  (goal < 1000 ms)\n", dialogMs);
        if (argc > 1 && lostEvery == 997 && !info.savePicture(QString::fromLocal8Bit(argv[1])))
            std::fprintf(stderr, "cannot write %s\n", argv[1]);
        QFile::remove(path);
    }
    return 0;
}
