// convert end to end: recordings to pcap and back, captures of every kind read,
// cut ones kept as far as they are whole, through the built program.

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
using ProgramRun::frame;
using ProgramRun::cleanRecording;
using namespace CaptureFiles;

class TestConvertCommand : public QObject
{
    Q_OBJECT

private slots:
    void init() { QVERIFY(m_dir.isValid()); }

    void pcapRoundTrip_data();
    void pcapRoundTrip();
    void pcapngMixedTraffic();
    void importLinkTypes_data();
    void importLinkTypes();
    void importIncomplete_data();
    void importIncomplete();

private:
    QString path(const QString &name) const { return m_dir.filePath(name); }

    QTemporaryDir m_dir;
};

void TestConvertCommand::pcapRoundTrip_data()
{
    QTest::addColumn<QByteArray>("stored");
    QTest::addColumn<QByteArray>("expected"); // what comes back from the capture
    QTest::addColumn<QByteArray>("lastTime"); // of the last packet, s after the first

    const QByteArray clean = cleanRecording();
    QTest::newRow("clean") << clean << clean << QByteArray("0.080000000");
    // Neither is ever sent, so neither is exported: the text before the first frame and a repeated frame.
    QTest::newRow("preamble") << "# preamble\r\n" + clean << clean << QByteArray("0.080000000");
    QTest::newRow("duplicate") << frame(1, 100.0) + frame(2, 100.01) + frame(2, 100.015) + clean.mid(clean.indexOf("fr 3"))
                               << clean << QByteArray("0.080000000");
    // Anomalies last one interval (10 ms a number here), as in playback.
    QByteArray absurd = clean;
    absurd.replace("ts 100.040000", "ts 1e308");
    QTest::newRow("absurd stamp") << absurd << absurd << QByteArray("0.080000000");
    // Exported in recorded order: 6 then 5, a step back of one interval.
    const qsizetype five = clean.indexOf("fr 5"), six = clean.indexOf("fr 6"), nine = clean.indexOf("fr 9");
    const QByteArray swapped = clean.left(five) + clean.mid(six, nine - six) + clean.mid(five, six - five) + clean.mid(nine);
    QTest::newRow("swapped") << swapped << swapped << QByteArray("0.100000000");
}

// A clean recording survives .wly -> .pcap -> .wly byte for byte, and the export is UDP to a capture tool.
void TestConvertCommand::pcapRoundTrip()
{
    QFETCH(QByteArray, stored);
    QFETCH(QByteArray, expected);
    QFETCH(QByteArray, lastTime);
    const QString recording = path(QStringLiteral("trip.wly"));
    const QString capture = path(QStringLiteral("trip.pcap"));
    const QString back = path(QStringLiteral("back.wly"));
    QVERIFY(writeFile(recording, stored));
    QCOMPARE(ProgramRun::run({"convert", recording, capture, "--dest", "127.0.0.1:6000"}).exitCode, 0);
    QCOMPARE(ProgramRun::run({"convert", capture, back, "--port", "6000"}).exitCode, 0);
    QCOMPARE(readFile(back), expected);

    const QString tshark = QStandardPaths::findExecutable(QStringLiteral("tshark"));
    if (tshark.isEmpty())
        QSKIP("tshark is not installed");
    QProcess process;
    process.start(tshark, {"-r", capture, "-T", "fields", "-e", "frame.time_relative", "-e", "udp.dstport",
                           "-e", "ip.checksum.status", "-o", "ip.check_checksum:TRUE"});
    QVERIFY(process.waitForFinished(60000));
    const QList<QByteArray> lines = process.readAllStandardOutput().trimmed().split('\n');
    QCOMPARE(lines.size(), 6);
    // Times follow the "ts" lines relative to the first; every IPv4 checksum is good.
    QCOMPARE(lines.constFirst().simplified(), QByteArray("0.000000000 6000 1"));
    QCOMPARE(lines.constLast().simplified(), lastTime + " 6000 1");
}

// pcapng with UDP to two ports and TCP: only the UDP payloads to --port are kept.
void TestConvertCommand::pcapngMixedTraffic()
{
    const QString editcap = QStandardPaths::findExecutable(QStringLiteral("editcap"));
    if (editcap.isEmpty())
        QSKIP("editcap is not installed to write pcapng");
    const QString plain = path(QStringLiteral("mixed.pcap"));
    const QString capture = path(QStringLiteral("mixed.pcapng"));
    const QString output = path(QStringLiteral("mixed.wly"));
    QVERIFY(writeCapture(plain, {ethernetFrame(17, 7000, frame(1, 1.0)), ethernetFrame(17, 7001, "other port"),
                                 ethernetFrame(6, 7000, "fr 99 over TCP"), ethernetFrame(17, 7000, ""),
                                 ethernetFrame(17, 7000, frame(2, 1.1))}));
    QCOMPARE(QProcess::execute(editcap, {"-F", "pcapng", plain, capture}), 0);

    const Run run = ProgramRun::run({"convert", capture, output, "--port", "7000"});
    QCOMPARE(run.exitCode, 0);
    QCOMPARE(readFile(output), frame(1, 1.0) + frame(2, 1.1));
    QCOMPARE(ProgramRun::run({"convert", capture, output}).exitCode, 0);
    QCOMPARE(readFile(output), frame(1, 1.0) + "other port" + frame(2, 1.1));
}

