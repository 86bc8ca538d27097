// The command line end to end: the built program run as a script would run it,
// on 127.0.0.1 with real files.

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

class TestCommandLine : public QObject
{
    Q_OBJECT

private slots:
    void init() { QVERIFY(m_dir.isValid()); }

    void exitStatus_data();
    void exitStatus();
    void infoJson();
    void infoDuration_data();
    void infoDuration();
    void record_data();
    void record();
    void play_data();
    void play();
    void playIpv6();
    void faultsCountedByRecorder();

private:
    QString path(const QString &name) const { return m_dir.filePath(name); }

    QTemporaryDir m_dir;
};

// Every exit class, and the one line on standard error naming what is at fault.
void TestCommandLine::exitStatus_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<int>("status");
    QTest::addColumn<QString>("said"); // in stdout for 0, in the single stderr line otherwise

    const QString recording = path(QStringLiteral("clean.wly"));
    const QString missing = path(QStringLiteral("missing.wly"));
    const QString to = QStringLiteral("127.0.0.1:%1").arg(freePort());
    const QString blocked = QStringLiteral("%1/no-such-folder/out.wly").arg(m_dir.path());
    QTest::newRow("version") << QStringList{"--version"} << 0 << "korvel-recorder 1.1.4";
    QTest::newRow("help") << QStringList{"--help"} << 0 << "EXIT STATUS";
    QTest::newRow("command help") << QStringList{"play", "--help"} << 0 << "korvel-recorder play FILE --dest";
    QTest::newRow("unknown command") << QStringList{"replay"} << 2 << "unknown command \"replay\"";
    QTest::newRow("unknown option") << QStringList{"info", recording, "--jsn"} << 2 << "jsn";
    QTest::newRow("missing file argument") << QStringList{"info"} << 2 << "missing";
    QTest::newRow("no destination") << QStringList{"play", recording} << 2 << "--dest";
    QTest::newRow("bad port") << QStringList{"play", recording, "--dest", "127.0.0.1:0"} << 2 << "127.0.0.1:0";
    QTest::newRow("two paces") << QStringList{"play", recording, "--dest", to, "--rate", "5", "--pace", "every"}
                               << 2 << "--pace";
    QTest::newRow("faults over 100%") << QStringList{"play", recording, "--dest", to, "--drop", "60%", "--duplicate",
                                                     "50%"}
                                      << 2 << "100%";
    QTest::newRow("bad fault list") << QStringList{"play", recording, "--dest", to, "--reorder", "5-x"} << 2
                                    << "--reorder 5-x";
    QTest::newRow("bad delay") << QStringList{"play", recording, "--dest", to, "--delay", "2:x"} << 2 << "--delay 2:x";
    QTest::newRow("lockstep and top speed") << QStringList{"play", recording, "--dest", to, "--lockstep", "--topspeed"}
                                            << 2 << "--topspeed";
    QTest::newRow("ack time-out alone") << QStringList{"play", recording, "--dest", to, "--ack-timeout", "5"} << 2
                                        << "--ack-timeout";
    QTest::newRow("lockstep, nobody answers")
        << QStringList{"play", recording, "--dest", to, "--lockstep", "--ack-timeout", "100"} << 1
        << "frame 1 was not acknowledged within 100 ms";
    QTest::newRow("record without port") << QStringList{"record", "--output", blocked} << 2 << "--port";
    QStringList seventeen{"play", recording};
    for (int i = 0; i < 17; ++i)
        seventeen << "--dest" << to;
    QTest::newRow("17 destinations") << seventeen << 2 << "from once to 16 times";
    QTest::newRow("bare IPv6 destination") << QStringList{"play", recording, "--dest", "::1:5001"} << 2
                                           << "[IPv6 ADDRESS]:PORT";
    QTest::newRow("unknown send interface") << QStringList{"play", recording, "--dest", to, "--interface", "nosuch0"}
                                            << 2 << "--interface nosuch0: no such interface";
    QTest::newRow("hop limit out of range") << QStringList{"play", recording, "--dest", to, "--ttl", "256"} << 2
                                            << "--ttl 256";
    QTest::newRow("loop neither on nor off") << QStringList{"play", recording, "--dest", to, "--multicast-loop", "1"}
                                             << 2 << "--multicast-loop 1: expected on or off";
    const QString port = QString::number(freePort());
    QTest::newRow("unknown listen interface")
        << QStringList{"record", "--port", port, "--output", blocked, "--listen", "nosuch0"} << 2
        << "--listen nosuch0: no such interface";
    QTest::newRow("non-multicast group")
        << QStringList{"record", "--port", port, "--output", blocked, "--join", "10.0.0.1"} << 2
        << "--join 10.0.0.1: 10.0.0.1 is not a multicast group";
    QTest::newRow("malformed subnet")
        << QStringList{"record", "--port", port, "--output", blocked, "--allow", "10.0.0.0/33"} << 2
        << "--allow 10.0.0.0/33: expected a host address or a subnet";
    QTest::newRow("family mismatch")
        << QStringList{"record", "--port", port, "--output", blocked, "--listen", "127.0.0.1", "--join", "ff12::7"}
        << 2 << "--join ff12::7: an IPv6 group where the socket is IPv4";
    QTest::newRow("IPv6 capture destination")
        << QStringList{"convert", recording, path("six.pcap"), "--dest", "[::1]:5001"} << 1 << "IPv4 headers";
    QTest::newRow("pcapng written") << QStringList{"convert", recording, path("x.pcapng")} << 2 << "x.pcapng";
    QTest::newRow("unknown host") << QStringList{"play", recording, "--dest", "no-such-host.invalid:5001"} << 1
                                  << "no-such-host.invalid";
    QTest::newRow("unreadable recording") << QStringList{"play", missing, "--dest", to} << 1 << missing;
    QTest::newRow("info of missing file") << QStringList{"info", missing} << 1 << missing;
    QTest::newRow("output folder missing") << QStringList{"record", "--port", QString::number(freePort()),
                                                          "--output", blocked, "--count", "1"}
                                           << 1 << blocked;
    // BUSY stands for a port this test holds.
    QTest::newRow("port in use") << QStringList{"record", "--port", "BUSY", "--output", path("busy.wly")} << 1
                                 << "Port BUSY";
    QTest::newRow("serve listen unreadable") << QStringList{"serve", "--listen", "localhost"} << 2 << "--listen";
    QTest::newRow("serve pre above 600") << QStringList{"serve", "--pre", "601"} << 2
                                         << "--pre 601: expected a whole number from 0 to 600";
    QTest::newRow("ctl without method") << QStringList{"ctl"} << 2 << "METHOD";
    QTest::newRow("ctl pair without name") << QStringList{"ctl", "seek", "=3"} << 2 << "NAME=VALUE";
    QTest::newRow("ctl watch unknown event") << QStringList{"ctl", "watch", "everything"} << 2 << "everything";
    QTest::newRow("ctl url not ws") << QStringList{"ctl", "--url", "http://127.0.0.1:1", "status"} << 2 << "--url";
    QTest::newRow("ctl without token file") << QStringList{"ctl", "--token-file", missing, "status"} << 1 << missing;
    QTest::newRow("capture missing") << QStringList{"convert", path("none.pcap"), path("out.wly")} << 1
                                     << path("none.pcap");
    // A range that cannot be cut is a usage error, never an empty file.
    const QString out = path("out.wly");
    QTest::newRow("cut: unknown label") << QStringList{"cut", recording, out, "--from-marker", "M9"} << 2
                                        << "no marker labelled \"M9\"";
    QTest::newRow("cut: from after until") << QStringList{"cut", recording, out, "--from-marker", "M2", "--until", "2"}
                                           << 2 << "--from 5 lies after --until 2";
    QTest::newRow("cut: wholly outside") << QStringList{"cut", recording, out, "--from", "10"} << 2
                                         << "holds frames 1 to 9; the range 10 to 2147483647 lies outside";
    QTest::newRow("cut: only lost frames") << QStringList{"cut", recording, out, "--from", "7", "--until", "8"} << 2
                                           << "no frame from 7 to 8 is stored";
    QTest::newRow("cut: both kinds of start") << QStringList{"cut", recording, out, "--from", "1", "--from-marker", "M1"}
                                              << 2 << "--from and --from-marker exclude each other";
    QTest::newRow("play: unknown label") << QStringList{"play", recording, "--dest", to, "--until-marker", "x"} << 2
                                         << "no marker labelled \"x\"";
    QTest::newRow("cut of missing file") << QStringList{"cut", missing, out} << 1 << missing;
    // Without a display, asking for the window here would abort.
    QTest::newRow("unknown option, no command") << QStringList{"-x"} << 2 << "unknown option \"-x\"";
    QTest::newRow("help with more") << QStringList{"--help", "extra"} << 2 << "\"extra\" is extra";
    // Which of the two would be used is nobody's guess.
    QTest::newRow("option repeated") << QStringList{"record", "--port", "5000", "--port", "5001", "--output",
                                                    path("out.wly")}
                                     << 2 << "--port is given more than once";
    QTest::newRow("any address as destination") << QStringList{"play", recording, "--dest", "0.0.0.0:5001"} << 2
                                                << "0.0.0.0 cannot be a destination";
    QTest::newRow("from after until") << QStringList{"play", recording, "--dest", to, "--from", "5", "--until", "3"}
                                      << 2 << "--from 5 lies after --until 3";
    QTest::newRow("empty output") << QStringList{"record", "--port", QString::number(freePort()), "--output", ""}
                                  << 2 << "--output is empty";
    const QStringList recordTo{"record", "--port", QString::number(freePort()), "--output", path("out.wly")};
    QTest::newRow("trigger without pre") << recordTo + QStringList{"--trigger", "signal"} << 2 << "--trigger needs --pre";
    QTest::newRow("post without trigger") << recordTo + QStringList{"--pre", "5", "--post", "1"} << 2
                                          << "--post needs --trigger";
    QTest::newRow("pre beyond 600") << recordTo + QStringList{"--pre", "601"} << 2 << "--pre 601";
    QTest::newRow("unknown trigger") << recordTo + QStringList{"--pre", "5", "--trigger", "usr2"} << 2
                                     << "--trigger usr2";
    QTest::newRow("bad pattern") << recordTo + QStringList{"--pre", "5", "--trigger", "match:(fault"} << 2
                                 << "match:(fault";
    QTest::newRow("bad size") << recordTo + QStringList{"--split-size", "10X"} << 2 << "--split-size 10X";
    QTest::newRow("two splits") << recordTo + QStringList{"--split-size", "1M", "--split-duration", "5"} << 2
                                << "exclude each other";
    QTest::newRow("keep without split") << recordTo + QStringList{"--keep", "3"} << 2 << "--keep needs";
    QTest::newRow("nothing received") << QStringList{"record", "--port", QString::number(freePort()), "--output",
                                                     path("out.wly"), "--duration", "0.3"}
                                      << 1 << "no datagrams received";
}

