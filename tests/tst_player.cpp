// The player without a window: real recordings in a temporary folder, real UDP
// on 127.0.0.1, and a stepped clock whose time jumps to each deadline, so the
// schedule is checked to the nanosecond without waiting for it.

#include "play/player.h"
#include "play/recording_index.h"
#include "play/send_form.h"
#include "support/recorded_frames.h"
#include "support/fixture.h"

#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>

using namespace Fixture;
using namespace Frames;

namespace {

constexpr qint64 Start = 1000000000; // the stepped clock's first reading
constexpr qint64 Ms = 1000000;

}

class PlayerTest : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void passes_data();
    void passes();
    void pauseSeekAndResume_data();
    void pauseSeekAndResume();
    void stepAtBothEnds();
    void freshPlayForgetsTheLastRun_data();
    void freshPlayForgetsTheLastRun();
    void lateScheduleAndSpeedChange();
    void speedSteps();
    void renumberAcrossPasses();
    void renumberingKeepsOtherBytes_data();
    void renumberingKeepsOtherBytes();
    void destinationsAndFailures_data();
    void destinationsAndFailures();
    void oversizeFramesSkipped();
    void absurdStampsStayStoppable();

private:
    void open(const QByteArray &content);
    // Deadlines reached since the start, in ms.
    QList<double> deadlines() const;

    QTemporaryDir dir;
    SteppedPlaybackClock *clock = nullptr;
    std::unique_ptr<Player> player;
    std::unique_ptr<UdpPeer> receiver;
    quint16 port = 0;
};

void PlayerTest::init()
{
    auto stepped = std::make_unique<SteppedPlaybackClock>(Start);
    clock = stepped.get();
    player = std::make_unique<Player>(std::move(stepped));
    QVERIFY(player->hasSendSocket());
    port = freePort();
    receiver = std::make_unique<UdpPeer>(port);
    player->setDestinations({{QStringLiteral("127.0.0.1"), netIpv4(0x7F000001), port}});
    Player::Options options;
    options.frequency = 100;
    player->setOptions(options);
}

void PlayerTest::cleanup()
{
    player.reset();
    receiver.reset();
}

void PlayerTest::open(const QByteArray &content)
{
    const QString path = dir.filePath(QStringLiteral("recording.wly"));
    QVERIFY(writeFile(path, content));
    auto index = std::make_shared<RecordingIndex>();
    QCOMPARE(RecordingIndex::build(path, *index).status, IndexResult::Loaded);
    player->setRecording(index);
}

QList<double> PlayerTest::deadlines() const
{
    QList<double> list;
    for (qint64 deadline : clock->reached())
        list << double(deadline - Start) / Ms;
    return list;
}

