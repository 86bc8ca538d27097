// record's triggers and parts, through the real program on 127.0.0.1.

#include "support/fixture.h"
#include "support/program_run.h"
#include "support/traffic_tools.h"

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>
#include <memory>
#include <unistd.h>

using namespace Fixture;
using ProgramRun::jsonOf;
using ProgramRun::Run;

namespace {

// The frame number of each datagram korvel-send wrote, in order.
QList<int> frameNumbers(const QByteArray &bytes)
{
    QList<int> numbers;
    static const QRegularExpression frameLine(QStringLiteral("^fr (\\d+)\\r$"),
                                              QRegularExpression::MultilineOption);
    for (auto match = frameLine.globalMatch(QString::fromLatin1(bytes)); match.hasNext();)
        numbers << match.next().captured(1).toInt();
    return numbers;
}

QStringList partsOf(const QJsonObject &json)
{
    QStringList parts;
    for (const QJsonValue &part : json.value(QStringLiteral("parts")).toArray())
        parts << part.toString();
    return parts;
}

QByteArray joined(const QStringList &paths)
{
    QByteArray bytes;
    for (const QString &path : paths)
        bytes += readFile(path);
    return bytes;
}

}

class TestRecordCommand : public QObject
{
    Q_OBJECT

    QTemporaryDir dir;

    QString path(const QString &name) const { return dir.filePath(name); }

private slots:
    void init()
    {
        for (const QString &name : QDir(dir.path()).entryList(QDir::Files | QDir::Hidden))
            QFile::remove(path(name));
    }

    void triggers_data()
    {
        QTest::addColumn<QStringList>("options");
        QTest::addColumn<bool>("usr1"); // sent a second into the stream
        QTest::addColumn<int>("triggerFrame"); // 0: any; -1: none comes
        QTest::addColumn<int>("minPre");
        QTest::addColumn<int>("maxPre");
        QTest::addColumn<bool>("endsByItself"); // before the last frame is sent

        // The stream is 20000 frames at 10 kHz.
        QTest::newRow("signal") << QStringList{"--pre", "5", "--trigger", "signal"} << true << 0 << 9000 << 12000
                                << false;
        QTest::newRow("signal, into parts")
            << QStringList{"--pre", "5", "--trigger", "signal", "--split-size", "1M"} << true << 0 << 9000 << 12000
            << false;
        QTest::newRow("match with --post")
            << QStringList{"--pre", "1", "--trigger", "match:^fr 12000$", "--post", "0.3"} << false << 12000 << 9000
            << 10500 << true; // arrival times, not the sender's: a late burst packs more into the second
        QTest::newRow("SIGINT before the trigger") << QStringList{"--pre", "5", "--trigger", "match:^never$"} << false
                                                   << -1 << 0 << 0 << false;
    }

    void triggers()
    {
        QFETCH(QStringList, options);
        QFETCH(bool, usr1);
        QFETCH(int, triggerFrame);
        QFETCH(int, minPre);
        QFETCH(int, maxPre);
        QFETCH(bool, endsByItself);
        const uint16_t port = freePort();
        const QString output = path(QStringLiteral("caught.wly"));
        const QString sentFile = path(QStringLiteral("sent.bin"));
        QProcess recorder;
        QVERIFY(ProgramRun::start(recorder, QStringList{"record", "--port", QString::number(port), "--output", output,
                                                        "--json"} + options));
        QVERIFY(TrafficTools::waitUntilBound(port));
        QProcess sender;
        QVERIFY(TrafficTools::startSender(sender, port, {"--rate", "10000", "--count", "20000", "--out", sentFile}));
        if (usr1) {
            QTest::qWait(1000); // the trigger falls into the middle of the stream
            ::kill(pid_t(recorder.processId()), SIGUSR1);
            // After the trigger, SIGUSR1 marks a frame as it does in any recording.
            QTest::qWait(300);
            ::kill(pid_t(recorder.processId()), SIGUSR1);
        }
        QVERIFY(sender.waitForFinished(20000));
        if (endsByItself) {
            QVERIFY(recorder.waitForFinished(5000));
        } else {
            QTest::qWait(200);
            QCOMPARE(recorder.state(), QProcess::Running);
            ::kill(pid_t(recorder.processId()), SIGINT);
        }
        const Run run = ProgramRun::finish(recorder);
        QCOMPARE(run.exitCode, 0);
        const QJsonObject json = jsonOf(run);
        QCOMPARE(json.value("not_written").toInteger(-1), 0);
        if (triggerFrame < 0) {
            QVERIFY(json.value("trigger_frame").isNull());
            QVERIFY2(run.err.contains("no trigger"), run.err.constData());
            QVERIFY(QDir(dir.path()).entryList({"caught*"}, QDir::Files | QDir::Hidden).isEmpty());
            return;
        }
        QVERIFY(run.err.isEmpty());
        const QByteArray sent = readFile(sentFile);
        const QByteArray recorded = json.contains("parts") ? joined(partsOf(json)) : readFile(output);
        // One piece of the stream, whole datagrams, nothing lost or doubled at the switch.
        QVERIFY(recorded.startsWith("fr "));
        QVERIFY(sent.contains(recorded));
        const QList<int> frames = frameNumbers(recorded);
        const qint64 pre = json.value("pre_frames").toInteger(-1);
        const qint64 trigger = json.value("trigger_frame").toInteger(-1);
        if (triggerFrame > 0)
            QCOMPARE(trigger, triggerFrame);
        QVERIFY2(pre >= minPre && pre <= maxPre, qPrintable(QString::number(pre)));
        QCOMPARE(frames.value(int(pre)), trigger);
        QCOMPARE(frames.first(), trigger - pre);
        if (usr1 && !json.contains("parts")) {
            // The trigger itself is no marker.
            const QList<QByteArray> marks = readFile(output + QStringLiteral(".marks")).trimmed().split('\n');
            QCOMPARE(marks.size(), 2);
            QVERIFY2(marks.at(1).split('\t').first().toInt() > trigger, marks.at(1).constData());
        }
        if (endsByItself)
            QVERIFY2(frames.last() < 19000, qPrintable(QString::number(frames.last())));
        else
            QCOMPARE(frames.last(), 20000);
    }