void TestConvertCommand::importLinkTypes_data()
{
    QTest::addColumn<int>("linkType");
    QTest::addColumn<QByteArray>("header"); // what the link puts before the IPv4 packet

    QTest::newRow("Ethernet with a VLAN tag") << int(DLT_EN10MB)
                                              << QByteArray(12, '\0') + QByteArray("\x81\x00\x00\x05\x08\x00", 6);
    QTest::newRow("Linux cooked") << int(DLT_LINUX_SLL) << QByteArray(14, '\0') + QByteArray("\x08\x00", 2);
    QTest::newRow("Linux cooked v2") << int(DLT_LINUX_SLL2) << QByteArray("\x08\x00", 2) + QByteArray(18, '\0');
    QTest::newRow("raw IP") << int(DLT_RAW) << QByteArray();
    QTest::newRow("loopback, little-endian family") << int(DLT_NULL) << QByteArray("\x02\x00\x00\x00", 4);
}

// The payload is found behind every link header a capture on Linux or a loopback gives.
void TestConvertCommand::importLinkTypes()
{
    QFETCH(int, linkType);
    QFETCH(QByteArray, header);
    const QString capture = path(QStringLiteral("link.pcap"));
    const QString output = path(QStringLiteral("link.wly"));
    const QByteArray wanted = frame(4, 1.0);
    QVERIFY(writeCapture(capture,
                         {header + ethernetFrame(17, 7000, wanted).mid(14),
                          header + ethernetFrame(17, 7001, frame(5, 1.1)).mid(14)},
                         linkType));
    QCOMPARE(ProgramRun::run({"convert", capture, output, "--port", "7000"}).exitCode, 0);
    QCOMPARE(readFile(output), wanted);
}

void TestConvertCommand::importIncomplete_data()
{
    QTest::addColumn<QByteArray>("capture");
    QTest::addColumn<QByteArray>("written"); // the recording; null when no file may be left
    QTest::addColumn<QString>("said");       // in the one line on standard error; the status is 1 in every row

    const QString scratch = path(QStringLiteral("scratch.pcap"));
    const auto capture = [&scratch](const QList<QByteArray> &frames) {
        return writeCapture(scratch, frames) ? readFile(scratch) : QByteArray();
    };
    const QByteArray whole = capture({ethernetFrame(17, 7000, frame(1, 1.0)), ethernetFrame(17, 7000, frame(2, 1.1)),
                                      ethernetFrame(17, 7000, frame(3, 1.2))});
    // As a copy interrupted, or a capture tool killed, leaves it: the last packet is cut.
    QTest::newRow("last packet cut") << whole.chopped(5) << frame(1, 1.0) + frame(2, 1.1)
                                     << "is cut short in packet 3";
    QTest::newRow("cut in a packet header") << whole + QByteArray(7, '\0') << frame(1, 1.0) + frame(2, 1.1) + frame(3, 1.2)
                                            << "is cut short in packet 4";
    QTest::newRow("no packets") << capture({}) << QByteArray() << "no UDP/IPv4 payload in 0 packets";
    QTest::newRow("TCP only") << capture({ethernetFrame(6, 7000, "fr 1 over TCP")}) << QByteArray()
                              << "no UDP/IPv4 payload in 1 packets (skipped: 0 to other ports, 1 not UDP over IPv4";
    QByteArray ipv6 = ethernetFrame(17, 7000, frame(1, 1.0));
    ipv6[12] = char(0x86);
    ipv6[13] = char(0xDD);
    QTest::newRow("IPv6 only") << capture({ipv6}) << QByteArray() << "1 not UDP over IPv4";
    // A pcap file header (little-endian, version 2.4, snap length 65535) with a link type libpcap has no name for.
    const QByteArray unknownLink = QByteArray::fromHex("d4c3b2a1020004000000000000000000ffff0000a00f0000");
    QTest::newRow("unknown link type") << unknownLink << QByteArray() << "link type 4000 is not one";
}

// What a capture holds is converted; what it lacks is said, and nothing is
// converted into a recording that info would refuse.
void TestConvertCommand::importIncomplete()
{
    QFETCH(QByteArray, capture);
    QFETCH(QByteArray, written);
    QFETCH(QString, said);
    const QString input = path(QStringLiteral("incomplete.pcap"));
    const QString output = path(QStringLiteral("incomplete.wly"));
    QFile::remove(output);
    QVERIFY(writeFile(input, capture));
    const Run run = ProgramRun::run({"convert", input, output});
    QCOMPARE(run.exitCode, 1);
    QCOMPARE(run.err.count('\n'), 1);
    QVERIFY2(run.err.contains(said.toUtf8()), run.err.constData());
    QCOMPARE(QFile::exists(output), !written.isNull());
    if (!written.isNull()) {
        QCOMPARE(readFile(output), written);
        QVERIFY2(run.out.startsWith(QByteArray::number(written.count("fr ")) + " datagrams"), run.out.constData());
    }
    // No side file is left behind either way.
    QCOMPARE(QDir(m_dir.path()).entryList({QStringLiteral(".incomplete*")}, QDir::Files | QDir::Hidden), QStringList());
}

QTEST_GUILESS_MAIN(TestConvertCommand)
#include "tst_convert_command.moc"
