// Recording through the real window, offscreen: loss under load, the GUI
// thread's share while recording, and the idle cost of Preview.

#include "gui/korvel_recorder.h"
#include "bench/window_bench.h"
#include "platform/udp_socket.h"

#include <QCommandLineParser>
#include <QFile>
#include <QFileInfo>

#include <cstdio>
#include <sys/socket.h>

namespace {

constexpr int FrameSize = 300;

struct Options {
    QString sender;
    double seconds = 10;
    QList<double> rates;
    QList<double> searchRates;
    double idleSeconds = 10;
};

struct RecordRun {
    double rate = 0;
    long long sent = -1;
    double senderHz = 0;
    long long savedBytes = -1;
    bool identical = false;
    long long firstDifference = -1;
    int counted = 0;
    double catchUpMs = 0;
    double guiCpuUs = 0;
    double processCpuUs = 0;
    double wallUs = 0;

    bool lossless() const
    {
        return sent > 0 && identical && counted == sent && savedBytes == sent * FrameSize;
    }
};

// Offset of the first byte in which the files differ, or -1 when they are equal.
long long firstDifference(const QString &a, const QString &b)
{
    QFile left(a), right(b);
    if (!left.open(QIODevice::ReadOnly) || !right.open(QIODevice::ReadOnly))
        return 0;
    long long offset = 0;
    for (;;) {
        const QByteArray x = left.read(1 << 20);
        const QByteArray y = right.read(1 << 20);
        const qsizetype common = qMin(x.size(), y.size());
        for (qsizetype i = 0; i < common; ++i) {
            if (x[i] != y[i])
                return offset + i;
        }
        if (x.size() != y.size())
            return offset + common;
        if (x.isEmpty())
            return -1;
        offset += x.size();
    }
}

// Runs the event loop until the window counted `expected` datagrams or the count stood still for a second.
double waitForCount(const Korvel_recorder &window, long long expected)
{
    const uint64_t started = Stopwatch::microseconds();
    int last = -1;
    uint64_t lastChange = started;
    while (window.datagramsReceived() < expected) {
        const uint64_t now = Stopwatch::microseconds();
        if (window.datagramsReceived() != last) {
            last = window.datagramsReceived();
            lastChange = now;
        } else if (now - lastChange > 1000000) {
            break;
        }
        Bench::pump(2);
    }
    return double(Stopwatch::microseconds() - started) / 1e3;
}

RecordRun recordAt(const Options &options, const QString &workDir, double rate, double seconds)
{
    RecordRun run;
    run.rate = rate;
    const QString dir = workDir + QStringLiteral("/record-%1").arg(qint64(rate));
    const Fixture::SettingsFile settings = Bench::settingsIn(dir);
    if (!Fixture::writeSettings(dir, settings))
        return run;
    const QString sentFile = dir + QLatin1String("/sent.wly");
    const QString savedFile = dir + QLatin1String("/saved.wly");
    {
        const Bench::Answerers answerers;
        Korvel_recorder window(dir);
        window.show();
        if (!Bench::trigger(&window, "actionRecord"))
            return run;

        const long long count = (long long)(rate * seconds);
        Bench::Tool sender;
        const double cpu0 = Bench::processCpu();
        const double gui0 = Bench::threadCpu();
        const uint64_t wall0 = Stopwatch::microseconds();
        if (!sender.start(options.sender,
                          {QStringLiteral("--port"), settings.recordPort, QStringLiteral("--rate"),
                           QString::number(rate), QStringLiteral("--count"), QString::number(count),
                           QStringLiteral("--size"), QString::number(FrameSize), QStringLiteral("--out"), sentFile}))
            return run;
        sender.waitFinished(int(seconds * 1000) + 60000);
        const QByteArray line = sender.line("sent ");
        run.sent = line.isEmpty() ? -1 : line.split(' ').value(1).toLongLong();
        const qsizetype open = line.indexOf('(');
        run.senderHz = open < 0 ? 0 : line.mid(open + 1).split(' ').value(0).toDouble();
        run.catchUpMs = waitForCount(window, run.sent);
        run.guiCpuUs = Bench::threadCpu() - gui0;
        run.processCpuUs = Bench::processCpu() - cpu0;
        run.wallUs = double(Stopwatch::microseconds() - wall0);
        run.counted = window.datagramsReceived();

        Modal::answerNextFileDialog(savedFile);
        Bench::trigger(&window, "actionStop");
    }
    run.savedBytes = QFileInfo::exists(savedFile) ? QFileInfo(savedFile).size() : -1;
    run.firstDifference = firstDifference(sentFile, savedFile);
    run.identical = run.savedBytes >= 0 && run.firstDifference < 0;
    Bench::removeTree(dir);
    return run;
}

void printRun(const RecordRun &run)
{
    std::printf("rate %7.0f Hz: sent %lld (sender %.1f Hz), written %lld (%lld bytes / %d, byte-for-byte %s",
                run.rate, run.sent, run.senderHz, run.savedBytes < 0 ? -1 : run.savedBytes / FrameSize,
                run.savedBytes, FrameSize, run.identical ? "identical" : "DIFFERENT");
    if (!run.identical)
        std::printf(" from offset %lld", run.firstDifference);
    std::printf("), counted %d, lost %lld -> %s\n", run.counted, run.sent - run.counted,
                run.lossless() ? "no loss" : "LOSS");
    // The window polls the session a few times a second: its thread's share must not grow with the rate.
    std::printf("   window caught up %.0f ms after the sender; process CPU %.1f %% of a core, GUI thread %.1f %%\n",
                run.catchUpMs, 100.0 * run.processCpuUs / run.wallUs, 100.0 * run.guiCpuUs / run.wallUs);
    std::fflush(stdout);
}

void printReceiveBuffer()
{
    const QByteArray rmemRead = Fixture::readFile(QStringLiteral("/proc/sys/net/core/rmem_max")).trimmed();
    const QByteArray rmemMax = rmemRead.isEmpty() ? QByteArray("?") : rmemRead;
    UdpSocket *socket = nullptr;
    int granted = UDP_ERROR;
    if (udpOpen(&socket, 0, UDP_OPEN_ANY_PORT | UDP_OPEN_LOOPBACK) == UDP_OK) {
        granted = udpSetReceiveBuffer(socket, 8 * 1024 * 1024);
        udpClose(socket);
    }
    // What a user without CAP_NET_ADMIN gets: SO_RCVBUF alone, capped at rmem_max.
    int plain = -1;
    const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
    if (fd >= 0) {
        int bytes = 8 * 1024 * 1024;
        socklen_t size = sizeof plain;
        if (setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &bytes, sizeof bytes) == 0)
            getsockopt(fd, SOL_SOCKET, SO_RCVBUF, &plain, &size);
        ::close(fd);
    }
    std::printf("receive buffer: asked 8388608, udpSetReceiveBuffer granted %d (kernel figure, twice the usable "
                "payload), euid %d; rmem_max %s; SO_RCVBUF alone (no CAP_NET_ADMIN) gives %d\n",
                granted, int(geteuid()), rmemMax.constData(), plain);
}

