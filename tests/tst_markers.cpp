// Markers beside recordings and clips cut from them: the marks file, the clip
// writer against the source's bytes, and the temporary recording's markers
// travelling with it through save, copy, discard and a crash's leftover.

#include "play/clip_writer.h"
#include "play/marker_book.h"
#include "play/marker_store.h"
#include "play/recording_index.h"
#include "record/recording_saver.h"
#include "record/recording_session.h"
#include "support/fixture.h"
#include "support/recorded_frames.h"
#include "support/traffic_tools.h"

#include <QDir>
#include <QFile>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

using namespace Fixture;

namespace {

const QByteArray header = "# korvel-markers 1\n";

QByteArray frame(int n)
{
    return "fr " + QByteArray::number(n) + "\r\nts " + QByteArray::number(10.0 + n / 100.0, 'f', 2) + "\r\nbody "
           + QByteArray::number(n) + "\r\n";
}

QList<Marker> markersOf(const QString &recording)
{
    return MarkerStore::read(MarkerStore::pathFor(recording)).markers;
}

}

class MarkersTest : public QObject
{
    Q_OBJECT

private slots:
    void roundTrip();
    void damagedFiles_data();
    void damagedFiles();
    void labelsAndNeighbours();
    void markersForMissingFramesAreDropped();
    void clipIsTheSourcesBytes_data();
    void clipIsTheSourcesBytes();
    void clipRefusals();
    void temporaryPairThroughSave();
    void temporaryPairThroughDiscardAndClaim();
    void savedCopiesAndLeftoversTakeTheirMarkers();

private:
    QString path(const QString &name) const { return dir.filePath(name); }
    bool index(const QByteArray &bytes, RecordingIndex &out, const QString &name = QStringLiteral("source.wly"));

    QTemporaryDir dir;
};

bool MarkersTest::index(const QByteArray &bytes, RecordingIndex &out, const QString &name)
{
    return writeFile(path(name), bytes) && RecordingIndex::build(path(name), out).status == IndexResult::Loaded;
}

void MarkersTest::roundTrip()
{
    const QString marks = path(QStringLiteral("round.wly.marks"));
    // Tabs and line ends cannot be stored in a label: they become blanks, and the rest comes back as written.
    const QList<Marker> written{{3, QStringLiteral("M1")}, {3, QStringLiteral("two\tparts\nand more")},
                                {70000, QStringLiteral("Kalibrierung ü ✓")}, {9, QString()}};
    QString reason;
    QVERIFY2(MarkerStore::write(marks, written, &reason), qPrintable(reason));
    QCOMPARE(readFile(marks), header + "3\tM1\n3\ttwo parts and more\n70000\tKalibrierung ü ✓\n9\t\n");
    const MarkerStore::ReadResult read = MarkerStore::read(marks);
    QCOMPARE(read.status, MarkerStore::ReadResult::Read);
    const QList<Marker> expected{{3, QStringLiteral("M1")}, {3, QStringLiteral("two parts and more")},
                                 {9, QString()}, {70000, QStringLiteral("Kalibrierung ü ✓")}};
    QCOMPARE(read.markers, expected);
    // No temporary file is left beside it.
    QCOMPARE(QDir(dir.path()).entryList({QStringLiteral("round*")}, QDir::Files), QStringList{"round.wly.marks"});
    // No markers, no file.
    QVERIFY(MarkerStore::write(marks, {}, &reason));
    QVERIFY(!QFile::exists(marks));
    QCOMPARE(MarkerStore::read(marks).status, MarkerStore::ReadResult::Absent);
}

void MarkersTest::damagedFiles_data()
{
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<int>("badLine");
    QTest::addColumn<QString>("badText");
    QTest::addColumn<QList<int>>("kept"); // frames of the markers read

    QTest::newRow("another header") << QByteArray("# markers 2\n5\tA\n") << 1 << "# markers 2" << QList<int>{5};
    QTest::newRow("empty file") << QByteArray() << 1 << "" << QList<int>{};
    QTest::newRow("no tab") << header + "5 A\n7\tB\n" << 2 << "5 A" << QList<int>{7};
    QTest::newRow("signed frame") << header + "7\tB\n-5\tA\n+6\tC\n" << 3 << "-5\tA" << QList<int>{7};
    QTest::newRow("frame beyond int") << header + "2147483648\tA\n1\tB\n" << 2 << "2147483648\tA" << QList<int>{1};
    QTest::newRow("no frame") << header + "\tA\n1\tB\n" << 2 << "\tA" << QList<int>{1};
    QTest::newRow("not UTF-8") << header + "1\t\xff\xfe\n2\tB\n" << 2 << QString::fromUtf8("1\t\xff\xfe")
                               << QList<int>{2};
    // Written on another system, or edited: CR LF and blank lines are no damage.
    QTest::newRow("CR LF and blank lines") << QByteArray("# korvel-markers 1\r\n\r\n4\tA\r\n\n2\tB") << 0 << ""
                                           << QList<int>{2, 4};
}

