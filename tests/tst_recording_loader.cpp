#include "play/frame_index.h"
#include "play/recording_loader.h"

#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <climits>

using RecordingLoader::Result;

class TestRecordingLoader : public QObject
{
    Q_OBJECT

private slots:
    void lostFramesBetween();
    void lostFramesListCapped();
    void hugeGapCostsNoEntries();
    void refusedNumbers_data();
    void refusedNumbers();
    void firstLine_data();
    void firstLine();
    void emptyFile();
    void preambleBecomesFrameZero();
    void lineEnds();
    void chunkBoundariesAndLongLines();
    void missingFileLeavesIndex();
    void lookupsOutsideIndex();
    void lostFramesTextOfFewFrames();

private:
    QString write(const QByteArray &bytes);
    // Checks that every stored entry's offset points at its own frame line.
    void verifyOffsets(const QString &path, const Result &result, const FrameIndex &index);

    QTemporaryDir dir;
    int files = 0;
};

QString TestRecordingLoader::write(const QByteArray &bytes)
{
    const QString path = dir.filePath(QStringLiteral("rec%1.wly").arg(++files));
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size())
        qFatal("cannot write %s", qPrintable(path));
    return path;
}

void TestRecordingLoader::verifyOffsets(const QString &path, const Result &result,
                                        const FrameIndex &index)
{
    QFile file(path);
    QVERIFY(file.open(QIODevice::ReadOnly | QIODevice::Text));
    for (int k = 0; k < index.count(); ++k) {
        const qint64 offset = index.fileOffset(k);
        if (offset < 0)
            continue;
        QVERIFY(file.seek(offset));
        const QByteArray frameLine = "fr " + QByteArray::number(result.first + k);
        QCOMPARE(file.readLine().trimmed(), frameLine);
    }
}

void TestRecordingLoader::lostFramesBetween()
{
    const QString path = write("fr 5\r\nts 1.0\r\nbody 5\r\n"
                               "fr 6\r\nts 1.02\r\nbody 6\r\n"
                               "fr 9\r\nts 1.08\r\nbody 9\r\n");
    FrameIndex index;
    const Result result = RecordingLoader::load(path, index);
    QCOMPARE(result.status, RecordingLoader::Loaded);
    QCOMPARE(result.first, 5);
    QCOMPARE(result.last, 9);
    QCOMPARE(result.lostCount, 2);
    QCOMPARE(result.lostListed, QList<int>({7, 8}));
    QCOMPARE(index.count(), 5);
    QCOMPARE(index.text(0), QStringLiteral("fr 5\nts 1.0\nbody 5\n"));
    QCOMPARE(index.text(1), QStringLiteral("fr 6\nts 1.02\nbody 6\n"));
    QCOMPARE(index.text(2), QString());
    QCOMPARE(index.text(3), QString());
    // Entry k belongs to frame first + k also behind lost frames.
    QCOMPARE(index.text(4), QStringLiteral("fr 9\nts 1.08\nbody 9\n"));
    QCOMPARE(index.fileOffset(0), 0);
    QCOMPARE(index.fileOffset(2), -1);
    QCOMPARE(index.fileOffset(3), -1);
    QCOMPARE(RecordingLoader::lostFramesText(result), QStringLiteral("Lost frame number 2:  7 8"));
    verifyOffsets(path, result, index);
}

void TestRecordingLoader::lostFramesListCapped()
{
    const QString path = write("fr 1\r\nx\r\nfr 20\r\ny\r\nfr 23\r\n");
    FrameIndex index;
    const Result result = RecordingLoader::load(path, index);
    QCOMPARE(result.status, RecordingLoader::Loaded);
    QCOMPARE(result.last, 23);
    // Counted over the whole file, listed only up to ten.
    QCOMPARE(result.lostCount, 20);
    QCOMPARE(result.lostListed, QList<int>({2, 3, 4, 5, 6, 7, 8, 9, 10, 11}));
    QCOMPARE(RecordingLoader::lostFramesText(result),
             QStringLiteral("Lost frame number 20:  2 3 4 5 6 7 8 9 10 11..."));
    QCOMPARE(index.count(), 23);
    QCOMPARE(index.text(19), QStringLiteral("fr 20\ny\n"));
    QCOMPARE(index.text(22), QStringLiteral("fr 23\n"));
    verifyOffsets(path, result, index);
}

