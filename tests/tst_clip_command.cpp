// Clips and markers from the command line: cut byte for byte, and markers
// added by SIGUSR1 while recording, through the built program.

#include "record/recording_session.h"
#include "support/capture_files.h"
#include "support/traffic_tools.h"
#include "support/fixture.h"
#include "support/program_run.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>

#include <pcap/pcap.h>

#include <csignal>
#include <memory>
#include <unistd.h>
#include <vector>
#include <cstring>

using namespace Fixture;
using ProgramRun::finish;
using ProgramRun::jsonOf;
using ProgramRun::Run;
using ProgramRun::startOrFail;
using ProgramRun::frame;
using ProgramRun::cleanRecording;
using namespace CaptureFiles;

class TestClipCommand : public QObject
{
    Q_OBJECT

private slots:
    void init() { QVERIFY(m_dir.isValid()); }

    void cut_data();
    void cut();
    void recordMarksAtSIGUSR1();

private:
    QString path(const QString &name) const { return m_dir.filePath(name); }

    QTemporaryDir m_dir;
};

// cut writes the source's own bytes of the range and the markers inside it, reported as --json says.
void TestClipCommand::cut_data()
{
    QTest::addColumn<QStringList>("options");
    QTest::addColumn<QList<int>>("frames");
    QTest::addColumn<QByteArray>("marks");

    QTest::newRow("whole") << QStringList{} << QList<int>{1, 2, 3, 5, 6, 9}
                           << QByteArray("# korvel-markers 1\n2\tstart\n6\tM1\n");
    QTest::newRow("by markers") << QStringList{"--from-marker", "start", "--until-marker", "M1"}
                                << QList<int>{2, 3, 5, 6} << QByteArray("# korvel-markers 1\n2\tstart\n6\tM1\n");
    QTest::newRow("partly outside") << QStringList{"--from", "4", "--until", "100"} << QList<int>{5, 6, 9}
                                    << QByteArray("# korvel-markers 1\n6\tM1\n");
    QTest::newRow("no marker inside") << QStringList{"--from", "3", "--until", "3"} << QList<int>{3} << QByteArray();
}

void TestClipCommand::cut()
{
    QFETCH(QStringList, options);
    QFETCH(QList<int>, frames);
    QFETCH(QByteArray, marks);
    const QString input = path(QStringLiteral("long.wly"));
    const QString output = path(QStringLiteral("clip.wly"));
    QVERIFY(writeFile(input, cleanRecording()));
    QVERIFY(writeFile(input + ".marks", "# korvel-markers 1\n2\tstart\n6\tM1\n"));
    const Run run = ProgramRun::run(QStringList{"cut", input, output, "--json"} + options);
    QCOMPARE(run.exitCode, 0);
    QVERIFY(run.err.isEmpty());

    const double stamps[] = {0, 100.0, 100.01, 100.02, 0, 100.04, 100.05, 0, 0, 100.08};
    QByteArray expected;
    for (int number : frames)
        expected += frame(number, stamps[number]);
    QCOMPARE(readFile(output), expected);
    QCOMPARE(QFile::exists(output + ".marks"), !marks.isEmpty());
    if (!marks.isEmpty())
        QCOMPARE(readFile(output + ".marks"), marks);
    const QJsonObject json = jsonOf(run);
    QCOMPARE(json.value("frames").toInt(), frames.size());
    QCOMPARE(json.value("first").toInt(), frames.constFirst());
    QCOMPARE(json.value("last").toInt(), frames.constLast());
    QCOMPARE(json.value("bytes").toInt(), expected.size());
    QCOMPARE(json.value("markers").toInt(), int(marks.count('\n')) - (marks.isEmpty() ? 0 : 1));
}

// Each SIGUSR1 marks the newest frame received, in FILE.marks at once: a killed run keeps them.
void TestClipCommand::recordMarksAtSIGUSR1()
{
    const uint16_t port = freePort();
    const QString output = path(QStringLiteral("marked.wly"));
    QProcess recorder;
    startOrFail(recorder, QStringList{"record", "--port", QString::number(port), "--output", output});
    QVERIFY(TrafficTools::waitUntilBound(port));
    UdpPeer sender;
    const QString marks = output + ".marks";
    for (int n = 1; n <= 30; ++n) {
        QVERIFY(sender.send(frame(n, n / 10.0), port));
        QThread::msleep(2);
        if (n == 10 || n == 25) {
            // Waiting for the frame to be counted keeps the test from racing the receiver, not the marker.
            QThread::msleep(100);
            ::kill(pid_t(recorder.processId()), SIGUSR1);
            QTRY_VERIFY(readFile(marks).contains(n == 10 ? "M1" : "M2"));
        }
    }
    QCOMPARE(readFile(marks), QByteArray("# korvel-markers 1\n10\tM1\n25\tM2\n"));
    QVERIFY(!QFile::exists(output));
    ::kill(pid_t(recorder.processId()), SIGKILL);
    finish(recorder);
    QCOMPARE(readFile(marks), QByteArray("# korvel-markers 1\n10\tM1\n25\tM2\n"));
}

QTEST_GUILESS_MAIN(TestClipCommand)
#include "tst_clip_command.moc"
