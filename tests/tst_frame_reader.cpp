#include "play/frame_index.h"
#include "play/frame_reader.h"
#include "play/recording_loader.h"

#include <QBuffer>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

// The state the window keeps around the reader between calls.
struct Playback {
    FrameReader reader;
    double timestamp = -2.0;
    bool seekPending = false;
    int currentFrame = 0;
    QByteArray frame;

    int read(QIODevice &file, bool loop = false)
    {
        return reader.readNextFrame(file, timestamp, loop, seekPending, currentFrame, frame);
    }
    int seek(QIODevice &file, int number)
    {
        seekPending = true;
        currentFrame = number;
        timestamp = -1.0;
        return read(file);
    }
};

class TestFrameReader : public QObject
{
    Q_OBJECT

private slots:
    void sixLines_data();
    void sixLines();
    void linesTrimmedCommentsDropped_data();
    void linesTrimmedCommentsDropped();
    void bareCarriageReturnsKept_data();
    void bareCarriageReturnsKept();
    void longLines_data();
    void longLines();
    void nothingHeldNothingPrepended();
    void seekSkipsLongerNumbers();
    void seekMissingFrame();
    void seekByNumberAsLoaded();
    void seekFromIndexedOffset();

private:
    QString write(const QByteArray &bytes);
    static void addModes();

    QTemporaryDir dir;
    int files = 0;
};

QString TestFrameReader::write(const QByteArray &bytes)
{
    const QString path = dir.filePath(QStringLiteral("rec%1.wly").arg(++files));
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size())
        qFatal("cannot write %s", qPrintable(path));
    return path;
}

// Text mode hands CR LF over as LF, a raw device does not; both must read alike.
void TestFrameReader::addModes()
{
    QTest::addColumn<int>("openMode");
    QTest::newRow("text") << int(QIODevice::ReadOnly | QIODevice::Text);
    QTest::newRow("raw") << int(QIODevice::ReadOnly);
}

static const QByteArray sixLineRecording = "fr 1\r\nts 5.0\r\n6d 1 0.5 1.5\r\n"
                                           "fr 2\r\nts 5.02\r\n6d 1 0.6 1.6\r\n";

void TestFrameReader::sixLines_data()
{
    QTest::addColumn<int>("openMode");
    QTest::addColumn<bool>("loop");
    for (bool loop : {false, true}) {
        const char *loopName = loop ? "loop" : "once";
        QTest::addRow("text %s", loopName) << int(QIODevice::ReadOnly | QIODevice::Text) << loop;
        QTest::addRow("raw %s", loopName) << int(QIODevice::ReadOnly) << loop;
    }
}

void TestFrameReader::sixLines()
{
    QFETCH(int, openMode);
    QFETCH(bool, loop);
    QFile file(write(sixLineRecording));
    QVERIFY(file.open(QIODevice::OpenMode(openMode)));
    Playback play;

    QCOMPARE(play.read(file, loop), int(FrameReader::FrameRead));
    QCOMPARE(play.frame, QByteArray());
    QCOMPARE(play.currentFrame, 1);
    QCOMPARE(play.timestamp, -1.0);

    QCOMPARE(play.read(file, loop), int(FrameReader::FrameRead));
    QCOMPARE(play.frame, QByteArray("fr 1\r\nts 5.0\r\n6d 1 0.5 1.5\r\n"));
    QCOMPARE(play.timestamp, 5.0);
    QCOMPARE(play.currentFrame, 2);

    QCOMPARE(play.read(file, loop), int(loop ? FrameReader::Rewound : FrameReader::EndOfFile));
    QCOMPARE(play.frame, QByteArray("fr 2\r\nts 5.02\r\n6d 1 0.6 1.6\r\n"));
    QCOMPARE(play.timestamp, 5.02);
    QCOMPARE(play.currentFrame, 2);
    QCOMPARE(file.pos(), loop ? 0 : qint64(sixLineRecording.size()));
    QCOMPARE(play.reader.lastFrameLine().trimmed(), QByteArray("fr 2"));
}

void TestFrameReader::linesTrimmedCommentsDropped_data()
{
    addModes();
}

