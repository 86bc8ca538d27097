// Playback timing of the play command and of the real window (offscreen): what
// korvel-recv sees on 127.0.0.1 by its kernel receive stamps (rate fitted
// through the arrivals, skipped or repeated frames, interval jitter, the first
// frame against the schedule the later ones keep) next to korvel-send's own
// deadline loop at the same rate in the same run, under a defined load (two busy
// processes at nice 0 unless --no-load), each with real-time priority beside it
// and what that costs in CPU, each case run several times in turn and judged on
// the medians, with the host's steal of the machine beside them; and of the
// player itself, every-timestamp pace with irregular stamps and how soon a step
// is on the wire.

#include "bench/window_bench.h"
#include "gui/korvel_recorder.h"
#include "platform/udp_socket.h"
#include "play/player.h"
#include "play/recording_index.h"
#include "tools/traffic.h"

#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <random>
#include <vector>

namespace {

constexpr int FrameSize = 300;

struct Paths {
    QString sender;
    QString receiver;
    QString program;
};

struct Received {
    double count = 0, hertz = 0, seconds = 0, p99 = 0, gaps = 0, repeats = 0, outOfOrder = 0;
    double fitInterval = 0, firstOffset = 0; // us
    double senderCpu = 0; // % of a core, the reference sender only