void TestCommandLine::exitStatus()
{
    QFETCH(QStringList, arguments);
    QFETCH(int, status);
    QFETCH(QString, said);
    QVERIFY(writeFile(path(QStringLiteral("clean.wly")), cleanRecording()));
    QVERIFY(writeFile(path(QStringLiteral("clean.wly.marks")), "# korvel-markers 1\n2\tM1\n5\tM2\n"));
    const uint16_t busyPort = freePort();
    const UdpPeer held(busyPort);
    const QString busy = QString::number(busyPort);
    arguments.replaceInStrings(QStringLiteral("BUSY"), busy);
    said.replace(QStringLiteral("BUSY"), busy);

    const Run run = ProgramRun::run(arguments);
    QCOMPARE(run.exitCode, status);
    if (status == 0) {
        QVERIFY2(run.out.contains(said.toUtf8()), run.out.constData());
        QVERIFY(run.err.isEmpty());
    } else {
        QCOMPARE(run.err.count('\n'), 1);
        QVERIFY2(run.err.contains(said.toUtf8()), run.err.constData());
    }
    // Nothing half-written is left where a failed run pointed.
    QVERIFY(!QFile::exists(path(QStringLiteral("no-such-folder"))));
    QVERIFY(!QFile::exists(path(QStringLiteral("out.wly"))));
    QVERIFY(!QFile::exists(path(QStringLiteral("out.wly.marks"))));
}