void MarkersTest::damagedFiles()
{
    QFETCH(QByteArray, content);
    QFETCH(int, badLine);
    QFETCH(QString, badText);
    QFETCH(QList<int>, kept);
    const QString marks = path(QStringLiteral("damaged.wly.marks"));
    QVERIFY(writeFile(marks, content));
    const MarkerStore::ReadResult read = MarkerStore::read(marks);
    QCOMPARE(read.status, badLine ? MarkerStore::ReadResult::Damaged : MarkerStore::ReadResult::Read);
    QCOMPARE(read.badLine, badLine);
    QCOMPARE(read.badText, badText);
    QList<int> frames;
    for (const Marker &marker : read.markers)
        frames << marker.frame;
    QCOMPARE(frames, kept);

    // A folder where the file should be cannot be read at all.
    const QString folder = path(QStringLiteral("folder.wly.marks"));
    QVERIFY(QDir().mkpath(folder));
    QCOMPARE(MarkerStore::read(folder).status, MarkerStore::ReadResult::Unreadable);
}

void MarkersTest::labelsAndNeighbours()
{
    const QString recording = path(QStringLiteral("labels.wly"));
    MarkerBook book;
    QCOMPARE(book.add(5), -1); // no recording, no marker
    book.attach(recording);
    QSignalSpy changed(&book, &MarkerBook::changed);
    QCOMPARE(book.add(20), 0);
    QCOMPARE(book.add(10), 0);
    QCOMPARE(book.add(30), 2);
    QVERIFY(book.setLabel(0, QStringLiteral("start")));
    // "M2" is free again once the marker labelled so is gone; the first gap is taken.
    QVERIFY(book.remove(1));
    QCOMPARE(book.markers().at(book.add(25)).label, QStringLiteral("M1"));
    QCOMPARE(MarkerStore::nextLabel(book.markers()), QStringLiteral("M2"));
    QCOMPARE(changed.count(), 6);
    QCOMPARE(markersOf(recording), book.markers());

    QCOMPARE(book.nextAfter(10), 25);
    QCOMPARE(book.nextAfter(0), 10);
    QCOMPARE(book.nextAfter(30), -1);
    QCOMPARE(book.previousBefore(25), 10);
    QCOMPARE(book.previousBefore(31), 30);
    QCOMPARE(book.previousBefore(10), -1);
    QCOMPARE(MarkerStore::find(book.markers(), QStringLiteral("start")), 0);
    QCOMPARE(MarkerStore::find(book.markers(), QStringLiteral("none")), -1);
}

void MarkersTest::markersForMissingFramesAreDropped()
{
    RecordingIndex recording;
    QVERIFY(index(frame(1) + frame(2) + frame(4), recording));
    QVERIFY(writeFile(MarkerStore::pathFor(recording.path()), header + "2\tkept\n3\tlost frame\n9\tafter the end\n"));
    MarkerBook book;
    const MarkerBook::Opened opened = book.open(recording.path(), recording);
    QCOMPARE(opened.read.status, MarkerStore::ReadResult::Read);
    QCOMPARE(book.markers(), (QList<Marker>{{2, "kept"}}));
    QCOMPARE(opened.dropped, (QList<Marker>{{3, "lost frame"}, {9, "after the end"}}));
}