    // The fitted rate against the nominal one.
    double ppm(double nominal) const { return fitInterval > 0 ? (1e6 / nominal / fitInterval - 1.0) * 1e6 : 0; }
};

// Frames as korvel-send --out would write them; `stamp` gives frame i's "ts" (NaN: none).
template <typename Stamp>
bool writeRecording(const QString &path, int frames, Stamp stamp)
{
    const Traffic::FrameComposer composer(FrameSize, 1, 1000.0, 240.0);
    std::vector<char> buffer(size_t(composer.capacity()));
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return false;
    for (int i = 0; i < frames; ++i) {
        const int length = composer.compose(uint32_t(i), buffer.data());
        // Replace the composer's regular stamp line with ours.
        const char *body = std::strstr(buffer.data(), "\r\nts ");
        const char *afterStamp = body ? std::strstr(body + 2, "\r\n") : nullptr;
        if (!afterStamp)
            return false;
        QByteArray frame(buffer.data(), int(body - buffer.data()) + 2);
        const double value = stamp(i);
        if (!std::isnan(value))
            frame += "ts " + QByteArray::number(value, 'f', 6) + "\r\n";
        frame += QByteArray(afterStamp + 2, int(buffer.data() + length - afterStamp - 2));
        if (file.write(frame) != frame.size())
            return false;
    }
    return true;
}

// A receive buffer of 8 MB: korvel-recv starved by the load for a while must not drop
// what it would time correctly by the kernel's stamps.
bool startReceiver(Bench::Tool &receiver, const Paths &paths, long long count, double seconds, quint16 &port)
{
    if (!receiver.start(paths.receiver, {QStringLiteral("--port"), QStringLiteral("0"), QStringLiteral("--count"),
                                          QString::number(count), QStringLiteral("--timeout-ms"),
                                          QStringLiteral("5000"), QStringLiteral("--duration"),
                                          QString::number(seconds + 30), QStringLiteral("--rcvbuf"),
                                          QStringLiteral("8388608")}))
        return false;
    const QByteArray listening = receiver.waitForLine("listening port=", 5000);
    port = quint16(listening.mid(int(sizeof "listening port=") - 1).toUInt());
    return port != 0;
}

Received results(const Bench::Tool &receiver)
{
    return {receiver.value("received"),     receiver.value("rate_hz"),       receiver.value("seconds"),
            receiver.value("jitter_p99_us"), receiver.value("gaps"),          receiver.value("repeats"),
            receiver.value("out_of_order"),  receiver.value("fit_interval_us"), receiver.value("first_offset_us")};
}

// korvel-send at the same rate: what the machine's scheduling alone costs now.
Received reference(const Paths &paths, double hertz, long long count, double seconds)
{
    Bench::Tool receiver;
    quint16 port = 0;
    Bench::Tool sender;
    if (!startReceiver(receiver, paths, count, seconds, port)
        || !sender.start(paths.sender, {QStringLiteral("--port"), QString::number(port), QStringLiteral("--rate"),
                                        QString::number(hertz, 'f', 6), QStringLiteral("--count"),
                                        QString::number(count), QStringLiteral("--size"),
                                        QString::number(FrameSize)}))
        return {};
    // The sender ends first, so the children's CPU time is its alone until the receiver is reaped.
    const double cpu0 = Bench::cpuMicroseconds(RUSAGE_CHILDREN);
    const uint64_t wall0 = Stopwatch::microseconds();
    sender.waitFinished(int(seconds + 40) * 1000);
    const double cpu = Bench::cpuMicroseconds(RUSAGE_CHILDREN) - cpu0;
    const double wall = double(Stopwatch::microseconds() - wall0);
    receiver.waitFinished(10000);
    Received received = results(receiver);
    received.senderCpu = 100.0 * cpu / wall;
    return received;
}

struct Run {
    Received received;
    Player::Stats stats;
    double rate = 0;
    double cpuShare = 0;
};

Run play(const QString &recording, const Paths &paths, const Player::Options &options, double speed, long long count,
         double seconds)
{
    Run run;
    auto index = std::make_shared<RecordingIndex>();
    if (RecordingIndex::build(recording, *index).status != IndexResult::Loaded)
        return run;
    Bench::Tool receiver;
    quint16 port = 0;
    if (!startReceiver(receiver, paths, count, seconds, port))
        return run;
    Player player;
    player.setRecording(index);
    player.setOptions(options);
    player.setSpeed(speed);
    player.setDestinations({{QStringLiteral("127.0.0.1"), netIpv4(Traffic::loopbackAddress), port}});
    const double cpu0 = Bench::processCpu();
    const uint64_t wall0 = Stopwatch::microseconds();
    player.play();
    receiver.waitFinished(int(seconds + 40) * 1000);
    run.cpuShare = 100.0 * (Bench::processCpu() - cpu0) / double(Stopwatch::microseconds() - wall0);
    player.stop();
    run.rate = player.rate();
    run.stats = player.stats();
    run.received = results(receiver);
    return run;
}

// The play command at `hertz` and `speed`, as a rig runs it: its own figures come from --json.
Run playCommand(const QString &recording, const Paths &paths, double hertz, double speed, bool realtime,
                long long count, double seconds)
{
    Run run;
    Bench::Tool receiver;
    quint16 port = 0;
    if (!startReceiver(receiver, paths, count, seconds, port))
        return run;
    QStringList arguments{QStringLiteral("play"),     QStringLiteral("--rate"), QString::number(hertz, 'f', 6),
                          QStringLiteral("--speed"),  QString::number(speed),   QStringLiteral("--dest"),
                          QStringLiteral("127.0.0.1:%1").arg(port),             QStringLiteral("--json")};
    if (realtime)
        arguments << QStringLiteral("--realtime");
    Bench::Tool player;
    const double cpu0 = Bench::cpuMicroseconds(RUSAGE_CHILDREN);
    const uint64_t wall0 = Stopwatch::microseconds();
    if (!player.start(paths.program, arguments << recording))
        return run;
    // The player ends first, so the children's CPU time is its alone until the receiver is reaped.
    player.waitFinished(int(seconds + 40) * 1000);
    run.cpuShare = 100.0 * (Bench::cpuMicroseconds(RUSAGE_CHILDREN) - cpu0) / double(Stopwatch::microseconds() - wall0);
    receiver.waitFinished(10000);
    const QJsonObject json = QJsonDocument::fromJson(player.text().trimmed().split('\n').last()).object();
    run.rate = json.value(QLatin1String("rate_hz")).toDouble();
    run.stats.realtime = json.value(QLatin1String("realtime")).toBool();
    run.stats.timing.lateP99 = json.value(QLatin1String("jitter_p99_us")).toDouble();
    run.stats.timing.lateMax = json.value(QLatin1String("late_max_us")).toDouble();
    run.stats.timing.rateErrorPpm = json.value(QLatin1String("rate_error_ppm")).toDouble();
    run.stats.timing.firstLate = json.value(QLatin1String("first_late_us")).toDouble();
    run.received = results(receiver);
    return run;
}

// One line of figures for a player run, each goal judged against the reference;
// true when all are met. With `plain`, the run had real-time priority: where it
// was granted p99 must be within 200 us, and its CPU price is the share beyond `plain`'s.
bool playerLine(const char *label, const Run &run, const Received &ref, double nominal, long long count,
                const Run *plain = nullptr)
{
    const Received &got = run.received;
    const double p99Limit = plain && run.stats.realtime ? std::min(200.0, 1.5 * ref.p99 + 50) : 1.5 * ref.p99 + 50;
    QStringList missed;
    if (got.p99 > p99Limit)
        missed << QStringLiteral("p99 > %1 us").arg(p99Limit, 0, 'f', 0);
    if (!(std::fabs(got.ppm(nominal)) < 10))
        missed << QStringLiteral("|ppm| >= 10");
    if (!(std::fabs(got.firstOffset) < 100))
        missed << QStringLiteral("first frame off by 100 us or more");
    if (got.count != double(count) || got.gaps != 0 || got.repeats != 0 || got.outOfOrder != 0)
        missed << QStringLiteral("frames skipped, repeated or reordered");
    const QString price = plain ? QStringLiteral(" (%1%2 over plain)")
                                      .arg(run.cpuShare >= plain->cpuShare ? "+" : "")
                                      .arg(run.cpuShare - plain->cpuShare, 0, 'f', 2)
                                : QString();
    std::printf("    %-9s p99 |d-P| %7.1f us (goal <= %.0f), %+7.1f ppm, first %+6.0f us, %6.0f of %lld, skipped %.0f, "
                "repeated %.0f | own: lateness p99 %.0f / max %.0f us, %+.1f ppm, first %.0f us, real-time %s | CPU "
                "%.2f %%%s | %s\n",
                label, got.p99, p99Limit, got.ppm(nominal), got.firstOffset, got.count, count, got.gaps, got.repeats,
                run.stats.timing.lateP99, run.stats.timing.lateMax, run.stats.timing.rateErrorPpm,
                run.stats.timing.firstLate, run.stats.realtime ? "granted" : "no", run.cpuShare, qPrintable(price),
                missed.isEmpty() ? "met" : qPrintable(QStringLiteral("MISSED: ") + missed.join(QLatin1String(", "))));
    return missed.isEmpty();
}

// The host's share of this machine's processor time taken from it so far (steal), and the total.
struct Steal {
    double steal = 0, total = 0;
};

Steal hostSteal()
{
    Steal now;
    QFile stat(QStringLiteral("/proc/stat"));
    if (!stat.open(QIODevice::ReadOnly))
        return now;
    const QList<QByteArray> fields = stat.readLine().simplified().split(' ');
    for (qsizetype i = 1; i < fields.size(); ++i)
        now.total += fields[i].toDouble();
    now.steal = fields.size() > 8 ? fields[8].toDouble() : 0;
    return now;
}

// Each figure's median over the runs; counts take the worst run.
template <typename T, typename F>
double medianOf(const std::vector<T> &runs, F figure)
{
    std::vector<double> values;
    for (const T &run : runs)
        values.push_back(figure(run));
    return Bench::median(values);
}

Received medianReceived(const std::vector<Received> &runs)
{
    Received m;
    m.count = runs.front().count;
    for (const Received &run : runs) {
        m.count = std::min(m.count, run.count);
        m.gaps = std::max(m.gaps, run.gaps);
        m.repeats = std::max(m.repeats, run.repeats);
        m.outOfOrder = std::max(m.outOfOrder, run.outOfOrder);
    }
    m.p99 = medianOf(runs, [](const Received &r) { return r.p99; });
    m.fitInterval = medianOf(runs, [](const Received &r) { return r.fitInterval; });
    m.firstOffset = medianOf(runs, [](const Received &r) { return r.firstOffset; });
    m.senderCpu = medianOf(runs, [](const Received &r) { return r.senderCpu; });
    return m;
}

Run medianRun(const std::vector<Run> &runs)
{
    Run m;
    std::vector<Received> received;
    m.stats.realtime = true;
    for (const Run &run : runs) {
        received.push_back(run.received);
        m.stats.realtime = m.stats.realtime && run.stats.realtime;
    }
    m.received = medianReceived(received);
    m.cpuShare = medianOf(runs, [](const Run &r) { return r.cpuShare; });
    m.stats.timing.lateP99 = medianOf(runs, [](const Run &r) { return r.stats.timing.lateP99; });
    m.stats.timing.lateMax = medianOf(runs, [](const Run &r) { return r.stats.timing.lateMax; });
    m.stats.timing.rateErrorPpm = medianOf(runs, [](const Run &r) { return r.stats.timing.rateErrorPpm; });
    m.stats.timing.firstLate = medianOf(runs, [](const Run &r) { return r.stats.timing.firstLate; });
    return m;
}

// One case, `repeats` times: the reference, the player, and the player with
// real-time priority one after the other, so that a noisy stretch of the shared
// machine falls on all three. Each run's p99 is printed; the goals are judged on
// the medians. True when they are met.
template <typename Player, typename Reference>
bool judgedCase(const QString &title, const char *label, double nominal, long long count, int repeats,
                bool realtime, Player runPlayer, Reference runReference)
{
    std::vector<Received> refs;
    std::vector<Run> plain, fast;
    const Steal before = hostSteal();
    QStringList runs;
    for (int r = 0; r < repeats; ++r) {
        refs.push_back(runReference());
        plain.push_back(runPlayer(false));
        QString line = QStringLiteral("%1 / %2").arg(refs.back().p99, 0, 'f', 0).arg(plain.back().received.p99, 0, 'f', 0);
        if (realtime) {
            fast.push_back(runPlayer(true));
            line += QStringLiteral(" / %1").arg(fast.back().received.p99, 0, 'f', 0);
        }
        runs << line;
    }
    const Steal after = hostSteal();
    const double steal = after.total > before.total ? 100.0 * (after.steal - before.steal) / (after.total - before.total) : 0;
    const Received ref = medianReceived(refs);
    std::printf("%s | p99 |d-P| us of each run (reference / %s%s): %s | host steal %.2f %%\n", qPrintable(title),
                label, realtime ? " / real-time" : "", qPrintable(runs.join(QLatin1String(", "))), steal);
    std::printf("    reference p99 |d-P| %7.1f us, %+7.1f ppm, first %+6.0f us, CPU %.2f %% (medians)\n", ref.p99,
                ref.ppm(nominal), ref.firstOffset, ref.senderCpu);
    const Run plainMedian = medianRun(plain);
    bool met = playerLine(label, plainMedian, ref, nominal, count);
    if (realtime)
        met = playerLine("real-time", medianRun(fast), ref, nominal, count, &plainMedian) && met;
    std::fflush(stdout);
    return met;
}

// One fixed-rate case of the play command beside the reference.
bool fixedCase(const QString &workDir, const Paths &paths, double hertz, double speed, double seconds, int repeats,
               bool realtime)
{
    const double nominal = std::min(hertz * speed, 1e9 / PlaybackSchedule::ShortestPeriod);
    const long long count = std::llround(seconds * nominal) + 1;
    const QString recording = workDir + QLatin1String("/fixed.wly");
    if (!writeRecording(recording, int(count + nominal), [](int i) { return 1000.0 + i / 240.0; }))
        return false;
    const bool met = judgedCase(
        QStringLiteral("%1 Hz x%2 -> %3 Hz").arg(hertz, 7, 'f', 1).arg(speed).arg(nominal, 0, 'f', 2), "play", nominal,
        count, repeats, realtime,
        [&](bool fast) { return playCommand(recording, paths, hertz, speed, fast, count, seconds); },
        [&] { return reference(paths, nominal, count, seconds); });
    QFile::remove(recording);
    return met;
}

// The real window, offscreen, playing `recording` once at `hertz` from its Play
// settings to korvel-recv: the same player, started and followed by the window.
Run windowPlay(const QString &workDir, const QString &recording, const Paths &paths, double hertz, bool realtime,
               long long count, double seconds)
{
    Run run;
    Bench::Tool receiver;
    quint16 port = 0;
    if (!startReceiver(receiver, paths, count, seconds, port))
        return run;
    Fixture::SettingsFile settings = Bench::settingsIn(workDir);
    settings.port1 = QString::number(port);
    settings.frequency = QString::number(hertz);
    settings.loop = QStringLiteral("false");
    settings.more = {{"REALTIME_PRIORITY REALTIME_PRIORITY", realtime ? QStringLiteral("true") : QStringLiteral("false")}};
    if (!Fixture::writeSettings(workDir, settings))
        return run;
    Bench::Answerers answerers;
    Korvel_recorder window(workDir);
    window.show();
    QAction *play = window.findChild<QAction *>(QStringLiteral("actionPlay"));
    if (!Fixture::triggerWithFile(&window, "actionOpen", recording))
        return run;
    const uint64_t limit = Stopwatch::microseconds() + 60000000;
    while (!play->isEnabled() && Stopwatch::microseconds() < limit)
        Bench::pump(10);
    const double cpu0 = Bench::processCpu();
    const uint64_t wall0 = Stopwatch::microseconds();
    if (!Bench::trigger(&window, "actionPlay"))
        return run;
    receiver.waitFinished(int(seconds + 40) * 1000);
    run.cpuShare = 100.0 * (Bench::processCpu() - cpu0) / double(Stopwatch::microseconds() - wall0);
    const Player *player = window.findChild<Player *>();
    run.rate = player->rate();
    run.stats = player->stats();
    run.received = results(receiver);
    // Still playing when frames went missing: the window stops, as a user would.
    Fixture::trigger(&window, "actionStop");
    return run;
}

// The window at `hertz` beside the reference.
bool windowCase(const QString &workDir, const Paths &paths, double hertz, double seconds, int repeats, bool realtime)
{
    const long long count = std::llround(seconds * hertz) + 1;
    const QString recording = workDir + QLatin1String("/window.wly");
    if (!writeRecording(recording, int(count), [](int i) { return 1000.0 + i / 240.0; }))
        return false;
    const bool met = judgedCase(
        QStringLiteral("window %1 Hz").arg(hertz, 0, 'f', 0), "window", hertz, count, repeats, realtime,
        [&](bool fast) { return windowPlay(workDir, recording, paths, hertz, fast, count, seconds); },
        [&] { return reference(paths, hertz, count, seconds); });
    QFile::remove(recording);
    return met;
}

// Irregular stamps (240 Hz on average, each 0.5..7.8 ms after the one before):
// the schedule must follow each, and the last frame must arrive on time.
bool everyTimestampCase(const QString &workDir, const Paths &paths, double seconds, bool realtime)
{
    std::mt19937 random(7);
    std::uniform_real_distribution<double> gap(0.5e-3, 7.83e-3);
    std::vector<double> stamps{1000.0};
    while (stamps.back() - stamps.front() < seconds)
        stamps.push_back(stamps.back() + gap(random));
    const QString recording = workDir + QLatin1String("/stamps.wly");
    if (!writeRecording(recording, int(stamps.size()), [&stamps](int i) { return stamps[size_t(i)]; }))
        return false;
    Player::Options options;
    options.pace = Player::EveryTimestamp;
    // The 200 us goal is the real-time one; without it the load decides.
    options.realtime = realtime;
    const long long count = (long long)stamps.size();
    const Run run = play(recording, paths, options, 1.0, count, seconds);
    QFile::remove(recording);
    const double span = stamps.back() - stamps.front();
    const double lastError = (run.received.seconds - span) * 1e3;
    const bool met = run.received.count == double(count) && run.stats.timing.lateP99 < 200 && run.stats.timing.lastLate < 1000
                     && run.received.gaps == 0 && run.received.repeats == 0;
    std::printf("every timestamp, %lld irregular stamps over %.1f s, real-time %s: received %.0f, send error p50 %.0f / "
                "p99 %.0f us, last frame sent %.0f us after its deadline, arrived %+.3f ms from the first by the stamps, "
                "anomalies %lld | %s\n",
                count, span, run.stats.realtime ? "granted" : "no", run.received.count, run.stats.timing.lateP50, run.stats.timing.lateP99, run.stats.timing.lastLate, lastError,
                run.stats.stampAnomalies, met ? "met" : "MISSED");
    std::fflush(stdout);
    return met;
}

// From the step command to the datagram's arrival, beside a bare send from the calling thread.
bool stepCase(const QString &workDir)
{
    constexpr int Steps = 200;
    const QString recording = workDir + QLatin1String("/steps.wly");
    auto index = std::make_shared<RecordingIndex>();
    UdpSocket *socket = nullptr;
    if (!writeRecording(recording, Steps + 1, [](int i) { return 1000.0 + i / 240.0; })
        || RecordingIndex::build(recording, *index).status != IndexResult::Loaded
        || udpOpen(&socket, 0, UDP_OPEN_ANY_PORT | UDP_OPEN_LOOPBACK) != UDP_OK)
        return false;
    const quint16 port = udpLocalPort(socket);
    Player player;
    player.setRecording(index);
    player.setDestinations({{QStringLiteral("127.0.0.1"), netIpv4(Traffic::loopbackAddress), port}});
    std::vector<char> buffer(65536);
    std::vector<double> stepped, bare;
    UdpSocket *direct = nullptr;
    udpOpen(&direct, 0, 0);
    for (int i = 0; i < Steps; ++i) {
        const int64_t t0 = Stopwatch::nanoseconds();
        player.step(+1);
        if (udpReceiveTimed(socket, buffer.data(), int32_t(buffer.size()), 1000000, 0) < 0)
            break;
        stepped.push_back(double(Stopwatch::nanoseconds() - t0) / 1e3);
        const int64_t t1 = Stopwatch::nanoseconds();
        udpSend(direct, buffer.data(), FrameSize, Traffic::loopbackAddress, port, 1000000);
        if (udpReceiveTimed(socket, buffer.data(), int32_t(buffer.size()), 1000000, 0) < 0)
            break;
        bare.push_back(double(Stopwatch::nanoseconds() - t1) / 1e3);
    }
    udpClose(direct);
    udpClose(socket);
    QFile::remove(recording);
    if (stepped.size() != size_t(Steps))
        return false;
    std::sort(stepped.begin(), stepped.end());
    std::sort(bare.begin(), bare.end());
    const bool met = Bench::quantile(stepped, 0.99) < 20000;
    std::printf("step to arrival, %d steps: p50 %.0f us, p99 %.0f us, max %.0f us | bare send: p50 %.0f us, p99 %.0f us "
                "| %s\n",
                Steps, Bench::quantile(stepped, 0.5), Bench::quantile(stepped, 0.99), Bench::quantile(stepped, 1.0),
                Bench::quantile(bare, 0.5), Bench::quantile(bare, 0.99), met ? "met" : "MISSED");
    return met;
}

}