void TestRecordingLoader::hugeGapCostsNoEntries()
{
    // A damaged frame number must not make the loader build two billion empty
    // entries (out of memory, or minutes of work).
    const QString path = write("fr 1\nfr 2000000000\nz\n");
    FrameIndex index;
    const Result result = RecordingLoader::load(path, index);
    QCOMPARE(result.status, RecordingLoader::Loaded);
    QCOMPARE(result.lostCount, 1999999998);
    QCOMPARE(result.lostListed.size(), 10);
    QCOMPARE(index.count(), 2000000000);
    QCOMPARE(index.text(0), QStringLiteral("fr 1\n"));
    QCOMPARE(index.text(1000), QString());
    QCOMPARE(index.text(1999999999), QStringLiteral("fr 2000000000\nz\n"));
    QCOMPARE(index.fileOffset(1999999999), 5);
}

void TestRecordingLoader::refusedNumbers_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<int>("entriesKept");

    QTest::newRow("repeated") << QByteArray("fr 5\na\nfr 6\nb\nfr 6\nc\nfr 7\n") << 2;
    QTest::newRow("decreasing") << QByteArray("fr 5\nfr 7\nfr 6\n") << 3;
    QTest::newRow("negative later") << QByteArray("fr 0\nfr -1\n") << 1;
    QTest::newRow("unreadable later") << QByteArray("fr 3\nfr x\n") << 1;
    QTest::newRow("overflowing later") << QByteArray("fr 3\nfr 99999999999\n") << 1;
    QTest::newRow("negative first") << QByteArray("fr -3\nfr -2\n") << 0;
    QTest::newRow("negative single") << QByteArray("fr -3\n") << 0;
    // 0 .. INT_MAX would be one entry more than the index can count.
    QTest::newRow("whole int range") << QByteArray("fr 0\nfr 2147483647\n") << 1;
}

void TestRecordingLoader::refusedNumbers()
{
    QFETCH(QByteArray, bytes);
    QFETCH(int, entriesKept);
    FrameIndex index;
    const Result result = RecordingLoader::load(write(bytes), index);
    QCOMPARE(result.status, RecordingLoader::BadFrameNumbers);
    QCOMPARE(result.first, 0);
    QCOMPARE(result.last, 0);
    QCOMPARE(index.count(), entriesKept);
}

void TestRecordingLoader::firstLine_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<int>("status");
    QTest::addColumn<int>("first");
    QTest::addColumn<QString>("entry0");

    const int loaded = RecordingLoader::Loaded;
    const int bad = RecordingLoader::BadFirstNumber;
    QTest::newRow("letters") << QByteArray("fr abc\nfr 2\n") << bad << 0 << QString();
    QTest::newRow("two spaces") << QByteArray("fr  5\n") << bad << 0 << QString();
    QTest::newRow("digits then letter") << QByteArray("fr 5x\n") << bad << 0 << QString();
    QTest::newRow("plus sign and more fields")
        << QByteArray("fr +5 t=1\r\n") << loaded << 5 << QStringLiteral("fr +5 t=1\n");
    QTest::newRow("leading zeros and tab") << QByteArray("fr 007\t\r\n") << loaded << 7
                                           << QStringLiteral("fr 007\t\n");
    QTest::newRow("no line end") << QByteArray("fr 7") << loaded << 7 << QStringLiteral("fr 7");
    // Neither is a frame line: dropped, first 0, empty frame 0.
    QTest::newRow("upper case") << QByteArray("FR 5\n") << loaded << 0 << QString();
    QTest::newRow("no space") << QByteArray("fr5\n") << loaded << 0 << QString();
}