void MarkersTest::clipIsTheSourcesBytes_data()
{
    QTest::addColumn<QByteArray>("source");
    QTest::addColumn<int>("from");
    QTest::addColumn<int>("until");
    QTest::addColumn<QByteArray>("clip");
    QTest::addColumn<int>("first");
    QTest::addColumn<int>("last");

    QByteArray all;
    for (int n = 1000; n <= 1010; ++n)
        all += n == 1004 ? QByteArray() : frame(n);
    QTest::newRow("middle, keeps its numbers") << all << 1002 << 1006 << frame(1002) + frame(1003) + frame(1005) + frame(1006)
                                               << 1002 << 1006;
    QTest::newRow("whole recording") << all << 0 << INT_MAX << all << 1000 << 1010;
    QTest::newRow("partly outside, bounds lost") << all << 1004 << 5000
                                                 << all.mid(all.indexOf("fr 1005")) << 1005 << 1010;
    // The lines before the first frame go with it; a duplicate dropped by the index is no frame.
    const QByteArray preamble = "# tracker 3\r\nsetup line\r\n";
    const QByteArray duplicated = preamble + frame(1) + frame(2) + frame(2) + frame(3);
    QTest::newRow("preamble") << duplicated << 0 << 1 << preamble + frame(1) << 1 << 1;
    QTest::newRow("across a dropped duplicate") << duplicated << 2 << 3 << frame(2) + frame(3) << 2 << 3;
}

void MarkersTest::clipIsTheSourcesBytes()
{
    QFETCH(QByteArray, source);
    QFETCH(int, from);
    QFETCH(int, until);
    QFETCH(QByteArray, clip);
    QFETCH(int, first);
    QFETCH(int, last);
    RecordingIndex recording;
    QVERIFY(index(source, recording));
    const QList<Marker> markers{{1, "one"}, {1002, "inside"}, {1006, "edge"}, {1007, "outside"}, {3, "three"}};
    const QString target = path(QStringLiteral("clip.wly"));
    // Markers of a recording the clip replaces must not stay.
    QVERIFY(writeFile(MarkerStore::pathFor(target), header + "77\tstale\n"));

    const ClipResult result = ClipWriter::write(recording, from, until, markers, target);
    QCOMPARE(result.status, ClipResult::Written);
    QCOMPARE(readFile(target), clip);
    QCOMPARE(result.bytes, clip.size());
    QCOMPARE(result.first, first);
    QCOMPARE(result.last, last);
    QList<Marker> inside;
    for (const Marker &marker : markers) {
        if (marker.frame >= qMax(from, recording.first()) && marker.frame <= qMin(until, recording.last()))
            MarkerStore::insert(inside, marker);
    }
    QCOMPARE(markersOf(target), inside);
    QCOMPARE(result.markers, inside.size());

    // The clip opens as the same frames, without a loss of its own at its start.
    RecordingIndex opened;
    QCOMPARE(RecordingIndex::build(target, opened).status, IndexResult::Loaded);
    QCOMPARE(opened.first(), first);
    QCOMPARE(opened.last(), last);
    QCOMPARE(opened.frameCount(), result.frames);
    QCOMPARE(opened.lostCount(), recording.lostCount() > 0 && from < 1004 && until > 1004 ? 1 : 0);
}

void MarkersTest::clipRefusals()
{
    RecordingIndex recording;
    QVERIFY(index(frame(1) + frame(2) + frame(5), recording));
    const QString target = path(QStringLiteral("refused.wly"));
    QVERIFY(writeFile(target, "old"));
    QCOMPARE(ClipWriter::write(recording, 3, 4, {}, target).status, ClipResult::NoFrames);
    QCOMPARE(ClipWriter::write(recording, 6, 9, {}, target).status, ClipResult::NoFrames);
    QCOMPARE(ClipWriter::write(recording, 1, 5, {}, recording.path()).status, ClipResult::WriteFailed);
    // The source changed after it was indexed: the offsets no longer hold.
    QVERIFY(writeFile(recording.path(), frame(1) + frame(2) + frame(5) + frame(6)));
    QCOMPARE(ClipWriter::write(recording, 1, 5, {}, target).status, ClipResult::ReadFailed);
    QCOMPARE(readFile(target), QByteArray("old"));
    QCOMPARE(QDir(dir.path()).entryList({QStringLiteral("refused*")}, QDir::Files), QStringList{"refused.wly"});
}