void TestCommandLine::infoJson()
{
    const QString recording = path(QStringLiteral("info.wly"));
    const QByteArray bytes = "# preamble\r\n" + cleanRecording();
    QVERIFY(writeFile(recording, bytes));
    // A marker for a lost frame is left out with a warning; a damaged line is named.
    QVERIFY(writeFile(recording + ".marks", "# korvel-markers 1\n6\tend\ttab\n4\tlost\nbroken\n2\tM1\n"));
    const Run run = ProgramRun::run({QStringLiteral("info"), recording, QStringLiteral("--json")});
    QCOMPARE(run.exitCode, 0);
    QVERIFY2(run.err.contains("line 4 is not a marker (\"broken\")"), run.err.constData());
    QVERIFY2(run.err.contains("marker \"lost\" is for frame 4"), run.err.constData());
    const QJsonObject expected{{"frames", 6},          {"first", 1},
                               {"last", 9},            {"lost", 3},
                               {"lost_ranges", QJsonArray{QJsonArray{4, 4}, QJsonArray{7, 8}}},
                               {"duration_s", 0.08},   {"rate_hz", 5 / 0.08},
                               {"bytes", bytes.size()},
                               {"markers", QJsonArray{QJsonObject{{"frame", 2}, {"label", "M1"}},
                                                      QJsonObject{{"frame", 6}, {"label", "end tab"}}}}};
    QJsonObject got = jsonOf(run);
    // Timestamps are decimal text: compare the reals to a part in a million.
    for (const char *real : {"duration_s", "rate_hz"}) {
        QVERIFY(qAbs(got.value(real).toDouble() - expected.value(real).toDouble()) < 1e-6 * expected.value(real).toDouble());
        got.insert(real, expected.value(real));
    }
    QCOMPARE(got, expected);
}

