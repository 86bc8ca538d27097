#include "platform/stopwatch.h"

#include <QtTest>

#include <csignal>
#include <sys/time.h>

class TestStopwatch : public QObject
{
    Q_OBJECT

private slots:
    void elapsedAcrossWrap()
    {
        QCOMPARE(Stopwatch::elapsed(5, 4294967291u), 10u);
        QCOMPARE(Stopwatch::elapsed(2000, 500), 1500u);
        QCOMPARE(Stopwatch::elapsed(0, 1), 4294967295u);
    }

    // A signal must not cut the sleep short, and the millisecond clock must be on
    // the right scale: its interval spans the sleep and lies inside the microsecond one.
    void sleepAndClocksAgree()
    {
        struct sigaction action = {}, previous;
        action.sa_handler = [](int) {};
        sigaction(SIGALRM, &action, &previous);
        itimerval alarm = {};
        alarm.it_value.tv_usec = 20000;
        setitimer(ITIMER_REAL, &alarm, nullptr);
        const uint64_t outerStart = Stopwatch::microseconds();
        const uint32_t start = Stopwatch::milliseconds();
        Stopwatch::sleepMicroseconds(150000);
        const uint32_t end = Stopwatch::milliseconds();
        const uint64_t outerEnd = Stopwatch::microseconds();
        sigaction(SIGALRM, &previous, nullptr);
        // Callers keep the low 32 bits only; the difference must still be the interval.
        QVERIFY(Stopwatch::elapsed(uint32_t(outerEnd), uint32_t(outerStart)) >= 150000);
        QVERIFY(Stopwatch::elapsed(end, start) >= 149);
        QVERIFY(Stopwatch::elapsed(end, start) <= (outerEnd - outerStart) / 1000 + 1);
    }
};

QTEST_GUILESS_MAIN(TestStopwatch)
#include "tst_stopwatch.moc"
