// korvel-recorder play: the window's player without the window.

#include "cli/command_line.h"
#include "cli/command_line_support.h"
#include "cli/range_options.h"
#include "platform/console.h"
#include "play/multicast_options.h"
#include "play/player.h"
#include "play/recording_index.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QJsonArray>
#include <QSocketNotifier>
#include <QTimer>

#include <limits>
#include <memory>

namespace CommandLine {

namespace {

const char manual[] = R"(NAME
    korvel-recorder play - send a recording's frames as UDP datagrams

SYNOPSIS
    korvel-recorder play FILE --dest HOST:PORT [--dest HOST:PORT]...
                         [--rate HZ | --pace first-two | --pace every] [--speed X]
                         [--loop [COUNT]] [--from FRAME] [--until FRAME] [--renumber] [--json]
                         [--from-marker LABEL] [--until-marker LABEL]
                         [--realtime] [--max-late-us N] [--max-rate-error-ppm N]
                         [--drop FRAMES] [--duplicate FRAMES] [--reorder FRAMES]
                         [--delay MEAN_MS[:JITTER_MS]] [--seed N]
                         [--lockstep [--ack-timeout MS] | --topspeed]
                         [--ttl N] [--interface IFNAME] [--multicast-loop on|off]

DESCRIPTION
    Sends each frame of FILE as one datagram to every destination, as the
    window plays: the frame's lines without comments, each trimmed and ended by
    CR LF. The text before the first frame line is never sent. Frames longer
    than one datagram are skipped and counted.

    The first frame goes out two periods after the start: the first period
    primes the schedule and sends nothing, as in the window. Without --rate or
    --pace the period comes from the first two "ts" lines when they increase,
    else the rate is 4 Hz. At most 20 000 frames a second are sent.

    The host and the file are checked before anything is sent. SIGINT (Ctrl+C)
    or SIGTERM stops the playback, which then ends like a complete one: what
    was sent is reported and the exit status is 0 unless a send failed.

OPTIONS
    --dest HOST:PORT    a destination: a name, an IPv4 address or [IPv6
                        ADDRESS]:PORT, unicast or a multicast group; up to 16
                        (a name with both kinds of address gets IPv4)
    --ttl N             hop limit of multicast datagrams, 0 to 255 (default 1:
                        the local network only)
    --interface IFNAME  send multicast datagrams out of this interface
    --multicast-loop on|off
                        whether listeners on this machine hear the multicast
                        datagrams (default on)
    --rate HZ           a fixed rate
    --pace first-two    the period of the first two "ts" lines (4 Hz without them)
    --pace every        follow every "ts" line
    --speed X           play X times as fast, 0.01 to 100 (default 1)
    --loop [COUNT]      play COUNT passes in all, one empty period between two;
                        without COUNT, endlessly. A whole number right after
                        --loop is always its COUNT: write ./3 for a file named 3.
    --from FRAME        start at the first stored frame at or after FRAME
    --until FRAME       end with the last stored frame at or before FRAME
    --from-marker LABEL, --until-marker LABEL
                        the same at the frame of the marker labelled LABEL in
                        FILE.marks; either may stand in for --from or --until
    --renumber          with --loop, carry the "fr" numbers and "ts" values on
                        across passes instead of repeating them
    --json              print one JSON line at the end: frames_sent,
                        send_errors, rate_hz, duration_s (start to end),
                        jitter_p50_us and jitter_p99_us (lateness of each send
                        against its deadline) and destinations
                        ([{host, port, sent}]); also late_max_us and
                        late_max_frame (the frame that went out latest, -1
                        when none was timed),
                        late_p999_us, first_late_us, rate_error_ppm (least-
                        squares fit of the send times on their deadlines),
                        late_histogram_us ({edges, counts}: counts[i] from
                        edges[i] up to the next edge, the last without end),
                        realtime, injected ({dropped, duplicated, reordered}:
                        frame numbers), round_trip_p50_us and
                        round_trip_p99_us (with --lockstep) and rate_reached_hz
                        (first to last send)