// The time the recording takes at its recorded pace, finite and rounded as printed.
void TestCommandLine::infoDuration_data()
{
    QTest::addColumn<QList<double>>("stamps"); // of frames 1, 2, ...
    QTest::addColumn<QByteArray>("duration");  // in the JSON, as printed
    QTest::addColumn<QByteArray>("rate");
    QTest::addColumn<QByteArray>("line");      // the plain duration line
    QTest::newRow("ordinary") << QList<double>{100.0, 100.01, 100.02, 100.03, 100.04} << QByteArray("0.04")
                              << QByteArray("100") << QByteArray("duration     0.040000 s");
    // Anomalies last one interval of the pace so far, as in playback; without one, nothing.
    QTest::newRow("decreasing") << QList<double>{10.0, 6.0} << QByteArray("0") << QByteArray("0")
                                << QByteArray("duration     0.000000 s");
    QTest::newRow("extreme") << QList<double>{1.0, 2.0, 1e308, -1e308} << QByteArray("3") << QByteArray("1")
                             << QByteArray("duration     3.000000 s");
    QTest::newRow("one stamp") << QList<double>{5.0} << QByteArray("0") << QByteArray("0")
                               << QByteArray("duration     0.000000 s");
    QTest::newRow("thirds") << QList<double>{0.0, 1.0 / 3, 2.0 / 3} << QByteArray("0.666667") << QByteArray("3")
                            << QByteArray("duration     0.666667 s");
}

void TestCommandLine::infoDuration()
{
    QFETCH(QList<double>, stamps);
    QFETCH(QByteArray, duration);
    QFETCH(QByteArray, rate);
    QFETCH(QByteArray, line);
    QByteArray bytes;
    for (int i = 0; i < stamps.size(); ++i)
        bytes += "fr " + QByteArray::number(i + 1) + "\r\nts " + QByteArray::number(stamps[i], 'g', 17) + "\r\n";
    const QString recording = path(QStringLiteral("durations.wly"));
    QVERIFY(writeFile(recording, bytes));
    const Run json = ProgramRun::run({QStringLiteral("info"), recording, QStringLiteral("--json")});
    QCOMPARE(json.exitCode, 0);
    QVERIFY2(json.out.contains("\"duration_s\":" + duration + ",") && json.out.contains("\"rate_hz\":" + rate + "}"),
             json.out.constData());
    const Run plain = ProgramRun::run({QStringLiteral("info"), recording});
    QVERIFY2(plain.out.contains(line), plain.out.constData());
}

