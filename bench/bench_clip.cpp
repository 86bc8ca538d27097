// Clips and markers in the core: a clip of a recording of about 1 GB (indexed
// beforehand) written by the clip writer beside `cp` of the same bytes in the
// same run; then a recording at 10 kHz with a marker added every 10 ms on the
// main thread, checking that nothing is lost and timing the marker writes.
// Usage: bench_clip [MEGABYTES]  (default 1024)

#include "play/clip_writer.h"
#include "play/marker_book.h"
#include "play/recording_index.h"
#include "record/recording_session.h"
#include "platform/stopwatch.h"
#include "support/fixture.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QTimer>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <thread>
#include <vector>

namespace {

bool writeRecording(const QString &path, qint64 bytes, int *frames)
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return false;
    QByteArray text;
    int n = 0;
    for (qint64 written = 0; written < bytes;) {
        ++n;
        text += "fr " + QByteArray::number(n) + "\r\nts " + QByteArray::number(1000.0 + n * 0.0002, 'f', 6)
                + "\r\n6d 1 0.000 -210.071 -967.559 1679.862 0.332723 -0.756954 0.354574\r\n";
        if (text.size() > (4 << 20)) {
            if (file.write(text) != text.size())
                return false;
            written += text.size();
            text.clear();
        }
    }
    *frames = n;
    return file.write(text) == text.size() && file.flush();
}

double seconds(const QElapsedTimer &timer)
{
    return double(timer.nsecsElapsed()) / 1e9;
}

double copyWithCp(const QString &from, const QString &to)
{
    QFile::remove(to);
    QElapsedTimer timer;
    timer.start();
    // --reflink=never: the clip writer's figure is for bytes really copied too where the file system could share them.
    QProcess::execute(QStringLiteral("cp"), {QStringLiteral("--reflink=never"), from, to});
    QProcess::execute(QStringLiteral("sync"), {to});
    return seconds(timer);
}

void clipBeside(const QString &dir, qint64 megabytes)
{
    const QString source = dir + QStringLiteral("/source.wly");
    int frames = 0;
    if (!writeRecording(source, megabytes << 20, &frames)) {
        std::printf("!! the recording could not be written\n");
        return;
    }
    RecordingIndex index;
    QElapsedTimer timer;
    timer.start();
    if (RecordingIndex::build(source, index).status != IndexResult::Loaded) {
        std::printf("!! the recording could not be indexed\n");
        return;
    }
    std::printf("recording    %lld MB, %d frames, indexed in %.2f s\n", megabytes, frames, seconds(timer));
    // All but the first and last frame: a clip, not the file itself.
    double best[2] = {1e9, 1e9};
    for (int round = 0; round < 3; ++round) {
        best[0] = std::min(best[0], copyWithCp(source, dir + QStringLiteral("/cp.wly")));
        QFile::remove(dir + QStringLiteral("/clip.wly"));
        timer.restart();
        const ClipResult clip = ClipWriter::write(index, 2, frames - 1, {}, dir + QStringLiteral("/clip.wly"));
        best[1] = std::min(best[1], seconds(timer));
        if (clip.status != ClipResult::Written) {
            std::printf("!! clip failed: %s\n", qPrintable(clip.reason));
            return;
        }
    }
    std::printf("cp           %.3f s  %.0f MB/s (best of 3)\n", best[0], megabytes / best[0]);
    std::printf("clip         %.3f s  %.0f MB/s (best of 3)\n", best[1], megabytes / best[1]);
    std::printf("goal: clip <= 2 x cp: %s (%.2f x)\n", best[1] <= 2 * best[0] ? "met" : "missed", best[1] / best[0]);
    QFile::remove(source);
    QFile::remove(dir + QStringLiteral("/cp.wly"));
    QFile::remove(dir + QStringLiteral("/clip.wly"));
}

void markWhileRecording()
{
    constexpr int Rate = 10000, Seconds = 3;
    RecordingSession session;
    const uint16_t port = Fixture::freePort();
    QString error;
    if (session.startRecording(port, &error) != RecordingSession::Start::Started) {
        std::printf("!! %s\n", qPrintable(error));
        return;
    }
    MarkerBook book;
    book.startFresh(session.temporaryPath());
    std::atomic<bool> sending{true};
    int sent = 0;
    std::thread sender([&] {
        Fixture::UdpPeer peer;
        const uint64_t start = Stopwatch::microseconds();
        for (int n = 1; n <= Rate * Seconds; ++n) {
            // Each datagram at its own deadline from one anchor.
            while (Stopwatch::microseconds() < start + uint64_t(n) * 1000000 / Rate)
                ;
            const QByteArray datagram = "fr " + QByteArray::number(n) + "\r\nts "
                                      + QByteArray::number(n / double(Rate), 'f', 6) + "\r\nbody\r\n";
            if (peer.send(datagram, port))
                ++sent;
        }
        sending = false;
    });
    std::vector<double> writes;
    QTimer marker;
    QObject::connect(&marker, &QTimer::timeout, [&] {
        const qint64 frame = session.newestFrame();
        if (frame < 0)
            return;
        const uint64_t before = Stopwatch::microseconds();
        book.add(int(frame));
        writes.push_back(double(Stopwatch::microseconds() - before));
    });
    marker.start(10);
    while (sending)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    sender.join();
    marker.stop();
    QElapsedTimer settle;
    settle.start();
    while (session.received() < sent && settle.elapsed() < 3000)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    session.stop();
    std::sort(writes.begin(), writes.end());
    const auto quantile = [&writes](double q) {
        return writes.empty() ? 0.0 : writes[std::min(writes.size() - 1, size_t(q * double(writes.size())))];
    };
    const StreamFigures figures = session.figures();
    std::printf("10 kHz with a marker every 10 ms: sent %d, received %lld, lost %lld, dropped %lld, markers %lld\n",
                sent, session.received(), figures.frames_lost, figures.dropped, qint64(book.markers().size()));
    std::printf("marker writes on the main thread: p50 %.0f us  p99 %.0f us  max %.0f us\n", quantile(0.5),
                quantile(0.99), writes.empty() ? 0.0 : writes.back());
    std::printf("goal: nothing lost: %s\n", session.received() == sent && figures.frames_lost == 0 ? "met" : "missed");
    session.discardTemporary();
}

}

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const qint64 megabytes = argc > 1 ? QByteArray(argv[1]).toLongLong() : 1024;
    QTemporaryDir dir;
    if (!dir.isValid())
        return 1;
    clipBeside(dir.path(), megabytes);
    markWhileRecording();
    return 0;
}