    void parts_data()
    {
        QTest::addColumn<QStringList>("options");
        QTest::addColumn<int>("count"); // sent at 20 kHz
        QTest::addColumn<qint64>("maxBytes"); // 0: by time
        QTest::addColumn<int>("keep"); // 0: all

        QTest::newRow("by size") << QStringList{"--split-size", "256K"} << 20000 << qint64(256 * 1024) << 0;
        // A datagram larger than a part gets a part of its own.
        QTest::newRow("parts smaller than a datagram") << QStringList{"--split-size", "200"} << 40 << qint64(200) << 0;
        QTest::newRow("by time, newest three kept") << QStringList{"--split-duration", "0.2", "--keep", "3"} << 20000
                                                    << qint64(0) << 3;
    }

    void parts()
    {
        QFETCH(QStringList, options);
        QFETCH(int, count);
        QFETCH(qint64, maxBytes);
        QFETCH(int, keep);
        const uint16_t port = freePort();
        const QString sentFile = path(QStringLiteral("sent.bin"));
        QProcess recorder;
        QVERIFY(ProgramRun::start(recorder, QStringList{"record", "--port", QString::number(port), "--output",
                                                        path("ring.wly"), "--json", "--count", QString::number(count)}
                                                + options));
        QVERIFY(TrafficTools::waitUntilBound(port));
        QVERIFY(TrafficTools::runSender(port, {"--rate", "20000", "--count", QString::number(count), "--out", sentFile}));
        const Run run = ProgramRun::finish(recorder);
        QCOMPARE(run.exitCode, 0);
        const QJsonObject json = jsonOf(run);
        const QStringList parts = partsOf(json);
        QVERIFY(parts.size() > 1);
        if (keep > 0)
            QCOMPARE(parts.size(), keep);
        // Numbered on without a gap, oldest first, and nothing else left in the folder (no unfinished part).
        const int first = parts.first().section(QLatin1Char('-'), -1).chopped(4).toInt();
        QStringList expected;
        for (int i = 0; i < parts.size(); ++i)
            expected << path(QStringLiteral("ring-%1.wly").arg(first + i, 4, 10, QLatin1Char('0')));
        QCOMPARE(parts, expected);
        QCOMPARE(QDir(dir.path()).entryList({"ring*"}, QDir::Files | QDir::Hidden, QDir::Name).size(), parts.size());
        const QByteArray sent = readFile(sentFile);
        const QByteArray recorded = joined(parts);
        QVERIFY(keep > 0 ? sent.endsWith(recorded) : sent == recorded);
        for (int i = 0; i < parts.size(); ++i) {
            const QByteArray bytes = readFile(parts[i]);
            QVERIFY(bytes.startsWith("fr "));
            if (maxBytes == 0)
                continue;
            QVERIFY(bytes.size() <= maxBytes || frameNumbers(bytes).size() == 1);
            if (i + 1 < parts.size()) {
                // Full up to the next datagram: it would not have fitted.
                const QByteArray next = readFile(parts[i + 1]);
                const qsizetype second = next.indexOf("fr ", 1);
                QVERIFY(bytes.size() + (second < 0 ? next.size() : second) > maxBytes);
            }
        }
    }

    void fullDiskDuringParts_data()
    {
        QTest::addColumn<bool>("smallFileSystem");
        // Room comes back when the oldest parts are removed.
        QTest::newRow("a small file system") << true;
        // Every part meets the limit and the next one has room again: what a test can make without root.
        QTest::newRow("a file size limit") << false;
    }