void TestCommandLine::record_data()
{
    QTest::addColumn<int>("signal"); // 0: the options end it
    QTest::addColumn<QStringList>("options");
    QTest::addColumn<QList<QByteArray>>("sent");
    QTest::addColumn<int>("senders"); // sending sockets, taking turns
    QTest::addColumn<int>("fileLimit"); // bytes any file of the recorder may hold; 0: no limit
    QTest::addColumn<QByteArray>("saved");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QVariantMap>("figures"); // JSON values; "bytes" is the saved size unless given
    // Byte for byte, empty datagrams skipped, nothing after --count.
    const QList<QByteArray> mixed{frame(1, 1.0), "", frame(2, 1.1), "fr 4\n no CR, no end", frame(5, 1.2), frame(6, 1.3)};
    QTest::newRow("count") << 0 << QStringList{"--count", "3"} << mixed << 1 << 0 << mixed[0] + mixed[2] + mixed[3]
                           << 0
                           << QVariantMap{{"datagrams", 3}, {"frames_lost", 1}, {"passes", 1}, {"senders", 1},
                                          {"not_written", 0}};
    // Every other way a recording ends saves what arrived.
    const QList<QByteArray> one{frame(7, 2.0)};
    const QVariantMap oneFigures{{"datagrams", 1}, {"frames_lost", 0}, {"not_written", 0}};
    QTest::newRow("SIGINT") << int(SIGINT) << QStringList{} << one << 1 << 0 << one[0] << 0 << oneFigures;
    QTest::newRow("SIGTERM") << int(SIGTERM) << QStringList{} << one << 1 << 0 << one[0] << 0 << oneFigures;
    QTest::newRow("duration") << 0 << QStringList{"--duration", "1.5"} << one << 1 << 0 << one[0] << 0 << oneFigures;
    // Up to the largest UDP payload over IPv4: a receive buffer smaller than any of them would cut it.
    QList<QByteArray> large;
    for (int size : {1500, 9000, 65507}) {
        QByteArray datagram = frame(int(large.size()) + 1, 3.0, QByteArray(size, 'b'));
        datagram.resize(size);
        large << datagram;
    }
    QTest::newRow("jumbo and largest datagrams") << 0 << QStringList{"--count", "3"} << large << 1 << 0
                                                 << large[0] + large[1] + large[2] << 0
                                                 << QVariantMap{{"datagrams", 3}, {"frames_lost", 0}};
    // A full disk: the datagram cut short and the one after it are left out whole, counted, and fail the run.
    const QByteArray big = frame(1, 4.0, QByteArray(560, 'f'));
    const QList<QByteArray> three{big, frame(2, 4.1, QByteArray(560, 'f')), frame(3, 4.2, QByteArray(560, 'f'))};
    QTest::newRow("disk full") << 0 << QStringList{"--count", "3"} << three << 1 << int(big.size() * 3 / 2) << big
                               << 1
                               << QVariantMap{{"datagrams", 3}, {"not_written", 2},
                                              {"bytes", big.size() + three[1].size() + three[2].size()}};
    // Two senders on one port: passes, not millions of lost frames, and both senders are named.
    QTest::newRow("two senders interleaved")
        << 0 << QStringList{"--count", "4"} << QList<QByteArray>{"fr 1\r\n", "fr 100001\r\n", "fr 2\r\n", "fr 100002\r\n"}
        << 2 << 0 << QByteArray("fr 1\r\nfr 100001\r\nfr 2\r\nfr 100002\r\n") << 0
        << QVariantMap{{"datagrams", 4}, {"frames_lost", 0}, {"passes", 4}, {"senders", 2}};
}

