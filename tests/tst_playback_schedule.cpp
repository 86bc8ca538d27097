// The playback schedule's deadlines: one anchor, no drift, speed changes
// without burst or gap, every-timestamp pace with its anomalies, the ceiling.

#include "play/playback_clock.h"
#include "play/playback_schedule.h"

#include <QtTest>

#include <cmath>
#include <thread>

namespace {

constexpr qint64 T0 = 5000000000; // any clock reading
constexpr double Ms = 1e6;
const double NoStamp = std::nan("");

// Deadlines of frames 1..n (or the numbers given) after a start at T0, relative to T0, in ms.
QList<double> deadlines(PlaybackSchedule &schedule, const QList<int> &frames, const QList<double> &stamps,
                        int periods = 1)
{
    schedule.restart(T0, periods);
    QList<double> result;
    for (int i = 0; i < frames.size(); ++i) {
        result << double(schedule.plan(frames[i], stamps.value(i, NoStamp)) - T0) / Ms;
        schedule.commit();
    }
    return result;
}

QList<int> numbers(int from, int to)
{
    QList<int> list;
    for (int n = from; n <= to; ++n)
        list << n;
    return list;
}

QString describe(const QList<double> &list)
{
    QStringList texts;
    for (double each : list)
        texts << QString::number(each);
    return texts.join(QLatin1Char(' '));
}

bool near(const QList<double> &actual, const QList<double> &expected)
{
    if (actual.size() != expected.size())
        return false;
    for (int i = 0; i < actual.size(); ++i)
        if (std::fabs(actual[i] - expected[i]) > 1e-6)
            return false;
    return true;
}

}

class PlaybackScheduleTest : public QObject
{
    Q_OBJECT

private slots:
    void periods_data();
    void periods();
    void speedChangeMidPass_data();
    void speedChangeMidPass();
    void everyTimestamp_data();
    void everyTimestamp();
    void farDeadlinesDoNotOverflow();
    void noDriftOverLongRuns();
    void monotonicClockSleepsAndWakes();
};

void PlaybackScheduleTest::periods_data()
{
    QTest::addColumn<double>("period");
    QTest::addColumn<double>("expected");
    QTest::newRow("60 Hz, not truncated to us") << PlaybackSchedule::periodOf(60) << 1e9 / 60;
    QTest::newRow("0 Hz plays at 4 Hz") << PlaybackSchedule::periodOf(0) << 250e6;
    QTest::newRow("negative Hz plays at 4 Hz") << PlaybackSchedule::periodOf(-5) << 250e6;
    QTest::newRow("stamps 10.0 and 10.02") << PlaybackSchedule::periodOfStamps(10.0, 10.02, 60) << 20e6;
    QTest::newRow("equal stamps") << PlaybackSchedule::periodOfStamps(10.0, 10.0, 60) << 1e9 / 60;
    QTest::newRow("decreasing stamps") << PlaybackSchedule::periodOfStamps(10.0, 9.0, 60) << 1e9 / 60;
    QTest::newRow("no first stamp") << PlaybackSchedule::periodOfStamps(NoStamp, 9.0, 60) << 1e9 / 60;
    // An interval that is no pace (the first two stamps 1 and 1e308, or 0.5 and a Unix time) would
    // wait for decades: the rate given stands in. An hour is still a pace.
    QTest::newRow("stamps 1 and 1e308") << PlaybackSchedule::periodOfStamps(1.0, 1e308, 60) << 1e9 / 60;
    QTest::newRow("stamps 0.5 and a Unix time") << PlaybackSchedule::periodOfStamps(0.5, 1.7e9, 60) << 1e9 / 60;
    QTest::newRow("stamps an hour apart") << PlaybackSchedule::periodOfStamps(1.0, 3601.0, 60) << 3600e9;
    QTest::newRow("stamps over an hour apart") << PlaybackSchedule::periodOfStamps(1.0, 3601.5, 60) << 1e9 / 60;
}

void PlaybackScheduleTest::periods()
{
    QFETCH(double, period);
    QFETCH(double, expected);
    QVERIFY2(std::fabs(period - expected) < 1e-3, qPrintable(QString::number(period, 'f', 3)));
}