void MarkersTest::temporaryPairThroughSave()
{
    RecordingSession session;
    const uint16_t port = freePort();
    QString error;
    QVERIFY2(session.startRecording(port, &error) == RecordingSession::Start::Started, qPrintable(error));
    QCOMPARE(session.newestFrame(), -1);
    UdpPeer sender;
    for (int n = 41; n <= 43; ++n)
        QVERIFY(sender.send(frame(n), port));
    QTRY_COMPARE(session.newestFrame(), 43);
    MarkerBook book;
    book.startFresh(session.temporaryPath());
    QCOMPARE(book.add(int(session.newestFrame())), 0);
    session.stop();

    const QString saved = path(QStringLiteral("saved.wly"));
    // An older recording of that name had markers of its own: they go with it.
    QVERIFY(writeFile(MarkerStore::pathFor(saved), header + "1\told\n"));
    const QString temporary = session.temporaryPath();
    QCOMPARE(session.saveTemporary(saved, &error), RecordingSaver::Renamed);
    QCOMPARE(markersOf(saved), (QList<Marker>{{43, "M1"}}));
    QVERIFY(!QFile::exists(MarkerStore::pathFor(temporary)));
}

void MarkersTest::temporaryPairThroughDiscardAndClaim()
{
    RecordingSession session;
    const uint16_t port = freePort();
    QString error;
    QVERIFY(session.startRecording(port, &error) == RecordingSession::Start::Started);
    const QString temporary = session.temporaryPath();
    UdpPeer sender;
    QVERIFY(sender.send(frame(7), port));
    QTRY_COMPARE(session.newestFrame(), 7);
    MarkerBook book;
    book.startFresh(temporary);
    book.add(7);
    session.stop();
    session.discardTemporary();
    QVERIFY(!QFile::exists(temporary));
    QVERIFY(!QFile::exists(MarkerStore::pathFor(temporary)));

    // Markers left beside a name with no recording belong to none: a new recording starts without them.
    QVERIFY(writeFile(MarkerStore::pathFor(temporary), header + "7\tstale\n"));
    QVERIFY(session.startRecording(port, &error) == RecordingSession::Start::Started);
    QCOMPARE(session.temporaryPath(), temporary);
    QVERIFY(!QFile::exists(MarkerStore::pathFor(temporary)));
    session.stop();
}

void MarkersTest::savedCopiesAndLeftoversTakeTheirMarkers()
{
    const QString source = path(QStringLiteral("kept.wly"));
    QVERIFY(writeFile(source, frame(1) + frame(2)));
    QVERIFY(writeFile(MarkerStore::pathFor(source), header + "2\tM1\n"));
    RecordingSaver saver;
    QString reason;

    // Save as of an open recording copies, the markers too, and the source keeps its own.
    const QString copy = path(QStringLiteral("copy.wly"));
    QSignalSpy finished(&saver, &RecordingSaver::finished);
    QCOMPARE(saver.save(source, copy, RecordingSaver::Copy, &reason), RecordingSaver::Copying);
    QVERIFY(finished.wait());
    QVERIFY(finished.at(0).at(0).toBool());
    QCOMPARE(readFile(MarkerStore::pathFor(copy)), readFile(MarkerStore::pathFor(source)));

    // A crash's leftover saved by a move takes its markers; one without replaces a target's.
    const QString leftover = path(QStringLiteral("korvel_recorder_temp.wly"));
    QVERIFY(writeFile(leftover, frame(5)));
    QCOMPARE(saver.save(leftover, copy, RecordingSaver::Move, &reason), RecordingSaver::Renamed);
    QVERIFY(!QFile::exists(MarkerStore::pathFor(copy)));
    QVERIFY(writeFile(leftover, frame(6)));
    QVERIFY(writeFile(MarkerStore::pathFor(leftover), header + "6\tM1\n"));
    QCOMPARE(saver.save(leftover, copy, RecordingSaver::Move, &reason), RecordingSaver::Renamed);
    QCOMPARE(markersOf(copy), (QList<Marker>{{6, "M1"}}));
    QVERIFY(!QFile::exists(MarkerStore::pathFor(leftover)));

    // A discarded leftover goes with its markers.
    QVERIFY(writeFile(leftover, frame(8)));
    QVERIFY(writeFile(MarkerStore::pathFor(leftover), header + "8\tM1\n"));
    QVERIFY(MarkerStore::removePair(leftover));
    QVERIFY(!QFile::exists(leftover));
    QVERIFY(!QFile::exists(MarkerStore::pathFor(leftover)));
}

QTEST_GUILESS_MAIN(MarkersTest)
#include "tst_markers.moc"