void TestCommandLine::record()
{
    QFETCH(int, signal);
    QFETCH(QStringList, options);
    QFETCH(QList<QByteArray>, sent);
    QFETCH(int, senders);
    QFETCH(int, fileLimit);
    QFETCH(QByteArray, saved);
    QFETCH(int, exitCode);
    QFETCH(QVariantMap, figures);
    const uint16_t port = freePort();
    const QString output = path(QStringLiteral("recorded.wly"));
    QProcess recorder;
    {
        // The recorder inherits the limit; this process is limited only while it starts it.
        std::unique_ptr<FileSizeLimit> full(fileLimit > 0 ? new FileSizeLimit(rlim_t(fileLimit)) : nullptr);
        startOrFail(recorder, QStringList{"record", "--port", QString::number(port), "--output", output, "--json"} + options);
    }
    QVERIFY(TrafficTools::waitUntilBound(port));
    UdpPeer peers[2];
    for (int i = 0; i < sent.size(); ++i) {
        QVERIFY(peers[i % senders].send(sent[i], port));
        QThread::msleep(5);
    }
    if (signal != 0) {
        QThread::msleep(200);
        ::kill(pid_t(recorder.processId()), signal);
    }

    const Run run = finish(recorder);
    QCOMPARE(run.exitCode, exitCode);
    QCOMPARE(run.err.count('\n'), exitCode == 0 ? 0 : 1);
    // Standard output is no terminal: the JSON line and nothing else.
    QCOMPARE(run.out.count('\n'), 1);
    QCOMPARE(readFile(output), saved);
    const QJsonObject json = jsonOf(run);
    QCOMPARE(json.value("bytes").toInteger(), figures.value("bytes", saved.size()).toLongLong());
    for (auto expected = figures.cbegin(); expected != figures.cend(); ++expected)
        QVERIFY2(json.value(expected.key()).toInteger(-1) == expected.value().toLongLong(),
                 qPrintable(expected.key() + QLatin1String(": ") + QString::number(json.value(expected.key()).toInteger(-1))));
    QCOMPARE(json.value("output").toString(), output);
    for (const char *key : {"duplicates", "out_of_order", "unnumbered", "dropped", "jitter_ms", "passes", "senders",
                            "not_written"})
        QVERIFY2(json.contains(key), key);
}

void TestCommandLine::play_data()
{
    QTest::addColumn<QStringList>("options");
    QTest::addColumn<QList<int>>("frames"); // frame numbers each destination receives

    QTest::newRow("once, first-two timestamps") << QStringList{} << QList<int>{1, 2, 3, 5, 6, 9};
    QTest::newRow("fixed rate, range") << QStringList{"--rate", "200", "--from", "3", "--until", "6"}
                                       << QList<int>{3, 5, 6};
    QTest::newRow("marker range") << QStringList{"--rate", "200", "--from-marker", "two", "--until-marker", "six"}
                                  << QList<int>{2, 3, 5, 6};
    QTest::newRow("marker and frame") << QStringList{"--rate", "200", "--from", "4", "--until-marker", "six"}
                                      << QList<int>{5, 6};
    QTest::newRow("every timestamp, twice as fast") << QStringList{"--pace", "every", "--speed", "2"}
                                                    << QList<int>{1, 2, 3, 5, 6, 9};
    QTest::newRow("two passes") << QStringList{"--loop", "2", "--rate", "500"}
                                << QList<int>{1, 2, 3, 5, 6, 9, 1, 2, 3, 5, 6, 9};
    // Granted or not, real-time priority never fails a playback.
    QTest::newRow("within limits, real-time asked")
        << QStringList{"--rate", "200", "--realtime", "--max-late-us", "1000000"}
        << QList<int>{1, 2, 3, 5, 6, 9};
    QTest::newRow("top speed") << QStringList{"--topspeed"} << QList<int>{1, 2, 3, 5, 6, 9};
}