void PlayerTest::passes_data()
{
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<int>("pace");
    QTest::addColumn<double>("hertz");
    QTest::addColumn<double>("speed");
    QTest::addColumn<int>("passes"); // 0: no loop
    QTest::addColumn<QList<int>>("range");
    QTest::addColumn<QList<int>>("frames");
    QTest::addColumn<QList<double>>("due"); // ms after Play
    QTest::addColumn<double>("rate");
    const auto row = [](const char *name, const QByteArray &content, Player::Pace pace, double hertz, double speed,
                        int passes, const QList<int> &range, const QList<int> &frames, const QList<double> &due,
                        double rate) {
        QTest::newRow(name) << content << int(pace) << hertz << speed << passes << range << frames << due << rate;
    };
    const Player::Pace fixed = Player::FixedRate, stamps = Player::EveryTimestamp;
    // The first period primes and sends nothing; the preamble is never sent.
    row("100 Hz, preamble", "# made by hand\r\n" + recording(1, 3), fixed, 100, 1, 0, {}, span(1, 3), {20, 30, 40},
        100);
    row("at 2x", recording(1, 3), fixed, 100, 2, 0, {}, span(1, 3), {10, 15, 20}, 200);
    // One empty period at the seam.
    row("loop, 2 passes", recording(1, 3), fixed, 100, 1, 2, {}, {1, 2, 3, 1, 2, 3}, {20, 30, 40, 60, 70, 80}, 100);
    row("range 3..5 with a lost 4, loop", recording(1, 8, {4}), fixed, 100, 1, 2, {3, 5}, {3, 5, 3, 5},
        {20, 30, 50, 60}, 100);
    row("range on lost ends", recording(1, 8, {2, 6}), fixed, 100, 1, 0, {2, 6}, span(3, 5), {20, 30, 40}, 100);
    row("30 kHz held to 20 kHz", recording(1, 3), fixed, 30000, 1, 0, {}, span(1, 3),
        {0.2 / 3, 0.2 / 3 + 0.05, 0.2 / 3 + 0.1}, 20000);
    row("240 Hz at 100x held to 20 kHz", recording(1, 3), fixed, 240, 100, 0, {}, span(1, 3),
        {1.0 / 12, 1.0 / 12 + 0.05, 1.0 / 12 + 0.1}, 20000);
    row("first two stamps, 10 ms", recording(1, 3), Player::FirstTwoTimestamps, 100, 1, 0, {}, span(1, 3),
        {20, 30, 40}, 100);
    // Four stamped frames over 40 ms: the empty periods take the mean, 13.3 ms;
    // the lost frame keeps its gap.
    row("every stamp, lost frame", recording(1, 5, {3}), stamps, 100, 1, 0, {}, {1, 2, 4, 5},
        {80.0 / 3, 80.0 / 3 + 10, 80.0 / 3 + 30, 80.0 / 3 + 40}, 75);
    row("every stamp, loop", recording(1, 3), stamps, 100, 1, 2, {}, {1, 2, 3, 1, 2, 3}, {20, 30, 40, 60, 70, 80},
        100);
    row("every stamp at 0.5x", recording(1, 3), stamps, 100, 0.5, 0, {}, span(1, 3), {40, 60, 80}, 50);
    // A late datagram plays where it arrived, byte for byte.
    const QByteArray swapped = recording(1, 1) + recording(3, 3) + recording(2, 2) + recording(4, 4);
    row("swapped, recorded order", swapped, fixed, 100, 1, 0, {}, {1, 3, 2, 4}, {20, 30, 40, 50}, 100);
    // The mean of the steps that are no anomaly (20 ms) paces the priming period.
    row("swapped, every stamp", swapped, stamps, 100, 1, 0, {}, {1, 3, 2, 4}, {40, 60, 70, 90}, 50);
    // Stamps whose interval is absurd pace nothing: the frequency stands in, and no
    // deadline overflows (the schedule thread used to spin on one, deaf to stop).
    const QByteArray absurd = "fr 1\r\nts 1\r\n" "fr 2\r\nts 1e308\r\n";
    const QByteArray unixTime = "fr 1\r\nts 0.5\r\n" "fr 2\r\nts 1700000000.25\r\n";
    row("first two stamps 1 and 1e308", absurd, Player::FirstTwoTimestamps, 100, 1, 0, {}, {1, 2}, {20, 30}, 100);
    row("every stamp, 1 and 1e308", absurd, stamps, 100, 1, 0, {}, {1, 2}, {20, 30}, 100);
    row("first two stamps, Unix time at 0.25x", unixTime, Player::FirstTwoTimestamps, 100, 0.25, 0, {}, {1, 2},
        {80, 120}, 25);
    row("every stamp, Unix time at 0.25x", unixTime, stamps, 100, 0.25, 0, {}, {1, 2}, {80, 120}, 25);
}

void PlayerTest::passes()
{
    QFETCH(QByteArray, content);
    QFETCH(int, pace);
    QFETCH(double, hertz);
    QFETCH(double, speed);
    QFETCH(int, passes);
    QFETCH(QList<int>, range);
    QFETCH(QList<int>, frames);
    QFETCH(QList<double>, due);
    QFETCH(double, rate);
    Player::Options options;
    options.pace = Player::Pace(pace);
    options.frequency = hertz;
    options.loop = passes > 0;
    options.passes = passes;
    player->setOptions(options);
    open(content);
    if (!range.isEmpty())
        player->setRange(range[0], range[1]);
    player->setSpeed(speed);
    QSignalSpy started(player.get(), &Player::started);
    QSignalSpy finished(player.get(), &Player::finished);
    // Sent as stored, whatever the stamps say.
    QList<QByteArray> expected;
    SendForm form;
    QByteArray raw;
    for (int frame : frames) {
        QVERIFY(player->recording()->readFrame(frame, raw));
        expected << form.datagram(raw);
    }
    player->play();
    QCOMPARE(receiver->receive(frames.size()), expected);
    QTRY_COMPARE(finished.size(), 1);
    QCOMPARE(player->state(), Player::Idle);
    QVERIFY(receiver->receive(1, 100).isEmpty());
    QCOMPARE(started.size(), 1);
    QCOMPARE(qRound(started[0][0].toDouble() * 1000), qRound(rate * 1000));
    QCOMPARE(qRound(player->rate() * 1000), qRound(rate * 1000));
    const QList<double> reached = deadlines();
    QCOMPARE(reached.size(), due.size());
    for (int i = 0; i < due.size(); ++i)
        QVERIFY2(qAbs(reached[i] - due[i]) < 1e-5, qPrintable(QString::number(reached[i])));
    QCOMPARE(player->position(), frames.last());
    QTRY_COMPARE(player->stats().framesSent, frames.size());

    // Another Play after the end starts afresh, never with the frame after the last.
    player->play();
    QCOMPARE(receiver->receive(frames.size()), expected);
    QTRY_COMPARE(finished.size(), 2);
}

