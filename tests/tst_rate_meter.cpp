#include "record/rate_meter.h"

#include <QRandomGenerator>
#include <QTest>

// The meter's rule without any dropping on arrival: the list only grows until
// it is aged. The bounded list must always count what this one counts.
static void addUnbounded(QList<uint32_t> &arrivals, bool &warmUp, uint32_t now)
{
    arrivals.append(now);
    const uint32_t p = (now - arrivals.first()) / 3;
    if (!warmUp || arrivals.size() != 4 || p == 0)
        return;
    warmUp = false;
    for (int k = int(1000 / p) - 4; k > 0; --k)
        arrivals.prepend(arrivals.first() - p);
}

class TestRateMeter : public QObject
{
    Q_OBJECT

private slots:
    void warmUp()
    {
        // The second time the fill reaches back across the clock's wrap.
        for (const uint32_t base : {0u, 0u - 500u}) {
            QList<uint32_t> arrivals;
            bool armed = true;
            for (const uint32_t now : {1000u, 1017u, 1033u, 1050u})
                RateMeter::addArrival(arrivals, armed, base + now);
            // p = 16: filled back to one second in steps of 16, oldest first.
            QVERIFY(!armed);
            QCOMPARE(arrivals.size(), 62);
            QCOMPARE(arrivals.at(57), base + 984);
            // Exactly 1000 ms old still counts, 1001 ms not; so the oldest is 72.
            QCOMPARE(RateMeter::countRecent(arrivals, base + 1072), 62);
            QCOMPARE(RateMeter::countRecent(arrivals, base + 1073), 61);
        }
        // One burst of queued reports gives p == 0: still armed, but it looks
        // only at exactly four readings.
        QList<uint32_t> arrivals;
        bool armed = true;
        for (const uint32_t now : {500u, 500u, 501u, 502u, 600u})
            RateMeter::addArrival(arrivals, armed, now);
        QVERIFY(armed);
    }

    void boundedListCountsAsUnbounded_data()
    {
        QTest::addColumn<uint32_t>("now"); // at the start
        QTest::addColumn<int>("refreshEvery"); // arrivals between refreshes
        QTest::newRow("refreshed often") << 1000u << 7;
        QTest::newRow("refreshed, across wrap") << 0xFFFFF000u << 13;
    }

    void boundedListCountsAsUnbounded()
    {
        QFETCH(uint32_t, now);
        QFETCH(int, refreshEvery);
        QRandomGenerator random(4711);
        QList<uint32_t> arrivals, unbounded;
        bool warmUp = true, unboundedWarmUp = true;
        for (int i = 1; i <= 20000; ++i) {
            // Mostly a steady stream of 1 to 20 ms gaps, with bursts and pauses over a second.
            const int dice = random.bounded(1000);
            now += dice < 5 ? 1000 + random.bounded(3000) : dice < 100 ? 0 : 1 + random.bounded(20);
            RateMeter::addArrival(arrivals, warmUp, now);
            addUnbounded(unbounded, unboundedWarmUp, now);
            QCOMPARE(warmUp, unboundedWarmUp);
            // Nothing older than a second is kept beyond the four the warm-up needs.
            QVERIFY(arrivals.size() <= 4 || uint32_t(now - arrivals.first()) <= 1000);
            if (dice < 3) { // a new recording: cleared and armed again
                arrivals = unbounded = {};
                warmUp = unboundedWarmUp = true;
            }
            if (i % refreshEvery == 0) {
                now += uint32_t(random.bounded(1500));
                QCOMPARE(RateMeter::countRecent(arrivals, now), RateMeter::countRecent(unbounded, now));
            }
        }
    }
};

QTEST_GUILESS_MAIN(TestRateMeter)
#include "tst_rate_meter.moc"
