#include "play/index_file.h"
#include "play/recording_index.h"
#include "play/send_form.h"
#include "support/fixture.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>

#include <cmath>
#include <cstring>
#include <fcntl.h>
#include <functional>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

struct StoredFrame {
    int number;
    QByteArray raw;
    double stamp; // NaN without "ts "
};

struct Case {
    QByteArray bytes;
    IndexResult::Status status;
    int first, last;
    QList<int> lost;       // listed lost numbers; count given separately
    int lostCount;
    QList<int> duplicates; // listed
    QList<StoredFrame> frames; // in recorded order
    int problem = 0, previous = 0;
    QList<QPair<int, int>> late = {}; // listed out of order: (frame, the one before it)
};
Q_DECLARE_METATYPE(Case)

namespace {

const double None = std::nan("");

}

class TestRecordingIndex : public QObject
{
    Q_OBJECT

    QTemporaryDir dir;

    QString write(const QByteArray &bytes)
    {
        const QString path = Fixture::writeNewRecording(dir, bytes);
        if (path.isEmpty())
            qFatal("cannot write a recording into %s", qPrintable(dir.path()));
        return path;
    }

    void checkBuilt(const Case &row, const RecordingIndex &index, const IndexResult &result)
    {
        QCOMPARE(result.status, row.status);
        QCOMPARE(result.problemFrame, row.problem);
        QCOMPARE(result.previousFrame, row.previous);
        if (row.status != IndexResult::Loaded) {
            QVERIFY(!index.isLoaded());
            QVERIFY(!result.reason.isEmpty());
            return;
        }
        QCOMPARE(result.lostCount, row.lostCount);
        QCOMPARE(result.lostListed, row.lost);
        QCOMPARE(result.duplicatesListed, row.duplicates);
        QCOMPARE(result.duplicateCount, row.duplicates.size());
        QCOMPARE(index.first(), row.first);
        QCOMPARE(index.last(), row.last);
        QCOMPARE(index.lostCount(), row.lostCount);
        QCOMPARE(index.fileSize(), row.bytes.size());
        QCOMPARE(index.frameCount(), row.frames.size());
        QCOMPARE(result.outOfOrderListed, row.late);
        QCOMPARE(result.outOfOrderCount, row.late.size());

        QByteArray raw;
        for (int position = 0; position < row.frames.size(); ++position) {
            const StoredFrame &frame = row.frames.at(position);
            QVERIFY2(index.readFrame(frame.number, raw), qPrintable(QString::number(frame.number)));
            QCOMPARE(raw, frame.raw);
            QCOMPARE(index.frameLength(frame.number), frame.raw.size());
            QVERIFY(index.contains(frame.number));
            QVERIFY(Fixture::sameStamp(index.timestamp(frame.number), frame.stamp));
            // Recorded order, whatever the numbers do.
            QCOMPARE(index.positionOf(frame.number), position);
            QCOMPARE(index.frameAt(position), frame.number);
        }
        // Stepping by number walks the stored frames and jumps every gap.
        QList<StoredFrame> byNumber = row.frames;
        std::sort(byNumber.begin(), byNumber.end(), [](const auto &a, const auto &b) { return a.number < b.number; });
        int previous = -1;
        for (const StoredFrame &frame : byNumber) {
            QCOMPARE(index.previousFrame(frame.number), previous);
            if (previous >= 0)
                QCOMPARE(index.nextFrame(previous), frame.number);
            previous = frame.number;
        }
        QCOMPARE(index.nextFrame(previous), -1);
        // Lost ranges cover exactly what lies between the stored frames.
        qint64 lostInRanges = 0;
        for (const auto &[from, to] : index.lostRanges()) {
            QVERIFY(!index.contains(from) && !index.contains(to) && !index.readFrame(from, raw));
            QCOMPARE(index.nextFrame(from - 1), to + 1);
            lostInRanges += qint64(to) - from + 1;
        }
        QCOMPARE(lostInRanges, row.lostCount);
        for (int outside : {row.first - 1, row.last + 1, INT_MIN, INT_MAX}) {
            if (outside < row.first || outside > row.last)
                QVERIFY(!index.readFrame(outside, raw) && index.frameLength(outside) == -1);
        }
        QByteArray allInOrder;
        QVERIFY(index.forEachFrame(0, index.frameCount() - 1, [&](int number, QByteArrayView bytes) {
            allInOrder += QByteArray::number(number) + ':' + bytes.toByteArray();
            return true;
        }));
        QByteArray expectedInOrder;
        for (const StoredFrame &frame : row.frames)
            expectedInOrder += QByteArray::number(frame.number) + ':' + frame.raw;
        QCOMPARE(allInOrder, expectedInOrder);
        // "..." only when more were lost than listed.
        QCOMPARE(RecordingIndex::lostFramesText(result).endsWith("..."), row.lostCount > row.lost.size());
    }

private slots:
    void build_data()
    {
        QTest::addColumn<Case>("row");
        using S = IndexResult;
        const auto add = [](const char *name, const Case &row) { QTest::newRow(name) << row; };
        add("5 6 9", {"fr 5\r\nts 1.0\r\nbody 5\r\nfr 6\r\nts 1.02\r\nbody 6\r\nfr 9\r\nts 1.08\r\n", S::Loaded, 5, 9,
                      {7, 8}, 2, {},
                      {{5, "fr 5\r\nts 1.0\r\nbody 5\r\n", 1.0}, {6, "fr 6\r\nts 1.02\r\nbody 6\r\n", 1.02},
                       {9, "fr 9\r\nts 1.08\r\n", 1.08}}});
        // Counted over the whole file, listed only up to ten.
        add("1 and 20", {"fr 1\r\nx\r\nfr 20\r\ny\r\nfr 23\r\n", S::Loaded, 1, 23, {2, 3, 4, 5, 6, 7, 8, 9, 10, 11}, 20,
                         {}, {{1, "fr 1\r\nx\r\n", None}, {20, "fr 20\r\ny\r\n", None}, {23, "fr 23\r\n", None}}});
        add("single, no line end", {"fr 7", S::Loaded, 7, 7, {}, 0, {}, {{7, "fr 7", None}}});
        // Lines before the first frame line are no frame: numbers start at that line.
        add("preamble then 3", {"# header\r\npre\r\nfr 3\r\nx\r\n", S::Loaded, 3, 3, {}, 0, {},
                                {{3, "fr 3\r\nx\r\n", None}}});
        add("preamble then 0", {"head\nfr 0\nfr 1\n", S::Loaded, 0, 1, {}, 0, {}, {{0, "fr 0\n", None}, {1, "fr 1\n", None}}});
        add("comment then 1000", {"# c\nfr 1000\n", S::Loaded, 1000, 1000, {}, 0, {}, {{1000, "fr 1000\n", None}}});
        // A frame line that no longer starts a line (datagram without line end) is payload.
        add("line ends", {"fr 1\r\na\rb\r\n\r\r\nx\ry\nc fr 2\r\nfr 2\nlast\r", S::Loaded, 1, 2, {}, 0, {},
                          {{1, "fr 1\r\na\rb\r\n\r\r\nx\ry\nc fr 2\r\n", None}, {2, "fr 2\nlast\r", None}}});
        // Only "ts " in the first column counts, the last one of a frame wins, and
        // a field that does not read as a finite number (or is empty) is no stamp.
        add("time stamps", {"fr 3\n  ts 9.5\nts  7\nfr 4\nts abc\nfr 5\nts 1\nts 2.5\nfr 6\nfr 7\nts nan\nfr 8\nts 1e999\n"
                            "fr 9\nts 1" + QByteArray(400, '0') + "\nfr 10\nts \r\n",
                            S::Loaded, 3, 10, {}, 0, {},
                            {{3, "fr 3\n  ts 9.5\nts  7\n", None}, {4, "fr 4\nts abc\n", None},
                             {5, "fr 5\nts 1\nts 2.5\n", 2.5}, {6, "fr 6\n", None}, {7, "fr 7\nts nan\n", None},
                             {8, "fr 8\nts 1e999\n", None}, {9, "fr 9\nts 1" + QByteArray(400, '0') + "\n", None},
                             {10, "fr 10\nts \r\n", None}}});
        // Numbers read as the loader always read them: blanks around, a sign, text after a blank.
        add("number forms", {"fr 04\r\nfr \v5\r\nfr +6 x\r\nfr 7\t\nfr 8\r", S::Loaded, 4, 8, {}, 0, {},
                             {{4, "fr 04\r\n", None}, {5, "fr \v5\r\n", None}, {6, "fr +6 x\r\n", None},
                              {7, "fr 7\t\n", None}, {8, "fr 8\r", None}}});
        // A datagram delivered twice: the repeats are dropped, their stamps too.
        add("duplicates dropped", {"fr 5\na\nts 1\nfr 5\nb\nts 2\nfr 5\nc\nfr 6\nfr 8\nfr 8\n", S::Loaded, 5, 8, {7}, 1,
                                   {5, 5, 8}, {{5, "fr 5\na\nts 1\n", 1.0}, {6, "fr 6\n", None}, {8, "fr 8\n", None}}});
        // UDP reorders: a number up to 64 below the highest plays where it came;
        // one seen before is a duplicate wherever it comes.
        add("one swapped", {"fr 299\nts 2.99\nfr 301\nts 3.01\nfr 300\nts 3.00\nfr 302\nts 3.02\n", S::Loaded, 299, 302, {},
                            0, {},
                            {{299, "fr 299\nts 2.99\n", 2.99}, {301, "fr 301\nts 3.01\n", 3.01},
                             {300, "fr 300\nts 3.00\n", 3.00}, {302, "fr 302\nts 3.02\n", 3.02}},
                            0, 0, {{300, 301}}});
        add("late below the first, lost between", {"fr 2\nfr 1\nfr 5\nfr 3\nfr 6\n", S::Loaded, 1, 6, {4}, 1, {},
                                                  {{2, "fr 2\n", None}, {1, "fr 1\n", None}, {5, "fr 5\n", None},
                                                   {3, "fr 3\n", None}, {6, "fr 6\n", None}},
                                                  0, 0, {{1, 2}, {3, 5}}});
        add("64 below the highest", {"fr 5\nfr 74\nfr 10\n", S::Loaded, 5, 74, {6, 7, 8, 9, 11, 12, 13, 14, 15, 16}, 67, {},
                                     {{5, "fr 5\n", None}, {74, "fr 74\n", None}, {10, "fr 10\n", None}}, 0, 0, {{10, 74}}});
        add("duplicate not adjacent", {"fr 1\nfr 2\nfr 3\nx\nfr 2\nb\nfr 4\nfr 64\nfr 1\n", S::Loaded, 1, 64,
                                       {5, 6, 7, 8, 9, 10, 11, 12, 13, 14}, 59, {2, 1},
                                       {{1, "fr 1\n", None}, {2, "fr 2\n", None}, {3, "fr 3\nx\n", None},
                                        {4, "fr 4\n", None}, {64, "fr 64\n", None}}});
        add("huge gap costs nothing", {"fr 1\nfr 2000000000\nz\n", S::Loaded, 1, 2000000000,
                                       {2, 3, 4, 5, 6, 7, 8, 9, 10, 11}, 1999999998, {},
                                       {{1, "fr 1\n", None}, {2000000000, "fr 2000000000\nz\n", None}}});
        add("empty", {"", S::NoFrames, 0, 0, {}, 0, {}, {}});
        add("no frame line", {"# only a header\nts 1\nbody\n", S::NoFrames, 0, 0, {}, 0, {}, {}});
        add("bad first number", {"fr abc\nfr 2\n", S::BadFirstNumber, 0, 0, {}, 0, {}, {}});
        const auto refused = [&add](const char *name, const QByteArray &bytes, int problem, int previous) {
            add(name, {bytes, S::BadFrameNumbers, 0, 0, {}, 0, {}, {}, problem, previous});
        };
        refused("65 below the highest", "fr 5\nfr 75\nfr 10\n", 10, 75);
        refused("decreasing after a duplicate", "fr 80\nfr 80\nfr 4\n", 4, 80);
        refused("negative later", "fr 3\nfr -1\n", -1, 3);
        add("negative first", {"fr -3\nfr -2\n", S::NegativeFirstNumber, 0, 0, {}, 0, {}, {}, -3, 0});
        add("negative first after a preamble", {"#\nfr -5\n", S::NegativeFirstNumber, 0, 0, {}, 0, {}, {}, -5, 0});
        refused("unreadable later", "fr 3\nfr 99999999999\n", 0, 3);
        // 0 .. INT_MAX would be one frame more than an int counts.
        refused("whole int range", "fr 0\nfr 2147483647\n", 2147483647, 0);
    }

