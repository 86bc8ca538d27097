#include "play/frame_index.h"
#include "play/recording_loader.h"

#include <QFile>
#include <QTemporaryDir>
#include <QTest>

using RecordingLoader::Result;

struct Case {
    QByteArray bytes;
    int status, first, last, lost;
    QList<int> listed;
    QStringList stored; // texts of the entries that are not empty
};
Q_DECLARE_METATYPE(Case)

class TestRecordingLoader : public QObject
{
    Q_OBJECT

    QTemporaryDir dir;
    int files = 0;

    QString write(const QByteArray &bytes)
    {
        const QString path = dir.filePath(QStringLiteral("rec%1.wly").arg(++files));
        QFile file(path);
        if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size())
            qFatal("cannot write %s", qPrintable(path));
        return path;
    }

private slots:
    void load_data()
    {
        QTest::addColumn<Case>("row");
        const int ok = RecordingLoader::Loaded;
        const int bad = RecordingLoader::BadFirstNumber;
        const auto add = [](const char *name, const Case &row) { QTest::newRow(name) << row; };
        add("5 6 9", {"fr 5\r\nts 1.0\r\nbody 5\r\nfr 6\r\nts 1.02\r\nbody 6\r\nfr 9\r\nts 1.08\r\n", ok, 5, 9, 2,
                      {7, 8},
            {"fr 5\nts 1.0\nbody 5\n", "fr 6\nts 1.02\nbody 6\n", "fr 9\nts 1.08\n"}});
        // Counted over the whole file, listed only up to ten.
        add("1 and 20", {"fr 1\r\nx\r\nfr 20\r\ny\r\nfr 23\r\n", ok, 1, 23, 20, {2, 3, 4, 5, 6, 7, 8, 9, 10, 11},
            {"fr 1\nx\n", "fr 20\ny\n", "fr 23\n"}});
        add("empty", {"", ok, 0, 0, 0, {}, {}});
        add("single, no line end", {"fr 7", ok, 7, 7, 0, {}, {"fr 7"}});
        add("bad first number", {"fr abc\nfr 2\n", bad, 0, 0, 0, {}, {}});
        add("comment then 3", {"# header\r\nfr 3\r\nx\r\n", ok, 0, 3, 2, {1, 2}, {"fr 3\nx\n"}});
        // Only a CR directly before LF goes; a CR elsewhere is data. A frame line
        // that no longer starts a line (datagram without line end) is payload.
        add("line ends", {"fr 1\r\na\rb\r\n\r\r\nx\ry\nc fr 2\r\nfr 2\nlast\r", ok, 1, 2, 0, {},
                          {"fr 1\na\rb\n\r\nx\ry\nc fr 2\n", "fr 2\nlast\r"}});
        // The loader reads 1 MiB at a time: a CR LF pair across the first read's
        // end, then a line longer than a whole read.
        constexpr int chunk = 1 << 20;
        const QByteArray first = "fr 1\r\n" + QByteArray(chunk - 7, 'p') + "\r\n";
        const QByteArray second = "fr 2\r\n" + QByteArray(chunk + 100, 'L') + "\r\n";
        add("chunk boundaries", {first + second + "fr 4\r\n", ok, 1, 4, 1, {3},
            {QString::fromLatin1(first).replace("\r\n", "\n"), QString::fromLatin1(second).replace("\r\n", "\n"), "fr 4\n"}});
    }

    void load()
    {
        QFETCH(Case, row);
        FrameIndex index;
        index.append("old\n", 4, 0); // loading replaces what was loaded before
        const Result result = RecordingLoader::load(write(row.bytes), index);
        QCOMPARE(int(result.status), row.status);
        QCOMPARE(result.first, row.first);
        QCOMPARE(result.last, row.last);
        QCOMPARE(result.lostCount, row.lost);
        QCOMPARE(result.lostListed, row.listed);
        // "..." only when more were lost than listed.
        QCOMPARE(RecordingLoader::lostFramesText(result).endsWith("..."), row.lost > row.listed.size());
        QCOMPARE(index.count(), row.status == RecordingLoader::Loaded ? row.last - row.first + 1 : 0);
        QStringList texts;
        for (int k = 0; k < index.count(); ++k) {
            const QString text = index.text(k);
            if (!text.isEmpty())
                texts << text;
            if (!text.startsWith("fr ")) { // lost, or frame 0 holding the preamble
                QCOMPARE(index.fileOffset(k), -1);
                continue;
            }
            // Entry k holds frame first + k, and its offset points at its frame line.
            QCOMPARE(text.section('\n', 0, 0).mid(3).section(' ', 0, 0).trimmed().toInt(), row.first + k);
            const QByteArray atOffset = row.bytes.mid(index.fileOffset(k), 2 * text.size());
            QVERIFY(QString::fromLatin1(atOffset).replace("\r\n", "\n").startsWith(text));
        }
        QCOMPARE(texts, row.stored);
    }

    void refusedNumbers_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<int>("entriesKept");
        QTest::newRow("repeated") << QByteArray("fr 5\na\nfr 6\nb\nfr 6\nc\nfr 7\n") << 2;
        QTest::newRow("decreasing") << QByteArray("fr 5\nfr 7\nfr 6\n") << 3;
        QTest::newRow("negative first") << QByteArray("fr -3\nfr -2\n") << 0;
        QTest::newRow("overflowing later") << QByteArray("fr 3\nfr 99999999999\n") << 1;
        // 0 .. INT_MAX would be one entry more than the index can count.
        QTest::newRow("whole int range") << QByteArray("fr 0\nfr 2147483647\n") << 1;
    }

    void refusedNumbers()
    {
        QFETCH(QByteArray, bytes);
        QFETCH(int, entriesKept);
        FrameIndex index;
        const Result result = RecordingLoader::load(write(bytes), index);
        QCOMPARE(result.status, RecordingLoader::BadFrameNumbers);
        QCOMPARE(index.count(), entriesKept);
    }

    // A damaged frame number must not make the loader build two billion empty
    // entries (out of memory, or minutes of work).
    void hugeGapCostsNoEntries()
    {
        FrameIndex index;
        const Result result = RecordingLoader::load(write("fr 1\nfr 2000000000\nz\n"), index);
        QCOMPARE(result.lostCount, 1999999998);
        QCOMPARE(index.count(), 2000000000);
        QCOMPARE(index.text(1999999999), QStringLiteral("fr 2000000000\nz\n"));
        QCOMPARE(index.fileOffset(1999999999), 5);
    }
};

QTEST_GUILESS_MAIN(TestRecordingLoader)
#include "tst_recording_loader.moc"