void TestFrameReader::linesTrimmedCommentsDropped()
{
    QFETCH(int, openMode);
    QFile file(write("fr 3 \t\r\n"
                     "  ts 9.5\r\n"     // not in the first column: no timestamp
                     "\t# comment\r\n"
                     " body  x \r\n"
                     "\r\n"
                     "#\n"
                     "ts  7\r\n"        // empty second field reads as 0
                     "fr x\r\n"
                     "ts abc\n"
                     "fr 5"));
    QVERIFY(file.open(QIODevice::OpenMode(openMode)));
    Playback play;
    play.read(file);
    QCOMPARE(play.currentFrame, 3);

    QCOMPARE(play.read(file), int(FrameReader::FrameRead));
    QCOMPARE(play.frame, QByteArray("fr 3\r\nts 9.5\r\nbody  x\r\n\r\nts  7\r\n"));
    QCOMPARE(play.timestamp, 0.0);
    QCOMPARE(play.currentFrame, 0); // "fr x" does not read

    QCOMPARE(play.read(file), int(FrameReader::FrameRead));
    QCOMPARE(play.frame, QByteArray("fr x\r\nts abc\r\n"));
    QCOMPARE(play.timestamp, 0.0);
    QCOMPARE(play.currentFrame, 5);

    // A last frame line without line end still goes out with CR LF.
    QCOMPARE(play.read(file), int(FrameReader::EndOfFile));
    QCOMPARE(play.frame, QByteArray("fr 5\r\n"));
    QCOMPARE(play.timestamp, -1.0);
}

void TestFrameReader::bareCarriageReturnsKept_data()
{
    addModes();
}

// Qt's text mode drops CRs inside lines (a QFile at least from its first
// line, a QBuffer from every line); reading through it would send altered
// payload and see a frame line in "f\rr 2" that the loader does not know.
void TestFrameReader::bareCarriageReturnsKept()
{
    QFETCH(int, openMode);
    const QByteArray bytes = "p\rq\r\nfr 1\r\na\rb \r\nf\rr 2\r\nc\r\r\n";
    QFile file(write(bytes));
    QBuffer buffer;
    buffer.setData(bytes);
    for (QIODevice *device : {static_cast<QIODevice *>(&file), static_cast<QIODevice *>(&buffer)}) {
        QVERIFY(device->open(QIODevice::OpenMode(openMode)));
        Playback play;
        QCOMPARE(play.read(*device), int(FrameReader::FrameRead));
        QCOMPARE(play.frame, QByteArray("p\rq\r\n"));
        QCOMPARE(play.read(*device), int(FrameReader::EndOfFile));
        QCOMPARE(play.frame, QByteArray("fr 1\r\na\rb\r\nf\rr 2\r\nc\r\n"));
        QCOMPARE(play.currentFrame, 1);
    }
}

void TestFrameReader::longLines_data()
{
    addModes();
}

void TestFrameReader::longLines()
{
    // Lines far longer than the reader's line buffer must come out whole, and
    // the frame line after them must still be seen as one.
    QFETCH(int, openMode);
    const QByteArray body(100000, 'b');
    const QByteArray frameLine = "fr 1 " + QByteArray(9000, 'f');
    QFile file(write(frameLine + "\r\n" + body + "\r\nfr 2\r\n" + body + "\r\n"));
    QVERIFY(file.open(QIODevice::OpenMode(openMode)));
    Playback play;
    play.read(file);
    QCOMPARE(play.currentFrame, 1);
    QCOMPARE(play.read(file), int(FrameReader::FrameRead));
    QCOMPARE(play.frame, frameLine + "\r\n" + body + "\r\n");
    QCOMPARE(play.currentFrame, 2);
    QCOMPARE(play.read(file), int(FrameReader::EndOfFile));
    QCOMPARE(play.frame, "fr 2\r\n" + body + "\r\n");
}

void TestFrameReader::nothingHeldNothingPrepended()
{
    // A normal read with no frame line held must not open the frame with an
    // empty line: the datagram would gain a bare CR LF.
    QFile file(write("a\nfr 1\nb\n"));
    QVERIFY(file.open(QIODevice::ReadOnly | QIODevice::Text));
    Playback play;
    play.timestamp = -1.0;
    QCOMPARE(play.read(file), int(FrameReader::FrameRead));
    QCOMPARE(play.frame, QByteArray("a\r\n"));

    // The same after the window dropped the held line.
    play.reader.clearLastFrameLine();
    QCOMPARE(play.read(file), int(FrameReader::EndOfFile));
    QCOMPARE(play.frame, QByteArray("b\r\n"));
}

void TestFrameReader::seekSkipsLongerNumbers()
{
    QFile file(write("fr 1\r\nx\r\nfr 120\r\ny\r\nfr 12 t\r\nz\r\nfr 13\r\nw\r\nfr 12"));
    QVERIFY(file.open(QIODevice::ReadOnly | QIODevice::Text));
    Playback play;
    play.read(file);
    QCOMPARE(play.currentFrame, 1);

    // As a resume after the slider does: back to the start, then search. The
    // held frame line opens the result; seeking changes neither it nor the number.
    QVERIFY(file.seek(0));
    QCOMPARE(play.seek(file, 12), int(FrameReader::FrameRead));
    QCOMPARE(play.frame, QByteArray("fr 1\r\nfr 12 t\r\n"));
    QVERIFY(!play.seekPending);
    QCOMPARE(play.currentFrame, 12);
    QCOMPARE(play.timestamp, -1.0);
    QCOMPARE(play.reader.lastFrameLine().trimmed(), QByteArray("fr 1"));

    // Resuming reads the rest of the chosen frame and holds the next frame line.
    QCOMPARE(play.read(file), int(FrameReader::FrameRead));
    QCOMPARE(play.frame, QByteArray("fr 1\r\nz\r\n"));
    QCOMPARE(play.currentFrame, 13);

    // A frame line at the very end, without line end, is found as well.
    QCOMPARE(play.seek(file, 12), int(FrameReader::FrameRead));
    QCOMPARE(play.frame, QByteArray("fr 13\r\nfr 12\r\n"));
}

