// korvel-recorder play: the window's player without the window.

#include "cli/command_line.h"
#include "cli/command_line_support.h"
#include "platform/console.h"
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
    korvel-recorder play FILE --dest HOST:PORT [--dest HOST:PORT]
                         [--rate HZ | --pace first-two | --pace every] [--speed X]
                         [--loop [COUNT]] [--from FRAME] [--until FRAME] [--renumber] [--json]

DESCRIPTION
    Sends each frame of FILE as one datagram to every destination, as the
    window plays: the frame's lines without comments, each trimmed and ended by
    CR LF. The text before the first frame line is never sent. Frames longer
    than one datagram are skipped and counted.

    The first frame goes out one period after the start. Without --rate or
    --pace the period comes from the first two "ts" lines when they increase,
    else the rate is 4 Hz. At most 20 000 frames a second are sent.

    The host and the file are checked before anything is sent. SIGINT (Ctrl+C)
    or SIGTERM stops the playback, which then ends like a complete one: what
    was sent is reported and the exit status is 0 unless a send failed.

OPTIONS
    --dest HOST:PORT    a destination; give it twice for two
    --rate HZ           a fixed rate
    --pace first-two    the period of the first two "ts" lines (4 Hz without them)
    --pace every        follow every "ts" line
    --speed X           play X times as fast, 0.01 to 100 (default 1)
    --loop [COUNT]      play COUNT passes in all, one empty period between two;
                        without COUNT, endlessly. A whole number right after
                        --loop is always its COUNT: write ./3 for a file named 3.
    --from FRAME        start at the first stored frame at or after FRAME
    --until FRAME       end with the last stored frame at or before FRAME
    --renumber          with --loop, carry the "fr" numbers and "ts" values on
                        across passes instead of repeating them
    --json              print one JSON line at the end: frames_sent,
                        send_errors, rate_hz, duration_s (start to end),
                        jitter_p50_us and jitter_p99_us (lateness of each send
                        against its deadline) and destinations
                        ([{host, port, sent}])

EXIT STATUS
    0 every frame was sent, 1 the file cannot be read, a host cannot be
    resolved or a send failed, 2 usage error.
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
        connect(&player, &Player::failed, this, [this](int destination, const QString &reason) {
            failure = destination == 0 ? QStringLiteral("%1: %2").arg(this->path, reason)
                                       : QStringLiteral("sending to %1:%2 failed: %3")
                                             .arg(this->destinations.value(destination - 1).host)
                                             .arg(this->destinations.value(destination - 1).port)
                                             .arg(reason);
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
        if (json) {
            QJsonArray sent;
            for (qsizetype i = 0; i < destinations.size(); ++i)
                sent.append(QJsonObject{{QStringLiteral("host"), destinations[i].host},
                                        {QStringLiteral("port"), destinations[i].port},
                                        {QStringLiteral("sent"), stats.sentTo.value(i)}});
            printJson({{QStringLiteral("frames_sent"), stats.framesSent},
                       {QStringLiteral("send_errors"), stats.sendErrors},
                       {QStringLiteral("rate_hz"), player.rate()},
                       {QStringLiteral("duration_s"), seconds},
                       {QStringLiteral("jitter_p50_us"), stats.lateP50},
                       {QStringLiteral("jitter_p99_us"), stats.lateP99},
                       {QStringLiteral("destinations"), sent}});
        }
        if (failure.isEmpty() && stats.sendErrors > 0)
            failure = QStringLiteral("%1 sends failed").arg(stats.sendErrors);
        QCoreApplication::exit(failure.isEmpty() ? ExitSuccess : fail(ExitFailure, failure));
    }

    Player &player;
    QString path;
    QList<Destination> destinations;
    QString failure;
    QElapsedTimer clock;
    bool json = false;
    bool finished = false;
};

}

int play(const QStringList &arguments)
{
    QCommandLineParser parser;
    parser.addOptions({{QStringLiteral("dest"), QString(), QStringLiteral("HOST:PORT")},
                       {QStringLiteral("rate"), QString(), QStringLiteral("HZ")},
                       {QStringLiteral("pace"), QString(), QStringLiteral("first-two|every")},
                       {QStringLiteral("speed"), QString(), QStringLiteral("X")},
                       {QStringLiteral("loop"), QString(), QStringLiteral("COUNT")},
                       {QStringLiteral("from"), QString(), QStringLiteral("FRAME")},
                       {QStringLiteral("until"), QString(), QStringLiteral("FRAME")},
                       {QStringLiteral("renumber"), QString()},
                       {QStringLiteral("json"), QString()}});
    const int parsed = parse(parser, expandLoop(arguments), manual, 1, {QStringLiteral("dest")});
    if (parsed >= 0)
        return parsed;

    if (parser.values(QStringLiteral("dest")).isEmpty())
        return fail(ExitUsage, QStringLiteral("give --dest HOST:PORT once or twice (see --help)"));
    QList<Destination> destinations;
    Player::Options options;
    if (!readDestinations(parser, destinations) || !readPace(parser, options))
        return ExitUsage;
    double speed = 1;
    qint64 loop = -1, from = 0, until = std::numeric_limits<int>::max();
    if (!readNumber(parser, QStringLiteral("speed"), 0.01, 100, speed)
        || !readInteger(parser, QStringLiteral("loop"), 0, std::numeric_limits<int>::max(), loop)
        || !readInteger(parser, QStringLiteral("from"), 0, std::numeric_limits<int>::max(), from)
        || !readInteger(parser, QStringLiteral("until"), 0, std::numeric_limits<int>::max(), until))
        return ExitUsage;
    if (from > until)
        return fail(ExitUsage, QStringLiteral("--from %1 lies after --until %2").arg(from).arg(until));

    // Everything that can fail before the first send fails here.
    for (Destination &destination : destinations) {
        if (!resolve(destination))
            return fail(ExitFailure, QStringLiteral("cannot resolve host \"%1\"").arg(destination.host));
    }
    const QString path = parser.positionalArguments().constFirst();
    auto index = std::make_shared<RecordingIndex>();
    const IndexResult indexed = RecordingIndex::build(path, *index);
    if (indexed.status != IndexResult::Loaded)
        return fail(ExitFailure, RecordingIndex::failureText(path, indexed));

    if (parser.isSet(QStringLiteral("from")) || parser.isSet(QStringLiteral("until"))) {
        const int first = index->contains(int(from)) ? int(from) : index->nextFrame(int(from));
        if (first < 0 || first > until)
            return fail(ExitFailure, parser.isSet(QStringLiteral("until"))
                                         ? QStringLiteral("%1: no frame from %2 to %3").arg(path).arg(from).arg(until)
                                         : QStringLiteral("%1: no frame from %2 on").arg(path).arg(from));
    }

    options.loop = loop >= 0;
    options.passes = int(qMax<qint64>(loop, 0));
    options.renumber = parser.isSet(QStringLiteral("renumber"));

    Player player;
    if (!player.hasSendSocket())
        return fail(ExitFailure, QStringLiteral("no socket to send from (code %1)").arg(player.socketOpenResult()));
    QList<Player::Destination> targets;
    for (const Destination &destination : destinations)
        targets << Player::Destination{destination.host, destination.address, destination.port};
    player.setRecording(index);
    player.setDestinations(targets);
    player.setOptions(options);
    player.setSpeed(speed);
    if (parser.isSet(QStringLiteral("from")) || parser.isSet(QStringLiteral("until")))
        player.setRange(int(from), int(until));
    return PlayRun(player, path, destinations, parser.isSet(QStringLiteral("json"))).exec();
}

}
