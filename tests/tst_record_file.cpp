#include "record/record_file.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <sys/stat.h>
#include <unistd.h>

namespace {

QByteArray readAll(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

bool writeAll(const QString &path, const QByteArray &data)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(data) == data.size();
}

}

class TestRecordFile : public QObject
{
    Q_OBJECT

private slots:
    void openTemporaryCreatesOwnerOnlyFile();
    void openTemporaryTruncatesAndRestrictsExistingFile();
    void openTemporaryRefusesPlantedSymlink();
    void openTemporaryRefusesPlantedFifo();
    void copyIntoMakesExactCopy();
    void copyIntoReplacesExistingTarget();
    void copyIntoFailureKeepsTarget();
    void copyIntoMissingSourceFails();

private:
    QTemporaryDir dir;
};

void TestRecordFile::openTemporaryCreatesOwnerOnlyFile()
{
    const QString path = dir.filePath("fresh.wly");
    FILE *file = RecordFile::openTemporary(path);
    QVERIFY(file);
    QCOMPARE(fwrite("fr 1\r\n", 1, 6, file), size_t(6));
    QCOMPARE(fclose(file), 0);
    QCOMPARE(readAll(path), QByteArray("fr 1\r\n"));
    struct stat info;
    QCOMPARE(::stat(QFile::encodeName(path).constData(), &info), 0);
    QCOMPARE(info.st_mode & 0777, mode_t(0600));
}

void TestRecordFile::openTemporaryTruncatesAndRestrictsExistingFile()
{
    // The previous recording must not leak into the new one, and a world-readable
    // leftover must not stay readable once new data goes in.
    const QString path = dir.filePath("leftover.wly");
    QVERIFY(writeAll(path, QByteArray(1000, 'x')));
    QVERIFY(QFile::setPermissions(path, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ReadGroup
                                            | QFileDevice::ReadOther));
    FILE *file = RecordFile::openTemporary(path);
    QVERIFY(file);
    QCOMPARE(fwrite("ab", 1, 2, file), size_t(2));
    QCOMPARE(fclose(file), 0);
    QCOMPARE(readAll(path), QByteArray("ab"));
    struct stat info;
    QCOMPARE(::stat(QFile::encodeName(path).constData(), &info), 0);
    QCOMPARE(info.st_mode & 0777, mode_t(0600));
}

void TestRecordFile::openTemporaryRefusesPlantedSymlink()
{
    const QString victim = dir.filePath("victim.txt");
    QVERIFY(writeAll(victim, "keep me"));
    const QString path = dir.filePath("planted.wly");
    QVERIFY(QFile::link(victim, path));
    QCOMPARE(RecordFile::openTemporary(path), nullptr);
    QCOMPARE(readAll(victim), QByteArray("keep me"));

    // A dangling link must not create its target either.
    const QString dangling = dir.filePath("dangling.wly");
    const QString nowhere = dir.filePath("created-through-link");
    QVERIFY(QFile::link(nowhere, dangling));
    QCOMPARE(RecordFile::openTemporary(dangling), nullptr);
    QVERIFY(!QFile::exists(nowhere));
}

void TestRecordFile::openTemporaryRefusesPlantedFifo()
{
    // Opening a FIFO for writing without a reader would hang the window for good.
    const QString path = dir.filePath("fifo.wly");
    QCOMPARE(::mkfifo(QFile::encodeName(path).constData(), 0666), 0);
    QCOMPARE(RecordFile::openTemporary(path), nullptr);
}

void TestRecordFile::copyIntoMakesExactCopy()
{
    // Larger than one chunk and with zero bytes and CR LF, which must pass untouched.
    QByteArray data;
    for (int i = 0; i < 200000; ++i)
        data.append(char(i * 7));
    data.append("fr 2\r\n\0tail", 11);
    const QString source = dir.filePath("copy-source.wly");
    QVERIFY(writeAll(source, data));
    const QString target = dir.filePath("copy-target.wly");
    QVERIFY(RecordFile::copyInto(source, target));
    QCOMPARE(readAll(target), data);
}

void TestRecordFile::copyIntoReplacesExistingTarget()
{
    const QString source = dir.filePath("short-source.wly");
    QVERIFY(writeAll(source, "fr 1\r\n"));
    const QString target = dir.filePath("long-target.wly");
    QVERIFY(writeAll(target, QByteArray(5000, 'o')));
    QVERIFY(RecordFile::copyInto(source, target));
    QCOMPARE(readAll(target), QByteArray("fr 1\r\n"));
}

void TestRecordFile::copyIntoFailureKeepsTarget()
{
    const QString source = dir.filePath("fail-source.wly");
    QVERIFY(writeAll(source, "fr 1\r\n"));

    // Tests run as root, so an unwritable directory cannot be made; a target that is
    // a directory cannot be replaced by a file and must survive with its content.
    const QString targetDir = dir.filePath("target-is-dir.wly");
    QVERIFY(QDir().mkdir(targetDir));
    QVERIFY(writeAll(targetDir + "/inside", "old"));
    QVERIFY(!RecordFile::copyInto(source, targetDir));
    QCOMPARE(readAll(targetDir + "/inside"), QByteArray("old"));

    QVERIFY(!RecordFile::copyInto(source, dir.filePath("no-such-dir/target.wly")));
    QVERIFY(!QFile::exists(dir.filePath("no-such-dir")));

    // No temporary file may be left beside a target after a failure.
    QCOMPARE(QDir(dir.path()).entryList({"target-is-dir.wly*"}, QDir::AllEntries | QDir::Hidden),
             QStringList{"target-is-dir.wly"});
}

void TestRecordFile::copyIntoMissingSourceFails()
{
    // The old save removed the target first and ignored the copy's result.
    const QString target = dir.filePath("precious.wly");
    QVERIFY(writeAll(target, "precious"));
    QVERIFY(!RecordFile::copyInto(dir.filePath("missing.wly"), target));
    QCOMPARE(readAll(target), QByteArray("precious"));
}

QTEST_GUILESS_MAIN(TestRecordFile)
#include "tst_record_file.moc"