  Scheduling
    --realtime          ask for real-time scheduling (SCHED_FIFO within
                        RLIMIT_RTPRIO, else the best nice value allowed) and
                        spin the last 30 us before each deadline; the playback
                        goes on without it when refused ("realtime" in --json)

  Limits (exit status 3 when exceeded; overdue frames still go out, late)
    --max-late-us N     no frame may go out more than N us after its deadline
    --max-rate-error-ppm N
                        the fitted rate may be off by at most N ppm

  Faults, by frame (injected on purpose; the same seed gives the same faults)
    --drop FRAMES       leave frames out
    --duplicate FRAMES  send frames twice in a row
    --reorder FRAMES    send a frame after the frame that follows it
                        FRAMES is a percentage (1.5%) or frame numbers
                        (100-102,200). With percentages a frame gets at most
                        one fault and the first and last frames get none.
    --delay MEAN_MS[:JITTER_MS]
                        delay each frame by MEAN_MS, give or take up to
                        JITTER_MS, without moving later deadlines
    --seed N            the seed of the percentages and the delays (default 0)

  Pacing by the receiver
    --lockstep          send each frame only after any datagram came back to
                        the player's address and port for the previous one
    --ack-timeout MS    with --lockstep: how long to wait (default 1000); a
                        frame not acknowledged in time ends the playback with
                        exit status 1 naming it
    --topspeed          send the frames back to back, as fast as the socket
                        takes them

EXIT STATUS
    0 every frame was sent, 1 the file cannot be read, a host cannot be
    resolved, a send failed (an IPv6 destination where this machine has no
    IPv6 included) or a lockstep frame was not acknowledged, 2 usage
    error, 3 the playback ran but outside --max-late-us or
    --max-rate-error-ppm.
)";

// QCommandLineParser has no options with an optional value: "--loop COUNT"
// becomes "--loop=COUNT" when COUNT is a whole number, and a bare "--loop"
// becomes "--loop=0", endless.
QStringList expandLoop(const QStringList &arguments)
{
    QStringList expanded;
    for (qsizetype i = 0; i < arguments.size(); ++i) {
        if (arguments[i] == QLatin1String("--")) {
            expanded << arguments.mid(i);
            break;
        }
        if (arguments[i] != QLatin1String("--loop")) {
            expanded << arguments[i];
            continue;
        }
        bool number = false;
        arguments.value(i + 1).toUInt(&number);
        expanded << QStringLiteral("--loop=") + (number ? arguments[++i] : QStringLiteral("0"));
    }
    return expanded;
}

// One playback: started, ended by the last pass, a failed send or a signal, then reported.
class PlayRun : public QObject
{
public:
    PlayRun(Player &player, const QString &path, const QList<Destination> &destinations, bool json)
        : player(player), path(path), destinations(destinations), json(json)
    {
        connect(&player, &Player::started, this, [this] { clock.start(); });
        connect(&player, &Player::finished, this, &PlayRun::finish);
        connect(&player, &Player::failed, this, [this](const PlaybackFailure &failed) {
            failure = failed.texts(this->path).commandLine;
            finish();
        });
    }

    int exec()
    {
        const int stopSignal = Console::stopSignalDescriptor();
        if (stopSignal >= 0) {
            auto *notifier = new QSocketNotifier(stopSignal, QSocketNotifier::Read, this);
            connect(notifier, &QSocketNotifier::activated, this, &PlayRun::finish);
        }
        if (Console::isTerminal(1)) {
            auto *status = new QTimer(this);
            connect(status, &QTimer::timeout, this, &PlayRun::showStatus);
            status->start(250);
        }
        player.play();
        return QCoreApplication::exec();
    }

private:
    void showStatus()
    {
        printStatusLine(QStringLiteral("playing %1  frame %2  sent %3  %4 Hz")
                            .arg(path)
                            .arg(player.position())
                            .arg(player.stats().framesSent)
                            .arg(player.rate(), 0, 'f', 1));
    }

