#include "platform/udp_socket.h"
#include "record/recording_session.h"
#include "support/traffic_tools.h"
#include "support/fixture.h"

#include <QDir>
#include <QFileInfo>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <fcntl.h>
#include <memory>
#include <sys/stat.h>
#include <unistd.h>

using Fixture::freePort;
using Fixture::readFile;
using Fixture::breakSocket;
using Fixture::UdpPeer;
using Fixture::writeFile;

namespace {

QString baseTemporary()
{
    return QDir::tempPath() + QLatin1String("/korvel_recorder_temp.wly");
}

QString pidTemporary(int attempt = 1)
{
    const QString suffix = attempt > 1 ? QStringLiteral("-%1").arg(attempt) : QString();
    return QDir::tempPath() + QStringLiteral("/korvel_recorder_temp-%1%2.wly").arg(::getpid()).arg(suffix);
}

// Sorted by name: recordings made within a clock tick have the same time.
QStringList abandonedPaths()
{
    QStringList paths;
    for (const RecordingSession::Abandoned &a : RecordingSession::abandonedRecordings())
        paths << a.path;
    paths.sort();
    return paths;
}

}

class TestRecordingSession : public QObject
{
    Q_OBJECT

    UdpPeer sender;

    void send(const QByteArrayList &datagrams, int port)
    {
        for (const QByteArray &datagram : datagrams)
            QVERIFY(sender.send(datagram, uint16_t(port)));
    }

private slots:
    void cleanup()
    {
        // Every test leaves no temporary recording behind; nothing else in the
        // folder is touched, since it is /tmp itself when run by hand.
        const QDir folder(QDir::tempPath());
        for (const QString &name : folder.entryList({QStringLiteral("korvel_recorder_temp*")},
                                                    QDir::Files | QDir::Hidden | QDir::System))
            QFile::remove(folder.filePath(name));
    }

    void refusedPorts_data()
    {
        QTest::addColumn<int>("port");
        QTest::addColumn<bool>("preview");
        QTest::newRow("0") << 0 << false;
        QTest::newRow("negative") << -5000 << true;
        QTest::newRow("above 65535") << 70000 << false;
        QTest::newRow("in use") << -1 << false;
    }

    void refusedPorts()
    {
        QFETCH(int, port);
        QFETCH(bool, preview);
        std::unique_ptr<UdpPeer> holder;
        if (port == -1) {
            port = freePort();
            holder = std::make_unique<UdpPeer>(uint16_t(port));
        }
        RecordingSession session;
        QString error;
        QCOMPARE(preview ? session.startPreview(port, &error) : session.startRecording(port, &error),
                 RecordingSession::Start::Socket);
        QVERIFY2(error.contains(QString::number(port)), qPrintable(error));
        QCOMPARE(session.mode(), RecordingSession::Idle);
        QVERIFY(!session.hasTemporaryRecording());
    }

    void datagrams_data()
    {
        QTest::addColumn<bool>("recording");
        QTest::addColumn<QByteArrayList>("datagrams");
        QTest::newRow("two frames, 21 + 22 bytes")
            << true << QByteArrayList{"fr 1\r\nts 0.010\r\nb 1\r\n", "fr 2\r\nts 0.020\r\nb 12\r\n"};
        // The text ends at a zero byte; the file keeps the whole datagram.
        QTest::newRow("zero byte") << true << QByteArrayList{QByteArray("fr 3\r\n\0hidden\r\n", 15)};
        // Anyone on the network can send an empty datagram; it must not end a recording.
        QTest::newRow("empty datagram") << true << QByteArrayList{"fr 1\r\n", "", "fr 2\r\n"};
        QTest::newRow("preview writes nothing") << false << QByteArrayList{"fr 7\r\n"};
        // A stop that comes straight after the start must not be lost.
        QTest::newRow("stop before any datagram") << true << QByteArrayList{};
    }

