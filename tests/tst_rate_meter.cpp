#include "record/rate_meter.h"

#include <QRandomGenerator>
#include <QTest>

namespace {

QList<uint32_t> arrive(bool &warmUp, std::initializer_list<uint32_t> readings)
{
    QList<uint32_t> arrivals;
    for (uint32_t reading : readings)
        RateMeter::addArrival(arrivals, warmUp, reading);
    return arrivals;
}

// The meter as it behaves without any dropping on arrival: the list only grows
// until a refresh ages it. The bounded list must always show what this one shows.
struct UnboundedMeter {
    QList<uint32_t> arrivals;
    bool warmUp = false;

    void add(uint32_t now)
    {
        arrivals.append(now);
        if (!warmUp || arrivals.size() != 4)
            return;
        const uint32_t p = (arrivals.last() - arrivals.first()) / 3;
        if (p == 0)
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
    void warmUpFillsOneSecond();
    void warmUpWithoutSpacingStaysArmed();
    void warmUpWithWideSpacingAddsNothing();
    void warmUpFiresOnlyOnce();
    void ageingKeepsExactlyOneSecond();
    void survivesClockWrap_data();
    void survivesClockWrap();
    void boundedListShowsUnboundedCounts_data();
    void boundedListShowsUnboundedCounts();
};

void TestRateMeter::warmUpFillsOneSecond()
{
    bool warmUp = true;
    QList<uint32_t> arrivals = arrive(warmUp, {1000, 1017, 1033});
    QCOMPARE(arrivals.size(), 3);
    QVERIFY(warmUp);

    RateMeter::addArrival(arrivals, warmUp, 1050);
    QVERIFY(!warmUp);
    QCOMPARE(arrivals.size(), 62);
    QCOMPARE(arrivals.first(), 72u);
    // Evenly spaced by p = 16 and still oldest first, ending in the real arrivals.
    for (int i = 1; i < 59; ++i)
        QCOMPARE(arrivals.at(i) - arrivals.at(i - 1), 16u);
    QCOMPARE(arrivals.mid(58), (QList<uint32_t>{1000, 1017, 1033, 1050}));

    QCOMPARE(RateMeter::countRecent(arrivals, 1072), 62);
    QCOMPARE(RateMeter::countRecent(arrivals, 1073), 61);
}

void TestRateMeter::warmUpWithoutSpacingStaysArmed()
{
    // Four arrivals within 2 ms (one burst of queued reports) give p == 0.
    bool warmUp = true;
    QList<uint32_t> arrivals = arrive(warmUp, {500, 500, 501, 502});
    QVERIFY(warmUp);
    QCOMPARE(arrivals.size(), 4);
    // Armed, but it looks only at exactly four readings.
    RateMeter::addArrival(arrivals, warmUp, 600);
    QVERIFY(warmUp);
    QCOMPARE(arrivals.size(), 5);
}

void TestRateMeter::warmUpWithWideSpacingAddsNothing()
{
    bool warmUp = true;
    QList<uint32_t> arrivals = arrive(warmUp, {0, 250, 500, 750}); // k == 0
    QVERIFY(!warmUp);
    QCOMPARE(arrivals, (QList<uint32_t>{0, 250, 500, 750}));

    warmUp = true;
    arrivals = arrive(warmUp, {0, 400, 800, 1200}); // k < 0
    QVERIFY(!warmUp);
    QCOMPARE(arrivals.size(), 4);
}

void TestRateMeter::warmUpFiresOnlyOnce()
{
    bool warmUp = false;
    QList<uint32_t> arrivals = arrive(warmUp, {1000, 1017, 1033, 1050});
    QCOMPARE(arrivals.size(), 4);

    warmUp = true;
    arrivals = arrive(warmUp, {1000, 1017, 1033, 1050});
    QCOMPARE(RateMeter::countRecent(arrivals, 2100), 0);
    // Four closely spaced readings again: the disarmed warm-up must not fill.
    for (uint32_t now : {2200u, 2210u, 2220u, 2230u})
        RateMeter::addArrival(arrivals, warmUp, now);
    QCOMPARE(arrivals.size(), 4);
}

void TestRateMeter::ageingKeepsExactlyOneSecond()
{
    bool warmUp = false;
    QList<uint32_t> arrivals = arrive(warmUp, {5000, 5001, 5500});
    QCOMPARE(RateMeter::countRecent(arrivals, 6000), 3); // 5000 is exactly 1000 ms old
    QCOMPARE(RateMeter::countRecent(arrivals, 6001), 2);
    QCOMPARE(arrivals.first(), 5001u);
    QCOMPARE(RateMeter::countRecent(arrivals, 6501), 0);
    QVERIFY(arrivals.isEmpty());
    QCOMPARE(RateMeter::countRecent(arrivals, 7000), 0);
}

void TestRateMeter::survivesClockWrap_data()
{
    QTest::addColumn<uint32_t>("first");
    // The four arrivals straddle the wrap; the fill goes back across it.
    QTest::newRow("arrivals across wrap") << uint32_t(0xFFFFFFF0u);
    QTest::newRow("fill across wrap") << uint32_t(10);
}

void TestRateMeter::survivesClockWrap()
{
    QFETCH(uint32_t, first);
    bool warmUp = true;
    QList<uint32_t> arrivals = arrive(warmUp, {first, first + 17, first + 33, first + 50});
    QVERIFY(!warmUp);
    QCOMPARE(arrivals.size(), 62);
    QCOMPARE(arrivals.first(), uint32_t(first - 928));
    QCOMPARE(RateMeter::countRecent(arrivals, first + 72), 62);
    QCOMPARE(RateMeter::countRecent(arrivals, first + 73), 61);
    // A plain comparison of readings would keep or drop everything here.
    QCOMPARE(RateMeter::countRecent(arrivals, first + 1000), 4);
    QCOMPARE(RateMeter::countRecent(arrivals, first + 1051), 0);
}

void TestRateMeter::boundedListShowsUnboundedCounts_data()
{
    QTest::addColumn<uint32_t>("start");
    QTest::addColumn<int>("refreshEvery"); // arrivals between refreshes; 0 = never
    QTest::addColumn<bool>("restarts"); // the list is now and then cleared and the warm-up armed
    QTest::newRow("refreshed often") << uint32_t(1000) << 7 << true;
    QTest::newRow("refreshed rarely") << uint32_t(1000) << 5000 << true;
    QTest::newRow("never refreshed") << uint32_t(1000) << 0 << false;
    QTest::newRow("across wrap") << uint32_t(0xFFFF0000u) << 13 << true;
}

void TestRateMeter::boundedListShowsUnboundedCounts()
{
    QFETCH(uint32_t, start);
    QFETCH(int, refreshEvery);
    QFETCH(bool, restarts);
    QRandomGenerator random(4711);
    QList<uint32_t> arrivals;
    bool warmUp = true;
    UnboundedMeter reference;
    reference.warmUp = true;
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
        if (restarts && dice < 3) {
            // A new recording: cleared and armed again.
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

QTEST_GUILESS_MAIN(TestRateMeter)
#include "tst_rate_meter.moc"