void TestCommandLine::play()
{
    QFETCH(QStringList, options);
    QFETCH(QList<int>, frames);
    const QString recording = path(QStringLiteral("play.wly"));
    // A comment and trailing blanks show that the send form goes out, not the stored bytes.
    QByteArray stored = cleanRecording();
    stored.replace("fr 3\r\n", "fr 3  \n# note\r\n");
    QVERIFY(writeFile(recording, stored));
    QVERIFY(writeFile(recording + ".marks", "# korvel-markers 1\n2\ttwo\n6\tsix\n"));

    uint16_t ports[2];
    std::unique_ptr<UdpPeer> receivers[2];
    QStringList arguments{"play", recording, "--json"};
    for (int i = 0; i < 2; ++i) {
        receivers[i] = std::make_unique<UdpPeer>(ports[i] = freePort());
        arguments << "--dest" << QStringLiteral("127.0.0.1:%1").arg(ports[i]);
    }
    const Run run = ProgramRun::run(arguments + options);
    QCOMPARE(run.exitCode, 0);

    const QJsonObject json = jsonOf(run);
    QCOMPARE(json.value("frames_sent").toInt(), frames.size());
    QCOMPARE(json.value("send_errors").toInt(), 0);
    for (const char *key : {"rate_hz", "duration_s", "jitter_p50_us", "jitter_p99_us", "late_max_us", "late_p999_us",
                            "first_late_us", "rate_error_ppm", "rate_reached_hz"})
        QVERIFY2(json.value(key).isDouble(), key);
    QVERIFY(json.value("realtime").isBool());
    // The latest frame is one that was sent; at top speed none is timed.
    const int latest = json.value("late_max_frame").toInt(-2);
    QVERIFY2(options.contains("--topspeed") ? latest == -1 : frames.contains(latest), qPrintable(QString::number(latest)));
    const QJsonObject histogram = json.value("late_histogram_us").toObject();
    QCOMPARE(histogram.value("edges").toArray().size(), histogram.value("counts").toArray().size());
    QCOMPARE(json.value("injected").toObject(),
             (QJsonObject{{"dropped", QJsonArray()}, {"duplicated", QJsonArray()}, {"reordered", QJsonArray()}}));
    const QJsonArray destinations = json.value("destinations").toArray();
    QCOMPARE(destinations.size(), 2);
    const double stamps[] = {0, 100.0, 100.01, 100.02, 0, 100.04, 100.05, 0, 0, 100.08};
    QList<QByteArray> expected;
    for (int number : frames)
        expected << frame(number, stamps[number]);
    for (int i = 0; i < 2; ++i) {
        QCOMPARE(destinations[i].toObject().value("port").toInt(), int(ports[i]));
        QCOMPARE(destinations[i].toObject().value("host").toString(), QStringLiteral("127.0.0.1"));
        QCOMPARE(destinations[i].toObject().value("sent").toInt(), frames.size());
        QCOMPARE(receivers[i]->receive(int(frames.size())), expected);
    }
}

