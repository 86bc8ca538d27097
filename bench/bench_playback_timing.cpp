// Playback timing of the real window, offscreen: the rate, frame sequence and
// jitter that korvel-recv sees on 127.0.0.1, and the window's CPU share.

#include "app/korvel_recorder.h"
#include "bench/window_bench.h"
#include "tools/traffic.h"

#include <QCheckBox>
#include <QCommandLineParser>
#include <QFile>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <vector>

namespace {

constexpr int FrameSize = 300;
constexpr double StampRate = 240.0;

struct Case {
    const char *name;
    double frequency;   // the FREQUENCY setting
    bool timestamps;    // the TIMESTAMP setting
    double expectedHz;  // what the user asked for
};

// Writes `frames` frames as korvel-send --out would, stamped 1/240 s apart.
bool writeRecording(const QString &path, int frames)
{
    const Traffic::FrameComposer composer(FrameSize, 1, 1000.0, StampRate);
    std::vector<char> buffer(size_t(composer.capacity()));
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return false;
    for (int i = 0; i < frames; ++i) {
        const int length = composer.compose(uint32_t(i), buffer.data());
        if (file.write(buffer.data(), length) != length)
            return false;
    }
    return true;
}

double stampOf(uint32_t index)
{
    const Traffic::FrameComposer composer(FrameSize, 1, 1000.0, StampRate);
    std::vector<char> buffer(size_t(composer.capacity()));
    composer.compose(index, buffer.data());
    const char *ts = std::strstr(buffer.data(), "\nts ");
    return ts ? std::strtod(ts + 4, nullptr) : 0.0;
}

// The send period the window derives, with its own arithmetic: from the
// setting, or from the stamps of the first two frames in float.
uint32_t windowPeriod(const Case &c)
{
    if (!c.timestamps)
        return uint32_t(1000000.0 / c.frequency);
    const float rate = float(1.0 / (stampOf(1) - stampOf(0)));
    return uint32_t(1000000.0f / rate);
}

struct Paths {
    QString sender;
    QString receiver;
    // korvel-recv at a real-time priority: its own wake-up delays then hardly add to the jitter it sees.
    bool receiverRealTime = false;
};

// Starts korvel-recv for `count` datagrams on a free port and returns the port, empty on failure.
QString startReceiver(Bench::Tool &receiver, const Paths &paths, long long count, double seconds)
{
    QStringList arguments = {QStringLiteral("--port"), QStringLiteral("0"), QStringLiteral("--count"),
                             QString::number(count), QStringLiteral("--timeout-ms"), QStringLiteral("5000"),
                             QStringLiteral("--duration"), QString::number(seconds + 30)};
    QString program = paths.receiver;
    if (paths.receiverRealTime) {
        arguments = QStringList{QStringLiteral("-f"), QStringLiteral("10"), program} + arguments;
        program = QStringLiteral("chrt");
    }
    if (!receiver.start(program, arguments))
        return QString();
    const QByteArray listening = receiver.waitForLine("listening port=", 5000);
    if (listening.isEmpty())
        std::printf("!! korvel-recv did not start listening\n");
    return QString::fromLatin1(listening.mid(int(sizeof "listening port=") - 1));
}

void printJitter(const Bench::Tool &receiver)
{
    std::printf("jitter |interval - mean|: p50 %.1f us, p99 %.1f us, max %.1f us\n",
                receiver.value("jitter_p50_us"), receiver.value("jitter_p99_us"), receiver.value("jitter_max_us"));
}

// The same rate from korvel-send, which sleeps to each deadline on its own:
// what the machine's scheduling alone costs in jitter right now.
void referenceRun(const Paths &paths, double nominal, long long intervals, double seconds)
{
    Bench::Tool receiver;
    const QString port = startReceiver(receiver, paths, intervals + 1, seconds);
    Bench::Tool sender;
    if (port.isEmpty()
        || !sender.start(paths.sender, {QStringLiteral("--port"), port, QStringLiteral("--rate"),
                                        QString::number(nominal, 'f', 6), QStringLiteral("--count"),
                                        QString::number(intervals + 1), QStringLiteral("--size"),
                                        QString::number(FrameSize)}))
        return;
    sender.waitFinished(int(seconds + 40) * 1000);
    receiver.waitFinished(10000);
    std::printf("   reference, korvel-send at %.4f Hz alone: mean %.4f Hz, ", nominal, receiver.value("rate_hz"));
    printJitter(receiver);
}

bool runCase(const Case &c, const QString &workDir, const Paths &paths, double seconds, bool viewOff, bool reference)
{
    const uint32_t period = windowPeriod(c);
    const double nominal = 1e6 / double(period);
    const long long intervals = std::llround(seconds * nominal);
    // Longer than the run, so the loop never wraps and every frame number is new.
    const int frames = int(intervals) + int(nominal * 10);
    const QString dir = workDir + QLatin1String("/play-") + QString::number(int(c.expectedHz));
    const QString recording = dir + QLatin1String("/recording.wly");
    QDir().mkpath(dir);
    if (!writeRecording(recording, frames)) {
        std::printf("!! cannot write %s\n", qPrintable(recording));
        return false;
    }

    Bench::Tool receiver;
    const QString port = startReceiver(receiver, paths, intervals + 1, seconds);
    if (port.isEmpty())
        return false;

    Fixture::SettingsFile settings = Bench::settingsIn(dir);
    settings.port1 = port;
    settings.port2 = port;
    settings.frequency = QString::number(c.frequency);
    settings.timestamp = c.timestamps ? QStringLiteral("true") : QStringLiteral("false");
    if (!Fixture::writeSettings(dir, settings))
        return false;

    double cpu = 0, wall = 0;
    {
        const Bench::Answerers answerers;
        Korvel_recorder window(dir);
        window.show();
        if (viewOff)
            window.findChild<QCheckBox *>(QStringLiteral("cb_disableView"))->setChecked(true);
        Modal::answerNextFileDialog(recording);
        if (!Bench::trigger(&window, "actionOpen"))
            return false;
        const double cpu0 = Bench::processCpu();
        const uint64_t wall0 = Stopwatch::microseconds();
        if (!Bench::trigger(&window, "actionPlay"))
            return false;
        receiver.waitFinished(int(seconds + 40) * 1000);
        cpu = Bench::processCpu() - cpu0;
        wall = double(Stopwatch::microseconds() - wall0);
        Bench::trigger(&window, "actionStop");
    }

    const double received = receiver.value("received");
    const double hertz = receiver.value("rate_hz");
    const double errorNominal = (hertz / nominal - 1.0) * 1e6;
    const double errorAsked = (hertz / c.expectedHz - 1.0) * 1e6;
    const double p99 = receiver.value("jitter_p99_us");
    const double gaps = receiver.value("gaps");
    const double repeats = receiver.value("repeats");
    const double outOfOrder = receiver.value("out_of_order");
    const double share = 100.0 * cpu / wall;
    std::printf("%s: %d frames of %d bytes, window period %u us -> nominal %.4f Hz\n", c.name, frames, FrameSize,
                period, nominal);
    std::printf("   received %.0f in %.3f s: mean %.4f Hz, %+.1f ppm (%+.4f %%) vs nominal, %+.1f ppm vs %.3f Hz\n",
                received, receiver.value("seconds"), hertz, errorNominal, errorNominal / 1e4, errorAsked,
                c.expectedHz);
    std::printf("   frames %.0f..%.0f: skipped %.0f, repeated %.0f, out of order %.0f\n", receiver.value("first_frame"),
                receiver.value("last_frame"), gaps, repeats, outOfOrder);
    std::printf("   ");
    printJitter(receiver);
    std::printf("   window process CPU %.0f us over %.1f s = %.2f %% of a core\n", cpu, wall / 1e6, share);
    const bool met = std::fabs(errorNominal) <= 100.0 && gaps == 0 && repeats == 0 && outOfOrder == 0 && p99 < 1500.0
                     && share < 5.0 && received == double(intervals + 1);
    std::printf("   goals (mean within 0.01 %%, no skip/repeat, p99 < 1.5 ms, CPU < 5 %%): %s\n",
                met ? "met" : "MISSED");
    std::fflush(stdout);
    Bench::removeTree(dir);
    if (reference)
        referenceRun(paths, nominal, intervals, seconds);
    return met;
}

}

