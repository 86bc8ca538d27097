#include "gui/dialogs/recording_info.h"
#include "play/recording_index.h"
#include "play/recording_stats.h"
#include "support/fixture.h"

#include <QFile>
#include <QImage>
#include <QLabel>
#include <QTemporaryDir>
#include <QTest>

namespace {

// Frame lines with an optional "ts" line each; a negative stamp means none.
QByteArray recording(const QList<QPair<int, double>> &frames, const QByteArray &preamble = {})
{
    QByteArray bytes = preamble;
    for (const auto &[number, stamp] : frames) {
        bytes += "fr " + QByteArray::number(number) + "\r\n";
        if (stamp >= 0)
            bytes += "ts " + QByteArray::number(stamp, 'f', 3) + "\r\n";
        bytes += "6d 1 0.0 0.0 0.0\r\n";
    }
    return bytes;
}

QString points(const QList<QPointF> &series)
{
    QStringList texts;
    for (const QPointF &point : series)
        texts += QString::number(point.x()) + ':' + QString::number(point.y(), 'f', 1);
    return texts.join(' ');
}

}

class TestRecordingStats : public QObject
{
    Q_OBJECT

    QTemporaryDir dir;

    bool load(const QByteArray &bytes, RecordingIndex &index)
    {
        const QString path = Fixture::writeNewRecording(dir, bytes);
        return !path.isEmpty() && RecordingIndex::build(path, index).status == IndexResult::Loaded;
    }

private slots:
    void seriesOfKnownRecordings_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        // Counts and lost ranges; the bucket width; then the rate, lost frames and interval min/max, "x:y" each.
        QTest::addColumn<QString>("counts");
        QTest::addColumn<QStringList>("series");

        QList<QPair<int, double>> steady;
        for (int k = 0; k < 30; ++k)
            steady += qMakePair(k + 1, k / 10.0);
        QTest::newRow("10 Hz for 3 s") << recording(steady) << "30 frames 1-30 lost 0 []"
            << QStringList{"1", "0:10.0 1:10.0 2:10.0", "", "0:100.0 1:100.0 2:100.0", "0:100.0 1:100.0 2:100.0"};

        // Frame 2 has no stamp and counts in frame 1's second; 3-4 and 7 are lost. The last
        // second holds one frame of a mean interval of 0.73 s, so it is not taken as 1 Hz.
        QTest::newRow("lost and unstamped")
            << recording({{1, 0.0}, {2, -1}, {5, 1.5}, {6, 1.6}, {8, 2.2}}) << "5 frames 1-8 lost 3 [3-4 7]"
            << QStringList{"1", "0:2.0 1:2.0 2:1.1", "1:2.0 2:1.0", "1:100.0 2:600.0", "1:1500.0 2:600.0"};

        // A step back in time is an anomaly: on the time axis it lasts one interval
        // (1.7 s), as in playback, and it shows as a negative interval. A preamble is
        // no frame: nothing below the first number is lost.
        QTest::newRow("preamble, stamp back")
            << recording({{3, 10.0}, {4, 9.5}, {5, 11.2}}, "header\n") << "3 frames 3-5 lost 0 []"
            << QStringList{"1", "0:1.0 1:1.0 2:0.0 3:1.0", "", "1:-500.0 3:1700.0", "1:-500.0 3:1700.0"};
        // A late datagram is no loss: marks count only the numbers that never came.
        QTest::newRow("swapped and lost")
            << recording({{1, 0.0}, {3, 0.2}, {2, 0.1}, {6, 0.5}}) << "4 frames 1-6 lost 2 [4-5]"
            << QStringList{"1", "0:4.0", "0:2.0", "0:-100.0", "0:400.0"};

        QTest::newRow("no stamps") << recording({{1, -1}, {2, -1}, {4, -1}}) << "3 frames 1-4 lost 1 [3]"
                                   << QStringList{"1", "", "", "", ""};