void TestRecordingLoader::firstLine()
{
    QFETCH(QByteArray, bytes);
    QFETCH(int, status);
    QFETCH(int, first);
    QFETCH(QString, entry0);
    FrameIndex index;
    index.append("old\n", 4, 0); // a refused first number clears what was loaded before
    const Result result = RecordingLoader::load(write(bytes), index);
    QCOMPARE(int(result.status), status);
    QCOMPARE(result.first, first);
    QCOMPARE(result.last, first);
    QCOMPARE(index.count(), status == RecordingLoader::Loaded ? 1 : 0);
    QCOMPARE(index.text(0), entry0);
}

void TestRecordingLoader::emptyFile()
{
    FrameIndex index;
    const Result result = RecordingLoader::load(write(QByteArray()), index);
    QCOMPARE(result.status, RecordingLoader::Loaded);
    QCOMPARE(result.first, 0);
    QCOMPARE(result.last, 0);
    QCOMPARE(result.lostCount, 0);
    QCOMPARE(index.count(), 1);
    QCOMPARE(index.text(0), QString());
    QCOMPARE(index.fileOffset(0), -1);
}

void TestRecordingLoader::preambleBecomesFrameZero()
{
    FrameIndex index;
    const QString commented = write("# header\r\nfr 3\r\nx\r\n");
    Result result = RecordingLoader::load(commented, index);
    QCOMPARE(result.status, RecordingLoader::Loaded);
    QCOMPARE(result.first, 0);
    QCOMPARE(result.last, 3);
    QCOMPARE(result.lostListed, QList<int>({1, 2}));
    QCOMPARE(index.count(), 4);
    QCOMPARE(index.text(0), QString());
    QCOMPARE(index.fileOffset(0), -1);
    QCOMPARE(index.text(3), QStringLiteral("fr 3\nx\n"));
    QCOMPARE(index.fileOffset(3), 10);
    verifyOffsets(commented, result, index);

    // Only the first line is dropped; the rest of the preamble is frame 0.
    result = RecordingLoader::load(write("# a\r\n# b\r\nhello\r\nfr 1\r\n"), index);
    QCOMPARE(result.status, RecordingLoader::Loaded);
    QCOMPARE(result.lostCount, 0);
    QCOMPARE(index.count(), 2);
    QCOMPARE(index.text(0), QStringLiteral("# b\nhello\n"));
    QCOMPARE(index.fileOffset(0), -1);
}

void TestRecordingLoader::lineEnds()
{
    // Only a CR directly before LF goes; a CR elsewhere is data. A frame line
    // that no longer starts a line (datagram without line end) is payload.
    FrameIndex index;
    const Result result = RecordingLoader::load(
        write("fr 1\r\na\rb\r\n\r\r\nc fr 2\r\nfr 2\nlast\r"), index);
    QCOMPARE(result.status, RecordingLoader::Loaded);
    QCOMPARE(result.last, 2);
    QCOMPARE(index.count(), 2);
    QCOMPARE(index.text(0), QStringLiteral("fr 1\na\rb\n\r\nc fr 2\n"));
    QCOMPARE(index.text(1), QStringLiteral("fr 2\nlast\r"));
    QCOMPARE(index.fileOffset(1), 22);
}

