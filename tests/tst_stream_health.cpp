#include "record/stream_health.h"

#include <QTest>

#include <thread>

// Datagrams from a compact description: "a-b" a run of frames, "n" one frame,
// anything else is sent as it is (so "" is an empty datagram).
static QByteArrayList datagrams(const QString &description)
{
    QByteArrayList out;
    for (const QString &token : description.split(QLatin1Char(','))) {
        const QStringList range = token.split(QLatin1Char('-'));
        bool ok = false, okTo = true;
        const qint64 from = range.value(0).toLongLong(&ok);
        const qint64 to = range.size() == 2 ? range.at(1).toLongLong(&okTo) : from;
        if (!ok || !okTo || range.size() > 2) {
            out << token.toLatin1();
            continue;
        }
        for (qint64 n = from; n <= to; ++n)
            out << "fr " + QByteArray::number(n) + "\r\nts 1.0\r\n";
    }
    return out;
}

class TestStreamHealth : public QObject
{
    Q_OBJECT

private slots:
    void counters_data()
    {
        QTest::addColumn<QString>("sequence");
        QTest::addColumn<qint64>("lost");
        QTest::addColumn<qint64>("duplicates");
        QTest::addColumn<qint64>("outOfOrder");
        QTest::addColumn<qint64>("unnumbered");
        QTest::addColumn<qint64>("passes");
        QTest::newRow("in order") << "1-5" << 0LL << 0LL << 0LL << 0LL << 1LL;
        QTest::newRow("gaps") << "1,2,5,6,10" << 5LL << 0LL << 0LL << 0LL << 1LL;
        QTest::newRow("duplicate in a row") << "1,2,2,3" << 0LL << 1LL << 0LL << 0LL << 1LL;
        QTest::newRow("late duplicate") << "1-3,2,4" << 0LL << 1LL << 0LL << 0LL << 1LL;
        QTest::newRow("swapped pair") << "1,3,2,4" << 0LL << 0LL << 1LL << 0LL << 1LL;
        QTest::newRow("swapped first pair") << "2,1,3" << 0LL << 0LL << 1LL << 0LL << 1LL;
        QTest::newRow("late frame fills a gap") << "1,2,4,5,3" << 0LL << 0LL << 1LL << 0LL << 1LL;
        // A sender looping 1..N: each wrap is a pass, not N duplicates.
        QTest::newRow("loop wraps") << "1-3,1-3,1-3" << 0LL << 0LL << 0LL << 0LL << 3LL;
        QTest::newRow("restart at 1, losses in both runs") << "1,2,4,1,3" << 2LL << 0LL << 0LL << 0LL << 2LL;
        // The recording began at 500; the sender starts over at 1.
        QTest::newRow("restart below the first frame") << "500-510,1-3" << 0LL << 0LL << 0LL << 0LL << 2LL;
        // A jump of a whole window or more is a new pass, not the loss of every number between.
        QTest::newRow("jump just inside the window") << "1,65536" << 65534LL << 0LL << 0LL << 0LL << 1LL;
        QTest::newRow("jump of a whole window") << "1,65537" << 0LL << 0LL << 0LL << 0LL << 2LL;
        QTest::newRow("jump of 10^9") << "1,1000000001,1000000002" << 0LL << 0LL << 0LL << 0LL << 2LL;
        QTest::newRow("jump, then the old numbers") << "1-3,1000000001,4" << 0LL << 0LL << 0LL << 0LL << 3LL;
        // Two senders on one port: every switch is a new pass, nothing is lost.
        QTest::newRow("interleaved senders") << "1,100001,2,100002,3,100003" << 0LL << 0LL << 0LL << 0LL << 6LL;
        QTest::newRow("negative numbers") << "fr -3,fr -1,fr -2" << 0LL << 0LL << 1LL << 0LL << 1LL;
        QTest::newRow("unnumbered") << ",fr x,hello,ts 1\nfr 2,fr,1,fr 2 \r\n"
                                    << 0LL << 0LL << 0LL << 5LL << 1LL;
        // 70 000 numbers wrap the 65 536-number window: the oldest still remembered
        // is a duplicate, the one just below it starts a new run.
        QTest::newRow("window wrap, inside") << "1-70000,4465" << 0LL << 1LL << 0LL << 0LL << 1LL;
        QTest::newRow("window wrap, below") << "1-70000,4464" << 0LL << 0LL << 0LL << 0LL << 2LL;
        QTest::newRow("window wrap, gap across the seam")
            << "1-65530,65540-70000,65535" << 8LL << 0LL << 1LL << 0LL << 1LL;
    }

