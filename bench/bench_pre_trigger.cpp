// Pre-trigger and parts of `record`, each beside plain `record` in the same run, at
// 50 kHz x 300 bytes: datagrams lost, CPU per datagram and resident memory above idle
// while 10 s are kept (signal and never-matching pattern), then parts of 1 s.
// Usage: bench_pre_trigger [--quick] (one round of 12 s kept instead of three of 14, parts for 5 s instead of 30)

#include "bench/bench_measure.h"
#include "record/line_matcher.h"
#include "support/fixture.h"
#include "support/program_run.h"
#include "support/traffic_tools.h"
#include "tools/traffic.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>
#include <QThread>

#include <sys/resource.h>

#include <algorithm>
#include <csignal>
#include <ctime>
#include <cstdio>
#include <vector>

namespace {

constexpr double Rate = 50000;
constexpr int Size = 300;

// Resident kilobytes of a running process ("VmRSS" or "VmHWM").
qint64 memoryKb(qint64 pid, const char *field)
{
    QFile status(QStringLiteral("/proc/%1/status").arg(pid));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (QByteArray line = status.readLine(); !line.isEmpty(); line = status.readLine())
        if (line.startsWith(field))
            return line.mid(qsizetype(qstrlen(field)) + 1).trimmed().split(' ').first().toLongLong();
    return -1;
}

// Times the process's threads went to sleep and were woken again, so far.
qint64 wakeUps(qint64 pid)
{
    qint64 total = 0;
    const QDir tasks(QStringLiteral("/proc/%1/task").arg(pid));
    for (const QString &task : tasks.entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        QFile status(tasks.filePath(task) + QLatin1String("/status"));
        if (!status.open(QIODevice::ReadOnly))
            continue;
        for (QByteArray line = status.readLine(); !line.isEmpty(); line = status.readLine())
            if (line.startsWith("voluntary_ctxt_switches:"))
                total += line.mid(24).trimmed().toLongLong();
    }
    return total;
}

struct Outcome {
    uint64_t sent = 0;
    qint64 wakeUps = 0;
    QJsonObject json;
    double cpu = 0;
    qint64 idleKb = 0;
    qint64 peakKb = 0;
};

// Sends `seconds` at 50 kHz to a running recorder, SIGUSR1 after `signalAfter` seconds (0: none), then SIGINT.
Outcome drive(const QStringList &arguments, uint16_t port, double seconds, double signalAfter)
{
    Outcome outcome;
    QProcess recorder;
    const double cpuBefore = Bench::cpuMicroseconds(RUSAGE_CHILDREN) / 1e6;
    if (!ProgramRun::start(recorder, arguments) || !TrafficTools::waitUntilBound(port))
        return outcome;
    outcome.idleKb = memoryKb(recorder.processId(), "VmRSS:");
    UdpSocket *sender = nullptr;
    udpOpen(&sender, 0, 0);
    const double first = signalAfter > 0 ? signalAfter : seconds;
    const Traffic::FrameComposer before(Size, 1, 1000.0, Rate);
    outcome.sent += Traffic::sendPaced(sender, port, before, Rate, uint64_t(Rate * first), [](const char *, int) {})
                        .datagrams;
    if (signalAfter > 0) {
        outcome.peakKb = memoryKb(recorder.processId(), "VmHWM:");
        ::kill(pid_t(recorder.processId()), SIGUSR1);
        const Traffic::FrameComposer after(Size, int32_t(outcome.sent + 1), 1000.0 + first, Rate);
        outcome.sent += Traffic::sendPaced(sender, port, after, Rate, uint64_t(Rate * (seconds - first)),
                                           [](const char *, int) {})
                            .datagrams;
    }
    udpClose(sender);
    const qint64 peak = memoryKb(recorder.processId(), "VmHWM:");
    outcome.peakKb = std::max(outcome.peakKb, peak);
    QThread::msleep(300);
    outcome.wakeUps = wakeUps(recorder.processId());
    ::kill(pid_t(recorder.processId()), SIGINT);
    const ProgramRun::Run run = ProgramRun::finish(recorder, 120000);
    outcome.cpu = Bench::cpuMicroseconds(RUSAGE_CHILDREN) / 1e6 - cpuBefore;
    outcome.json = ProgramRun::jsonOf(run);
    return outcome;
}

// The recorder's processor time per datagram received, in microseconds.
double perDatagram(const Outcome &o)
{
    const qint64 received = o.json.value("datagrams").toInteger(-1);
    return received > 0 ? o.cpu / double(received) * 1e6 : 0;
}

void report(const char *label, const Outcome &o, const Outcome *reference)
{
    const qint64 received = o.json.value("datagrams").toInteger(-1);
    const double cost = perDatagram(o);
    std::printf("%-34s sent %8llu  received %8lld  dropped %lld  lost %lld  not written %lld  CPU %.2f us/datagram, "
                "%.2f wake-ups/datagram",
                label, (unsigned long long)o.sent, received, o.json.value("dropped").toInteger(-1),
                o.json.value("frames_lost").toInteger(-1), o.json.value("not_written").toInteger(-1), cost,
                received > 0 ? double(o.wakeUps) / double(received) : 0.0);
    if (reference) {
        const double referenceCost = perDatagram(*reference);
        std::printf(" (%+.1f %% of plain)", referenceCost > 0 ? 100.0 * (cost / referenceCost - 1) : 0);
    }
    std::printf("\n%-34s RSS idle %lld MiB, peak %lld MiB, above idle %lld MiB",
                "", o.idleKb / 1024, o.peakKb / 1024, (o.peakKb - o.idleKb) / 1024);
    if (o.json.contains("pre_frames"))
        std::printf(", trigger_frame %lld, pre_frames %lld", o.json.value("trigger_frame").toInteger(-1),
                    o.json.value("pre_frames").toInteger(-1));
    std::printf("\n");
}

// The receiving thread's cost of a pattern trigger alone, away from the network's noise: nanoseconds per datagram.
double matchNanoseconds()
{
    const Traffic::FrameComposer composer(Size, 1, 1000.0, Rate);
    std::vector<char> datagram(size_t(composer.capacity()));
    const int length = composer.compose(12345, datagram.data());
    LineMatcher matcher(QRegularExpression(QStringLiteral("^status fault$")), 200000);
    constexpr int Rounds = 1000000;
    int matched = 0;
    // Processor time, not wall time: the machine may be shared.
    const std::clock_t start = std::clock();
    for (int i = 0; i < Rounds; ++i)
        matched += matcher.matches(datagram.data(), length) ? 1 : 0;
    return matched == 0 ? double(std::clock() - start) / CLOCKS_PER_SEC * 1e9 / Rounds : -1;
}

// Frame numbers across the parts, in order: true when each follows the one before.
bool contiguous(const QStringList &parts, qint64 *frames)
{
    qint64 expected = -1;
    *frames = 0;
    for (const QString &path : parts) {
        const QByteArray bytes = Fixture::readFile(path);
        for (qsizetype at = 0; at >= 0 && at < bytes.size(); at = bytes.indexOf("\nfr ", at)) {
            at += bytes.at(at) == '\n' ? 1 : 0;
            const qint64 number = bytes.mid(at + 3, bytes.indexOf('\r', at) - at - 3).toLongLong();
            if (expected >= 0 && number != expected)
                return false;
            expected = number + 1;
            ++*frames;
            ++at;
        }
    }
    return true;
}

}

