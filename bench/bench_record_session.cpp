// Recording through RecordingSession: 300-byte frames from korvel-send at 10 kHz
// and 50 kHz, what is lost, written and counted, the process's CPU share, and
// beside it the cost of the live counters alone (StreamHealth::add on the same
// frames), as a share of one core at each rate.

#include "bench/bench_measure.h"
#include "platform/stopwatch.h"
#include "platform/udp_socket.h"
#include "record/recording_session.h"
#include "record/stream_health.h"
#include "support/traffic_tools.h"
#include "tools/traffic.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QEventLoop>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>
#include <QTimer>

#include <sys/resource.h>

#include <cstdio>
#include <vector>

namespace {

constexpr int FrameSize = 300;

void spin(int milliseconds)
{
    QEventLoop loop;
    QTimer::singleShot(milliseconds, &loop, &QEventLoop::quit);
    loop.exec();
}

int freePort()
{
    UdpSocket *probe = nullptr;
    if (udpOpen(&probe, 0, UDP_OPEN_ANY_PORT | UDP_OPEN_LOOPBACK) != UDP_OK)
        return 0;
    const int port = udpLocalPort(probe);
    udpClose(probe);
    return port;
}

// Nanoseconds per StreamHealth::add over real frames, in order.
double counterCostNs()
{
    // Composed up front, so that only the counters are timed; 65 536 distinct
    // frames, sent over and over as a looping sender would.
    constexpr int Distinct = 65536;
    const Traffic::FrameComposer composer(FrameSize, 1, 1000.0, 50000);
    std::vector<char> frames(size_t(Distinct) * size_t(composer.capacity()));
    std::vector<int> lengths(Distinct);
    for (int i = 0; i < Distinct; ++i)
        lengths[size_t(i)] = composer.compose(uint32_t(i), frames.data() + size_t(i) * size_t(composer.capacity()));
    StreamHealth health;
    double best = 1e9;
    for (int attempt = 0; attempt < 5; ++attempt) {
        health.reset();
        const uint64_t start = Stopwatch::microseconds();
        for (int pass = 0; pass < 8; ++pass) {
            for (int i = 0; i < Distinct; ++i)
                health.add(frames.data() + size_t(i) * size_t(composer.capacity()), lengths[size_t(i)],
                           qint64(pass * Distinct + i) * 20, 0, quint64(i & 1)); // two senders: the slower case
        }
        const double ns = double(Stopwatch::microseconds() - start) * 1000.0 / (8.0 * Distinct);
        if (health.figures().datagrams != 8 * Distinct || health.figures().frames_lost != 0)
            std::printf("counter micro-benchmark miscounted\n");
        best = qMin(best, ns);
    }
    return best;
}

QStringList senderOptions(double rate, long count)
{
    return {QStringLiteral("--rate"), QString::number(rate), QStringLiteral("--count"), QString::number(count),
            QStringLiteral("--size"), QString::number(FrameSize)};
}

// What the sender reports it achieved: "(N Hz)".
QByteArray senderRate(QProcess &send)
{
    const QByteArray out = send.readAllStandardOutput();
    const qsizetype open = out.lastIndexOf('(');
    return open < 0 ? QByteArray("?") : out.mid(open + 1, out.indexOf(')', open) - open - 1);
}

// The same traffic into korvel-recv writing a file: what this machine manages right now without the session.
void reference(const QString &sender, const QString &receiver, const QString &file, double rate, double seconds)
{
    const long count = long(rate * seconds);
    QProcess recv;
    recv.start(receiver, {QStringLiteral("--port"), QStringLiteral("0"), QStringLiteral("--count"),
                          QString::number(count), QStringLiteral("--timeout-ms"), QStringLiteral("2000"),
                          QStringLiteral("--rcvbuf"), QString::number(RecordingSession::ReceiveBufferWanted),
                          QStringLiteral("--out"), file});
    QByteArray port;
    for (int i = 0; i < 50 && port.isEmpty() && recv.waitForReadyRead(100);) {
        while (recv.canReadLine()) {
            const QByteArray line = recv.readLine().trimmed();
            if (line.startsWith("listening port="))
                port = line.mid(15);
        }
    }
    if (port.isEmpty()) {
        std::printf("reference: cannot start %s\n", qPrintable(receiver));
        return;
    }
    QProcess send;
    TrafficTools::startSender(send, uint16_t(port.toUInt()), senderOptions(rate, count), sender);
    send.waitForFinished(int(seconds * 10000));
    recv.waitForFinished(int(seconds * 10000));
    long long received = -1;
    for (const QByteArray &field : recv.readAll().simplified().split(' ')) {
        if (field.startsWith("received="))
            received = field.mid(9).toLongLong();
    }
    std::printf("          reference, korvel-recv writing a file: received %8lld  lost %lld  (sender: %s)\n",
                received, received < 0 ? -1 : (long long)(count - received), senderRate(send).constData());
}

void recordAt(const QString &sender, double rate, double seconds, double counterNs, bool preview = false)
{
    RecordingSession session;
    const int port = freePort();
    QString error;
    if ((preview ? session.startPreview(port, &error) : session.startRecording(port, &error))
        != RecordingSession::Start::Started) {
        std::printf("cannot record: %s\n", qPrintable(error));
        return;
    }
    const long count = long(rate * seconds);
    QProcess send;
    const double cpuBefore = Bench::cpuMicroseconds(RUSAGE_SELF) / 1e6;
    const uint64_t wallBefore = Stopwatch::microseconds();
    if (!TrafficTools::startSender(send, uint16_t(port), senderOptions(rate, count), sender)) {
        std::printf("cannot start %s\n", qPrintable(sender));
        return;
    }
    // Poll as the window does, ten times a second.
    int rateSeen = 0;
    while (send.state() != QProcess::NotRunning) {
        spin(100);
        rateSeen = qMax(rateSeen, session.rateHz());
        session.figures();
    }
    qint64 last = -1;
    while (session.received() != last) {
        last = session.received();
        spin(300);
    }
    const double wall = double(Stopwatch::microseconds() - wallBefore) / 1e6;
    session.stop();
    const double cpu = Bench::cpuMicroseconds(RUSAGE_SELF) / 1e6 - cpuBefore;
    const StreamFigures f = session.figures();
    const qint64 written = QFileInfo(session.temporaryPath()).size() / FrameSize;
    session.discardTemporary();

    const QByteArray achieved = senderRate(send);
    std::printf("%s %6.0f Hz %4.1f s (sender: %s): sent %8ld  received %8lld  written %8lld  lost %lld (counter: frames_lost %lld, "
                "dropped %lld)  write failures %d  peak rate %d Hz\n",
                preview ? "preview" : "record ", rate, seconds, achieved.constData(), count, (long long)session.received(), (long long)written,
                (long long)(count - session.received()), (long long)f.frames_lost, (long long)f.dropped,
                session.failedWrites(), rateSeen);
    std::printf("          process CPU %.1f %% of a core (%.2f us per datagram); counters alone %.3f %% of a core "
                "(%.0f ns per datagram)\n",
                100.0 * cpu / wall, count ? cpu * 1e6 / double(count) : 0.0, counterNs * rate / 1e7, counterNs);
}

void measureIdle()
{
    RecordingSession session;
    QString error;
    if (session.startPreview(freePort(), &error) != RecordingSession::Start::Started)
        return;
    const double before = Bench::cpuMicroseconds(RUSAGE_SELF) / 1e6;
    spin(3000);
    const double cpu = Bench::cpuMicroseconds(RUSAGE_SELF) / 1e6 - before;
    const uint64_t stopStart = Stopwatch::microseconds();
    session.stop();
    std::printf("idle preview: process CPU %.3f s in 3 s (%.2f %% of a core), stop() took %llu us\n", cpu,
                cpu / 3.0 * 100.0, (unsigned long long)(Stopwatch::microseconds() - stopStart));
}

}

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("Recording through RecordingSession, counters included."));
    parser.addHelpOption();
    parser.addOptions({
        {QStringLiteral("sender"), QStringLiteral("Path of korvel-send."), QStringLiteral("PATH")},
        {QStringLiteral("seconds"), QStringLiteral("Seconds per rate (default 10)."), QStringLiteral("S")},
    });
    parser.process(app);
    const QString sender = parser.isSet(QStringLiteral("sender"))
                             ? parser.value(QStringLiteral("sender"))
                             : TrafficTools::path("korvel-send");
    const double seconds = parser.isSet(QStringLiteral("seconds")) ? parser.value(QStringLiteral("seconds")).toDouble()
                                                                   : 10.0;
    QTemporaryDir temp;
    // The temporary recordings go to a folder of this run, never beside a user's.
    qputenv("TMPDIR", QFile::encodeName(temp.path()));

    // The least of a few tries: other work on the machine only ever adds.
    const double counterNs = counterCostNs();
    std::printf("StreamHealth::add on %d-byte frames: %.1f ns per datagram\n", FrameSize, counterNs);
    const QString receiver = QFileInfo(sender).absolutePath() + QLatin1String("/korvel-recv");
    for (const double rate : {10000.0, 50000.0}) {
        recordAt(sender, rate, seconds, counterNs);
        reference(sender, receiver, temp.filePath(QStringLiteral("reference.wly")), rate, seconds);
    }
    // Preview writes nothing: the difference to Record is the cost of the file.
    recordAt(sender, 50000.0, seconds, counterNs, true);
    measureIdle();
    return 0;
}