    void finish()
    {
        if (finished)
            return;
        finished = true;
        const double seconds = clock.isValid() ? double(clock.nsecsElapsed()) / 1e9 : 0.0;
        player.stop();
        const Player::Stats stats = player.stats();
        endStatusLine();
        if (json)
            printReport(stats, seconds);
        if (failure.isEmpty() && stats.sendErrors > 0)
            failure = QStringLiteral("%1 sends failed").arg(stats.sendErrors);
        if (!failure.isEmpty())
            QCoreApplication::exit(fail(ExitFailure, failure));
        else if (stats.verdict.kind != PlaybackReport::Verdict::Within)
            QCoreApplication::exit(fail(ExitLimits, limitBreach(stats.verdict)));
        else
            QCoreApplication::exit(ExitSuccess);
    }

    QString limitBreach(const PlaybackReport::Verdict &verdict) const
    {
        const PlaybackLimits limits = player.options().limits;
        if (verdict.kind == PlaybackReport::Verdict::Late)
            return QStringLiteral("outside the limits: frame %1 went out %2 us late (--max-late-us %3)")
                .arg(verdict.frame)
                .arg(verdict.lateUs, 0, 'f', 0)
                .arg(limits.maxLateUs);
        return QStringLiteral("outside the limits: the rate is off by %1 ppm (--max-rate-error-ppm %2); "
                              "the latest frame, %3, went out %4 us late")
            .arg(verdict.ppm, 0, 'f', 1)
            .arg(limits.maxRateErrorPpm)
            .arg(verdict.frame)
            .arg(verdict.lateUs, 0, 'f', 0);
    }

    void printReport(const Player::Stats &stats, double seconds) const
    {
        QJsonArray sent;
        for (qsizetype i = 0; i < destinations.size(); ++i)
            sent.append(QJsonObject{{QStringLiteral("host"), destinations[i].host},
                                    {QStringLiteral("port"), destinations[i].port},
                                    {QStringLiteral("sent"), stats.sentTo.value(i)}});
        const PlaybackReport::Figures &timing = stats.timing;
        QJsonArray edges, counts;
        for (double edge : PlaybackReport::BucketEdges)
            edges.append(edge);
        for (qint64 count : timing.buckets)
            counts.append(count);
        const auto frames = [this](FaultPlan::Fault fault) {
            QJsonArray list;
            for (int frame : player.injected(fault))
                list.append(frame);
            return list;
        };
        QJsonObject report{{QStringLiteral("frames_sent"), stats.framesSent},
                           {QStringLiteral("send_errors"), stats.sendErrors},
                           {QStringLiteral("rate_hz"), player.rate()},
                           {QStringLiteral("duration_s"), seconds},
                           {QStringLiteral("jitter_p50_us"), timing.lateP50},
                           {QStringLiteral("jitter_p99_us"), timing.lateP99},
                           {QStringLiteral("destinations"), sent},
                           {QStringLiteral("late_max_us"), timing.lateMax},
                           {QStringLiteral("late_max_frame"), timing.lateMaxFrame},
                           {QStringLiteral("late_p999_us"), timing.lateP999},
                           {QStringLiteral("first_late_us"), timing.firstLate},
                           {QStringLiteral("rate_error_ppm"), timing.rateErrorPpm},
                           {QStringLiteral("late_histogram_us"),
                            QJsonObject{{QStringLiteral("edges"), edges}, {QStringLiteral("counts"), counts}}},
                           {QStringLiteral("realtime"), stats.realtime},
                           {QStringLiteral("rate_reached_hz"), timing.rateReached},
                           {QStringLiteral("injected"),
                            QJsonObject{{QStringLiteral("dropped"), frames(FaultPlan::Drop)},
                                        {QStringLiteral("duplicated"), frames(FaultPlan::Duplicate)},
                                        {QStringLiteral("reordered"), frames(FaultPlan::Reorder)}}}};
        if (player.options().mode == Player::Lockstep) {
            report.insert(QStringLiteral("round_trip_p50_us"), timing.roundTripP50);
            report.insert(QStringLiteral("round_trip_p99_us"), timing.roundTripP99);
        }
        printJson(report);
    }