int main(int argc, char *argv[])
{
    Bench::Session session(
        argc, argv, QStringLiteral("Playback timing of the real window."),
        {
            {QStringLiteral("receiver"), QStringLiteral("Path of korvel-recv."), QStringLiteral("PATH")},
            Bench::Session::senderOption(),
            {QStringLiteral("no-reference"), QStringLiteral("Skip the korvel-send reference run after each case.")},
            {QStringLiteral("receiver-rt"), QStringLiteral("Run korvel-recv under chrt -f 10 (needs the privilege).")},
            {QStringLiteral("seconds"), QStringLiteral("Seconds per case (default 60)."), QStringLiteral("S")},
            {QStringLiteral("only"), QStringLiteral("60 or 240."), QStringLiteral("HZ")},
            {QStringLiteral("view-off"), QStringLiteral("Tick \"disable view\" before playing.")},
        });
    const QCommandLineParser &parser = session.parser;
    const double seconds = session.number(QStringLiteral("seconds"), 60.0);
    const QString only = parser.value(QStringLiteral("only"));
    const Paths paths{session.sender(),
                      Bench::toolPath(parser.value(QStringLiteral("receiver")), "korvel-recv"),
                      parser.isSet(QStringLiteral("receiver-rt"))};
    if (session.workDir.isEmpty() || seconds <= 0) {
        std::printf("!! no temporary directory or no duration\n");
        return 1;
    }

    const Case cases[] = {
        {"60 Hz from FREQUENCY (TIMESTAMP false, LOOP true)", 60.0, false, 60.0},
        {"240 Hz from timestamps (TIMESTAMP true, LOOP true)", 60.0, true, 240.0},
    };
    Bench::printLoad("at start");
    std::printf("korvel-recv at %s priority\n", paths.receiverRealTime ? "real-time (chrt -f 10)" : "normal");
    int missed = 0;
    for (const Case &c : cases) {
        if (!only.isEmpty() && only.toDouble() != c.expectedHz)
            continue;
        missed += runCase(c, session.workDir, paths, seconds, parser.isSet(QStringLiteral("view-off")),
                          !parser.isSet(QStringLiteral("no-reference"))) ? 0 : 1;
    }
    return session.finish(missed);
}