        // 5000 s at 2 Hz widens the buckets twice, to 4 s; frame 21 (at 10 s) is lost.
        QList<QPair<int, double>> hours;
        for (int k = 0; k < 10000; ++k) {
            if (k != 20)
                hours += qMakePair(k + 1, k / 2.0);
        }
        QStringList rates;
        QStringList intervals;
        for (int bucket = 0; bucket < 1250; ++bucket) {
            rates += QString::number(bucket * 4) + (bucket == 2 ? ":1.8" : ":2.0");
            intervals += QString::number(bucket * 4) + ":500.0";
        }
        QStringList longest = intervals;
        longest[2] = "8:1000.0";
        QTest::newRow("5000 s") << recording(hours) << "9999 frames 1-10000 lost 1 [21]"
            << QStringList{"4", rates.join(' '), "8:1.0", intervals.join(' '), longest.join(' ')};
    }

    void seriesOfKnownRecordings()
    {
        QFETCH(QByteArray, bytes);
        QFETCH(QString, counts);
        QFETCH(QStringList, series);
        RecordingIndex index;
        QVERIFY(load(bytes, index));
        const RecordingStats stats = RecordingStats::of(index);
        QStringList ranges;
        for (const auto &[from, to] : stats.lostRanges)
            ranges += from == to ? QString::number(from) : QStringLiteral("%1-%2").arg(from).arg(to);
        QCOMPARE(QStringLiteral("%1 frames %2-%3 lost %4 [%5]")
                     .arg(stats.frames).arg(stats.firstNumber).arg(stats.lastNumber).arg(stats.lostFrames)
                     .arg(ranges.join(' ')),
                 counts);
        // The index counts lost frames its own way; both must agree.
        QCOMPARE(stats.lostFrames, qint64(index.lostCount()));
        QCOMPARE(QStringList({QString::number(stats.bucketSeconds), points(stats.rate), points(stats.lostMarks),
                              points(stats.intervalMin), points(stats.intervalMax)}),
                 series);
        QVERIFY(stats.rate.size() <= RecordingStats::maxPoints);
        // The dialog is built for every kind of recording, also one without stamps.
        const RecordingInfo info(index);
        QCOMPARE(info.findChild<QLabel *>("value_lost")->text(),
                 ranges.isEmpty() ? QStringLiteral("none") : ranges.join(", ").replace('-', QChar(0x2013)));
    }

    void dialogShowsFiguresAndSavesPicture()
    {
        RecordingIndex index;
        // 41-42 and 100 lost, as a user reads them.
        QList<QPair<int, double>> frames;
        for (int number = 1; number <= 120; ++number) {
            if (number != 41 && number != 42 && number != 100)
                frames += qMakePair(number, number / 100.0);
        }
        QVERIFY(load(recording(frames), index));
        RecordingInfo info(index);
        QCOMPARE(info.windowTitle(), QStringLiteral("Recording info"));
        QStringList shown;
        for (const char *name : {"value_frames", "value_first", "value_last", "value_lost_frames", "value_lost",
                                 "value_duration", "value_rate"})
            shown += info.findChild<QLabel *>(name)->text();
        QCOMPARE(shown, QStringList({"117", "1", "120", "3", QStringLiteral("41\u201342, 100"), "1.190 s",
                                     "97.5 Hz"}));

        const QString picture = dir.filePath(QStringLiteral("picture.png"));
        QVERIFY(info.savePicture(picture));
        const QImage image(picture);
        // Both charts, one above the other.
        QVERIFY2(image.height() >= 2 * 240 && image.width() >= 640,
                 qPrintable(QStringLiteral("%1x%2").arg(image.width()).arg(image.height())));
        QVERIFY(!info.savePicture(dir.filePath(QStringLiteral("missing/picture.png"))));

        // An index that holds nothing (a failed load) still gives a dialog, not a crash.
        const RecordingIndex empty;
        const RecordingInfo nothing(empty);
        QCOMPARE(nothing.findChild<QLabel *>("value_frames")->text(), QStringLiteral("0"));
    }
};

QTEST_MAIN(TestRecordingStats)
#include "tst_recording_stats.moc"