void idleCost(const Options &options, const QString &workDir)
{
    const QString dir = workDir + QLatin1String("/idle");
    const Fixture::SettingsFile settings = Bench::settingsIn(dir);
    if (!Fixture::writeSettings(dir, settings))
        return;
    Korvel_recorder window(dir);
    window.show();
    {
        const Bench::Answerers answerers;
        if (!Bench::trigger(&window, "actionPreview"))
            return;
        Bench::pump(500);
    }
    // The answerer's polling timer is gone: only the window's own work is measured.
    const double cpu0 = Bench::processCpu();
    const uint64_t wall0 = Stopwatch::microseconds();
    Bench::pump(int(options.idleSeconds * 1000));
    const double cpu = Bench::processCpu() - cpu0;
    const double wall = double(Stopwatch::microseconds() - wall0);
    std::printf("idle preview, no traffic, %.1f s: process CPU %.0f us = %.3f %% of a core (must be < 1 %%)\n",
                wall / 1e6, cpu, 100.0 * cpu / wall);
    Bench::trigger(&window, "actionStop");
    std::fflush(stdout);
}

QList<double> parseRates(const QString &text)
{
    QList<double> rates;
    // Anything that is not a positive number ("none") is left out.
    for (const QString &each : text.split(QLatin1Char(','), Qt::SkipEmptyParts)) {
        const double rate = each.toDouble();
        if (rate > 0)
            rates.append(rate);
    }
    return rates;
}

}

int main(int argc, char *argv[])
{
    Bench::Session session(
        argc, argv, QStringLiteral("Recording and idle figures of the real window."),
        {
            Bench::Session::senderOption(),
            {QStringLiteral("seconds"), QStringLiteral("Seconds per rate (default 10)."), QStringLiteral("S")},
            {QStringLiteral("rates"), QStringLiteral("Rates that must be lossless (default 1000,10000,50000)."),
             QStringLiteral("LIST")},
            {QStringLiteral("search"), QStringLiteral("Higher rates tried until one loses (default "
                                                      "100000,150000,175000,200000; none to skip)."),
             QStringLiteral("LIST")},
            {QStringLiteral("idle-seconds"), QStringLiteral("Seconds of idle preview (default 10)."),
             QStringLiteral("S")},
            {QStringLiteral("only"), QStringLiteral("record or idle."), QStringLiteral("PART")},
        });
    const QCommandLineParser &parser = session.parser;
    const QString &workDir = session.workDir;
    Options options;
    options.sender = session.sender();
    options.seconds = session.number(QStringLiteral("seconds"), options.seconds);
    options.rates = parseRates(parser.isSet(QStringLiteral("rates")) ? parser.value(QStringLiteral("rates"))
                                                                      : QStringLiteral("1000,10000,50000"));
    options.searchRates = parseRates(parser.isSet(QStringLiteral("search"))
                                         ? parser.value(QStringLiteral("search"))
                                         : QStringLiteral("100000,150000,175000,200000"));
    options.idleSeconds = session.number(QStringLiteral("idle-seconds"), options.idleSeconds);
    const QString only = parser.value(QStringLiteral("only"));
    if (workDir.isEmpty()) {
        std::printf("!! no temporary directory\n");
        return 1;
    }

    Bench::printLoad("at start");
    int failures = 0;
    if (only.isEmpty() || only == QLatin1String("record")) {
        printReceiveBuffer();
        for (const double rate : options.rates) {
            const RecordRun run = recordAt(options, workDir, rate, options.seconds);
            printRun(run);
            failures += run.lossless() ? 0 : 1;
        }
        double highest = 0;
        for (const double rate : options.searchRates) {
            const RecordRun run = recordAt(options, workDir, rate, options.seconds);
            printRun(run);
            // A sender that cannot keep the rate does not show what the window sustains.
            if (!run.lossless() || run.senderHz < 0.98 * rate)
                break;
            highest = rate;
        }
        if (!options.searchRates.isEmpty())
            std::printf("highest rate sustained without loss among those tried: %.0f Hz\n", highest);
    }
    if (only.isEmpty() || only == QLatin1String("idle"))
        idleCost(options, workDir);
    return session.finish(failures);
}
