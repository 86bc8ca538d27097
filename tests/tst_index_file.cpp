// The index file beside a large recording: used only while it matches the
// recording, never followed through a link, never a signal when cut.

#include "play/index_file.h"
#include "play/recording_index.h"
#include "support/fixture.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <cmath>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

class TestIndexFile : public QObject
{
    Q_OBJECT

    QTemporaryDir dir;
    int files = 0;

    QString write(const QByteArray &bytes)
    {
        const QString path = Fixture::writeNewRecording(dir, bytes);
        if (path.isEmpty())
            qFatal("cannot write a recording into %s", qPrintable(dir.path()));
        return path;
    }

private slots:
    void indexFileChecked_data()
    {
        QTest::addColumn<QString>("change");
        QTest::addColumn<bool>("used");
        QTest::newRow("matching") << "" << true;
        QTest::newRow("recording grown") << "grow recording" << false;
        QTest::newRow("recording rewritten, same size") << "rewrite recording" << false;
        // As `touch -r` leaves it: same size and modification time, but the change time moved on.
        QTest::newRow("recording edited, time restored") << "edit recording, keep time" << false;
        QTest::newRow("recording replaced by a copy") << "replace recording" << false;
        // A checksum is no seal: an offset that points off its frame line is caught by the sample.
        QTest::newRow("index offset forged") << "forge" << false;
        QTest::newRow("index is a link") << "link index" << false;
        QTest::newRow("index byte flipped") << "flip" << false;
        QTest::newRow("index cut short") << "cut" << false;
        QTest::newRow("index grown") << "grow index" << false;
        QTest::newRow("index empty") << "empty" << false;
    }

    // A stale or damaged index file is ignored: the scan gives the true index.
    void indexFileChecked()
    {
        QFETCH(QString, change);
        QFETCH(bool, used);
        const QString path = write("head\nfr 1\nts 1\nfr 2\nfr 2\nfr 4\nts 4\n");
        const QString idx = RecordingIndex::indexFilePath(path);
        QCOMPARE(idx, path + ".idx");
        {
            RecordingIndex index;
            QCOMPARE(RecordingIndex::build(path, index).status, IndexResult::Loaded);
            QVERIFY(index.writeIndexFile());
        }
        const auto edit = [](const QString &name, const std::function<void(QByteArray &)> &how, bool otherTime) {
            QFile file(name);
            QVERIFY(file.open(QIODevice::ReadWrite));
            QByteArray bytes = file.readAll();
            how(bytes);
            QVERIFY(file.resize(0) && file.write(bytes) == bytes.size());
            if (otherTime)
                QVERIFY(file.setFileTime(QDateTime::currentDateTime().addSecs(60), QFileDevice::FileModificationTime));
        };
        if (change == "grow recording")
            edit(path, [](QByteArray &b) { b += "fr 5\n"; }, false);
        else if (change == "rewrite recording")
            edit(path, [](QByteArray &b) { b.replace("fr 4", "fr 3"); }, true);
        else if (change == "edit recording, keep time") {
            struct stat before;
            QCOMPARE(::stat(QFile::encodeName(path).constData(), &before), 0);
            QThread::msleep(20); // a change time of its own, even on coarse clocks
            edit(path, [](QByteArray &b) { b.replace("fr 4", "fr 3"); }, false);
            const timespec times[2] = {before.st_atim, before.st_mtim};
            QCOMPARE(::utimensat(AT_FDCWD, QFile::encodeName(path).constData(), times, 0), 0);
        } else if (change == "replace recording") {
            struct stat before;
            QCOMPARE(::stat(QFile::encodeName(path).constData(), &before), 0);
            const QString copy = path + ".new";
            QVERIFY(QFile::copy(path, copy));
            const timespec times[2] = {before.st_atim, before.st_mtim};
            QCOMPARE(::utimensat(AT_FDCWD, QFile::encodeName(copy).constData(), times, 0), 0);
            QCOMPARE(::rename(QFile::encodeName(copy).constData(), QFile::encodeName(path).constData()), 0);
        } else if (change == "forge") {
            edit(idx, [](QByteArray &b) {
                // The last frame's offset lies before the stamps and the checksum; one byte on, it misses "fr 4".
                qint64 offset;
                const qsizetype at = b.size() - 8 - 3 * 8 - 8;
                std::memcpy(&offset, b.constData() + at, 8);
                ++offset;
                std::memcpy(b.data() + at, &offset, 8);
                IndexFile::Checksum sum;
                sum.add(b.constData(), b.size() - 8);
                const quint64 value = sum.value();
                std::memcpy(b.data() + b.size() - 8, &value, 8);
            }, false);
        } else if (change == "link index") {
            QVERIFY(QFile::rename(idx, path + ".elsewhere") && QFile::link(path + ".elsewhere", idx));
        } else if (change == "flip")
            edit(idx, [](QByteArray &b) { b[b.size() - 20] ^= 1; }, false);
        else if (change == "cut")
            edit(idx, [](QByteArray &b) { b.chop(8); }, false);
        else if (change == "grow index")
            edit(idx, [](QByteArray &b) { b.append(8, '\0'); }, false);
        else if (change == "empty")
            edit(idx, [](QByteArray &b) { b.clear(); }, false);

        RecordingIndex index;
        const IndexResult result = RecordingIndex::build(path, index);
        QCOMPARE(result.status, IndexResult::Loaded);
        QCOMPARE(result.fromIdxFile, used);
        QVERIFY(QFile::remove(idx));
        QFile::remove(path + ".elsewhere");
        RecordingIndex scanned;
        const IndexResult truth = RecordingIndex::build(path, scanned);
        QCOMPARE(truth.fromIdxFile, false);
        QCOMPARE(result.duplicatesListed, truth.duplicatesListed);
        QCOMPARE(result.lostListed, truth.lostListed);
        QCOMPARE(index.first(), scanned.first());
        QCOMPARE(index.last(), scanned.last());
        QCOMPARE(index.frameCount(), scanned.frameCount());
        QByteArray raw, expected;
        for (int n = scanned.first(); n <= scanned.last(); ++n) {
            QCOMPARE(index.readFrame(n, raw), scanned.readFrame(n, expected));
            QCOMPARE(raw, expected);
            QVERIFY(Fixture::sameStamp(index.timestamp(n), scanned.timestamp(n)));
        }
    }