    Player &player;
    QString path;
    QList<Destination> destinations;
    QString failure;
    QElapsedTimer clock;
    bool json = false;
    bool finished = false;
};

// The options that make the player a test instrument: scheduling, limits,
// faults and the receiver's pace. False after a usage error.
bool readInstrument(const QCommandLineParser &parser, Player::Options &options)
{
    options.realtime = parser.isSet(QStringLiteral("realtime"));
    if (!readNumber(parser, QStringLiteral("max-late-us"), 1, 1e12, options.limits.maxLateUs)
        || !readNumber(parser, QStringLiteral("max-rate-error-ppm"), 1e-3, 1e6, options.limits.maxRateErrorPpm))
        return false;
    FaultOptions &faults = options.faults;
    const std::pair<const char *, FaultChoice *> choices[] = {
        {"drop", &faults.drop}, {"duplicate", &faults.duplicate}, {"reorder", &faults.reorder}};
    double percent = 0;
    for (const auto &[name, choice] : choices) {
        const QString option = QLatin1String(name);
        QString reason;
        if (parser.isSet(option) && !FaultChoice::parse(parser.value(option), *choice, reason)) {
            fail(ExitUsage, QStringLiteral("--%1 %2: %3").arg(option, parser.value(option), reason));
            return false;
        }
        percent += choice->percent;
    }
    if (percent > 100) {
        fail(ExitUsage, QStringLiteral("--drop, --duplicate and --reorder add up to more than 100%"));
        return false;
    }
    QString reason;
    if (parser.isSet(QStringLiteral("delay"))
        && !FaultOptions::parseDelay(parser.value(QStringLiteral("delay")), faults, reason)) {
        fail(ExitUsage, QStringLiteral("--delay %1: %2").arg(parser.value(QStringLiteral("delay")), reason));
        return false;
    }
    qint64 seed = 0, ackTimeout = options.ackTimeoutMs;
    if (!readInteger(parser, QStringLiteral("seed"), 0, std::numeric_limits<qint64>::max(), seed)
        || !readInteger(parser, QStringLiteral("ack-timeout"), 1, 3600000, ackTimeout))
        return false;
    faults.seed = quint64(seed);
    options.ackTimeoutMs = int(ackTimeout);
    const bool lockstep = parser.isSet(QStringLiteral("lockstep"));
    const bool topspeed = parser.isSet(QStringLiteral("topspeed"));
    if (lockstep && topspeed) {
        fail(ExitUsage, QStringLiteral("--lockstep and --topspeed exclude each other (see --help)"));
        return false;
    }
    if (parser.isSet(QStringLiteral("ack-timeout")) && !lockstep) {
        fail(ExitUsage, QStringLiteral("--ack-timeout needs --lockstep (see --help)"));
        return false;
    }
    if ((lockstep || topspeed) && parser.isSet(QStringLiteral("delay"))) {
        fail(ExitUsage, QStringLiteral("--delay needs a paced playback: not with --lockstep or --topspeed"));
        return false;
    }
    options.mode = lockstep ? Player::Lockstep : topspeed ? Player::TopSpeed : Player::Paced;
    return true;
}

}