    void counters()
    {
        QFETCH(QString, sequence);
        QFETCH(qint64, lost);
        QFETCH(qint64, duplicates);
        QFETCH(qint64, outOfOrder);
        QFETCH(qint64, unnumbered);
        QFETCH(qint64, passes);
        StreamHealth health;
        health.reset();
        const QByteArrayList all = datagrams(sequence);
        qint64 bytes = 0;
        for (const QByteArray &datagram : all) {
            health.add(datagram.constData(), datagram.size(), 0, 0, 1);
            bytes += datagram.size();
        }
        const StreamFigures f = health.figures();
        QCOMPARE(f.datagrams, qint64(all.size()));
        QCOMPARE(f.bytes, bytes);
        QCOMPARE(f.frames_lost, lost);
        QCOMPARE(f.duplicates, duplicates);
        QCOMPARE(f.out_of_order, outOfOrder);
        QCOMPARE(f.unnumbered, unnumbered);
        QCOMPARE(f.passes, passes);
        // Reset leaves nothing of the last run behind.
        health.reset();
        health.add("fr 7\r\n", 6, 0, 0, 1);
        QCOMPARE(health.figures().frames_lost + health.figures().duplicates + health.figures().passes, 1);
    }

    void senders_data()
    {
        QTest::addColumn<QList<quint64>>("sources"); // one per datagram
        QTest::addColumn<qint64>("senders");
        QTest::newRow("one") << QList<quint64>{7, 7, 7} << 1LL;
        QTest::newRow("interleaved") << QList<quint64>{7, 8, 7, 8, 7} << 2LL;
        QTest::newRow("one of three returns") << QList<quint64>{7, 8, 9, 8, 7, 9} << 3LL;
        QList<quint64> forged;
        for (quint64 source = 1; source <= 1000; ++source)
            forged << source << 1;
        QTest::newRow("forged addresses stop counting") << forged << qint64(StreamHealth::MaxSenders);
    }

    void senders()
    {
        QFETCH(QList<quint64>, sources);
        QFETCH(qint64, senders);
        StreamHealth health;
        health.reset();
        for (quint64 source : sources)
            health.add("fr 1\r\n", 6, 0, 0, source);
        QCOMPARE(health.figures().senders, senders);
        health.reset();
        QCOMPARE(health.figures().senders, 0);
    }

    void jitterAndDrops_data()
    {
        QTest::addColumn<QList<int>>("intervals"); // microseconds, repeated
        QTest::addColumn<double>("jitterMs");
        QTest::newRow("steady") << QList<int>{1000} << 0.0;
        // Every interval 100 us off the mean: J tends to 0.1 ms.
        QTest::newRow("alternating") << QList<int>{900, 1100} << 0.1;
    }

    void jitterAndDrops()
    {
        QFETCH(QList<int>, intervals);
        QFETCH(double, jitterMs);
        StreamHealth health;
        health.reset();
        qint64 t = 1000000;
        for (int i = 0; i < 3000; ++i) {
            t += intervals.at(i % intervals.size());
            health.add("fr 1", 4, t, quint32(i / 1000), 1);
        }
        const StreamFigures f = health.figures();
        QVERIFY2(qAbs(f.jitter_ms - jitterMs) < 0.02, qPrintable(QString::number(f.jitter_ms)));
        QCOMPARE(f.dropped, 2); // the socket's counter as last reported
    }

    void snapshotsAreNeverTorn()
    {
        // Every number twice: any consistent snapshot has duplicates == datagrams / 2.
        StreamHealth health;
        health.reset();
        std::atomic<bool> done{false};
        std::thread writer([&] {
            char datagram[32];
            for (int n = 1; n <= 300000; ++n) {
                const int length = std::snprintf(datagram, sizeof datagram, "fr %d\r\n", n);
                health.add(datagram, length, 0, 0, 1);
                health.add(datagram, length, 0, 0, 1);
            }
            done = true;
        });
        int torn = 0, reads = 0;
        while (!done) {
            const StreamFigures f = health.figures();
            torn += f.duplicates != f.datagrams / 2 || f.last_frame != (f.datagrams + 1) / 2;
            ++reads;
        }
        writer.join();
        QCOMPARE(torn, 0);
        QVERIFY(reads > 0);
        QCOMPARE(health.figures().duplicates, 300000);
    }
};

QTEST_GUILESS_MAIN(TestStreamHealth)
#include "tst_stream_health.moc"
