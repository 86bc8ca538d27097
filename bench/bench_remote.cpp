// The remote control's cost: the `status` round trip on 127.0.0.1 while the
// player plays at 5 kHz, beside the same round trip while idle; and what four
// clients subscribed to every notification do to the player's lateness and to
// a 50 kHz recording running at the same time, beside runs without clients.
// The clients run on a thread of their own, as a separate rig process would.

#include "play/player.h"
#include "record/recording_session.h"
#include "remote/engine_target.h"
#include "remote/remote_methods.h"
#include "remote/remote_server.h"
#include "remote/remote_token.h"
#include "support/fixture.h"
#include "support/recorded_frames.h"
#include "support/remote_peer.h"
#include "support/traffic_tools.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QJsonArray>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <vector>

using namespace Fixture;

namespace {

constexpr int RoundTrips = 2000;
constexpr int PlayHertz = 5000;
constexpr int RecordHertz = 50000;
constexpr int RecordSeconds = 2;

struct Latency {
    double p50 = 0, p99 = 0, worst = 0; // ms
};

Latency statusRoundTrips(RemotePeer &peer)
{
    std::vector<double> ms;
    ms.reserve(RoundTrips);
    QElapsedTimer clock;
    for (int i = 0; i < RoundTrips; ++i) {
        clock.start();
        if (peer.call(QStringLiteral("status")).isEmpty())
            return {};
        ms.push_back(double(clock.nsecsElapsed()) / 1e6);
    }
    std::sort(ms.begin(), ms.end());
    return {ms[ms.size() / 2], ms[ms.size() * 99 / 100], ms.back()};
}

struct Load {
    double lateP99 = 0; // us
    qint64 framesSent = 0;
    qint64 received = 0;
    qint64 lost = 0;
    qint64 dropped = 0;
    qint64 notifications = 0;
};

// Plays at 5 kHz, then records a 50 kHz stream, with `listeners` clients hearing everything.
Load underLoad(const QUrl &url, const QString &token, RemotePeer &control, const Player &player, quint16 recordPort,
               const QString &recording, int listeners)
{
    std::vector<std::unique_ptr<RemotePeer>> peers;
    for (int i = 0; i < listeners; ++i) {
        peers.push_back(std::make_unique<RemotePeer>());
        peers.back()->open(url, token);
        peers.back()->call(QStringLiteral("subscribe"),
                           {{QStringLiteral("events"), QJsonArray::fromStringList(RemoteMethods::eventNames())}});
    }
    // The player first (the window too never plays while it records), then the recorder.
    control.call(QStringLiteral("open"), {{QStringLiteral("path"), recording}}, 60000);
    control.call(QStringLiteral("play"));
    QTest::qWait(RecordSeconds * 1000);
    control.call(QStringLiteral("stop"));
    const Player::Stats stats = player.stats();
    control.call(QStringLiteral("record"));
    TrafficTools::waitUntilBound(recordPort);
    QProcess sender;
    TrafficTools::startSender(sender, recordPort,
                              {QStringLiteral("--rate"), QString::number(RecordHertz), QStringLiteral("--count"),
                               QString::number(RecordHertz * RecordSeconds)});
    if (!QTest::qWaitFor([&] { return sender.state() == QProcess::NotRunning; }, 60000))
        std::printf("!! the sender was still running after 60 s\n");
    QTest::qWait(300);
    control.call(QStringLiteral("stop"));
    const QJsonObject health = control.result(QStringLiteral("health")).toObject();
    control.call(QStringLiteral("discard"));
    Load load;
    load.lateP99 = stats.timing.lateP99;
    load.framesSent = stats.framesSent;
    load.received = health.value(QLatin1String("datagrams")).toInteger();
    load.lost = health.value(QLatin1String("frames_lost")).toInteger();
    load.dropped = health.value(QLatin1String("dropped")).toInteger();
    for (const auto &peer : peers)
        for (const char *event : {"state", "health", "position", "pass_ended"})
            load.notifications += peer->heard(QLatin1String(event)).size();
    return load;
}

void printLoad(const char *name, const Load &load)
{
    std::printf("  %-22s player p99 late %8.1f us  sent %7lld   recorder received %7lld  lost %5lld  dropped %5lld"
                "  notifications heard %lld\n",
                name, load.lateP99, (long long)load.framesSent, (long long)load.received, (long long)load.lost,
                (long long)load.dropped, (long long)load.notifications);
}

}

int main(int argc, char *argv[])
{
    QCoreApplication application(argc, argv);
    QTemporaryDir dir;
    QString token, error;
    if (!RemoteToken::load(dir.filePath(QStringLiteral("token")), token, error)) {
        std::fprintf(stderr, "%s\n", qPrintable(error));
        return 1;
    }
    const QString recording = dir.filePath(QStringLiteral("bench.wly"));
    writeFile(recording, Frames::recording(1, 50000));

    const quint16 recordPort = freePort();
    const quint16 sinkPort = freePort();
    UdpPeer sink(sinkPort); // bound, never read: the kernel drops what does not fit
    EngineTarget::Options options;
    options.recordPort = recordPort;
    options.destinations = {{QStringLiteral("127.0.0.1"), netIpv4(0x7F000001), sinkPort}};
    options.play.pace = Player::FixedRate;
    options.play.frequency = PlayHertz;
    options.play.loop = true;
    EngineTarget target(options);
    RemoteServer server(&target);
    RemoteServer::Options listen;
    listen.port = 0;
    listen.token = token;
    if (!server.listen(listen, &error)) {
        std::fprintf(stderr, "%s\n", qPrintable(error));
        return 1;
    }
    const QUrl url = server.url();

    QThread *clients = QThread::create([&] {
        RemotePeer control;
        if (!control.open(url, token)) {
            std::fprintf(stderr, "cannot connect to %s\n", qPrintable(url.toString()));
            return;
        }
        control.call(QStringLiteral("open"), {{QStringLiteral("path"), recording}}, 60000);

        std::printf("status round trip on 127.0.0.1, %d requests, ms\n", RoundTrips);
        const Latency idle = statusRoundTrips(control);
        control.call(QStringLiteral("play"));
        QTest::qWait(200);
        const Latency playing = statusRoundTrips(control);
        control.call(QStringLiteral("stop"));
        std::printf("  idle (reference)       p50 %.3f  p99 %.3f  worst %.3f\n", idle.p50, idle.p99, idle.worst);
        std::printf("  playing at %d Hz     p50 %.3f  p99 %.3f  worst %.3f\n", PlayHertz, playing.p50, playing.p99,
                    playing.worst);

        std::printf("\nplaying at %d Hz, then recording %d Hz (300-byte datagrams), %d s each, alternating runs\n",
                    PlayHertz, RecordHertz, RecordSeconds);
        for (int round = 0; round < 2; ++round) {
            printLoad("no client (reference)", underLoad(url, token, control, target.player(), recordPort, recording, 0));
            printLoad("4 clients, all events", underLoad(url, token, control, target.player(), recordPort, recording, 4));
        }
        std::fflush(stdout);
    });
    QObject::connect(clients, &QThread::finished, &application, &QCoreApplication::quit);
    clients->start();
    const int status = application.exec();
    clients->wait();
    delete clients;
    return status;
}