int play(const QStringList &arguments)
{
    QCommandLineParser parser;
    parser.addOptions({{QStringLiteral("dest"), QString(), QStringLiteral("HOST:PORT")},
                       {QStringLiteral("rate"), QString(), QStringLiteral("HZ")},
                       {QStringLiteral("pace"), QString(), QStringLiteral("first-two|every")},
                       {QStringLiteral("speed"), QString(), QStringLiteral("X")},
                       {QStringLiteral("loop"), QString(), QStringLiteral("COUNT")},
                       {QStringLiteral("renumber"), QString()},
                       {QStringLiteral("json"), QString()},
                       {QStringLiteral("realtime"), QString()},
                       {QStringLiteral("max-late-us"), QString(), QStringLiteral("N")},
                       {QStringLiteral("max-rate-error-ppm"), QString(), QStringLiteral("N")},
                       {QStringLiteral("drop"), QString(), QStringLiteral("FRAMES")},
                       {QStringLiteral("duplicate"), QString(), QStringLiteral("FRAMES")},
                       {QStringLiteral("reorder"), QString(), QStringLiteral("FRAMES")},
                       {QStringLiteral("delay"), QString(), QStringLiteral("MEAN_MS[:JITTER_MS]")},
                       {QStringLiteral("seed"), QString(), QStringLiteral("N")},
                       {QStringLiteral("lockstep"), QString()},
                       {QStringLiteral("ack-timeout"), QString(), QStringLiteral("MS")},
                       {QStringLiteral("topspeed"), QString()},
                       {QStringLiteral("ttl"), QString(), QStringLiteral("N")},
                       {QStringLiteral("interface"), QString(), QStringLiteral("IFNAME")},
                       {QStringLiteral("multicast-loop"), QString(), QStringLiteral("on|off")}});
    addRangeOptions(parser);
    const int parsed = parse(parser, expandLoop(arguments), manual, 1, {QStringLiteral("dest")});
    if (parsed >= 0)
        return parsed;

    if (parser.values(QStringLiteral("dest")).isEmpty())
        return fail(ExitUsage, QStringLiteral("give --dest HOST:PORT from once to %1 times (see --help)")
                                   .arg(Player::MaximumDestinations));
    QList<Destination> destinations;
    Player::Options options;
    double speed = 1;
    qint64 loop = -1;
    if (!readDestinations(parser, destinations) || !readPace(parser, options)
        || !readNumber(parser, QStringLiteral("speed"), 0.01, 100, speed)
        || !readInteger(parser, QStringLiteral("loop"), 0, std::numeric_limits<int>::max(), loop))
        return ExitUsage;
    const QString path = parser.positionalArguments().constFirst();
    RangeChoice range;
    const int ranged = readRange(parser, path, range);
    if (ranged >= 0)
        return ranged;
    const qint64 from = range.from, until = range.until;
    Player::Multicast multicast;
    MulticastOptionsError wrong;
    if (!parseMulticastOptions(parser.value(QStringLiteral("ttl")), parser.value(QStringLiteral("interface")),
                               parser.value(QStringLiteral("multicast-loop")), multicast, &wrong)) {
        static const char *const names[] = {"ttl", "interface", "multicast-loop"};
        return fail(ExitUsage, QStringLiteral("--%1 %2: %3").arg(QLatin1String(names[wrong.field]), wrong.value,
                                                                 wrong.reason));
    }

    // Everything that can fail before the first send fails here.
    for (Destination &destination : destinations) {
        if (!resolve(destination))
            return fail(ExitFailure, QStringLiteral("cannot resolve host \"%1\"").arg(destination.host));
    }
    auto index = std::make_shared<RecordingIndex>();
    const IndexResult indexed = RecordingIndex::build(path, *index);
    if (indexed.status != IndexResult::Loaded)
        return fail(ExitFailure, RecordingIndex::failureText(path, indexed));

    if (range.given()) {
        const int first = index->contains(int(from)) ? int(from) : index->nextFrame(int(from));
        if (first < 0 || first > until)
            return fail(ExitFailure, range.hasUntil
                                         ? QStringLiteral("%1: no frame from %2 to %3").arg(path).arg(from).arg(until)
                                         : QStringLiteral("%1: no frame from %2 on").arg(path).arg(from));
    }

    options.loop = loop >= 0;
    options.passes = int(qMax<qint64>(loop, 0));
    options.renumber = parser.isSet(QStringLiteral("renumber"));
    if (!readInstrument(parser, options))
        return ExitUsage;

    Player player;
    if (!player.hasSendSocket())
        return fail(ExitFailure, QStringLiteral("no socket to send from (code %1)").arg(player.socketOpenResult()));
    if (!player.setMulticast(multicast))
        return fail(ExitFailure, QStringLiteral("the multicast options cannot be set: %1").arg(qt_error_string(errno)));
    player.setRecording(index);
    player.setDestinations(destinations);
    player.setOptions(options);
    player.setSpeed(speed);
    if (range.given())
        player.setRange(int(from), int(until));
    return PlayRun(player, path, destinations, parser.isSet(QStringLiteral("json"))).exec();
}

}