void PlayerTest::pauseSeekAndResume_data()
{
    QTest::addColumn<QList<int>>("lost");
    QTest::addColumn<bool>("fromIdle"); // Go to frame before any Play
    QTest::addColumn<int>("chosen");
    QTest::addColumn<int>("shown");
    QTest::addColumn<int>("resumed");
    QTest::newRow("consecutive frames") << QList<int>() << false << 30 << 30 << 31;
    QTest::newRow("on a lost frame") << QList<int>{30} << false << 30 << 31 << 32;
    // Frame 120 begins with the digits of 12 and must not be taken for it.
    QTest::newRow("lost 12 before 120") << QList<int>{12} << false << 12 << 13 << 14;
    QTest::newRow("two lost in a row") << QList<int>{40, 41} << false << 40 << 42 << 43;
    QTest::newRow("back to the start") << QList<int>() << false << 1 << 1 << 2;
    QTest::newRow("beyond the end") << QList<int>() << false << 500 << 130 << -1;
    QTest::newRow("go to while idle") << QList<int>{7} << true << 7 << 8 << 9;
}

void PlayerTest::pauseSeekAndResume()
{
    QFETCH(QList<int>, lost);
    QFETCH(bool, fromIdle);
    QFETCH(int, chosen);
    QFETCH(int, shown);
    QFETCH(int, resumed);
    open(recording(1, 130, lost));
    QSignalSpy finished(player.get(), &Player::finished);
    if (!fromIdle) {
        clock->allow(2);
        player->play();
        QCOMPARE(receiver->receive(2), sent({1, 2}));
        QVERIFY(clock->waitHeld());
        player->pause();
        QCOMPARE(player->state(), Player::Paused);
        QCOMPARE(player->position(), 2);
    }
    player->seek(chosen);
    QCOMPARE(player->position(), shown);
    QCOMPARE(player->state(), Player::Paused);
    QVERIFY(receiver->receive(1, 100).isEmpty());

    const qint64 resumedAt = clock->now();
    clock->allow(2);
    player->play();
    if (resumed < 0) {
        QTRY_COMPARE(finished.size(), 1);
        QVERIFY(receiver->receive(1, 100).isEmpty());
        return;
    }
    QCOMPARE(receiver->receive(2), sent({resumed, resumed + 1}));
    // One period after the command, without priming.
    QVERIFY(clock->waitHeld());
    const std::vector<qint64> reached = clock->reached();
    QCOMPARE(reached[reached.size() - 2], resumedAt + 10 * Ms);
}