int main(int argc, char *argv[])
{
    Bench::Session session(
        argc, argv, QStringLiteral("Playback timing of the player, alone and in the window."),
        {
            {QStringLiteral("receiver"), QStringLiteral("Path of korvel-recv."), QStringLiteral("PATH")},
            {QStringLiteral("program"), QStringLiteral("Path of korvel-recorder."), QStringLiteral("PATH")},
            Bench::Session::senderOption(),
            {QStringLiteral("seconds"), QStringLiteral("Seconds per run (default 4)."), QStringLiteral("S")},
            {QStringLiteral("repeats"), QStringLiteral("Runs of each case, judged on their medians (default 3)."),
             QStringLiteral("N")},
            {QStringLiteral("stamp-seconds"), QStringLiteral("Length of the every-timestamp case (default 20)."),
             QStringLiteral("S")},
            {QStringLiteral("only"), QStringLiteral("Only the fixed rate HZ at 1x."), QStringLiteral("HZ")},
            {QStringLiteral("no-load"), QStringLiteral("Without the two busy processes.")},
            {QStringLiteral("no-realtime"), QStringLiteral("Without the real-time runs.")},
        });
    const double seconds = session.number(QStringLiteral("seconds"), 4.0);
    const int repeats = std::max(1, int(session.number(QStringLiteral("repeats"), 3)));
    const bool realtime = !session.parser.isSet(QStringLiteral("no-realtime"));
    // The defined load: two processes that never sleep, at nice 0, on this 2-core machine.
    Bench::Tool busy[2];
    const bool loaded = !session.parser.isSet(QStringLiteral("no-load"));
    for (Bench::Tool &tool : busy) {
        if (loaded && !tool.start(QStringLiteral("/bin/sh"), {QStringLiteral("-c"), QStringLiteral("while :; do :; done")}))
            return 1;
    }
    const QString program = session.parser.value(QStringLiteral("program"));
    const Paths paths{session.sender(),
                      Bench::toolPath(session.parser.value(QStringLiteral("receiver")), "korvel-recv"),
                      program.isEmpty() ? QStringLiteral(KORVEL_BINARY) : program};
    if (session.workDir.isEmpty() || seconds <= 0) {
        std::printf("!! no temporary directory or no duration\n");
        return 1;
    }
    Bench::printLoad("at start");
    std::printf("%s, %d runs of %.0f s per case\ngoals (on the medians): fitted |ppm| < 10, first frame within 100 us of the later frames' schedule, none skipped "
                "or repeated, p99 |d-P| <= 1.5 x reference + 50 us (the window at 1 kHz too); real-time where granted: "
                "p99 <= 200 us, its CPU price beside it; every timestamp p99 < 200 us and last frame within 1 ms; "
                "step < 20 ms; arrivals by kernel receive stamps\n",
                loaded ? "load: two busy processes at nice 0" : "load: none added", repeats, seconds);
    int missed = 0;
    if (session.parser.isSet(QStringLiteral("only")))
        return session.finish(fixedCase(session.workDir, paths, session.number(QStringLiteral("only"), 240), 1.0,
                                        seconds, repeats, realtime) ? 0 : 1);
    for (double hertz : {60.0, 240.0, 1000.0, 5000.0, 10000.0})
        missed += fixedCase(session.workDir, paths, hertz, 1.0, seconds, repeats, realtime) ? 0 : 1;
    for (double speed : {0.1, 2.0, 10.0})
        missed += fixedCase(session.workDir, paths, 240.0, speed, seconds, repeats, realtime) ? 0 : 1;
    missed += windowCase(session.workDir, paths, 1000.0, seconds, repeats, realtime) ? 0 : 1;
    missed += everyTimestampCase(session.workDir, paths, session.number(QStringLiteral("stamp-seconds"), 20.0),
                                 realtime) ? 0 : 1;
    missed += stepCase(session.workDir) ? 0 : 1;
    return session.finish(missed);
}
