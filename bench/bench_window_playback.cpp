// How long an event posted to the window's thread waits to be handled while the
// real window opens a large recording and while it plays at a high rate, beside
// the same figure with the window idle. Indexing and the schedule run in threads
// of their own, so neither may hold up the window.

#include "gui/korvel_recorder.h"
#include "bench/window_bench.h"

#include <QFile>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <thread>
#include <vector>

namespace {

void printWaits(const char *what, const std::vector<double> &waits, double cpuShare)
{
    std::printf("%-28s %6zu posts  p50 %8.0f us  p99 %8.0f us  max %8.0f us  window thread CPU %5.1f %%\n", what,
                waits.size(), Bench::quantile(waits, 0.5), Bench::quantile(waits, 0.99), waits.empty() ? 0.0 : waits.back(),
                cpuShare);
}

}

int main(int argc, char **argv)
{
    Bench::Session session(argc, argv, QStringLiteral("Window responsiveness while playing."),
                           {{QStringLiteral("rate"), QStringLiteral("Playback rate in Hz (default 5000)."),
                             QStringLiteral("HZ")},
                            {QStringLiteral("seconds"), QStringLiteral("Length of each run (default 10)."),
                             QStringLiteral("S")},
                            {QStringLiteral("open-mb"),
                             QStringLiteral("Size of the recording opened first (default 1024)."),
                             QStringLiteral("MB")}});
    const double rate = session.number(QStringLiteral("rate"), 5000);
    const int seconds = int(session.number(QStringLiteral("seconds"), 10));
    Bench::printLoad("at start");

    const double openMb = session.number(QStringLiteral("open-mb"), 1024);
    const QString recording = session.workDir + QLatin1String("/playback.wly");
    const QString large = session.workDir + QLatin1String("/large.wly");
    // About 84 bytes a frame.
    if (!Bench::writeRecording(recording, int(rate * seconds * 2)) || !Bench::writeRecording(large, int(openMb * 1e6 / 84))) {
        std::printf("!! cannot write %s\n", qPrintable(recording));
        return 1;
    }
    Fixture::SettingsFile settings = Bench::settingsIn(session.workDir);
    const uint16_t port = Fixture::freePort();
    Fixture::UdpPeer receiver(port); // bound, never read: the kernel drops what overflows
    settings.port1 = QString::number(port);
    settings.frequency = QString::number(int(rate));
    settings.timestamp = QStringLiteral("false");
    if (!Fixture::writeSettings(session.workDir, settings))
        return 1;

    Bench::Answerers answerers;
    Korvel_recorder window(session.workDir);
    window.show();
    QAction *play = window.findChild<QAction *>(QStringLiteral("actionPlay"));
    const auto openAndWait = [&](const QString &path, const char *what) {
        const uint64_t started = Stopwatch::microseconds();
        if (!Fixture::triggerWithFile(&window, "actionOpen", path))
            return false;
        const uint64_t limit = started + 120000000;
        const std::vector<double> waits = Bench::postedEventWaitsUntil(
            &window, [&] { return play->isEnabled() || Stopwatch::microseconds() > limit; });
        printWaits(what, waits, 0);
        std::printf("   opened in %.0f ms\n", double(Stopwatch::microseconds() - started) / 1000);
        return play->isEnabled();
    };
    if (!openAndWait(large, qPrintable(QStringLiteral("opening %1 MB").arg(openMb))))
        return 1;
    Fixture::trigger(&window, "actionStop");
    if (!openAndWait(recording, "opening the playback file"))
        return 1;

    double cpu = Bench::threadCpu();
    const std::vector<double> idle = Bench::postedEventWaits(&window, seconds * 1000);
    printWaits("idle (reference)", idle, 100.0 * (Bench::threadCpu() - cpu) / (seconds * 1e6));

    if (!Bench::trigger(&window, "actionPlay"))
        return 1;
    cpu = Bench::threadCpu();
    const std::vector<double> playing = Bench::postedEventWaits(&window, seconds * 1000);
    const QString label = Fixture::text(&window, "labelFrequency");
    printWaits(qPrintable(QStringLiteral("playing at %1").arg(label)), playing,
               100.0 * (Bench::threadCpu() - cpu) / (seconds * 1e6));
    Bench::trigger(&window, "actionStop");

    const bool met = Bench::quantile(playing, 0.99) <= 20000;
    std::printf("goal: p99 wait while playing <= 20 ms: %s\n", met ? "met" : "missed");
    return session.finish(met ? 0 : 1);
}
