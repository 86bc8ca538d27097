#include "record/record_file.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <fcntl.h>
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

    QTemporaryDir dir;

private slots:
    void openTemporaryIsEmptyAndOwnerOnly()
    {
        // A leftover must neither leak into the new recording nor stay readable by others.
        const QString leftover = dir.filePath("leftover.wly");
        QVERIFY(writeAll(leftover, QByteArray(1000, 'x')));
        QVERIFY(QFile::setPermissions(leftover, QFile::ReadOwner | QFile::WriteOwner | QFile::ReadOther));
        for (const QString &path : {dir.filePath("fresh.wly"), leftover}) {
            FILE *file = RecordFile::openTemporary(path);
            QVERIFY(file);
            QCOMPARE(fwrite("ab", 1, 2, file), size_t(2));
            QCOMPARE(fclose(file), 0);
            QCOMPARE(readAll(path), QByteArray("ab"));
            struct stat info;
            QCOMPARE(::stat(QFile::encodeName(path).constData(), &info), 0);
            QCOMPARE(info.st_mode & 0777, mode_t(0600));
        }
    }

    void openTemporaryRefusesPlantedFiles()
    {
        const QString victim = dir.filePath("victim.txt");
        QVERIFY(writeAll(victim, "keep me"));
        QVERIFY(QFile::link(victim, dir.filePath("link.wly")));
        // A dangling link must not create its target either.
        QVERIFY(QFile::link(dir.filePath("nowhere"), dir.filePath("dangling.wly")));
        // Opening a FIFO for writing without a reader would hang the window for good.
        QCOMPARE(::mkfifo(QFile::encodeName(dir.filePath("fifo.wly")).constData(), 0666), 0);
        for (const char *name : {"link.wly", "dangling.wly", "fifo.wly"})
            QCOMPARE(RecordFile::openTemporary(dir.filePath(name)), nullptr);
        QCOMPARE(readAll(victim), QByteArray("keep me"));
        QVERIFY(!QFile::exists(dir.filePath("nowhere")));
        // With a reader on the FIFO the open goes through; its type must still refuse it.
        const int reader = ::open(QFile::encodeName(dir.filePath("fifo.wly")).constData(), O_RDONLY | O_NONBLOCK);
        QVERIFY(reader >= 0);
        QCOMPARE(RecordFile::openTemporary(dir.filePath("fifo.wly")), nullptr);
        ::close(reader);
    }

    void copyIntoReplacesTargetExactly()
    {
        // Larger than one chunk, with zero bytes and CR LF that must pass untouched,
        // over a longer target that must leave no tail.
        QByteArray data;
        for (int i = 0; i < 200000; ++i)
            data.append(char(i * 7));
        data.append("fr 2\r\n\0tail", 11);
        QVERIFY(writeAll(dir.filePath("source.wly"), data));
        QVERIFY(writeAll(dir.filePath("target.wly"), QByteArray(300000, 'o')));
        QVERIFY(RecordFile::copyInto(dir.filePath("source.wly"), dir.filePath("target.wly")));
        QCOMPARE(readAll(dir.filePath("target.wly")), data);
    }

    void copyIntoFailureKeepsTarget()
    {
        // The old save removed the target first and ignored the copy's result.
        const QString kept = dir.filePath("kept.wly");
        QVERIFY(writeAll(kept, "precious"));
        QVERIFY(!RecordFile::copyInto(dir.filePath("missing.wly"), kept));
        QCOMPARE(readAll(kept), QByteArray("precious"));
        // Tests run as root, so an unwritable directory cannot be made; a target that is
        // a directory cannot be replaced by a file and must survive with its content.
        const QString targetDir = dir.filePath("dir.wly");
        QVERIFY(QDir().mkdir(targetDir) && writeAll(targetDir + "/inside", "old"));
        QVERIFY(!RecordFile::copyInto(kept, targetDir));
        QCOMPARE(readAll(targetDir + "/inside"), QByteArray("old"));
        QVERIFY(!RecordFile::copyInto(kept, dir.filePath("no-such-dir/target.wly")));
        QVERIFY(!QFile::exists(dir.filePath("no-such-dir")));
        // No temporary file may be left beside a target after a failure.
        QCOMPARE(QDir(dir.path()).entryList({"kept.wly*", "dir.wly*"}, QDir::AllEntries | QDir::Hidden),
                 (QStringList{"dir.wly", "kept.wly"}));
    }
};

QTEST_GUILESS_MAIN(TestRecordFile)
#include "tst_record_file.moc"
