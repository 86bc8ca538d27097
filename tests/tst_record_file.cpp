#include "record/record_file.h"

#include <QFile>
#include <QTemporaryDir>
#include <QTest>

class TestRecordFile : public QObject
{
    Q_OBJECT

    QTemporaryDir dir;

    static QByteArray readAll(const QString &path)
    {
        QFile file(path);
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    }

    static bool writeAll(const QString &path, const QByteArray &data)
    {
        QFile file(path);
        return file.open(QIODevice::WriteOnly) && file.write(data) == data.size();
    }

private slots:
    void openTemporary()
    {
        // A leftover must neither leak into the new recording nor stay readable by others.
        const QString path = dir.filePath("leftover.wly");
        QVERIFY(writeAll(path, QByteArray(1000, 'x'))
                && QFile::setPermissions(path, QFile::ReadOwner | QFile::WriteOwner | QFile::ReadOther));
        FILE *file = RecordFile::openTemporary(path);
        QVERIFY(file);
        QCOMPARE(fwrite("ab", 1, 2, file), size_t(2));
        QCOMPARE(fclose(file), 0);
        QCOMPARE(readAll(path), QByteArray("ab"));
        const QFile::Permissions userBits = QFile::ReadUser | QFile::WriteUser | QFile::ExeUser;
        QCOMPARE(QFile::permissions(path) & ~userBits, QFile::ReadOwner | QFile::WriteOwner);
        // A link planted at the path must be refused, never followed.
        const QString victim = dir.filePath("victim.txt");
        QVERIFY(writeAll(victim, "keep me") && QFile::link(victim, dir.filePath("link.wly")));
        QCOMPARE(RecordFile::openTemporary(dir.filePath("link.wly")), nullptr);
        QCOMPARE(readAll(victim), QByteArray("keep me"));
    }

    void copyIntoReplacesTargetExactly()
    {
        // Over two 64 KiB chunks, with zero bytes and CR LF that must pass untouched,
        // over a longer target that must leave no tail.
        const QByteArray data = QByteArray(150000, 'd') + QByteArray("fr 2\r\n\0tail", 11);
        QVERIFY(writeAll(dir.filePath("source.wly"), data)
                && writeAll(dir.filePath("target.wly"), QByteArray(300000, 'o')));
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
    }
};

QTEST_GUILESS_MAIN(TestRecordFile)
#include "tst_record_file.moc"