void PlaybackScheduleTest::speedChangeMidPass_data()
{
    QTest::addColumn<double>("changeAt");   // ms after the start; frames 1..3 went out at 10, 20, 30
    QTest::addColumn<bool>("afterPlan");     // frame 4 was already planned at the old speed
    QTest::addColumn<double>("speed");
    QTest::addColumn<QList<double>>("expected"); // frames 4..6
    QTest::newRow("2x halfway") << 35.0 << false << 2.0 << QList<double>{37.5, 42.5, 47.5};
    QTest::newRow("2x halfway, planned") << 35.0 << true << 2.0 << QList<double>{37.5, 42.5, 47.5};
    QTest::newRow("0.5x halfway") << 35.0 << true << 0.5 << QList<double>{45, 65, 85};
    QTest::newRow("right after a send") << 30.0 << true << 4.0 << QList<double>{32.5, 35, 37.5};
    // Frame 4 was due at 40 and is late: it goes at once, the rest one new period apart.
    QTest::newRow("late, no burst") << 55.0 << true << 2.0 << QList<double>{55, 60, 65};
}

void PlaybackScheduleTest::speedChangeMidPass()
{
    QFETCH(double, changeAt);
    QFETCH(bool, afterPlan);
    QFETCH(double, speed);
    QFETCH(QList<double>, expected);
    PlaybackSchedule schedule;
    schedule.configure(PlaybackSchedule::FixedRate, 10 * Ms);
    QVERIFY(near(deadlines(schedule, numbers(1, 3), {}), {10, 20, 30}));
    if (afterPlan)
        QCOMPARE(schedule.plan(4, NoStamp), T0 + qint64(40 * Ms));
    schedule.changeSpeed(T0 + qint64(changeAt * Ms), speed);
    QList<double> actual;
    for (int frame = 4; frame <= 6; ++frame) {
        const qint64 due = frame == 4 && afterPlan ? schedule.plannedDeadline() : schedule.plan(frame, NoStamp);
        actual << double(due - T0) / Ms;
        schedule.commit();
    }
    QVERIFY2(near(actual, expected), qPrintable(describe(actual)));
}

void PlaybackScheduleTest::everyTimestamp_data()
{
    QTest::addColumn<QList<int>>("frames");
    QTest::addColumn<QList<double>>("stamps");
    QTest::addColumn<double>("speed");
    QTest::addColumn<QList<double>>("expected"); // ms after the start; a resume puts the first one period (20 ms) on
    QTest::addColumn<int>("anomalies");
    const double N = NoStamp;
    QTest::newRow("irregular") << numbers(1, 4) << QList<double>{1.0, 1.01, 1.013, 1.05} << 1.0
                               << QList<double>{20, 30, 33, 70} << 0;
    QTest::newRow("irregular at 2x") << numbers(1, 4) << QList<double>{1.0, 1.01, 1.013, 1.05} << 2.0
                                     << QList<double>{10, 15, 16.5, 35} << 0;
    QTest::newRow("no stamp keeps the interval") << numbers(1, 4) << QList<double>{1.0, 1.01, N, 1.035} << 1.0
                                                 << QList<double>{20, 30, 40, 55} << 0;
    QTest::newRow("no stamps at all: the base period") << numbers(1, 3) << QList<double>{N, N, N} << 1.0
                                                       << QList<double>{20, 40, 60} << 0;
    QTest::newRow("step back") << numbers(1, 5) << QList<double>{1.0, 1.01, 0.5, 0.51, 0.52} << 1.0
                               << QList<double>{20, 30, 40, 50, 60} << 1;
    QTest::newRow("jump over 10 s") << numbers(1, 4) << QList<double>{1.0, 1.01, 12.0, 12.002} << 1.0
                                    << QList<double>{20, 30, 40, 42} << 1;
    QTest::newRow("jump of 10 s is kept") << numbers(1, 3) << QList<double>{1.0, 1.01, 11.01} << 1.0
                                          << QList<double>{20, 30, 10030} << 0;
    QTest::newRow("lost frames keep their gap") << QList<int>{1, 2, 6, 7} << QList<double>{1.0, 1.01, 1.05, 1.06}
                                                << 1.0 << QList<double>{20, 30, 70, 80} << 0;
    QTest::newRow("lost frames without stamps") << QList<int>{1, 2, 6} << QList<double>{1.0, 1.01, N} << 1.0
                                                << QList<double>{20, 30, 70} << 0;
    // Stamps of any size keep the deadlines finite and in order.
    QTest::newRow("1e308 and back") << numbers(1, 4) << QList<double>{1.0, 1e308, -1e308, -1e308 + 1e292} << 1.0
                                    << QList<double>{20, 40, 60, 80} << 3;
    QTest::newRow("equal stamps held to the ceiling") << numbers(1, 3) << QList<double>{1.0, 1.0, 1.01} << 1.0
                                                      << QList<double>{20, 20.05, 30.05} << 0;
}