void TestFrameReader::seekMissingFrame()
{
    QFile file(write("fr 1\nfr 10\nfr 100\n"));
    QVERIFY(file.open(QIODevice::ReadOnly | QIODevice::Text));
    Playback play;
    QCOMPARE(play.seek(file, 1), int(FrameReader::FrameRead));
    QCOMPARE(play.seek(file, 5), int(FrameReader::NotFound));
    QVERIFY(play.seekPending);
    QCOMPARE(play.currentFrame, 5);
    QVERIFY(file.atEnd());
    QCOMPARE(play.frame, QByteArray());
    QCOMPARE(play.seek(file, 5), int(FrameReader::NotFound));
}

// Frame lines whose numbers the loader reads, but not in the plain "fr <n>"
// form: a search by text misses them, so resuming at them ended playback.
void TestFrameReader::seekByNumberAsLoaded()
{
    const QString path = write("fr 04\r\nfr \v5\r\nfr +6 x\r\nfr 7\t\nfr 8\r");
    FrameIndex index;
    const RecordingLoader::Result loaded = RecordingLoader::load(path, index);
    QCOMPARE(loaded.status, RecordingLoader::Loaded);
    QCOMPARE(loaded.first, 4);
    QCOMPARE(loaded.last, 8);
    const QList<QByteArray> lines = {"fr 04", "fr \v5", "fr +6 x", "fr 7", "fr 8"};
    QFile file(path);
    QVERIFY(file.open(QIODevice::ReadOnly | QIODevice::Text));
    for (int k = 0; k < index.count(); ++k) {
        Playback play;
        QVERIFY(file.seek(index.fileOffset(k)));
        QCOMPARE(play.seek(file, loaded.first + k), int(FrameReader::FrameRead));
        QCOMPARE(play.frame, lines[k] + "\r\n");
        QVERIFY(file.seek(0));
        QCOMPARE(play.seek(file, loaded.first + k), int(FrameReader::FrameRead));
    }
}

void TestFrameReader::seekFromIndexedOffset()
{
    // Jumping to the frame line's offset from the index must give exactly what
    // the search from the start of the file gives, in seek and in the read after.
    QByteArray bytes = "# preamble\r\npre\r\n";
    for (int n = 1; n <= 40; ++n) {
        if (n % 7 == 0)
            continue;
        bytes += "fr " + QByteArray::number(n) + "\r\nts " + QByteArray::number(n * 0.5)
            + "\r\n# c\r\n 6d " + QByteArray::number(n * 3) + " \r\n";
    }
    const QString path = write(bytes);
    FrameIndex index;
    const RecordingLoader::Result loaded = RecordingLoader::load(path, index);
    QCOMPARE(loaded.status, RecordingLoader::Loaded);

    QFile scanned(path);
    QFile jumped(path);
    QVERIFY(scanned.open(QIODevice::ReadOnly | QIODevice::Text));
    QVERIFY(jumped.open(QIODevice::ReadOnly | QIODevice::Text));
    int checked = 0;
    for (int k = 0; k < index.count(); ++k) {
        const qint64 offset = index.fileOffset(k);
        if (offset < 0)
            continue;
        const int number = loaded.first + k;
        Playback fromStart;
        Playback fromIndex;
        QVERIFY(scanned.seek(0));
        QVERIFY(jumped.seek(offset));
        QCOMPARE(fromStart.seek(scanned, number), int(FrameReader::FrameRead));
        QCOMPARE(fromIndex.seek(jumped, number), int(FrameReader::FrameRead));
        QCOMPARE(fromIndex.frame, fromStart.frame);
        const int resultFromStart = fromStart.read(scanned);
        QCOMPARE(fromIndex.read(jumped), resultFromStart);
        QCOMPARE(fromIndex.frame, fromStart.frame);
        QCOMPARE(fromIndex.currentFrame, fromStart.currentFrame);
        QCOMPARE(fromIndex.timestamp, fromStart.timestamp);
        QCOMPARE(fromIndex.timestamp, number * 0.5);
        QCOMPARE(jumped.pos(), scanned.pos());
        ++checked;
    }
    QCOMPARE(checked, 35);
}

QTEST_GUILESS_MAIN(TestFrameReader)
#include "tst_frame_reader.moc"