    // A copy or `rsync --inplace` cuts an index file in place while it is in
    // use; a mapped one would fault (SIGBUS) at the next frame read.
    void indexFileCutWhileOpen()
    {
        const QString path = write("fr 1\nts 1\nfr 2\nts 2\nfr 5\nts 5\nbody\n");
        {
            RecordingIndex scanned;
            QCOMPARE(RecordingIndex::build(path, scanned).status, IndexResult::Loaded);
            QVERIFY(scanned.writeIndexFile());
        }
        RecordingIndex index;
        QVERIFY(RecordingIndex::build(path, index).fromIdxFile);
        QVERIFY(QFile::resize(RecordingIndex::indexFilePath(path), 0));
        QByteArray raw;
        QVERIFY(index.readFrame(5, raw));
        QCOMPARE(raw, QByteArray("fr 5\nts 5\nbody\n"));
        QCOMPARE(index.timestamp(2), 2.0);
        QCOMPARE(index.nextFrame(2), 5);
    }

    void indexFileWrittenSafely_data()
    {
        QTest::addColumn<int>("folderMode");
        QTest::addColumn<bool>("otherOwner"); // the folder belongs to nobody
        QTest::addColumn<bool>("written");
        QTest::newRow("own folder") << 0700 << false << true;
        QTest::newRow("shared with the sticky bit") << 01777 << false << true;
        // Anyone could put a name there between our steps: the index is a cache, so it is skipped.
        QTest::newRow("shared without the sticky bit") << 0777 << false << false;
        QTest::newRow("another user's folder") << 0755 << true << false;
    }

    // A link planted at the index name (in a shared folder, run as root) must
    // never make writing the index overwrite the link's target.
    void indexFileWrittenSafely()
    {
        QFETCH(int, folderMode);
        QFETCH(bool, otherOwner);
        QFETCH(bool, written);
        if (otherOwner && ::geteuid() != 0)
            QSKIP("a folder of another user needs root to make");
        const QString folder = dir.filePath(QStringLiteral("shared%1").arg(++files));
        QVERIFY(QDir().mkdir(folder));
        const QString path = folder + "/session.wly";
        const QByteArray bytes = "fr 1\nts 1\nfr 2\nts 2\n";
        {
            QFile file(path);
            QVERIFY(file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size());
        }
        QCOMPARE(::chmod(QFile::encodeName(path).constData(), 0640), 0);
        const QString victim = dir.filePath(QStringLiteral("victim%1").arg(files));
        {
            QFile file(victim);
            QVERIFY(file.open(QIODevice::WriteOnly) && file.write("keep me") == 7);
        }
        const QString idx = RecordingIndex::indexFilePath(path);
        QVERIFY(QFile::link(victim, idx));
        QCOMPARE(::chmod(QFile::encodeName(folder).constData(), mode_t(folderMode)), 0);
        if (otherOwner)
            QCOMPARE(::chown(QFile::encodeName(folder).constData(), 65534, 65534), 0);

        RecordingIndex index;
        QCOMPARE(RecordingIndex::build(path, index).status, IndexResult::Loaded);
        QCOMPARE(index.writeIndexFile(), written);
        QFile kept(victim);
        QVERIFY(kept.open(QIODevice::ReadOnly));
        QCOMPARE(kept.readAll(), QByteArray("keep me"));
        const QFileInfo info(idx);
        QCOMPARE(info.isSymLink(), !written);
        QCOMPARE(QDir(folder).entryList(QDir::Files | QDir::Hidden | QDir::System).size(), 2);
        if (written) {
            struct stat st;
            QCOMPARE(::lstat(QFile::encodeName(idx).constData(), &st), 0);
            QVERIFY(S_ISREG(st.st_mode));
            QCOMPARE(st.st_mode & 0777 & ~0640, 0u);
            RecordingIndex again;
            QVERIFY(RecordingIndex::build(path, again).fromIdxFile);
        }
    }

    // The lost frames' text is the window's box, checked there.
};

QTEST_GUILESS_MAIN(TestIndexFile)
#include "tst_index_file.moc"
