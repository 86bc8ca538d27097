#include "net/stopwatch.h"

#include <QtTest>

#include <csignal>
#include <sys/time.h>

namespace {

void noOp(int) {}

}

class TestStopwatch : public QObject
{
    Q_OBJECT

private slots:
    void elapsedAcrossWrap_data();
    void elapsedAcrossWrap();
    void microsecondsAdvanceSteadily();
    void millisecondsMatchMicroseconds();
    void sleepOutlastsASignal();
};

void TestStopwatch::elapsedAcrossWrap_data()
{
    QTest::addColumn<uint32_t>("later");
    QTest::addColumn<uint32_t>("earlier");
    QTest::addColumn<uint32_t>("expected");
    QTest::newRow("five before and five after the wrap") << uint32_t(5) << uint32_t(4294967291u) << uint32_t(10);
    QTest::newRow("equal readings") << uint32_t(123456) << uint32_t(123456) << uint32_t(0);
    QTest::newRow("no wrap") << uint32_t(2000) << uint32_t(500) << uint32_t(1500);
    QTest::newRow("one short of a full wrap") << uint32_t(0) << uint32_t(1) << uint32_t(4294967295u);
}

void TestStopwatch::elapsedAcrossWrap()
{
    QFETCH(uint32_t, later);
    QFETCH(uint32_t, earlier);
    QFETCH(uint32_t, expected);
    QCOMPARE(Stopwatch::elapsed(later, earlier), expected);
}

void TestStopwatch::microsecondsAdvanceSteadily()
{
    uint64_t previous = Stopwatch::microseconds();
    for (int i = 0; i < 100000; ++i) {
        const uint64_t now = Stopwatch::microseconds();
        QVERIFY(now >= previous);
        previous = now;
    }

    // Callers keep the low 32 bits only; the difference must still be the interval.
    const uint32_t before = uint32_t(Stopwatch::microseconds());
    Stopwatch::sleepMicroseconds(1000);
    const uint32_t after = uint32_t(Stopwatch::microseconds());
    QVERIFY2(Stopwatch::elapsed(after, before) >= 1000, qPrintable(QString::number(Stopwatch::elapsed(after, before))));
}

// Catches a millisecond clock on the wrong scale: its interval lies inside the
// microsecond interval around it and spans the whole sleep.
void TestStopwatch::millisecondsMatchMicroseconds()
{
    const uint64_t outerStart = Stopwatch::microseconds();
    const uint32_t start = Stopwatch::milliseconds();
    Stopwatch::sleepMicroseconds(20000);
    const uint32_t end = Stopwatch::milliseconds();
    const uint64_t outerEnd = Stopwatch::microseconds();

    const uint32_t milliseconds = Stopwatch::elapsed(end, start);
    QVERIFY(milliseconds >= 19);
    QVERIFY(milliseconds <= (outerEnd - outerStart) / 1000 + 1);
}

// A signal must not cut the sleep short.
void TestStopwatch::sleepOutlastsASignal()
{
    struct sigaction action = {};
    struct sigaction previous;
    action.sa_handler = noOp;
    sigemptyset(&action.sa_mask);
    sigaction(SIGALRM, &action, &previous);
    itimerval timer = {};
    timer.it_value.tv_usec = 20000;
    setitimer(ITIMER_REAL, &timer, nullptr);

    const uint64_t start = Stopwatch::microseconds();
    Stopwatch::sleepMicroseconds(150000);
    const uint64_t slept = Stopwatch::microseconds() - start;

    itimerval off = {};
    setitimer(ITIMER_REAL, &off, nullptr);
    sigaction(SIGALRM, &previous, nullptr);
    QVERIFY2(slept >= 150000, qPrintable(QString::number(slept)));
}

QTEST_GUILESS_MAIN(TestStopwatch)
#include "tst_stopwatch.moc"
