#include "record/rate_meter.h"

#include <QRandomGenerator>
#include <QTest>

namespace {

// The meter's rule without any dropping on arrival: the list only grows until a
// refresh ages it. The bounded list must always show what this one shows.
struct UnboundedMeter {
    QList<uint32_t> arrivals;
    bool warmUp = true;

    void add(uint32_t now)
    {
        arrivals.append(now);
        const uint32_t p = (now - arrivals.first()) / 3;
        if (!warmUp || arrivals.size() != 4 || p == 0)
            return;
        warmUp = false;
        for (int k = int(1000 / p) - 4; k > 0; --k)
            arrivals.prepend(arrivals.first() - p);
    }

    int refresh(uint32_t now)
    {
        while (!arrivals.isEmpty() && uint32_t(now - arrivals.first()) > 1000)
            arrivals.removeFirst();
        return int(arrivals.size());
    }
};

}

class TestRateMeter : public QObject
{
    Q_OBJECT

private slots:
    void warmUp_data()
    {
        QTest::addColumn<bool>("armed");
        QTest::addColumn<QList<uint32_t>>("readings");
        QTest::addColumn<bool>("stillArmed");
        QTest::addColumn<int>("size");
        QTest::addColumn<uint32_t>("oldest");
        // p = 16: filled back to one second, evenly spaced, oldest first.
        QTest::newRow("1000 1017 1033 1050") << true << QList<uint32_t>{1000, 1017, 1033, 1050} << false << 62 << 72u;
        QTest::newRow("three readings") << true << QList<uint32_t>{1000, 1017, 1033} << true << 3 << 1000u;
        QTest::newRow("not armed") << false << QList<uint32_t>{1000, 1017, 1033, 1050} << false << 4 << 1000u;
        // One burst of queued reports gives p == 0: still armed, but it looks
        // only at exactly four readings.
        QTest::newRow("p == 0") << true << QList<uint32_t>{500, 500, 501, 502, 600} << true << 5 << 500u;
        QTest::newRow("k == 0") << true << QList<uint32_t>{0, 250, 500, 750} << false << 4 << 0u;
        QTest::newRow("k < 0") << true << QList<uint32_t>{0, 400, 800, 1200} << false << 4 << 0u;
        const uint32_t wrap = 0xFFFFFFF0u;
        QTest::newRow("arrivals across wrap") << true << QList<uint32_t>{wrap, wrap + 17, wrap + 33, wrap + 50} << false
                                              << 62 << wrap - 928;
        QTest::newRow("fill across wrap") << true << QList<uint32_t>{10, 27, 43, 60} << false << 62 << 10u - 928;
    }

    void warmUp()
    {
        QFETCH(bool, armed);
        QFETCH(QList<uint32_t>, readings);
        QFETCH(int, size);
        QFETCH(uint32_t, oldest);
        QList<uint32_t> arrivals;
        for (uint32_t now : readings)
            RateMeter::addArrival(arrivals, armed, now);
        QTEST(armed, "stillArmed");
        QCOMPARE(arrivals.size(), size);
        QCOMPARE(arrivals.first(), oldest);
        const qsizetype filled = arrivals.size() - readings.size();
        QCOMPARE(arrivals.mid(filled), readings);
        for (qsizetype i = 1; i <= filled; ++i)
            QCOMPARE(arrivals.at(i) - arrivals.at(i - 1), arrivals.at(1) - arrivals.at(0));
        // Exactly 1000 ms old still counts, 1001 ms not; across the wrap a plain
        // comparison of readings would keep or drop everything.
        QCOMPARE(RateMeter::countRecent(arrivals, oldest + 1000), size);
        QVERIFY(RateMeter::countRecent(arrivals, oldest + 1001) < size);
        QCOMPARE(RateMeter::countRecent(arrivals, readings.last() + 1001), 0);
    }

    void boundedListShowsUnboundedCounts_data()
    {
        QTest::addColumn<uint32_t>("start");
        QTest::addColumn<int>("refreshEvery"); // arrivals between refreshes; 0 = never
        QTest::addColumn<bool>("restarts"); // the list is now and then cleared and the warm-up armed
        QTest::newRow("refreshed often") << uint32_t(1000) << 7 << true;
        QTest::newRow("refreshed rarely") << uint32_t(1000) << 5000 << true;
        QTest::newRow("never refreshed") << uint32_t(1000) << 0 << false;
        QTest::newRow("across wrap") << uint32_t(0xFFFF0000u) << 13 << true;
    }

    void boundedListShowsUnboundedCounts()
    {
        QFETCH(uint32_t, start);
        QFETCH(int, refreshEvery);
        QFETCH(bool, restarts);
        QRandomGenerator random(4711);
        QList<uint32_t> arrivals;
        bool warmUp = true;
        UnboundedMeter reference;
        uint32_t now = start;
        qsizetype largest = 0;
        for (int i = 1; i <= 100000; ++i) {
            // Mostly a steady stream of 1 to 20 ms gaps, with bursts and pauses over a second.
            const int dice = random.bounded(1000);
            now += dice < 5 ? 1000 + random.bounded(3000) : dice < 100 ? 0 : 1 + random.bounded(20);
            RateMeter::addArrival(arrivals, warmUp, now);
            reference.add(now);
            QCOMPARE(warmUp, reference.warmUp);
            // Nothing older than a second is kept beyond the four the warm-up needs.
            QVERIFY(arrivals.size() <= 4 || uint32_t(now - arrivals.first()) <= 1000);
            largest = qMax(largest, arrivals.size());
            if (restarts && dice < 3) { // a new recording: cleared and armed again
                arrivals.clear();
                reference.arrivals.clear();
                warmUp = reference.warmUp = true;
            }
            if (refreshEvery > 0 && i % refreshEvery == 0) {
                now += uint32_t(random.bounded(1500));
                // The label shows "-- Hz" below two readings, before ageing.
                QCOMPARE(arrivals.size() < 2, reference.arrivals.size() < 2);
                QCOMPARE(RateMeter::countRecent(arrivals, now), reference.refresh(now));
            }
        }
        if (refreshEvery == 0)
            QVERIFY(reference.arrivals.size() > 10 * largest);
    }
};

QTEST_GUILESS_MAIN(TestRateMeter)
#include "tst_rate_meter.moc"
