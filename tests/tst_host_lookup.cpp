// Play hosts, looked up the one way the window and the command line share:
// answers, dropped answers, and a name server that never answers.

#include "platform/host_lookup.h"
#include "support/fixture.h"

#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

using namespace Fixture;

class HostLookupTest : public QObject
{
    Q_OBJECT

private slots:
    void answers();
    void silentNameServer_data();
    void silentNameServer();

private:
    QString path(const QString &name) const { return m_dir.filePath(name); }

    QTemporaryDir m_dir;
};

void HostLookupTest::answers()
{
    const auto ipv4 = [](const NetAddress &address) { return address.family == NET_IPV4 ? netIpv4Value(&address) : 0u; };
    QCOMPARE(ipv4(HostLookup::lookUpWithin(QStringLiteral(" 127.0.0.2 "))), 0x7F000002u);
    QCOMPARE(ipv4(HostLookup::lookUpWithin(QStringLiteral("localhost"))), 0x7F000001u);
    QCOMPARE(HostLookup::lookUpWithin(QString()).family, uint8_t(NET_NONE));
    // An answer for a context that is gone goes nowhere: it must neither be called nor crash.
    bool calledAfterGone = false;
    {
        QObject gone;
        HostLookup::lookUpLater(QStringLiteral("localhost"), &gone, [&](NetAddress) { calledAfterGone = true; });
    }
    QObject context;
    uint32_t answer = 0;
    HostLookup::lookUpLater(QStringLiteral("localhost"), &context,
                            [&](NetAddress address) { answer = ipv4(address); });
    QTRY_COMPARE(answer, 0x7F000001u);
    QVERIFY(!calledAfterGone);
}

// A host whose name server takes the question and never answers: the command
// gives up after the lookup's bounded wait (3 s), not after the resolver's own
// time-outs (here 2 x 5 s). The test runs the program in a user, mount and
// network namespace of its own, where /etc/resolv.conf names 127.0.0.1 and a
// recording on port 53 takes the questions without answering.
void HostLookupTest::silentNameServer_data()
{
    QTest::addColumn<QStringList>("arguments");
    const QString recording = path(QStringLiteral("clean.wly"));
    QTest::newRow("play") << QStringList{"play", recording, "--dest", "quiet.example:5001"};
    QTest::newRow("convert") << QStringList{"convert", recording, path(QStringLiteral("out.pcap")), "--dest",
                                            "quiet.example:5001"};
}

void HostLookupTest::silentNameServer()
{
    QFETCH(QStringList, arguments);
    if (QProcess::execute(QStringLiteral("unshare"),
                          {"-rmn", "sh", "-c", "command -v ip >/dev/null && command -v ss >/dev/null"}) != 0)
        QSKIP("no unprivileged user namespaces, or no ip and ss (iproute2) here");
    // Hosts are looked up before the recording is read: any recording will do.
    QVERIFY(writeFile(path(QStringLiteral("clean.wly")), "fr 1\r\n"));
    QVERIFY(writeFile(path(QStringLiteral("resolv.conf")), "nameserver 127.0.0.1\noptions timeout:5 attempts:2\n"));
    QVERIFY(writeFile(path(QStringLiteral("silent.sh")), R"(set -u
dir=$1
ip link set lo up
mount --bind "$dir/resolv.conf" /etc/resolv.conf
"$2" record --port 53 --output "$dir/questions.wly" --duration 30 &
silent=$!
until ss -Hlun 'sport = :53' | grep -q .; do sleep 0.01; done
shift 2
start=$(date +%s%N)
"$@" 2>"$dir/stderr"
status=$?
echo $((($(date +%s%N) - start) / 1000000))
kill $silent
wait $silent
exit $status
)"));
    // The program path goes in twice: once as the silent server, once as the command under test.
    QProcess process;
    process.start(QStringLiteral("unshare"), QStringList{"-rmn", "sh", path(QStringLiteral("silent.sh")), m_dir.path(),
                                                         QStringLiteral(KORVEL_BINARY), QStringLiteral(KORVEL_BINARY)}
                                                 + arguments);
    QVERIFY(process.waitForFinished(30000));
    const QByteArray said = readFile(path(QStringLiteral("stderr")));
    QCOMPARE(process.exitCode(), 1);
    QVERIFY2(said.contains("cannot resolve host \"quiet.example\""), said.constData());
    const int elapsedMs = process.readAllStandardOutput().trimmed().toInt();
    // Under the bound, and not refused at once either (which would mean no question went unanswered).
    QVERIFY2(elapsedMs >= 2500 && elapsedMs < 6000, qPrintable(QString::number(elapsedMs)));
    QVERIFY(!QFile::exists(path(QStringLiteral("out.pcap"))));
}

QTEST_GUILESS_MAIN(HostLookupTest)
#include "tst_host_lookup.moc"
