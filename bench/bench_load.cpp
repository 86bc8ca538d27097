// Indexes a generated recording of 600-byte frames (4 GiB by default, the size
// in MiB as the first argument) by scan and from its index file, and times a
// read near the end. Prints wall times and peak memory above the idle figure
// (and the private part of it, which the tables read from the idx file are),
// next to `wc -l` over the same file as the reference for one raw pass
// and one read pass over the idx file as the reference for opening from it.

#include "play/recording_index.h"
#include "play/send_form.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>

#include <cstdio>
#include <memory>

namespace {

constexpr int FrameBytes = 600;
constexpr int Bodies = 4096;

// A tracking-like recording: frame line, time stamp and body lines, CR LF,
// each frame padded to 600 bytes. Bodies come from a pool of varied texts so
// that writing 4 GiB takes seconds, not minutes.
bool writeRecording(const QString &path, qint64 bytes, int &frames)
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return false;
    QList<QByteArray> bodies;
    unsigned seed = 12345;
    auto next = [&seed] { return (seed = seed * 1103515245u + 12345u) >> 8; };
    for (int i = 0; i < Bodies; ++i) {
        QByteArray body = "6dcal 2\r\n";
        while (body.size() < FrameBytes - 60)
            body += QByteArray("6d ") + QByteArray::number(next() % 20) + " [0 1.000][" + QByteArray::number(next() % 2000)
                + "." + QByteArray::number(next() % 1000) + " -" + QByteArray::number(next() % 2000) + "."
                + QByteArray::number(next() % 1000) + "]\r\n";
        bodies.append(body);
    }
    QByteArray batch;
    batch.reserve(1 << 20);
    qint64 written = 0;
    frames = 0;
    while (written < bytes) {
        ++frames;
        const int start = int(batch.size());
        batch += "fr " + QByteArray::number(frames) + "\r\nts " + QByteArray::number(frames / 300.0, 'f', 6) + "\r\n";
        batch += bodies[frames % Bodies];
        const int pad = FrameBytes - (int(batch.size()) - start) - 2;
        batch.append(qMax(pad, 0), 'x');
        batch += "\r\n";
        if (batch.size() > (1 << 20) - 2 * FrameBytes) {
            if (file.write(batch) != batch.size())
                return false;
            written += batch.size();
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

// Starts a new peak (VmHWM) from the present resident size.
void resetPeak()
{
    QFile clear(QStringLiteral("/proc/self/clear_refs"));
    if (clear.open(QIODevice::WriteOnly))
        clear.write("5");
}

struct Opened {
    double ms;
    long peakKb;
    long anonKb; // private memory held once open
    IndexResult result;
};

Opened open(const QString &path, RecordingIndex &index)
{
    index = RecordingIndex();
    resetPeak();
    QElapsedTimer timer;
    timer.start();
    Opened opened;
    opened.result = RecordingIndex::build(path, index);
    opened.ms = timer.nsecsElapsed() / 1e6;
    opened.peakKb = statusKb("VmHWM");
    opened.anonKb = statusKb("RssAnon");
    return opened;
}

}

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const qint64 mib = argc > 1 ? QByteArray(argv[1]).toLongLong() : 4096;
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("bench.wly"));
    int frames = 0;
    QElapsedTimer timer;
    timer.start();
    if (!dir.isValid() || !writeRecording(path, mib << 20, frames)) {
        std::printf("cannot write the recording\n");
        return 1;
    }
    const qint64 fileBytes = QFile(path).size();
    const double fileKb = fileBytes / 1024.0;
    std::printf("recording: %d frames, %.1f MiB (%.0f bytes per frame), written in %.1f s\n", frames,
                fileKb / 1024, double(fileBytes) / frames, timer.nsecsElapsed() / 1e9);