void PlaybackScheduleTest::everyTimestamp()
{
    QFETCH(QList<int>, frames);
    QFETCH(QList<double>, stamps);
    QFETCH(double, speed);
    QFETCH(QList<double>, expected);
    QFETCH(int, anomalies);
    PlaybackSchedule schedule;
    schedule.configure(PlaybackSchedule::EveryTimestamp, 20 * Ms);
    schedule.setSpeed(speed);
    // As on the resume of a paused playback: one period (at the speed) to the first frame.
    const QList<double> actual = deadlines(schedule, frames, stamps);
    QVERIFY2(near(actual, expected), qPrintable(describe(actual)));
    QCOMPARE(schedule.stampAnomalies(), anomalies);
}

// A period far beyond any clock (a hand-edited rate of 1e-9 Hz at the lowest speed)
// puts the deadline far off, never before the start.
void PlaybackScheduleTest::farDeadlinesDoNotOverflow()
{
    PlaybackSchedule schedule;
    schedule.configure(PlaybackSchedule::FixedRate, 1e18);
    schedule.setSpeed(0.01);
    schedule.restart(T0, 1);
    const qint64 first = schedule.plan(1, NoStamp);
    QVERIFY2(first > T0 && first <= T0 + qint64(PlaybackSchedule::FarthestDeadline), qPrintable(QString::number(first)));
}

// A million frames: the last deadline is exactly where one multiplication puts it.
void PlaybackScheduleTest::noDriftOverLongRuns()
{
    constexpr int Frames = 1000000;
    const double period = 1e9 / 240;
    PlaybackSchedule fixed;
    fixed.configure(PlaybackSchedule::FixedRate, period);
    fixed.restart(T0, 1);
    PlaybackSchedule stamped;
    stamped.configure(PlaybackSchedule::EveryTimestamp, period);
    stamped.restart(T0, 1);
    const double firstStamp = 1.7e9; // seconds since the epoch, as recorders write them
    double stamp = firstStamp;
    qint64 lastFixed = 0, lastStamped = 0;
    for (int frame = 1; frame <= Frames; ++frame) {
        lastFixed = fixed.plan(frame, NoStamp);
        fixed.commit();
        lastStamped = stamped.plan(frame, stamp);
        stamped.commit();
        // Irregular: 3.2 to 5.2 ms apart.
        stamp = firstStamp + frame / 240.0 + ((qint64(frame) * 7919) % 2000) * 1e-6 - 1e-3;
    }
    QCOMPARE(lastFixed, T0 + std::llround(double(Frames) * period));
    const double lastStamp = firstStamp + (Frames - 1) / 240.0 + ((qint64(Frames - 1) * 7919) % 2000) * 1e-6 - 1e-3;
    QVERIFY(std::llabs(lastStamped - (T0 + std::llround(period + (lastStamp - firstStamp) * 1e9))) < 1000);
    QCOMPARE(stamped.stampAnomalies(), 0);
}

// The real clock: a sleep reaches its deadline, a wake ends a long one at once,
// and a wake that came first ends the next sleep.
void PlaybackScheduleTest::monotonicClockSleepsAndWakes()
{
    MonotonicPlaybackClock clock;
    qint64 deadline = clock.now() + 3000000;
    QVERIFY(clock.sleepUntil(deadline));
    QVERIFY(clock.now() >= deadline);

    deadline = clock.now() + qint64(60) * 1000000000;
    std::thread waker([&clock] {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        clock.wake();
    });
    QVERIFY(!clock.sleepUntil(deadline));
    waker.join();
    QVERIFY(clock.now() < deadline);
    clock.wake();
    QVERIFY(!clock.sleepUntil(deadline));
    clock.wake();
    clock.waitForWake();
}

QTEST_GUILESS_MAIN(PlaybackScheduleTest)
#include "tst_playback_schedule.moc"