void PlayerTest::stepAtBothEnds()
{
    const quint16 secondPort = freePort();
    UdpPeer other(secondPort);
    player->setDestinations({{QStringLiteral("127.0.0.1"), netIpv4(0x7F000001), port},
                             {QStringLiteral("localhost"), netIpv4(0x7F000001), secondPort}});
    open(QByteArray("preamble\r\n") + recording(1, 4));
    QVERIFY(!player->step(-1));
    QCOMPARE(player->position(), -1);

    // Each step sends one frame, byte for byte as playback does, to both destinations.
    const QList<int> steps = {+1, +1, -1, +1, +1, +1};
    const QList<int> shown = {1, 2, 1, 2, 3, 4};
    for (int i = 0; i < steps.size(); ++i) {
        QVERIFY(player->step(steps[i]));
        QCOMPARE(player->state(), Player::Paused);
        QCOMPARE(player->position(), shown[i]);
        QCOMPARE(receiver->receive(1), sent({shown[i]}));
        QCOMPARE(other.receive(1), sent({shown[i]}));
    }
    QVERIFY(!player->step(+1));
    // Counted on the schedule thread just after the send, so it may trail the arrival.
    QTRY_COMPARE(player->stats().sentTo, (QList<qint64>{6, 6}));

    // Play goes on after the frame shown; within a range the ends are the range's.
    player->setRange(2, 3);
    QVERIFY(player->step(-1));
    QCOMPARE(receiver->receive(1), sent({3}));
    QVERIFY(player->step(-1));
    QCOMPARE(receiver->receive(1), sent({2}));
    QVERIFY(!player->step(-1));
    QCOMPARE(player->position(), 2);
    QByteArray raw;
    QVERIFY(player->copyCurrentFrame(raw));
    QCOMPARE(raw, stored(2));
    QSignalSpy finished(player.get(), &Player::finished);
    player->play();
    QCOMPARE(receiver->receive(3, 300), sent({3}));
    QTRY_COMPARE(finished.size(), 1);
    QVERIFY(!player->step(+1));
}

void PlayerTest::freshPlayForgetsTheLastRun_data()
{
    QTest::addColumn<bool>("stopped"); // the last run was stopped after frame 2, else it ran to the end
    QTest::addColumn<bool>("stepped"); // a step during the priming, else a Pause
    QTest::newRow("stopped, Pause while priming") << true << false;
    QTest::newRow("stopped, step while priming") << true << true;
    QTest::newRow("ended, Pause while priming") << false << false;
    QTest::newRow("ended, step while priming") << false << true;
}

// A Pause or step during the priming went on after the last run's frame:
// frames skipped, or nothing sent at all after a finished pass.
void PlayerTest::freshPlayForgetsTheLastRun()
{
    QFETCH(bool, stopped);
    QFETCH(bool, stepped);
    open(recording(1, 5));
    QSignalSpy finished(player.get(), &Player::finished);
    if (stopped) {
        clock->allow(2);
        player->play();
        QCOMPARE(receiver->receive(2), sent({1, 2}));
        QVERIFY(clock->waitHeld());
        player->stop();
    } else {
        player->play();
        QCOMPARE(receiver->receive(5), sent(span(1, 5)));
        QTRY_COMPARE(finished.size(), 1);
    }
    QCOMPARE(player->position(), stopped ? 2 : 5);

    clock->allow(0);
    player->play();
    QCOMPARE(player->position(), -1);
    QVERIFY(clock->waitHeld()); // before the first frame's deadline
    if (stepped) {
        QVERIFY(!player->step(+1)); // only pauses
        QVERIFY(player->step(+1));
        QCOMPARE(receiver->receive(1), sent({1}));
        QCOMPARE(player->position(), 1);
    } else {
        player->pause();
        clock->allow(-1);
        player->play();
        QCOMPARE(receiver->receive(5), sent(span(1, 5)));
    }
}

// A schedule that fell behind sends every due frame at once, skipping none, and
// keeps its deadlines; a speed change then takes effect from the next frame.
void PlayerTest::lateScheduleAndSpeedChange()
{
    open(recording(1, 20));
    clock->allow(1);
    player->play();
    QCOMPARE(receiver->receive(1), sent({1}));
    QVERIFY(clock->waitHeld());
    clock->advance(45 * Ms); // now 65 ms: frames 2..5 (30..60 ms) are overdue
    clock->allow(4);
    QCOMPARE(receiver->receive(4), sent(span(2, 5)));
    QVERIFY(clock->waitHeld());
    clock->advance(2 * Ms); // 67 ms, frame 6 due at 70
    player->setSpeed(2.0);
    clock->allow(3);
    QCOMPARE(receiver->receive(3), sent(span(6, 8)));
    QVERIFY(clock->waitHeld());
    // Frame 6 had 3 of its 10 ms left at 1x: 1.5 ms at 2x; then 5 ms apart.
    QCOMPARE(deadlines(), (QList<double>{20, 30, 40, 50, 60, 68.5, 73.5, 78.5}));
    // Go to while playing goes on after the frame chosen, one period after the command.
    const qint64 seekAt = clock->now();
    player->seek(15);
    QCOMPARE(player->position(), 15);
    clock->allow(1);
    QCOMPARE(receiver->receive(1), sent({16}));
    QVERIFY(clock->waitHeld());
    QCOMPARE(clock->reached().back(), seekAt + 5 * Ms);
    // A step while playing only pauses: the frame after the one shown may be on its way.
    QVERIFY(!player->step(+1));
    QCOMPARE(player->state(), Player::Paused);
    QVERIFY(receiver->receive(1, 100).isEmpty());
    player->stop();
    QCOMPARE(player->state(), Player::Idle);
}

