#include "play/frame_index.h"
#include "play/frame_reader.h"
#include "play/recording_loader.h"

#include <QBuffer>
#include <QTemporaryFile>
#include <QTest>

// The state the window keeps around the reader between calls.
struct Playback {
    FrameReader reader;
    double timestamp = -2.0;
    bool seekPending = false;
    int currentFrame = 0;
    QByteArray frame;

    int read(QIODevice &file)
    {
        return reader.readNextFrame(file, timestamp, false, seekPending, currentFrame, frame);
    }
    int seek(QIODevice &file, int number)
    {
        seekPending = true;
        currentFrame = number;
        return read(file);
    }
};

class TestFrameReader : public QObject
{
    Q_OBJECT

private slots:
    void readToEnd_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<QByteArrayList>("frames"); // one per read; the first read only finds frame line 1
        QTest::addColumn<QList<double>>("timestamps");
        QTest::addColumn<QList<int>>("numbers");
        QTest::newRow("six lines")
            << QByteArray("fr 1\r\nts 5.0\r\n6d 1 0.5 1.5\r\nfr 2\r\nts 5.02\r\n6d 1 0.6 1.6\r\n")
            << QByteArrayList{"", "fr 1\r\nts 5.0\r\n6d 1 0.5 1.5\r\n", "fr 2\r\nts 5.02\r\n6d 1 0.6 1.6\r\n"}
            << QList<double>{-1.0, 5.0, 5.02} << QList<int>{1, 2, 2};
        // A line far beyond the reader's first line buffer must come out whole.
        const QByteArray longLine(10000, 'x');
        QTest::newRow("trimmed, comments dropped, long line")
            << "fr 3 \t\r\n"
                   "  ts 9.5\r\n" // not in the first column: no timestamp
                   "\t# comment\r\n body " + longLine + " \r\n\r\n#\n"
                   "ts  7\r\n" // empty second field reads as 0
                   "fr x\r\nts abc\nfr 5"
            // "fr x" does not read; a last frame line without line end still goes out with CR LF.
            << QByteArrayList{"", "fr 3\r\nts 9.5\r\nbody " + longLine + "\r\n\r\nts  7\r\n", "fr x\r\nts abc\r\n", "fr 5\r\n"}
            << QList<double>{-1.0, 0.0, 0.0, -1.0} << QList<int>{3, 0, 5, 5};
    }

    // Opened in text mode, as the window opens recordings.
    void readToEnd()
    {
        QFETCH(QByteArray, bytes);
        QFETCH(QByteArrayList, frames);
        QFETCH(QList<double>, timestamps);
        QFETCH(QList<int>, numbers);
        QBuffer file(&bytes);
        QVERIFY(file.open(QIODevice::ReadOnly | QIODevice::Text));
        Playback play;
        for (int k = 0; k < frames.size(); ++k) {
            QCOMPARE(play.read(file), int(k + 1 < frames.size() ? FrameReader::FrameRead : FrameReader::EndOfFile));
            QCOMPARE(play.frame, frames[k]);
            QCOMPARE(play.timestamp, timestamps[k]);
            QCOMPARE(play.currentFrame, numbers[k]);
        }
    }

    void seekSkipsLongerNumbers()
    {
        QByteArray bytes = "fr 120\r\ny\r\nfr 12 t\r\nz\r\nfr 13\r\nw\r\nfr 12";
        QBuffer file(&bytes);
        QVERIFY(file.open(QIODevice::ReadOnly | QIODevice::Text));
        Playback play;
        QCOMPARE(play.seek(file, 12), int(FrameReader::FrameRead));
        QCOMPARE(play.frame, QByteArray("fr 12 t\r\n"));
        QVERIFY(!play.seekPending);
        // A frame line at the very end, without line end, is found as well.
        QCOMPARE(play.seek(file, 12), int(FrameReader::FrameRead));
        QCOMPARE(play.frame, QByteArray("fr 12\r\n"));
        // A frame that is not in the rest of the file.
        QCOMPARE(play.seek(file, 5), int(FrameReader::NotFound));
    }

    // Jumping to the frame line's offset from the index must give exactly what
    // the search from the start of the file gives, in seek and in the read after.
    void seekFromIndexedOffset()
    {
        QTemporaryFile recording;
        QVERIFY(recording.open());
        recording.write("# preamble\r\npre\r\n");
        for (const int n : {1, 2, 3, 4, 5, 6, 8, 9, 10, 20})
            recording.write("fr " + QByteArray::number(n) + "\r\nts " + QByteArray::number(n * 0.5) + "\r\n# c\r\n 6d \r\n");
        QVERIFY(recording.flush());
        FrameIndex index;
        QCOMPARE(RecordingLoader::load(recording.fileName(), index).status, RecordingLoader::Loaded);
        QFile jumped(recording.fileName());
        QVERIFY(jumped.open(QIODevice::ReadOnly | QIODevice::Text));
        // The first frame, one after a lost frame, the last after many lost.
        for (const int number : {1, 8, 20}) {
            Playback fromStart, fromIndex;
            QVERIFY(recording.seek(0) && jumped.seek(index.fileOffset(number)));
            QCOMPARE(fromIndex.seek(jumped, number), fromStart.seek(recording, number));
            QCOMPARE(fromIndex.read(jumped), fromStart.read(recording));
            QCOMPARE(fromIndex.frame, fromStart.frame);
            QCOMPARE(fromIndex.timestamp, number * 0.5);
        }
    }

    // Qt's text mode drops every CR of a line, not only the one before LF: read
    // that way, "f\rr 2" would become a frame line the loader never saw.
    void bareCarriageReturnsKept()
    {
        QBuffer buffer;
        buffer.setData("p\rq\r\nfr 1\r\na\rb \r\nf\rr 2\r\nc\r\r\n");
        QVERIFY(buffer.open(QIODevice::ReadOnly | QIODevice::Text));
        Playback play;
        QCOMPARE(play.read(buffer), int(FrameReader::FrameRead));
        QCOMPARE(play.frame, QByteArray("p\rq\r\n"));
        QCOMPARE(play.read(buffer), int(FrameReader::EndOfFile));
        QCOMPARE(play.frame, QByteArray("fr 1\r\na\rb\r\nf\rr 2\r\nc\r\n"));
    }

    // A frame line is found by its number as the loader reads it, not by its text.
    void seekByNumberAsLoaded()
    {
        QTemporaryFile recording;
        QVERIFY(recording.open());
        recording.write("fr 04\r\nfr \v5\r\nfr +6 x\r\nfr 7\t\nfr 8\r");
        QVERIFY(recording.flush());
        FrameIndex index;
        const RecordingLoader::Result loaded = RecordingLoader::load(recording.fileName(), index);
        QCOMPARE(loaded.first, 4);
        QCOMPARE(loaded.last, 8);
        for (int number = loaded.first; number <= loaded.last; ++number) {
            Playback play;
            QVERIFY(recording.seek(0));
            QCOMPARE(play.seek(recording, number), int(FrameReader::FrameRead));
        }
    }
};

QTEST_GUILESS_MAIN(TestFrameReader)
#include "tst_frame_reader.moc"
