// Command line figures, each beside a reference measured in the same run:
// record at 50 and 150 kHz against the korvel-recv tool, play --rate 10000
// against the korvel-send tool, and convert of a 1 GB recording both ways
// against cp of the same file. Usage: bench_cli [--quick] [record] [play] [convert]
// (all three parts when none is named).

#include "bench/bench_measure.h"
#include "support/traffic_tools.h"
#include "support/fixture.h"
#include "tools/traffic.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QThread>

#include <sys/resource.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <thread>
#include <vector>

namespace {

const QString program = QStringLiteral(KORVEL_BINARY);

QJsonObject lastJson(QProcess &process)
{
    return QJsonDocument::fromJson(process.readAllStandardOutput().trimmed().split('\n').constLast()).object();
}

// One receiver run: the command (or the tool) records `count` frames sent at `rate`.
void recordOnce(const QString &label, const QString &executable, QStringList arguments, uint16_t port, double rate,
                uint64_t count)
{
    QProcess receiver;
    receiver.start(executable, arguments);
    if (!receiver.waitForStarted() || !TrafficTools::waitUntilBound(port)) {
        std::printf("%-28s did not start\n", qPrintable(label));
        return;
    }
    const double cpuBefore = Bench::cpuMicroseconds(RUSAGE_CHILDREN) / 1e6;
    QElapsedTimer wall;
    wall.start();
    UdpSocket *sender = nullptr;
    udpOpen(&sender, 0, 0);
    const Traffic::FrameComposer composer(300, 1, 1000.0, rate);
    const Traffic::SendResult sent = Traffic::sendPaced(sender, port, composer, rate, count, [](const char *, int) {});
    udpClose(sender);
    // A receiver that lost frames never reaches its count: stop it after a grace time.
    if (!receiver.waitForFinished(4000)) {
        receiver.terminate();
        receiver.waitForFinished();
    }
    const double seconds = double(wall.nsecsElapsed()) / 1e9;
    const double cpu = Bench::cpuMicroseconds(RUSAGE_CHILDREN) / 1e6 - cpuBefore;
    const QByteArray out = receiver.readAllStandardOutput();
    qint64 received = -1;
    const QJsonObject json = QJsonDocument::fromJson(out.trimmed().split('\n').constLast()).object();
    if (!json.isEmpty()) {
        received = json.value("datagrams").toInteger();
    } else {
        const qsizetype at = out.indexOf("received=");
        if (at >= 0)
            received = out.mid(at + 9, out.indexOf(' ', at) - at - 9).toLongLong();
    }
    std::printf("%-28s %7.0f Hz  sent %llu  received %lld  lost %lld  CPU %5.1f %% of one core\n",
                qPrintable(label), rate, (unsigned long long)sent.datagrams, received,
                (long long)sent.datagrams - received, 100.0 * cpu / seconds);
}

void benchRecord(const QTemporaryDir &dir, double seconds)
{
    std::printf("\nrecord, 300-byte frames for %.0f s\n", seconds);
    for (const double rate : {50000.0, 150000.0}) {
        const uint64_t count = uint64_t(rate * seconds);
        uint16_t port = Fixture::freePort();
        const QString output = dir.filePath(QStringLiteral("record.wly"));
        recordOnce(QStringLiteral("korvel-recorder record"), program,
                   {"record", "--port", QString::number(port), "--output", output, "--count", QString::number(count),
                    "--json"},
                   port, rate, count);
        QFile::remove(output);
        port = Fixture::freePort();
        recordOnce(QStringLiteral("reference: korvel-recv --out"), TrafficTools::path("korvel-recv"),
                   {"--port", QString::number(port), "--count", QString::number(count), "--out", output, "--rcvbuf",
                    QString::number(8 << 20)},
                   port, rate, count);
        QFile::remove(output);
    }
}

struct Arrivals {
    std::vector<uint64_t> times;
    std::atomic<bool> stop{false};
};

void receiveInto(UdpSocket *socket, Arrivals &arrivals)
{
    std::vector<char> buffer(65536);
    while (!arrivals.stop) {
        if (udpReceiveTimed(socket, buffer.data(), int32_t(buffer.size()), 100000, 0) > 0)
            arrivals.times.push_back(Stopwatch::microseconds() * 1000);
    }
}

// Runs `executable` sending `count` frames at `rate` to a receiver in this process and prints the rate it saw.
void playOnce(const QString &label, const QString &executable, const QStringList &arguments, UdpSocket *socket,
              double rate, uint64_t count)
{
    Arrivals arrivals;
    arrivals.times.reserve(size_t(count) + 16);
    std::thread receiver(receiveInto, socket, std::ref(arrivals));
    QProcess sender;
    sender.start(executable, arguments);
    sender.waitForFinished(-1);
    QThread::msleep(200);
    arrivals.stop = true;
    receiver.join();
    const QJsonObject json = lastJson(sender);
    // Two rates: first to last arrival, and the least-squares slope of arrival
    // time over frame index, which one late first or last arrival cannot sway.
    const size_t n = arrivals.times.size();
    const double span = n > 1 ? double(arrivals.times.back() - arrivals.times.front()) / 1e9 : 0;
    const double endToEnd = span > 0 ? double(n - 1) / span : 0;
    double meanIndex = 0, meanTime = 0;
    for (size_t i = 0; i < n; ++i) {
        meanIndex += double(i) / double(n);
        meanTime += double(arrivals.times[i] - arrivals.times.front()) / double(n);
    }
    double covariance = 0, variance = 0;
    for (size_t i = 0; i < n; ++i) {
        const double di = double(i) - meanIndex;
        covariance += di * (double(arrivals.times[i] - arrivals.times.front()) - meanTime);
        variance += di * di;
    }
    const double fitted = covariance > 0 ? 1e9 * variance / covariance : 0;
    std::printf("%-28s received %zu of %llu  skipped %lld  rate %.3f Hz  %+.1f ppm first to last, %+.1f ppm fitted%s\n",
                qPrintable(label), n, (unsigned long long)count, (long long)count - (long long)n, endToEnd,
                (endToEnd / rate - 1) * 1e6, (fitted / rate - 1) * 1e6,
                json.isEmpty() ? "" : qPrintable(QStringLiteral("  (reported rate_hz %1, jitter p99 %2 us)")
                                                     .arg(json.value("rate_hz").toDouble())
                                                     .arg(json.value("jitter_p99_us").toDouble())));
}

void benchPlay(const QTemporaryDir &dir, double seconds)
{
    const double rate = 10000;
    const uint64_t count = uint64_t(rate * seconds);
    std::printf("\nplay at %.0f Hz for %.0f s\n", rate, seconds);
    const QString recording = dir.filePath(QStringLiteral("play.wly"));
    {
        QFile file(recording);
        file.open(QIODevice::WriteOnly);
        const Traffic::FrameComposer composer(300, 1, 1000.0, rate);
        std::vector<char> buffer(size_t(composer.capacity()));
        for (uint64_t i = 0; i < count; ++i)
            file.write(buffer.data(), composer.compose(uint32_t(i), buffer.data()));
    }
    UdpSocket *socket = nullptr;
    udpOpen(&socket, 0, UDP_OPEN_ANY_PORT | UDP_OPEN_LOOPBACK);
    udpSetReceiveBuffer(socket, 8 << 20);
    const QString port = QString::number(udpLocalPort(socket));
    playOnce(QStringLiteral("korvel-recorder play"), program,
             {"play", recording, "--dest", "127.0.0.1:" + port, "--rate", QString::number(rate), "--json"}, socket,
             rate, count);
    playOnce(QStringLiteral("reference: korvel-send"), TrafficTools::path("korvel-send"),
             {"--port", port, "--rate", QString::number(rate), "--count", QString::number(count)}, socket, rate,
             count);
    udpClose(socket);
}

double timed(const QString &executable, const QStringList &arguments, int *status)
{
    QProcess process;
    process.setStandardOutputFile(QProcess::nullDevice());
    QElapsedTimer timer;
    timer.start();
    process.start(executable, arguments);
    process.waitForFinished(-1);
    *status = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    return double(timer.nsecsElapsed()) / 1e9;
}

void benchConvert(const QTemporaryDir &dir, qint64 size)
{
    std::printf("\nconvert of a %.2f GB recording of 300-byte frames\n", double(size) / 1e9);
    const QString recording = dir.filePath(QStringLiteral("big.wly"));
    {
        QFile file(recording);
        file.open(QIODevice::WriteOnly);
        const Traffic::FrameComposer composer(300, 1, 1000.0, 10000);
        std::vector<char> buffer(size_t(composer.capacity()));
        for (uint32_t i = 0; file.size() < size; ++i)
            file.write(buffer.data(), composer.compose(i, buffer.data()));
    }
    int status = 0;
    const QString copy = dir.filePath(QStringLiteral("copy.wly"));
    const double cp = timed(QStringLiteral("cp"), {recording, copy}, &status);
    std::printf("reference: cp                %6.2f s\n", cp);
    QFile::remove(copy);
    const QString capture = dir.filePath(QStringLiteral("big.pcap"));
    const QString back = dir.filePath(QStringLiteral("back.wly"));
    const double out = timed(program, {"convert", recording, capture}, &status);
    std::printf("convert .wly -> .pcap         %6.2f s  (exit %d, %.2f GB written)\n", out, status,
                double(QFileInfo(capture).size()) / 1e9);
    const double in = timed(program, {"convert", capture, back}, &status);
    std::printf("convert .pcap -> .wly         %6.2f s  (exit %d)\n", in, status);
    const int same = QProcess::execute(QStringLiteral("cmp"), {"-s", recording, back});
    std::printf("round trip byte-identical:    %s\n", same == 0 ? "yes" : "NO");
}

}

int main(int argc, char *argv[])
{
    QCoreApplication application(argc, argv);
    const bool quick = application.arguments().contains(QStringLiteral("--quick"));
    // Figures appear as they come, also when the output goes to a file.
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    QTemporaryDir dir;
    std::printf("bench_cli: %s\n", quick ? "quick run (1 s, 100 MB)" : "full run (10 s, 1 GB)");
    const QStringList parts = application.arguments().mid(1).filter(QRegularExpression(QStringLiteral("^[a-z]+$")));
    if (parts.isEmpty() || parts.contains(QStringLiteral("record")))
        benchRecord(dir, quick ? 1 : 10);
    if (parts.isEmpty() || parts.contains(QStringLiteral("play")))
        benchPlay(dir, quick ? 1 : 10);
    if (parts.isEmpty() || parts.contains(QStringLiteral("convert")))
        benchConvert(dir, quick ? 100000000 : 1000000000);
    return 0;
}