int main(int argc, char **argv)
{
    QCoreApplication application(argc, argv);
    const bool quick = application.arguments().contains(QStringLiteral("--quick"));
    QTemporaryDir dir;
    const double kept = quick ? 12 : 14;
    const int rounds = quick ? 1 : 3;

    std::printf("pre-trigger: %.0f kHz x %d bytes for %.0f s, --pre 10; buffer of 10 s = %.0f MiB; %d rounds, each "
                "plain record, then the signal trigger, then the pattern trigger\n",
                Rate / 1000, Size, kept, 10 * Rate * Size / 1048576, rounds);
    auto arguments = [&dir](uint16_t port, const char *name) {
        return QStringList{"record", "--port", QString::number(port), "--output", dir.filePath(name), "--json"};
    };
    // In turn, round after round: how often the receiving thread wakes for a
    // batch moves the cost per datagram from one run to the next on a shared machine.
    std::vector<double> plainCost, signalCost, matchCost;
    Outcome plain;
    for (int round = 0; round < rounds; ++round) {
        uint16_t port = Fixture::freePort();
        plain = drive(arguments(port, "plain.wly"), port, kept, 0);
        report("reference: plain record", plain, nullptr);
        port = Fixture::freePort();
        const Outcome signal = drive(arguments(port, "signal.wly") + QStringList{"--pre", "10", "--trigger", "signal"},
                                     port, kept, kept - 2);
        report("--pre 10 --trigger signal", signal, &plain);
        port = Fixture::freePort();
        const Outcome match = drive(arguments(port, "match.wly") + QStringList{"--pre", "10", "--trigger",
                                                                                "match:^status fault$"},
                                    port, kept, 0);
        report("--pre 10 --trigger match (none)", match, &plain);
        plainCost.push_back(perDatagram(plain));
        signalCost.push_back(perDatagram(signal));
        matchCost.push_back(perDatagram(match));
        for (const char *name : {"plain.wly", "signal.wly", "match.wly"})
            QFile::remove(dir.filePath(name));
    }
    const double plainMedian = Bench::median(plainCost);
    std::printf("medians over %d rounds: plain %.2f us/datagram, signal %.2f (%+.1f %%), pattern %.2f (%+.1f %%)\n",
                rounds, plainMedian, Bench::median(signalCost), 100.0 * (Bench::median(signalCost) / plainMedian - 1),
                Bench::median(matchCost), 100.0 * (Bench::median(matchCost) / plainMedian - 1));
    std::printf("%-34s %.0f ns per %d-byte datagram (its lines matched one by one, no match)\n",
                "pattern match alone", matchNanoseconds(), Size);

    const double splitFor = quick ? 5 : 30;
    std::printf("\nparts: --split-duration 1 at %.0f kHz for %.0f s\n", Rate / 1000, splitFor);
    const uint16_t port = Fixture::freePort();
    const Outcome parts = drive(arguments(port, "parts.wly") + QStringList{"--split-duration", "1"}, port, splitFor, 0);
    report("--split-duration 1", parts, &plain);
    QStringList paths;
    for (const QJsonValue &part : parts.json.value("parts").toArray())
        paths << part.toString();
    qint64 frames = 0;
    const bool unbroken = contiguous(paths, &frames);
    std::printf("%-34s %lld parts, %lld frames in them, %s\n", "", qint64(paths.size()), frames,
                unbroken ? "contiguous" : "NOT contiguous");
    return 0;
}
