#include "play/frame_index.h"
#include "play/frame_reader.h"
#include "play/recording_loader.h"

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
    void readToEnd_data()
    {
        QTest::addColumn<int>("mode");
        QTest::addColumn<bool>("loop");
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<QByteArrayList>("frames"); // one per read; the first read only finds frame line 1
        QTest::addColumn<QList<double>>("timestamps");
        QTest::addColumn<QList<int>>("numbers");

        // Lines far longer than the reader's line buffer must come out whole, and
        // the frame line after them must still be seen as one.
        const QByteArray body(100000, 'b');
        const QByteArray longFrameLine = "fr 1 " + QByteArray(9000, 'f');
        // Text mode hands CR LF over as LF, a raw device does not; both must read alike.
        for (const int mode : {int(QIODevice::ReadOnly | QIODevice::Text), int(QIODevice::ReadOnly)}) {
            const char *name = mode & QIODevice::Text ? "text" : "raw";
            for (const bool loop : {false, true}) {
                QTest::addRow("%s, six lines%s", name, loop ? ", loop" : "")
                    << mode << loop
                    << QByteArray("fr 1\r\nts 5.0\r\n6d 1 0.5 1.5\r\nfr 2\r\nts 5.02\r\n6d 1 0.6 1.6\r\n")
                    << QByteArrayList{"", "fr 1\r\nts 5.0\r\n6d 1 0.5 1.5\r\n", "fr 2\r\nts 5.02\r\n6d 1 0.6 1.6\r\n"}
                    << QList<double>{-1.0, 5.0, 5.02} << QList<int>{1, 2, 2};
            }
            QTest::addRow("%s, trimmed, comments dropped", name)
                << mode << false
                << QByteArray("fr 3 \t\r\n"
                              "  ts 9.5\r\n" // not in the first column: no timestamp
                              "\t# comment\r\n body  x \r\n\r\n#\n"
                              "ts  7\r\n" // empty second field reads as 0
                              "fr x\r\nts abc\nfr 5")
                // "fr x" does not read; a last frame line without line end still goes out with CR LF.
                << QByteArrayList{"", "fr 3\r\nts 9.5\r\nbody  x\r\n\r\nts  7\r\n", "fr x\r\nts abc\r\n", "fr 5\r\n"}
                << QList<double>{-1.0, 0.0, 0.0, -1.0} << QList<int>{3, 0, 5, 5};
            QTest::addRow("%s, long lines", name)
                << mode << false << longFrameLine + "\r\n" + body + "\r\nfr 2\r\n" + body + "\r\n"
                << QByteArrayList{"", longFrameLine + "\r\n" + body + "\r\n", "fr 2\r\n" + body + "\r\n"}
                << QList<double>{-1.0, -1.0, -1.0} << QList<int>{1, 2, 2};
        }
    }

    void readToEnd()
    {
        QFETCH(int, mode);
        QFETCH(bool, loop);
        QFETCH(QByteArray, bytes);
        QFETCH(QByteArrayList, frames);
        QFile file(write(bytes));
        QVERIFY(file.open(QIODevice::OpenMode(mode)));
        Playback play;
        QByteArrayList read;
        QList<double> timestamps;
        QList<int> numbers;
        int result = FrameReader::FrameRead;
        while (result == FrameReader::FrameRead && read.size() < frames.size()) {
            result = play.read(file, loop);
            read << play.frame;
            timestamps << play.timestamp;
            numbers << play.currentFrame;
        }
        QCOMPARE(result, int(loop ? FrameReader::Rewound : FrameReader::EndOfFile));
        QCOMPARE(read, frames);
        QTEST(timestamps, "timestamps");
        QTEST(numbers, "numbers");
        QCOMPARE(file.pos(), loop ? 0 : bytes.size());
        QCOMPARE(play.reader.lastFrameLine().trimmed(), frames.last().left(frames.last().indexOf('\r')));
    }

    void nothingHeldNothingPrepended()
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

    void seekSkipsLongerNumbers()
    {
        QFile file(write("fr 1\r\nx\r\nfr 120\r\ny\r\nfr 12 t\r\nz\r\nfr 13\r\nw\r\nfr 12"));
        QVERIFY(file.open(QIODevice::ReadOnly | QIODevice::Text));
        Playback play;
        play.read(file);
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
        // A frame that is not in the rest of the file leaves the search pending at the end.
        QCOMPARE(play.seek(file, 5), int(FrameReader::NotFound));
        QVERIFY(play.seekPending);
        QVERIFY(file.atEnd());
    }

    void seekFromIndexedOffset()
    {
        // Jumping to the frame line's offset from the index must give exactly what
        // the search from the start of the file gives, in seek and in the read after.
        QByteArray bytes = "# preamble\r\npre\r\n";
        for (int n = 1; n <= 40; ++n) {
            if (n % 7 != 0)
                bytes += "fr " + QByteArray::number(n) + "\r\nts " + QByteArray::number(n * 0.5) + "\r\n# c\r\n 6d "
                    + QByteArray::number(n * 3) + " \r\n";
        }
        const QString path = write(bytes);
        FrameIndex index;
        QCOMPARE(RecordingLoader::load(path, index).status, RecordingLoader::Loaded);
        QFile scanned(path);
        QFile jumped(path);
        QVERIFY(scanned.open(QIODevice::ReadOnly | QIODevice::Text));
        QVERIFY(jumped.open(QIODevice::ReadOnly | QIODevice::Text));
        int checked = 0;
        for (int number = 0; number < index.count(); ++number) { // the first frame number is 0
            if (index.fileOffset(number) < 0)
                continue;
            Playback fromStart;
            Playback fromIndex;
            QVERIFY(scanned.seek(0) && jumped.seek(index.fileOffset(number)));
            QCOMPARE(fromStart.seek(scanned, number), int(FrameReader::FrameRead));
            QCOMPARE(fromIndex.seek(jumped, number), int(FrameReader::FrameRead));
            QCOMPARE(fromIndex.frame, fromStart.frame);
            QCOMPARE(fromIndex.read(jumped), fromStart.read(scanned));
            QCOMPARE(fromIndex.frame, fromStart.frame);
            QCOMPARE(fromIndex.currentFrame, fromStart.currentFrame);
            QCOMPARE(fromIndex.timestamp, number * 0.5);
            QCOMPARE(fromStart.timestamp, number * 0.5);
            QCOMPARE(jumped.pos(), scanned.pos());
            ++checked;
        }
        QCOMPARE(checked, 35);
    }
};

QTEST_GUILESS_MAIN(TestFrameReader)
#include "tst_frame_reader.moc"
