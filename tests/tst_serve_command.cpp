// serve and ctl end to end, as a rig script uses them: the built programs on
// 127.0.0.1, their exit statuses and what they print.

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
using namespace CaptureFiles;

class TestServeCommand : public QObject
{
    Q_OBJECT

private slots:
    void init() { QVERIFY(m_dir.isValid()); }

    void serveAndCtl();

private:
    QString path(const QString &name) const { return m_dir.filePath(name); }

    QTemporaryDir m_dir;
};

// serve and ctl as a rig script uses them: the token stays in its file, each
// answer is one JSON line with exit 0, an error exits 1 with the error on
// standard error, a Preview keeps what --pre asks for, and SIGTERM keeps an
// unsaved recording.
void TestServeCommand::serveAndCtl()
{
    const QString tokenFile = path(QStringLiteral("token"));
    const quint16 listenPort = freePort(); // free for UDP; TCP is bound for real below
    const quint16 recordPort = freePort();
    QProcess server;
    startOrFail(server, {"serve", "--listen", QStringLiteral("127.0.0.1:%1").arg(listenPort), "--token-file", tokenFile,
                   "--port", QString::number(recordPort), "--pre", "30"});
    QVERIFY(QTest::qWaitFor([&] { return server.canReadLine(); }, 10000));
    const QByteArray line = server.readLine();
    QCOMPARE(line, QStringLiteral("listening on ws://127.0.0.1:%1 (token in %2)\n").arg(listenPort).arg(tokenFile).toUtf8());
    const QByteArray token = readFile(tokenFile).trimmed();
    QCOMPARE(token.size(), 64);
    QCOMPARE(QFileInfo(tokenFile).permissions() & (QFile::ReadGroup | QFile::ReadOther), QFileDevice::Permissions());

    const QString url = QStringLiteral("ws://127.0.0.1:%1").arg(listenPort);
    auto ctl = [&](const QStringList &arguments) {
        return ProgramRun::run(QStringList{"ctl", "--url", url, "--token-file", tokenFile} + arguments);
    };
    Run run = ctl({"status"});
    QCOMPARE(run.exitCode, 0);
    QCOMPARE(jsonOf(run).value("mode").toString(), QStringLiteral("idle"));
    run = ctl({"seek", "frame=3"});
    QCOMPARE(run.exitCode, 1);
    QCOMPARE(QJsonDocument::fromJson(run.err).object().value("code").toInt(), -32001);
    run = ctl({"launch"});
    QCOMPARE(run.exitCode, 1);
    QCOMPARE(QJsonDocument::fromJson(run.err).object().value("code").toInt(), -32601);

    QCOMPARE(ctl({"preview"}).exitCode, 0);
    QVERIFY(TrafficTools::waitUntilBound(recordPort));
    UdpPeer sender;
    QVERIFY(sender.send("fr 1\r\n", recordPort));
    QVERIFY(QTest::qWaitFor([&] { return jsonOf(ctl({"health"})).value("datagrams").toInt() == 1; }, 5000));

    QProcess watch;
    startOrFail(watch, {"ctl", "--url", url, "--token-file", tokenFile, "watch", "state"});
    QVERIFY(QTest::qWaitFor([&] { return ctl({"status"}).exitCode == 0; }, 5000));
    QTest::qWait(500); // the watcher subscribed
    QCOMPARE(ctl({"record", "pre_seconds=30"}).exitCode, 0);
    QVERIFY(QTest::qWaitFor([&] { return watch.canReadLine(); }, 10000));
    const QJsonObject state = QJsonDocument::fromJson(watch.readLine()).object();
    QCOMPARE(state.value("method").toString(), QStringLiteral("state"));
    QCOMPARE(state.value("params").toObject().value("mode").toString(), QStringLiteral("recording"));
    ::kill(pid_t(watch.processId()), SIGINT);
    QCOMPARE(finish(watch).exitCode, 0);

    QVERIFY(sender.send("fr 2\r\n", recordPort));
    QVERIFY(QTest::qWaitFor([&] { return jsonOf(ctl({"health"})).value("datagrams").toInt() == 2; }, 5000));

    // A wrong token is refused at the handshake.
    QVERIFY(writeFile(path(QStringLiteral("wrong")), QByteArray(64, 'c') + "\n"));
    QFile::setPermissions(path(QStringLiteral("wrong")), QFile::ReadOwner | QFile::WriteOwner);
    run = ProgramRun::run({"ctl", "--url", url, "--token-file", path(QStringLiteral("wrong")), "status"});
    QCOMPARE(run.exitCode, 1);
    QVERIFY2(run.err.contains("401"), run.err.constData());

    ::kill(pid_t(server.processId()), SIGTERM);
    run = finish(server);
    QCOMPARE(run.exitCode, 0);
    QVERIFY(!run.out.contains(token) && !run.err.contains(token));
    // Nobody saved it: the recording, the preview's datagram first, stays for the window to offer.
    const QList<RecordingSession::Abandoned> left = RecordingSession::abandonedRecordings();
    QVERIFY(!left.isEmpty());
    QCOMPARE(readFile(left.last().path), QByteArray("fr 1\r\nfr 2\r\n"));
    QCOMPARE(ctl({"status"}).exitCode, 1);
}

QTEST_GUILESS_MAIN(TestServeCommand)
#include "tst_serve_command.moc"