    void datagrams()
    {
        QFETCH(bool, recording);
        QFETCH(QByteArrayList, datagrams);
        RecordingSession session;
        QSignalSpy ended(&session, &RecordingSession::ended);
        QSignalSpy modes(&session, &RecordingSession::modeChanged);
        const int port = freePort();
        QString error;
        QVERIFY2((recording ? session.startRecording(port, &error) : session.startPreview(port, &error))
                     == RecordingSession::Start::Started,
                 qPrintable(error));
        QCOMPARE(session.mode(), recording ? RecordingSession::Recording : RecordingSession::Previewing);
        send(datagrams, port);
        const qint64 expected = datagrams.size() - datagrams.count(QByteArray());
        QTRY_COMPARE(session.received(), expected);
        QByteArray text;
        session.copyLastText(text);
        QCOMPARE(text, QByteArray(datagrams.value(datagrams.size() - 1).constData())); // up to the first zero byte
        session.stop();
        QCOMPARE(session.mode(), RecordingSession::Idle);
        QCOMPARE(ended.size(), 1);
        // Front ends follow the mode by its reports alone.
        QCOMPARE(modes.size(), 2);
        QCOMPARE(modes.at(0).at(0).value<RecordingSession::Mode>(),
                 recording ? RecordingSession::Recording : RecordingSession::Previewing);
        QCOMPARE(modes.at(1).at(0).value<RecordingSession::Mode>(), RecordingSession::Idle);
        QCOMPARE(session.rateHz(), -1);
        QCOMPARE(session.hasTemporaryRecording(), recording);
        if (recording)
            QCOMPARE(readFile(session.temporaryPath()), datagrams.join());
        // The next run counts afresh.
        QVERIFY(session.startPreview(port, &error) == RecordingSession::Start::Started);
        QCOMPARE(session.received(), 0);
        QCOMPARE(session.figures().datagrams, 0);
    }

    void twoSessionsRecordAtOnce()
    {
        RecordingSession first, second;
        const int port1 = freePort(), port2 = freePort();
        QString error;
        QVERIFY2(first.startRecording(port1, &error) == RecordingSession::Start::Started, qPrintable(error));
        QVERIFY2(second.startRecording(port2, &error) == RecordingSession::Start::Started, qPrintable(error));
        // The first copy keeps the old name; the second finds it locked.
        QCOMPARE(first.temporaryPath(), baseTemporary());
        QCOMPARE(second.temporaryPath(), pidTemporary());
        QByteArrayList one, two;
        for (int n = 1; n <= 200; ++n) {
            one << "fr " + QByteArray::number(n) + "\r\nts 1\r\nfirst\r\n";
            two << "fr " + QByteArray::number(n) + "\r\nts 2\r\nsecond " + QByteArray(n, 'x') + "\r\n";
        }
        for (int i = 0; i < one.size(); ++i) {
            send({one.at(i)}, port1);
            send({two.at(i)}, port2);
        }
        QTRY_COMPARE(first.received(), 200);
        QTRY_COMPARE(second.received(), 200);
        // Both are alive: neither is offered as abandoned.
        QCOMPARE(abandonedPaths(), QStringList());
        first.stop();
        second.stop();

        QTemporaryDir saved;
        QString reason;
        QCOMPARE(first.saveTemporary(saved.filePath("one.wly"), &reason), RecordingSaver::Renamed);
        QCOMPARE(second.saveTemporary(saved.filePath("two.wly"), &reason), RecordingSaver::Renamed);
        QCOMPARE(readFile(saved.filePath("one.wly")), one.join());
        QCOMPARE(readFile(saved.filePath("two.wly")), two.join());
        QVERIFY(!first.hasTemporaryRecording() && !QFile::exists(baseTemporary()) && !QFile::exists(pidTemporary()));
        // A saved recording is like any file the user saves, not owner-only.
        QVERIFY(writeFile(saved.filePath("plain"), "x"));
        QCOMPARE(QFile::permissions(saved.filePath("one.wly")), QFile::permissions(saved.filePath("plain")));
        // Released: the next recording gets the first name again.
        QVERIFY(second.startRecording(port2, &error) == RecordingSession::Start::Started);
        QCOMPARE(second.temporaryPath(), baseTemporary());
    }

    void abandonedRecordingIsNeverTruncated()
    {
        // Left behind by a killed copy: not empty, nobody holds it.
        const QByteArray leftover = "fr 1\r\nkilled mid-recording\r\n";
        QVERIFY(writeFile(baseTemporary(), leftover));
        const QList<RecordingSession::Abandoned> found = RecordingSession::abandonedRecordings();
        QCOMPARE(found.size(), 1);
        QCOMPARE(found.at(0).path, baseTemporary());
        QCOMPARE(found.at(0).size, leftover.size());
        QVERIFY(qAbs(found.at(0).modified.secsTo(QFileInfo(baseTemporary()).lastModified())) <= 1);

        RecordingSession session;
        const int port = freePort();
        QString error;
        QVERIFY(session.startRecording(port, &error) == RecordingSession::Start::Started);
        QCOMPARE(session.temporaryPath(), pidTemporary());
        send({"fr 9\r\n"}, port);
        QTRY_COMPARE(session.received(), 1);
        session.stop();
        QCOMPARE(readFile(baseTemporary()), leftover);
        // Ours is held, so only the leftover is offered.
        QCOMPARE(abandonedPaths(), QStringList{baseTemporary()});
        // A new Record must not overwrite our own unsaved recording either: it is kept, and offered.
        QVERIFY(session.startRecording(port, &error) == RecordingSession::Start::Started);
        QCOMPARE(session.temporaryPath(), pidTemporary(2));
        QCOMPARE(readFile(pidTemporary()), QByteArray("fr 9\r\n"));
        QCOMPARE(abandonedPaths(), (QStringList{pidTemporary(), baseTemporary()}));
        session.stop();
        session.discardTemporary();
        QVERIFY(!session.hasTemporaryRecording());
    }