// Sixteen destinations, one of them [::1], and a name that has only an IPv6
// address: before, such a name ended play with status 0 having sent nothing.
void TestCommandLine::playIpv6()
{
    UdpSocket *probe = nullptr;
    NetAddress loopback6;
    QCOMPARE(netParseAddress("::1", &loopback6), int(NET_OK));
    const uint16_t port6 = freePort();
    if (udpOpenListen(&probe, &loopback6, nullptr, port6, 0) != UDP_OK)
        QSKIP("this machine has IPv6 switched off: no ::1 to bind");
    std::unique_ptr<UdpSocket, decltype(&udpClose)> receiver6(probe, udpClose);
    const QString recording = path(QStringLiteral("play6.wly"));
    QVERIFY(writeFile(recording, cleanRecording()));
    const auto receive6 = [&](int count) {
        QList<QByteArray> got;
        char buffer[2048];
        while (got.size() < count) {
            const int n = udpReceiveTimed(receiver6.get(), buffer, sizeof buffer, 3000000, 0);
            if (n < 0)
                break;
            got << QByteArray(buffer, n);
        }
        return got;
    };

    QStringList arguments{"play", recording, "--json", "--rate", "500", "--dest", QStringLiteral("[::1]:%1").arg(port6)};
    std::vector<std::unique_ptr<UdpPeer>> receivers;
    for (int i = 1; i < 16; ++i) {
        const uint16_t port = freePort();
        receivers.push_back(std::make_unique<UdpPeer>(port));
        arguments << "--dest" << QStringLiteral("127.0.0.1:%1").arg(port);
    }
    const Run run = ProgramRun::run(arguments);
    QCOMPARE(run.exitCode, 0);
    const QJsonArray destinations = jsonOf(run).value("destinations").toArray();
    QCOMPARE(destinations.size(), 16);
    QCOMPARE(destinations[0].toObject().value("host").toString(), QStringLiteral("::1"));
    for (const QJsonValue &destination : destinations)
        QCOMPARE(destination.toObject().value("sent").toInt(), 6);
    QCOMPARE(receive6(6).size(), 6);
    for (const auto &receiver : receivers)
        QCOMPARE(receiver->receive(6).size(), 6);

    // The name is made in a mount namespace whose /etc/hosts knows it as ::1 only.
    QVERIFY(writeFile(path(QStringLiteral("hosts")), "::1 sixonly.test\n"));
    QStringList unshare{"-m", "sh", "-c", "mount --bind \"$0\" /etc/hosts && exec \"$@\"", path(QStringLiteral("hosts")),
                        ProgramRun::binary(), "play", recording, "--json", "--rate", "500", "--dest",
                        QStringLiteral("sixonly.test:%1").arg(port6)};
    if (::geteuid() != 0)
        unshare.prepend(QStringLiteral("-r"));
    if (QProcess::execute(QStringLiteral("unshare"), {unshare.first(), QStringLiteral("-m"), QStringLiteral("true")}) != 0)
        QSKIP("no mount namespace to be had here (unshare -m refused) for a name with only an IPv6 address");
    QProcess named;
    named.setProcessEnvironment(ProgramRun::headlessEnvironment());
    named.start(QStringLiteral("unshare"), unshare);
    const Run byName = finish(named);
    QVERIFY2(byName.exitCode == 0, byName.err.constData());
    QCOMPARE(jsonOf(byName).value("frames_sent").toInt(), 6);
    QCOMPARE(receive6(6).size(), 6);
}

// What a CI job does: the recorder must report exactly the faults injected.
void TestCommandLine::faultsCountedByRecorder()
{
    const QString recording = path(QStringLiteral("faults.wly"));
    QByteArray stored;
    for (int i = 1; i <= 400; ++i)
        stored += frame(i, 100.0 + i / 1000.0);
    QVERIFY(writeFile(recording, stored));
    const uint16_t port = freePort();
    QProcess recorder;
    startOrFail(recorder, QStringList{"record", "--port", QString::number(port), "--output", path("faults-in.wly"), "--json"});
    QVERIFY(TrafficTools::waitUntilBound(port));
    const Run played = ProgramRun::run({"play", recording, "--dest", QStringLiteral("127.0.0.1:%1").arg(port), "--rate",
                                   "2000", "--drop", "2%", "--duplicate", "2%", "--reorder", "2%", "--seed", "11",
                                   "--json"});
    QCOMPARE(played.exitCode, 0);
    const QJsonObject injected = jsonOf(played).value("injected").toObject();
    const qsizetype dropped = injected.value("dropped").toArray().size();
    const qsizetype duplicated = injected.value("duplicated").toArray().size();
    const qsizetype reordered = injected.value("reordered").toArray().size();
    QVERIFY(dropped > 0 && duplicated > 0 && reordered > 0);
    QThread::msleep(200);
    ::kill(pid_t(recorder.processId()), SIGINT);
    const Run recorded = finish(recorder);
    QCOMPARE(recorded.exitCode, 0);
    const QJsonObject counted = jsonOf(recorded);
    QCOMPARE(counted.value("datagrams").toInt(), 400 - dropped + duplicated);
    QCOMPARE(counted.value("frames_lost").toInt(), dropped);
    QCOMPARE(counted.value("duplicates").toInt(), duplicated);
    QCOMPARE(counted.value("out_of_order").toInt(), reordered);
}

QTEST_GUILESS_MAIN(TestCommandLine)
#include "tst_command_line.moc"