void PlayerTest::speedSteps()
{
    QCOMPARE((QList<double>{Player::faster(1), Player::faster(3), Player::faster(10), Player::faster(50)}),
             (QList<double>{2, 4, 10, 50}));
    QCOMPARE((QList<double>{Player::slower(1), Player::slower(0.3), Player::slower(0.1), Player::slower(0.05)}),
             (QList<double>{0.5, 0.25, 0.1, 0.05}));
    player->setSpeed(1000);
    QCOMPARE(player->speed(), Player::MaximumSpeed);
    player->setSpeed(0);
    QCOMPARE(player->speed(), Player::MinimumSpeed);
}

void PlayerTest::renumberAcrossPasses()
{
    Player::Options options;
    // The frequency differs from the recording's pace: stamps go on at the recorded one.
    options.frequency = 4;
    options.loop = true;
    options.passes = 3;
    options.renumber = true;
    player->setOptions(options);
    open(recording(5, 6));
    QSignalSpy finished(player.get(), &Player::finished);
    player->play();
    // Two frames 10 ms apart and one recorded interval: 20 ms and 2 numbers a pass.
    QCOMPARE(receiver->receive(6),
             (QList<QByteArray>{sentFrame(5), sentFrame(6), "fr 7\r\nts 100.070\r\nbody 5 0.5 -3\r\n",
                                "fr 8\r\nts 100.080\r\nbody 6 0.5 -3\r\n", "fr 9\r\nts 100.090\r\nbody 5 0.5 -3\r\n",
                                "fr 10\r\nts 100.100\r\nbody 6 0.5 -3\r\n"}));
    QTRY_COMPARE(finished.size(), 1);
    QTRY_COMPARE(player->stats().passes, 3);
}

void PlayerTest::renumberingKeepsOtherBytes_data()
{
    QTest::addColumn<QByteArray>("datagram");
    QTest::addColumn<QByteArray>("expected");
    QTest::newRow("both") << QByteArray("fr 5\r\nts 7.250\r\nx 1\r\n") << QByteArray("fr 105\r\nts 9.750\r\nx 1\r\n");
    QTest::newRow("no decimals") << QByteArray("fr 5\r\nts 7\r\n") << QByteArray("fr 105\r\nts 10\r\n");
    QTest::newRow("more fields") << QByteArray("fr 5 a b\r\nts 7.0 s\r\n") << QByteArray("fr 105 a b\r\nts 9.5 s\r\n");
    QTest::newRow("only the first ts line") << QByteArray("fr 5\r\nts 1.0\r\nts 1.0\r\n")
                                            << QByteArray("fr 105\r\nts 3.5\r\nts 1.0\r\n");
    QTest::newRow("unreadable values") << QByteArray("fr x\r\nts y\r\n") << QByteArray("fr x\r\nts y\r\n");
    QTest::newRow("no line end") << QByteArray("fr 5") << QByteArray("fr 105");
}

void PlayerTest::renumberingKeepsOtherBytes()
{
    QFETCH(QByteArray, datagram);
    QFETCH(QByteArray, expected);
    PassNumbering numbering;
    numbering.setOffsets(100, 2.5);
    QCOMPARE(numbering.apply(datagram).toByteArray(), expected);
}

void PlayerTest::destinationsAndFailures_data()
{
    QTest::addColumn<bool>("firstFails");
    QTest::addColumn<bool>("secondFails");
    QTest::addColumn<int>("received");  // datagrams at the first port
    QTest::addColumn<int>("failed");    // destination reported, 0 for none
    QTest::newRow("both the same port") << false << false << 6 << 0;
    QTest::newRow("destination 2 fails") << false << true << 1 << 2;
    QTest::newRow("destination 1 fails") << true << false << 0 << 1;
}