    // An empty leftover (a copy killed before its first datagram) offers
    // nothing and is removed when looked for; a held empty one is not.
    void emptyLeftoverRemoved()
    {
        RecordingSession session;
        QString error;
        QVERIFY(session.startRecording(freePort(), &error) == RecordingSession::Start::Started);
        const QString leftover = QDir::tempPath() + "/korvel_recorder_temp-999999999.wly";
        QVERIFY(writeFile(leftover, ""));
        QCOMPARE(abandonedPaths(), QStringList());
        QVERIFY(!QFile::exists(leftover));
        QVERIFY(QFile::exists(session.temporaryPath()));
    }

    void plantedTemporaryNotUsed_data()
    {
        QTest::addColumn<QString>("planted");
        QTest::addColumn<QByteArray>("victim"); // what the link points at holds; unused without a link
        QTest::newRow("link to a file") << "link" << QByteArray("keep me");
        // Without O_NOFOLLOW these two would be recorded through: nothing refuses them otherwise.
        QTest::newRow("link to an empty file") << "link" << QByteArray();
        QTest::newRow("dangling link") << "dangling" << QByteArray();
        QTest::newRow("empty file of another user") << "other user" << QByteArray();
    }

    // Planted at the name in a shared temporary folder, never recorded into:
    // recording goes to the next free name.
    void plantedTemporaryNotUsed()
    {
        QFETCH(QString, planted);
        QFETCH(QByteArray, victim);
        const QByteArray base = QFile::encodeName(baseTemporary());
        QTemporaryDir elsewhere;
        const QString target = elsewhere.filePath("victim");
        if (planted == "other user") {
            if (::geteuid() != 0)
                QSKIP("a file of another user needs root to make; the fchmod check refuses it otherwise");
            QVERIFY(writeFile(baseTemporary(), ""));
            QCOMPARE(::chmod(base.constData(), 0644), 0);
            QCOMPARE(::chown(base.constData(), 65534, 65534), 0);
        } else {
            if (planted == "link")
                QVERIFY(writeFile(target, victim));
            QVERIFY(QFile::link(target, baseTemporary()));
        }

        RecordingSession session;
        const int port = freePort();
        QString error;
        QVERIFY2(session.startRecording(port, &error) == RecordingSession::Start::Started, qPrintable(error));
        QCOMPARE(session.temporaryPath(), pidTemporary());
        send({"fr 1\r\n"}, port);
        QTRY_COMPARE(session.received(), 1);
        session.stop();
        QCOMPARE(readFile(session.temporaryPath()), QByteArray("fr 1\r\n"));
        QCOMPARE(QFileInfo(session.temporaryPath()).permissions() & (QFile::ReadOther | QFile::ReadGroup), 0);
        struct stat st;
        QCOMPARE(::lstat(base.constData(), &st), 0);
        if (planted == "other user") {
            QCOMPARE(st.st_size, 0);
            QCOMPARE(st.st_mode & 07777, 0644u);
            QCOMPARE(st.st_uid, 65534u);
        } else {
            QVERIFY(S_ISLNK(st.st_mode));
            QCOMPARE(QFile::exists(target), planted == "link");
            if (planted == "link")
                QCOMPARE(readFile(target), victim);
        }
        session.discardTemporary();
        QVERIFY(QFile::remove(baseTemporary()));
    }