    // Both ways of opening must give the same index: the scan, then the index file it wrote.
    void build()
    {
        QFETCH(Case, row);
        const QString path = write(row.bytes);
        for (const bool fromIdxFile : {false, true}) {
            RecordingIndex index;
            const IndexResult result = RecordingIndex::build(path, index);
            QCOMPARE(result.fromIdxFile, fromIdxFile);
            checkBuilt(row, index, result);
            if (result.status != IndexResult::Loaded || QTest::currentTestFailed())
                return;
            QVERIFY(index.writeIndexFile());
        }
    }

    void duplicatesText()
    {
        IndexResult result;
        result.duplicateCount = 12;
        result.duplicatesListed = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10};
        QCOMPARE(RecordingIndex::duplicateFramesText(result),
                 QStringLiteral("Duplicate frame number 12:  1 2 3 4 5 6 7 8 9 10..."));
    }

    void sendForm_data()
    {
        QTest::addColumn<QByteArray>("raw");
        QTest::addColumn<QByteArray>("datagram");
        QTest::addColumn<QString>("shown");
        const QByteArray longLine(10000, 'x');
        QTest::newRow("as recorded") << QByteArray("fr 1\r\nts 5.0\r\n6d 1 0.5 1.5\r\n")
                                     << QByteArray("fr 1\r\nts 5.0\r\n6d 1 0.5 1.5\r\n")
                                     << QStringLiteral("fr 1\nts 5.0\n6d 1 0.5 1.5\n");
        QTest::newRow("trimmed, comments dropped, long line")
            << "fr 3 \t\r\n  ts 9.5\r\n\t# comment\r\n body " + longLine + " \r\n\r\n#\nts  7\r\n"
            << "fr 3\r\nts 9.5\r\nbody " + longLine + "\r\n\r\nts  7\r\n"
            << "fr 3 \t\n  ts 9.5\n\t# comment\n body " + QString::fromLatin1(longLine) + " \n\n#\nts  7\n";
        // A last line without line end still goes out with CR LF.
        QTest::newRow("no line end") << QByteArray("fr 5") << QByteArray("fr 5\r\n") << QStringLiteral("fr 5");
        // Only the CR of a CR LF end goes; other CRs are data (trimmed at the ends of a line).
        QTest::newRow("bare CRs") << QByteArray("fr 1\r\na\rb \r\nf\rr 2\r\nc\r\r\n")
                                  << QByteArray("fr 1\r\na\rb\r\nf\rr 2\r\nc\r\n")
                                  << QStringLiteral("fr 1\na\rb \nf\rr 2\nc\r\n");
        QTest::newRow("empty") << QByteArray() << QByteArray() << QString();
    }

    void sendForm()
    {
        QFETCH(QByteArray, raw);
        QFETCH(QByteArray, datagram);
        QFETCH(QString, shown);
        SendForm form;
        QCOMPARE(form.datagram(raw), datagram);
        QCOMPARE(SendForm::displayText(raw), shown);
        // Steady playback reuses the storage of the previous datagram.
        const char *storage = form.datagram(raw).constData();
        QCOMPARE(form.datagram(raw), datagram);
        if (!datagram.isEmpty())
            QCOMPARE(form.datagram(raw).constData(), storage);
    }

    // Frames of every length across the scanner's buffer refills, with a line
    // longer than the whole buffer, and more frames than one storage chunk
    // holds; offsets known from writing. By scan, then from the index file.
    void manyFramesAcrossReads()
    {
        constexpr int Count = 70000;
        QByteArray bytes;
        QList<qint64> offsets;
        quint32 seed = 7;
        for (int n = 1; n <= Count; ++n) {
            offsets.append(bytes.size());
            bytes += "fr " + QByteArray::number(n) + "\r\nts " + QByteArray::number(n) + "\r\n";
            seed = seed * 1103515245u + 12345u;
            bytes += QByteArray(int(seed >> 24), 'p') + "\r\n";
            if (n == 20000)
                bytes += QByteArray(5 << 20, 'L') + "\n";
        }
        offsets.append(bytes.size());
        const QString path = write(bytes);
        for (const bool fromIdxFile : {false, true}) {
            RecordingIndex index;
            QCOMPARE(RecordingIndex::build(path, index).fromIdxFile, fromIdxFile);
            QCOMPARE(index.frameCount(), Count);
            for (int n = 1; n <= Count; ++n) {
                if (index.frameLength(n) != offsets[n] - offsets[n - 1] || index.timestamp(n) != n)
                    QFAIL(qPrintable(QStringLiteral("frame %1").arg(n)));
            }
            QByteArray raw;
            QVERIFY(index.readFrame(20000, raw));
            QCOMPARE(raw, bytes.mid(offsets[19999], offsets[20000] - offsets[19999]));
            QVERIFY(index.writeIndexFile());
        }
    }

    // Opening a FIFO must not wait for a writer; other non-regular files are refused too.
    void notRegularRefused()
    {
        const QString fifo = dir.filePath(QStringLiteral("pipe.wly"));
        QCOMPARE(::mkfifo(QFile::encodeName(fifo).constData(), 0600), 0);
        for (const QString &path : {fifo, dir.path(), QStringLiteral("/dev/null")}) {
            RecordingIndex index;
            const IndexResult result = RecordingIndex::build(path, index);
            QCOMPARE(result.status, IndexResult::NotRegular);
            QVERIFY2(result.reason.contains(path), qPrintable(result.reason));
        }
        RecordingIndex index;
        const IndexResult missing = RecordingIndex::build(dir.filePath(QStringLiteral("missing.wly")), index);
        QCOMPARE(missing.status, IndexResult::OpenFailed);
        QVERIFY(!missing.reason.isEmpty());
    }

    // A failed or cancelled build leaves the index that was loaded as it was.
    void failureKeepsLoadedIndex()
    {
        RecordingIndex index;
        QCOMPARE(RecordingIndex::build(write("fr 1\nfr 2\n"), index).status, IndexResult::Loaded);
        const QString loaded = index.path();
        std::atomic<bool> cancel{true};
        QCOMPARE(RecordingIndex::build(write("fr 1\n"), index, &cancel).status, IndexResult::Cancelled);
        QCOMPARE(RecordingIndex::build(write("fr 100\nfr 1\n"), index).status, IndexResult::BadFrameNumbers);
        QCOMPARE(RecordingIndex::build(write(""), index).status, IndexResult::NoFrames);
        QCOMPARE(index.path(), loaded);
        QByteArray raw;
        QVERIFY(index.readFrame(2, raw));
        QCOMPARE(raw, QByteArray("fr 2\n"));
    }

    // Progress comes in order and ends at the total; a cancel in the middle stops the scan.
    void progressAndCancel()
    {
        QByteArray bytes;
        for (int n = 1; bytes.size() < (20 << 20); ++n)
            bytes += "fr " + QByteArray::number(n) + "\n" + QByteArray(500, 'b') + "\n";
        const QString path = write(bytes);
        QList<qint64> done;
        std::atomic<bool> cancel{false};
        bool cancelHalfway = false;
        const auto progress = [&](qint64 bytesDone, qint64 total) {
            QCOMPARE(total, bytes.size());
            done.append(bytesDone);
            if (cancelHalfway && bytesDone > total / 2)
                cancel = true;
        };
        RecordingIndex index;
        QCOMPARE(RecordingIndex::build(path, index, &cancel, progress).status, IndexResult::Loaded);
        QVERIFY(done.size() >= 2 && done.size() <= 101);
        QVERIFY(std::is_sorted(done.begin(), done.end()));
        QCOMPARE(done.last(), bytes.size());

        done.clear();
        cancelHalfway = true;
        RecordingIndex cancelled;
        QCOMPARE(RecordingIndex::build(path, cancelled, &cancel, progress).status, IndexResult::Cancelled);
        QVERIFY(!cancelled.isLoaded());
        QVERIFY(done.last() < bytes.size());
    }

    // Running out of memory while indexing is a result with a reason, not an abort.
    void outOfMemoryReported()
    {
        QByteArray bytes;
        for (int n = 1; n <= 400000; ++n)
            bytes += "fr " + QByteArray::number(n) + "\n";
        const QString path = write(bytes);
        rlimit old;
        QCOMPARE(::getrlimit(RLIMIT_AS, &old), 0);
        QFile status(QStringLiteral("/proc/self/status"));
        QVERIFY(status.open(QIODevice::ReadOnly));
        const QByteArray vm = status.readAll();
        const qsizetype at = vm.indexOf("VmSize:");
        const rlim_t used = rlim_t(vm.mid(at + 7, vm.indexOf('\n', at) - at - 7).trimmed().split(' ').value(0).toLongLong()) << 10;
        // Room for the scan but not for 400 000 frames' tables (6.4 MB).
        const rlimit tight{used + (2 << 20), old.rlim_max};
        QCOMPARE(::setrlimit(RLIMIT_AS, &tight), 0);
        RecordingIndex index;
        const IndexResult result = RecordingIndex::build(path, index);
        QCOMPARE(::setrlimit(RLIMIT_AS, &old), 0);
        QCOMPARE(result.status, IndexResult::OutOfMemory);
        QVERIFY(!result.reason.isEmpty());
        QVERIFY(!index.isLoaded());
    }

    // Shrunk, or rewritten in place: reads fail instead of returning other bytes or crashing.
    void fileChangedWhileOpen_data()
    {
        QTest::addColumn<QByteArray>("now");
        QTest::addColumn<bool>("afterCheck");
        // A short read and bytes that are no frame line show the change at
        // once; an unchanged look needs the next check of size and time.
        QTest::newRow("shrunk") << QByteArray("fr 1\nts 1\nfr") << false;
        QTest::newRow("frames moved, same size") << QByteArray("fr 1\nts 1\nbody\nfr 2\nts 2\n") << false;
        QTest::newRow("same bytes, other time") << QByteArray("fr 1\nts 1\nfr 2\nts 2\nbody\n") << true;
    }

    // Once the file is seen changed, no frame is read from it any more.
    void fileChangedWhileOpen()
    {
        QFETCH(QByteArray, now);
        QFETCH(bool, afterCheck);
        const QString path = write("fr 1\nts 1\nfr 2\nts 2\nbody\n");
        RecordingIndex index;
        QCOMPARE(RecordingIndex::build(path, index).status, IndexResult::Loaded);
        QByteArray raw;
        QVERIFY(index.readFrame(2, raw));
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        QVERIFY(file.write(now) == now.size());
        QVERIFY(file.setFileTime(QDateTime::currentDateTime().addSecs(-60), QFileDevice::FileModificationTime));
        file.close();
        if (afterCheck)
            QThread::usleep(RecordingIndex::ChangeCheckNs / 1000 + 1000);
        QVERIFY(!index.readFrame(2, raw));
        QVERIFY(!index.readFrame(1, raw));
    }

    // Offsets beyond 2^31: a frame line behind a hole of zeros, by scan and from the index file.
    void offsetsBeyond2GiB()
    {
        const QString path = dir.filePath(QStringLiteral("sparse.wly"));
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly));
        const qint64 far = (qint64(1) << 31) + 100;
        const QByteArray tail = "\nfr 3\nts 2.5\nbody\n";
        QVERIFY(file.write("fr 1\nts 1\n") == 10 && file.seek(far) && file.write(tail) == tail.size());
        file.close();
        // Above the threshold the scan writes the index file by itself.
        RecordingIndex scanned;
        QCOMPARE(RecordingIndex::build(path, scanned).status, IndexResult::Loaded);
        QVERIFY(QFile::exists(RecordingIndex::indexFilePath(path)));
        RecordingIndex index;
        QVERIFY(RecordingIndex::build(path, index).fromIdxFile);
        QCOMPARE(index.frameLength(1), far + 1);
        QCOMPARE(index.frameLength(3), tail.size() - 1);
        QByteArray raw;
        QVERIFY(index.readFrame(3, raw));
        QCOMPARE(raw, tail.mid(1));
        QCOMPARE(index.timestamp(3), 2.5);
        QVERIFY(index.readFrame(1, raw, 16));
        QCOMPARE(raw, QByteArray("fr 1\nts 1\n").append(6, '\0'));
    }
};

QTEST_GUILESS_MAIN(TestRecordingIndex)
#include "tst_recording_index.moc"