    // A full disk ends the part being written, says so at once, and recording goes on in the next part once
    // there is room again; every datagram is either in a part or counted as not written.
    void fullDiskDuringParts()
    {
        QFETCH(bool, smallFileSystem);
        if (smallFileSystem && QProcess::execute(QStringLiteral("unshare"), {"-m", "true"}) != 0)
            QSKIP("no mount namespace of its own here (unshare -m needs root)");
        const QString copies = path(QStringLiteral("copies"));
        QVERIFY(QDir().mkpath(copies));
        const uint16_t port = freePort();
        const QString sentFile = path(QStringLiteral("sent.bin"));
        QProcess process;
        pid_t recorder = 0;
        QString inside; // the parts' folder as this process reaches it
        if (smallFileSystem) {
            const QString mountPoint = path(QStringLiteral("small"));
            const QString pidFile = path(QStringLiteral("recorder.pid"));
            QVERIFY(QDir().mkpath(mountPoint));
            // The file system lives as long as the shell; it copies the parts out before it ends.
            const QString script = QStringLiteral(
                "mount -t tmpfs -o size=1m tmpfs \"$1\" || exit 99\n"
                "\"$2\" record --port \"$3\" --output \"$1/x.wly\" --split-size 200K --json & echo $! > \"$5\"\n"
                "wait $!; status=$?; cp \"$1\"/x-*.wly \"$4\"/ 2>/dev/null; exit $status\n");
            process.start(QStringLiteral("unshare"), {"-m", "--propagation", "private", "sh", "-c", script, "sh",
                                                      mountPoint, ProgramRun::binary(), QString::number(port),
                                                      copies, pidFile});
            QVERIFY(process.waitForStarted());
            QTRY_VERIFY(!readFile(pidFile).trimmed().isEmpty());
            recorder = pid_t(readFile(pidFile).trimmed().toInt());
            inside = QStringLiteral("/proc/%1/root%2").arg(recorder).arg(mountPoint);
        } else {
            const FileSizeLimit limit(100 * 1024);
            QVERIFY(ProgramRun::start(process, {"record", "--port", QString::number(port), "--output",
                                                copies + QStringLiteral("/x.wly"), "--split-size", "200K", "--json"}));
            recorder = pid_t(process.processId());
        }
        QVERIFY(TrafficTools::waitUntilBound(port));

        QProcess sender;
        QVERIFY(TrafficTools::startSender(sender, port, {"--rate", "5000", "--count", "10000", "--out", sentFile}));
        QByteArray said;
        QTRY_VERIFY_WITH_TIMEOUT((said += process.readAllStandardError()).contains("failed"), 10000);
        QVERIFY2(said.contains(smallFileSystem ? "No space left on device; recording goes on into the next part"
                                               : "File too large; recording goes on into the next part"),
                 said.constData());
        // Room again: the oldest parts go, and what they held is counted here.
        QByteArray removed;
        int removedParts = 0;
        if (smallFileSystem) {
            for (const QString &name : QDir(inside).entryList({"x-000[12].wly"}, QDir::Files, QDir::Name)) {
                removed += readFile(inside + QLatin1Char('/') + name);
                QVERIFY(QFile::remove(inside + QLatin1Char('/') + name));
                ++removedParts;
            }
        }
        QVERIFY(sender.waitForFinished(20000));
        QTest::qWait(200);
        ::kill(recorder, SIGINT);
        const Run run = ProgramRun::finish(process);
        QCOMPARE(run.exitCode, 1);
        const QJsonObject json = jsonOf(run);
        const qint64 notWritten = json.value("not_written").toInteger(-1);
        QVERIFY(notWritten > 0);
        const QByteArray sent = readFile(sentFile);
        qint64 kept = frameNumbers(removed).size();
        const QStringList names = QDir(copies).entryList({"x-*.wly"}, QDir::Files, QDir::Name);
        for (const QString &name : names) {
            const QByteArray bytes = readFile(copies + QLatin1Char('/') + name);
            // Whole datagrams, one unbroken piece of the stream per part.
            QVERIFY2(bytes.startsWith("fr ") && bytes.endsWith("\r\n") && sent.contains(bytes), qPrintable(name));
            kept += frameNumbers(bytes).size();
        }
        QCOMPARE(kept + notWritten, 10000);
        // Recording went on after the disk filled: parts after the one that failed.
        QVERIFY2(names.size() > 3, qPrintable(names.join(QLatin1Char(' '))));
        QCOMPARE(partsOf(json).size(), names.size() + removedParts);
        QVERIFY(QDir(copies).entryList(QDir::Hidden | QDir::Files).size() == names.size());
    }
};

QTEST_GUILESS_MAIN(TestRecordCommand)
#include "tst_record_command.moc"