void TestRecordingLoader::chunkBoundariesAndLongLines()
{
    // Several megabytes so that lines and frames span the loader's 1 MiB reads;
    // the first payload is sized so that a CR LF pair is split by the first read.
    constexpr qint64 chunk = 1 << 20;
    QByteArray bytes;
    QList<QByteArray> expected;
    QList<qint64> offsets;
    int number = 1;
    QByteArray frame;
    auto startFrame = [&] {
        if (!offsets.isEmpty())
            expected.append(frame);
        offsets.append(bytes.size());
        frame = "fr " + QByteArray::number(number) + '\n';
        bytes += "fr " + QByteArray::number(number) + "\r\n";
    };
    auto payload = [&](const QByteArray &text) {
        frame += text + '\n';
        bytes += text + "\r\n";
    };
    startFrame();
    payload(QByteArray(int(chunk - 1 - bytes.size()), 'p'));
    QCOMPARE(bytes.at(chunk - 1), '\r');
    while (bytes.size() < 4 * chunk) {
        number += (number % 97 == 0) ? 3 : 1;
        startFrame();
        payload("ts " + QByteArray::number(number * 0.01));
        payload(QByteArray(number % 300, char('a' + number % 26)));
        if (number == 500)
            payload(QByteArray(int(2.5 * chunk), 'L'));
    }
    expected.append(frame);

    FrameIndex index;
    const Result result = RecordingLoader::load(write(bytes), index);
    QCOMPARE(result.status, RecordingLoader::Loaded);
    QCOMPARE(result.first, 1);
    QCOMPARE(result.last, number);
    int stored = 0;
    for (int k = 0; k < index.count(); ++k) {
        const QString text = index.text(k);
        if (index.fileOffset(k) < 0) {
            QVERIFY(text.isEmpty());
            continue;
        }
        QCOMPARE(index.fileOffset(k), offsets.at(stored));
        QCOMPARE(text.toLatin1(), expected.at(stored));
        ++stored;
    }
    QCOMPARE(stored, expected.size());
    QCOMPARE(result.lostCount, index.count() - stored);
}

void TestRecordingLoader::missingFileLeavesIndex()
{
    FrameIndex index;
    index.append("fr 1\n", 5, 0);
    const Result result = RecordingLoader::load(dir.filePath(QStringLiteral("none.wly")), index);
    QCOMPARE(result.status, RecordingLoader::OpenFailed);
    QCOMPARE(result.first, 0);
    QCOMPARE(result.last, 0);
    QCOMPARE(index.count(), 1);
    QCOMPARE(index.text(0), QStringLiteral("fr 1\n"));
}

void TestRecordingLoader::lookupsOutsideIndex()
{
    FrameIndex index;
    QCOMPARE(index.text(0), QString());
    QCOMPARE(index.fileOffset(0), -1);

    // Lost entries before the first stored one and between runs.
    index.appendLost(2);
    index.append("a\n", 2, 10);
    index.appendLost();
    index.append("b\n", 2, 20);
    index.append("c\n", 2, 30);
    index.squeeze();
    QCOMPARE(index.count(), 6);
    const QStringList texts = {QString(), QString(), QStringLiteral("a\n"), QString(),
                               QStringLiteral("b\n"), QStringLiteral("c\n")};
    const QList<qint64> offsets = {-1, -1, 10, -1, 20, 30};
    for (int k = 0; k < 6; ++k) {
        QCOMPARE(index.text(k), texts.at(k));
        QCOMPARE(index.fileOffset(k), offsets.at(k));
    }
    for (int k : {-1, 6, INT_MIN, INT_MAX}) {
        QCOMPARE(index.text(k), QString());
        QCOMPARE(index.fileOffset(k), -1);
    }
    index.clear();
    QCOMPARE(index.count(), 0);
    QCOMPARE(index.text(0), QString());
}

void TestRecordingLoader::lostFramesTextOfFewFrames()
{
    Result result;
    result.lostCount = 10;
    result.lostListed = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10};
    // Exactly ten lost frames are listed in full, without "...".
    QCOMPARE(RecordingLoader::lostFramesText(result),
             QStringLiteral("Lost frame number 10:  1 2 3 4 5 6 7 8 9 10"));
    result.lostCount = 1;
    result.lostListed = {4};
    QCOMPARE(RecordingLoader::lostFramesText(result), QStringLiteral("Lost frame number 1:  4"));
}

QTEST_GUILESS_MAIN(TestRecordingLoader)
#include "tst_recording_loader.moc"