    timer.restart();
    QProcess wc;
    wc.start(QStringLiteral("wc"), {QStringLiteral("-l"), path});
    wc.waitForFinished(-1);
    std::printf("reference: wc -l %.0f ms (%s lines)\n", timer.nsecsElapsed() / 1e6,
                wc.readAllStandardOutput().split(' ').value(0).constData());

    // The index's tables are fresh memory, and first touches of pages cost far
    // more in some virtual machines than on bare metal: time as much here.
    {
        const qint64 tableBytes = qint64(frames) * 16;
        timer.restart();
        std::unique_ptr<char[]> fresh(new char[size_t(tableBytes)]);
        volatile char *pages = fresh.get();
        for (qint64 i = 0; i < tableBytes; i += 4096)
            pages[i] = 1;
        std::printf("reference: first touch of %.1f MiB of fresh memory %.0f ms\n", tableBytes / 1048576.0,
                    timer.nsecsElapsed() / 1e6);
    }

    RecordingIndex index;
    const long idleKb = statusKb("VmRSS");
    const long idleAnonKb = statusKb("RssAnon");
    std::printf("idle: VmRSS %.1f MiB, RssAnon %.1f MiB\n", idleKb / 1024.0, idleAnonKb / 1024.0);
    const auto report = [&](const char *what, const Opened &o) {
        std::printf("%s: %.0f ms, status %d, idx file %s, frames %d..%d, peak above idle %.1f MiB = %.2f %% of "
                    "the file, private above idle %.1f MiB\n",
                    what, o.ms, int(o.result.status), o.result.fromIdxFile ? "used" : "not used", index.first(),
                    index.last(), (o.peakKb - idleKb) / 1024.0, 100.0 * (o.peakKb - idleKb) / fileKb,
                    (o.anonKb - idleAnonKb) / 1024.0);
    };
    for (int run = 1; run <= 2; ++run) {
        QFile::remove(RecordingIndex::indexFilePath(path));
        report(run == 1 ? "open by scan 1" : "open by scan 2", open(path, index));
        std::printf("  idx file written by the scan: %s\n",
                    QFile::exists(RecordingIndex::indexFilePath(path)) ? "yes" : "no");
    }
    timer.restart();
    const bool written = index.writeIndexFile();
    std::printf("writing the idx file again (part of each scan above): %.0f ms (%s, %.1f MiB)\n", timer.nsecsElapsed() / 1e6,
                written ? "written" : "FAILED", QFile(RecordingIndex::indexFilePath(path)).size() / 1048576.0);
    {
        // What any check of the whole idx file costs at least: one pass over it from the page cache.
        timer.restart();
        QFile idx(RecordingIndex::indexFilePath(path));
        QByteArray block(1 << 20, Qt::Uninitialized);
        qint64 total = 0;
        if (idx.open(QIODevice::ReadOnly)) {
            for (qint64 got; (got = idx.read(block.data(), block.size())) > 0;)
                total += got;
        }
        std::printf("reference: one read pass over the idx file %.0f ms (%.1f MiB)\n", timer.nsecsElapsed() / 1e6,
                    total / 1048576.0);
    }
    for (int run = 1; run <= 2; ++run)
        report(run == 1 ? "open from idx 1" : "open from idx 2", open(path, index));
    if (!index.isLoaded())
        return 1;

    QByteArray raw;
    SendForm form;
    for (int back : {10, 1000}) {
        const int number = index.last() - back;
        timer.restart();
        const bool read = index.readFrame(number, raw);
        const QByteArray &datagram = form.datagram(raw);
        const double us = timer.nsecsElapsed() / 1e3;
        std::printf("seek to frame %d and read it: %.1f us (%s, %lld bytes, datagram %lld bytes, ts %.6f)\n",
                    number, us, read ? "read" : "FAILED", qint64(raw.size()), qint64(datagram.size()),
                    index.timestamp(number));
    }
    std::printf("duration %.1f s, mean rate %.1f Hz\n", index.duration(), index.meanRate());
    return 0;
}