    void firstFailedWriteSignalsOnce()
    {
        RecordingSession session;
        QSignalSpy failed(&session, &RecordingSession::writeFailed);
        const int port = freePort();
        QString error;
        QVERIFY(session.startRecording(port, &error) == RecordingSession::Start::Started);
        const QByteArray frame = "fr 1\r\n" + QByteArray(594, 'x');
        {
            // Room for one and a half: the second is cut short, the third finds none.
            const Fixture::FileSizeLimit full(900);
            send({frame, frame, frame}, port);
            // Each has met the full disk before room returns (arriving is not yet being written).
            QTRY_COMPARE(session.written() + session.failedWrites(), 3);
        }
        QTRY_COMPARE(failed.size(), 1);
        QCOMPARE(failed.at(0).at(0).toString(), QString::fromLocal8Bit(strerror(EFBIG)));
        QCOMPARE(session.failedWrites(), 2);
        // Counting goes on regardless.
        QCOMPARE(session.figures().duplicates, 2);
        // With room again writing goes on, after the last whole datagram: no part of the torn one stays.
        send({"fr 2\r\n"}, port);
        QTRY_COMPARE(session.written(), 2);
        session.stop();
        QCOMPARE(failed.size(), 1);
        QCOMPARE(readFile(session.temporaryPath()), frame + "fr 2\r\n");
    }