void PlayerTest::destinationsAndFailures()
{
    QFETCH(bool, firstFails);
    QFETCH(bool, secondFails);
    QFETCH(int, received);
    QFETCH(int, failed);
    // No datagram can go to port 0.
    player->setDestinations({{QStringLiteral("first"), netIpv4(0x7F000001), quint16(firstFails ? 0 : port)},
                             {QStringLiteral("second"), netIpv4(0x7F000001), quint16(secondFails ? 0 : port)}});
    open(recording(1, 3));
    QSignalSpy failures(player.get(), &Player::failed);
    QSignalSpy finished(player.get(), &Player::finished);
    player->play();
    QCOMPARE(receiver->receive(6, 300).size(), received);
    QTRY_COMPARE(player->state(), Player::Idle);
    if (failed == 0) {
        QCOMPARE(finished.size(), 1);
        QCOMPARE(failures.size(), 0);
        QTRY_COMPARE(player->stats().sentTo, (QList<qint64>{3, 3}));
    } else {
        QTRY_COMPARE(failures.size(), 1);
        const auto failure = failures[0][0].value<PlaybackFailure>();
        QCOMPARE(failure.kind, PlaybackFailure::SendFailed);
        QCOMPARE(failure.destinationNumber, failed);
        QCOMPARE(failure.destination.host, failed == 1 ? QStringLiteral("first") : QStringLiteral("second"));
        QVERIFY(!failure.reason.isEmpty());
        // The window and the command line say it from the same failure.
        const PlaybackFailure::Texts texts = failure.texts(QStringLiteral("a.wly"));
        QCOMPARE(texts.window, failed == 1 ? QStringLiteral("Error while sending data")
                                           : QStringLiteral("Error while sending data 2"));
        QCOMPARE(texts.commandLine, QStringLiteral("sending to %1:0 failed: %2").arg(failure.destination.host,
                                                                                      failure.reason));
        QCOMPARE(finished.size(), 0);
        QTRY_COMPARE(player->stats().sendErrors, 1);
    }
}

void PlayerTest::oversizeFramesSkipped()
{
    QByteArray content = recording(1, 1);
    content += "fr 2\r\n" + QByteArray(Player::MaximumDatagram, 'x') + "\r\n";
    content += recording(3, 3);
    open(content);
    QSignalSpy ended(player.get(), &Player::passEnded);
    QSignalSpy finished(player.get(), &Player::finished);
    player->play();
    QCOMPARE(receiver->receive(3, 300), sent({1, 3}));
    QTRY_COMPARE(finished.size(), 1);
    QCOMPARE(ended.size(), 1);
    QCOMPARE(ended[0][0].toInt(), 1);
    QTRY_COMPARE(player->stats().oversizeSkipped, 1);
    // The skipped frame keeps its slot.
    QCOMPARE(deadlines(), (QList<double>{20, 30, 40}));
}

// On the real clock: a deadline decades away once made the schedule thread spin
// while stop, pause and the destructor waited for it.
void PlayerTest::absurdStampsStayStoppable()
{
    auto real = std::make_unique<Player>();
    const QString path = dir.filePath(QStringLiteral("absurd.wly"));
    QVERIFY(writeFile(path, "fr 1\r\nts 0.5\r\nfr 2\r\nts 1700000000\r\nfr 3\r\nts 1e308\r\n"));
    auto index = std::make_shared<RecordingIndex>();
    QCOMPARE(RecordingIndex::build(path, *index).status, IndexResult::Loaded);
    real->setDestinations({{QStringLiteral("127.0.0.1"), netIpv4(0x7F000001), port}});
    for (const Player::Pace pace : {Player::FirstTwoTimestamps, Player::EveryTimestamp}) {
        Player::Options options;
        options.pace = pace;
        options.frequency = 100;
        real->setOptions(options);
        real->setRecording(index);
        real->setSpeed(0.25);
        QSignalSpy started(real.get(), &Player::started);
        real->play();
        QVERIFY(started.wait());
        QCOMPARE(qRound(started[0][0].toDouble()), 25);
        QCOMPARE(receiver->receive(3).size(), 3);
        real->play();
        real->pause();
        QCOMPARE(real->state(), Player::Paused);
        real->stop();
        QCOMPARE(real->state(), Player::Idle);
    }
    real.reset();
}

QTEST_GUILESS_MAIN(PlayerTest)
#include "tst_player.moc"