    void receiverFailure()
    {
        RecordingSession session;
        QSignalSpy failed(&session, &RecordingSession::receiverFailed);
        const int port = freePort();
        QString error;
        QVERIFY(session.startRecording(port, &error) == RecordingSession::Start::Started);
        send({"fr 1\r\n", "fr 2\r\n"}, port);
        QTRY_COMPARE(session.received(), 2);
        // The run ends on its own, says so on standard output, and tells the session.
        QTemporaryDir dir;
        const QString out = dir.filePath("stdout");
        fflush(stdout);
        const int savedStdout = dup(STDOUT_FILENO);
        const int file = open(QFile::encodeName(out).constData(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        QVERIFY(savedStdout >= 0 && file >= 0 && dup2(file, STDOUT_FILENO) >= 0);
        close(file);
        QVERIFY(breakSocket(port));
        const bool signalled = failed.wait(5000);
        fflush(stdout);
        dup2(savedStdout, STDOUT_FILENO);
        close(savedStdout);
        QVERIFY(signalled);
        QCOMPARE(readFile(out), QByteArray("udp receive error -> stopped err -2\n"));
        QVERIFY(!failed.at(0).at(0).toString().isEmpty());
        QCOMPARE(failed.at(0).at(1).toLongLong(), 2);
        QVERIFY(!session.isReceiving());
        QCOMPARE(session.mode(), RecordingSession::Recording);
        // Stop still leaves the recording to be saved.
        session.stop();
        QCOMPARE(readFile(session.temporaryPath()), QByteArray("fr 1\r\nfr 2\r\n"));
    }

    void countersFromTheSender_data()
    {
        QTest::addColumn<QStringList>("options");
        QTest::addColumn<qint64>("datagrams");
        QTest::addColumn<qint64>("lost");
        QTest::addColumn<qint64>("duplicates");
        QTest::addColumn<qint64>("outOfOrder");
        QTest::newRow("clean") << QStringList{} << 20LL << 0LL << 0LL << 0LL;
        QTest::newRow("drop, duplicate, swap")
            << QStringList{"--drop", "4,10-11", "--duplicate", "6,7", "--swap", "14"} << 19LL << 3LL << 2LL << 1LL;
    }

    void countersFromTheSender()
    {
        QFETCH(QStringList, options);
        QFETCH(qint64, datagrams);
        QFETCH(qint64, lost);
        QFETCH(qint64, duplicates);
        QFETCH(qint64, outOfOrder);
        if (!QFileInfo(TrafficTools::path("korvel-send")).isExecutable())
            QSKIP("korvel-send is not built");
        RecordingSession session;
        const int port = freePort();
        QString error;
        QVERIFY(session.startPreview(port, &error) == RecordingSession::Start::Started);
        QVERIFY(TrafficTools::runSender(uint16_t(port), QStringList{"--count", "20", "--rate", "2000"} + options));
        QTRY_COMPARE(session.received(), datagrams);
        const StreamFigures f = session.figures();
        QCOMPARE(f.frames_lost, lost);
        QCOMPARE(f.duplicates, duplicates);
        QCOMPARE(f.out_of_order, outOfOrder);
        QCOMPARE(f.unnumbered, 0);
        QCOMPARE(f.dropped, 0);
        QCOMPARE(f.bytes, datagrams * 300);
    }

    void saving_data()
    {
        QTest::addColumn<QString>("folder"); // "" for one beside the temporary folder
        QTest::addColumn<bool>("linked"); // the target is a link to another file
        QTest::addColumn<int>("result");
        QTest::newRow("same file system: rename") << QString() << false << int(RecordingSaver::Renamed);
        QTest::newRow("other file system: copy") << "/dev/shm" << false << int(RecordingSaver::Copying);
        QTest::newRow("missing folder: kept") << "/nonexistent-korvel" << false << int(RecordingSaver::Copying);
        // Either way the name becomes the recording; the link's target is never written through.
        QTest::newRow("link, same file system") << QString() << true << int(RecordingSaver::Renamed);
        QTest::newRow("link, other file system") << "/dev/shm" << true << int(RecordingSaver::Copying);
    }

    void saving()
    {
        QFETCH(QString, folder);
        QFETCH(bool, linked);
        QFETCH(int, result);
        struct stat shm, temp;
        if (folder == QLatin1String("/dev/shm")
            && (stat("/dev/shm", &shm) != 0 || stat(QFile::encodeName(QDir::tempPath()).constData(), &temp) != 0
                || shm.st_dev == temp.st_dev || access("/dev/shm", W_OK) != 0))
            QSKIP("no writable /dev/shm on another file system than the temporary folder");
        const bool fails = folder.startsWith(QLatin1String("/nonexistent"));
        QTemporaryDir dir(folder.isEmpty() || fails ? QDir::tempPath() + "/saved-XXXXXX" : folder + "/korvel-XXXXXX");
        QVERIFY(dir.isValid());
        const QString target = fails ? folder + "/saved.wly" : dir.filePath("saved.wly");
        // An older, longer file at the target must leave no tail.
        QTemporaryDir elsewhere;
        const QString victim = elsewhere.filePath("victim.wly");
        if (linked)
            QVERIFY(writeFile(victim, "keep me") && QFile::link(victim, target));
        else if (!fails)
            QVERIFY(writeFile(target, QByteArray(3000, 'o')));

        RecordingSession session;
        QSignalSpy finished(&session, &RecordingSession::saveFinished);
        const int port = freePort();
        QString error;
        QVERIFY(session.startRecording(port, &error) == RecordingSession::Start::Started);
        const QByteArrayList frames{"fr 1\r\n", QByteArray("fr 2\r\n\0tail\r\n", 13), "fr 3\r\n"};
        send(frames, port);
        QTRY_COMPARE(session.received(), 3);
        // Saving while receiving, or onto the recording itself, would lose it.
        QString reason;
        QCOMPARE(session.saveTemporary(target, &reason), RecordingSaver::Refused);
        session.stop();
        QCOMPARE(session.saveTemporary(session.temporaryPath(), &reason), RecordingSaver::Refused);
        QVERIFY(!reason.isEmpty());
        const QString temporary = session.temporaryPath();
        QCOMPARE(int(session.saveTemporary(target, &reason)), result);
        if (result == RecordingSaver::Copying) {
            QVERIFY(finished.wait(5000));
            QCOMPARE(finished.at(0).at(0).toBool(), !fails);
        }
        if (fails) {
            QVERIFY(!finished.at(0).at(1).toString().isEmpty());
            QVERIFY(session.hasTemporaryRecording());
            QCOMPARE(readFile(temporary), frames.join());
            return;
        }
        QCOMPARE(readFile(target), frames.join());
        QVERIFY(!QFileInfo(target).isSymLink());
        if (linked)
            QCOMPARE(readFile(victim), QByteArray("keep me"));
        QVERIFY(!session.hasTemporaryRecording());
        QVERIFY(!QFile::exists(temporary));
        QCOMPARE(QDir(dir.path()).entryList(QDir::Files | QDir::Hidden), QStringList{"saved.wly"});
    }

    void cancelledCopyKeepsBothFiles()
    {
        QTemporaryDir dir;
        const QString source = dir.filePath("big.wly"), target = dir.filePath("target.wly");
        QFile big(source);
        QVERIFY(big.open(QIODevice::WriteOnly) && big.resize(qint64(512) << 20));
        big.close();
        QVERIFY(writeFile(target, "precious"));
        RecordingSaver saver;
        QSignalSpy finished(&saver, &RecordingSaver::finished);
        QString reason;
        QCOMPARE(saver.save(source, target, RecordingSaver::Copy, &reason), RecordingSaver::Copying);
        QVERIFY(saver.isBusy());
        QCOMPARE(saver.save(source, dir.filePath("other.wly"), RecordingSaver::Copy, &reason), RecordingSaver::Refused);
        saver.cancel();
        QVERIFY(finished.wait(10000));
        QCOMPARE(finished.at(0).at(0).toBool(), false);
        QCOMPARE(readFile(target), QByteArray("precious"));
        QCOMPARE(QFileInfo(source).size(), qint64(512) << 20);
        QCOMPARE(QDir(dir.path()).entryList(QDir::Files | QDir::Hidden), (QStringList{"big.wly", "target.wly"}));
    }
};

QTEST_GUILESS_MAIN(TestRecordingSession)
#include "tst_recording_session.moc"
