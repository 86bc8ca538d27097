// Network reach: addresses and subnets, the source filter, receive options and
// their refusals, IPv6 on ::1, and multicast in a network namespace of the test's own.

#include "platform/net_address.h"
#include "platform/udp_socket.h"
#include "play/multicast_options.h"
#include "record/receive_options.h"
#include "record/recording_session.h"
#include "support/fixture.h"

#include <QtTest>

#include <memory>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

using namespace Fixture;

namespace {

using Handle = std::unique_ptr<UdpSocket, decltype(&udpClose)>;

NetAddress address(const char *text)
{
    NetAddress parsed;
    return netParseAddress(text, &parsed) == NET_OK ? parsed : NetAddress();
}

bool haveIpv6Loopback()
{
    UdpSocket *probe = nullptr;
    if (udpOpen(&probe, 0, UDP_OPEN_IPV6 | UDP_OPEN_LOOPBACK | UDP_OPEN_ANY_PORT) != UDP_OK)
        return false;
    udpClose(probe);
    return true;
}

// A sender bound to `from` (port chosen by the platform).
Handle boundSender(const char *from)
{
    const NetAddress local = address(from);
    UdpSocket *handle = nullptr;
    return Handle(udpOpenListen(&handle, &local, nullptr, 0, 0) == UDP_OK ? handle : nullptr, udpClose);
}

bool sendTo(UdpSocket *handle, const QByteArray &payload, const char *to, uint16_t port)
{
    const NetAddress destination = address(to);
    return udpSendTo(handle, payload.constData(), int32_t(payload.size()), &destination, port, 1000000) == UDP_OK;
}

ReceiveOptions options(const QString &listen, const QStringList &joins, const QStringList &allows)
{
    ReceiveOptions parsed;
    ReceiveOptionsError error;
    if (!parseReceiveOptions(listen, joins, allows, parsed, &error))
        qWarning() << "receive options refused:" << error.value << error.reason;
    return parsed;
}

QString lastText(const RecordingSession &session)
{
    QByteArray text;
    session.copyLastText(text);
    return QString::fromLatin1(text);
}

// The memberships the kernel holds, as /proc shows them (groups in hex, as stored).
QByteArray igmpTable()
{
    QFile file(QStringLiteral("/proc/net/igmp"));
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

}

class TestNetwork : public QObject
{
    Q_OBJECT

private slots:
    void subnets_data();
    void subnets();
    void sourceFilter_data();
    void sourceFilter();
    void receiveOptionsRefused_data();
    void receiveOptionsRefused();
    void receiveOptionsFamily();
    void multicastOptions_data();
    void multicastOptions();
    void filterAcceptsAndRejects_data();
    void filterAcceptsAndRejects();
    void multicastInNamespace();
    void resolve();
};

void TestNetwork::subnets_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<int>("result");
    QTest::addColumn<QString>("network");
    QTest::addColumn<int>("prefix");
    QTest::newRow("host") << "192.0.2.7" << int(NET_OK) << "192.0.2.7" << 32;
    QTest::newRow("subnet, host bits cleared") << "10.1.7.9/16" << int(NET_OK) << "10.1.0.0" << 16;
    QTest::newRow("everything") << "0.0.0.0/0" << int(NET_OK) << "0.0.0.0" << 0;
    QTest::newRow("IPv6 link-local") << "fe80::1234/10" << int(NET_OK) << "fe80::" << 10;
    QTest::newRow("IPv6 host") << "::1" << int(NET_OK) << "::1" << 128;
    QTest::newRow("prefix too long") << "10.0.0.0/33" << int(NET_MALFORMED) << "" << 0;
    QTest::newRow("IPv6 prefix too long") << "fe80::/129" << int(NET_MALFORMED) << "" << 0;
    QTest::newRow("negative prefix") << "10.0.0.0/-1" << int(NET_MALFORMED) << "" << 0;
    QTest::newRow("empty prefix") << "10.0.0.0/" << int(NET_MALFORMED) << "" << 0;
    QTest::newRow("prefix with text") << "10.0.0.0/8x" << int(NET_MALFORMED) << "" << 0;
    // inet_aton would take these as shorthand for other addresses.
    QTest::newRow("short form") << "10.1" << int(NET_MALFORMED) << "" << 0;
    QTest::newRow("a name") << "lab-host" << int(NET_MALFORMED) << "" << 0;
    QTest::newRow("unknown scope") << "fe80::1%nosuch0" << int(NET_NOT_FOUND) << "" << 0;
    QTest::newRow("too long") << QString(200, QLatin1Char('1')) << int(NET_MALFORMED) << "" << 0;
}

void TestNetwork::subnets()
{
    QFETCH(QString, text);
    QFETCH(int, result);
    NetAddress network;
    int prefix = -1;
    QCOMPARE(netParseSubnet(text.toLatin1().constData(), &network, &prefix), result);
    if (result != NET_OK)
        return;
    char shown[NET_TEXT_SIZE];
    QCOMPARE(netFormat(&network, shown, sizeof shown), int(NET_OK));
    QTEST(QString::fromLatin1(shown), "network");
    QTEST(prefix, "prefix");
}

void TestNetwork::sourceFilter_data()
{
    QTest::addColumn<QStringList>("allowed");
    QTest::addColumn<QString>("sender");
    QTest::addColumn<bool>("allows");
    QTest::newRow("empty list lets everyone in") << QStringList() << "203.0.113.9" << true;
    QTest::newRow("the host") << QStringList{"192.0.2.7"} << "192.0.2.7" << true;
    QTest::newRow("its neighbour") << QStringList{"192.0.2.7"} << "192.0.2.8" << false;
    QTest::newRow("inside the subnet") << QStringList{"10.1.0.0/16"} << "10.1.255.3" << true;
    QTest::newRow("just outside") << QStringList{"10.1.0.0/16"} << "10.2.0.1" << false;
    QTest::newRow("odd prefix, inside") << QStringList{"10.0.0.0/13"} << "10.7.255.255" << true;
    QTest::newRow("odd prefix, outside") << QStringList{"10.0.0.0/13"} << "10.8.0.0" << false;
    QTest::newRow("second entry") << QStringList{"192.0.2.7", "127.0.0.0/8"} << "127.0.0.1" << true;
    QTest::newRow("IPv6 subnet") << QStringList{"fe80::/10"} << "fe80::aa:1" << true;
    QTest::newRow("IPv6 outside") << QStringList{"fe80::/10"} << "fec0::1" << false;
    // 0.0.0.0/0 and ::/0 both have all-zero bytes: only the family tells them apart.
    QTest::newRow("IPv4 everything is no IPv6") << QStringList{"0.0.0.0/0"} << "::1" << false;
    QTest::newRow("IPv6 everything is no IPv4") << QStringList{"::/0"} << "127.0.0.1" << false;
}

void TestNetwork::sourceFilter()
{
    QFETCH(QStringList, allowed);
    QFETCH(QString, sender);
    ReceiveOptions parsed;
    QVERIFY(parseReceiveOptions(QString(), {}, allowed, parsed, nullptr));
    QTEST(parsed.filter.allows(address(sender.toLatin1().constData())), "allows");
}

void TestNetwork::receiveOptionsRefused_data()
{
    QTest::addColumn<QString>("listen");
    QTest::addColumn<QStringList>("joins");
    QTest::addColumn<QStringList>("allows");
    QTest::addColumn<int>("field");
    QTest::addColumn<QString>("reason");
    using E = ReceiveOptionsError;
    QTest::newRow("unknown interface") << "nosuch0" << QStringList() << QStringList() << int(E::Listen)
                                       << "no such interface";
    QTest::newRow("not this machine's") << "192.0.2.200" << QStringList() << QStringList() << int(E::Listen)
                                        << "not an address of this machine";
    QTest::newRow("group as listen") << "239.1.2.3" << QStringList() << QStringList() << int(E::Listen)
                                     << "a multicast group is joined, not listened on (give it to join)";
    QTest::newRow("unicast group") << "" << QStringList{"10.0.0.1"} << QStringList() << int(E::Join)
                                   << "10.0.0.1 is not a multicast group";
    QTest::newRow("a name as group") << "" << QStringList{"group.example"} << QStringList() << int(E::Join)
                                     << "expected GROUP or SOURCE@GROUP with numeric addresses";
    QTest::newRow("multicast source") << "" << QStringList{"239.0.0.1@232.1.1.1"} << QStringList() << int(E::Join)
                                      << "239.0.0.1 is not a source address";
    QTest::newRow("source of the other family") << "" << QStringList{"::1@232.1.1.1"} << QStringList()
                                                << int(E::Join)
                                                << "the source and the group are of different families";
    QTest::newRow("IPv6 group, IPv4 listen") << "127.0.0.1" << QStringList{"ff12::7"} << QStringList()
                                             << int(E::Join) << "an IPv6 group where the socket is IPv4";
    QTest::newRow("groups of both families") << "" << QStringList{"239.1.1.1", "ff12::7"} << QStringList()
                                             << int(E::Join) << "an IPv6 group where the socket is IPv4";
    QTest::newRow("malformed subnet") << "" << QStringList() << QStringList{"10.1.0.0/40"} << int(E::Allow)
                                      << "expected a host address or a subnet such as 10.1.0.0/16";
    QStringList many;
    for (int i = 0; i <= SourceFilter::MaxEntries; ++i)
        many << QStringLiteral("10.0.%1.1").arg(i);
    QTest::newRow("too many senders") << "" << QStringList() << many << int(E::Allow) << "more than 64 entries";
}

void TestNetwork::receiveOptionsRefused()
{
    QFETCH(QString, listen);
    QFETCH(QStringList, joins);
    QFETCH(QStringList, allows);
    ReceiveOptions parsed;
    ReceiveOptionsError error;
    QVERIFY(!parseReceiveOptions(listen, joins, allows, parsed, &error));
    QTEST(int(error.field), "field");
    QTEST(error.reason, "reason");
}

void TestNetwork::multicastOptions_data()
{
    QTest::addColumn<QStringList>("texts"); // ttl, interface, loop
    QTest::addColumn<QString>("outcome");   // ttl, "lo" or "any" and loop; or the field and the reason
    QTest::newRow("nothing given") << QStringList{"", "", ""} << "1 any on";
    QTest::newRow("all given") << QStringList{"0", "lo", "off"} << "0 lo off";
    QTest::newRow("highest hop limit") << QStringList{"255", "", "on"} << "255 any on";
    QTest::newRow("hop limit too high") << QStringList{"256", "", ""} << "0 expected a whole number from 0 to 255";
    QTest::newRow("negative hop limit") << QStringList{"-1", "", ""} << "0 expected a whole number from 0 to 255";
    QTest::newRow("unknown interface") << QStringList{"", "nosuch0", ""} << "1 no such interface";
    QTest::newRow("loop neither on nor off") << QStringList{"", "", "true"} << "2 expected on or off";
}

// The one check behind both the play command's options and the Play settings' Multicast group.
void TestNetwork::multicastOptions()
{
    QFETCH(QStringList, texts);
    Player::Multicast multicast;
    MulticastOptionsError error;
    const bool taken = parseMulticastOptions(texts[0], texts[1], texts[2], multicast, &error);
    const QString interfaceName = multicast.interfaceIndex == 0 ? QStringLiteral("any")
                                  : multicast.interfaceIndex == netInterfaceIndex("lo") ? QStringLiteral("lo")
                                                                                        : QStringLiteral("other");
    QTEST(taken ? QStringLiteral("%1 %2 %3").arg(multicast.ttl).arg(interfaceName, multicast.loop ? "on" : "off")
                : QStringLiteral("%1 %2").arg(int(error.field)).arg(error.reason),
          "outcome");
    if (!taken)
        QCOMPARE(error.value, texts[error.field]);
}

void TestNetwork::receiveOptionsFamily()
{
    QCOMPARE(options({}, {}, {}).family(), NET_IPV4);
    QCOMPARE(options("::", {}, {}).family(), NET_IPV6);
    QCOMPARE(options("lo", {"ff12::7"}, {}).family(), NET_IPV6);
    // Joined groups arrive addressed to the group: a socket bound to a unicast address would never see them.
    const ReceiveOptions joined = options("127.0.0.1", {"239.1.2.3"}, {});
    const NetAddress joinedBind = joined.bindAddress();
    QVERIFY(netIsAny(&joinedBind));
    QVERIFY(joined.interfaceIndex != 0);
    const ReceiveOptions unicast = options("127.0.0.1", {}, {});
    const NetAddress unicastBind = unicast.bindAddress();
    QVERIFY(netEqual(&unicastBind, &unicast.listenAddress));
}

void TestNetwork::filterAcceptsAndRejects_data()
{
    QTest::addColumn<QString>("listen");
    QTest::addColumn<QString>("allowed");
    QTest::addColumn<QString>("good"); // sends from this address to itself
    QTest::addColumn<QString>("bad");
    QTest::newRow("IPv4") << "127.0.0.1" << "127.0.0.1/32" << "127.0.0.1" << "127.0.0.2";
    QTest::newRow("IPv6") << "::" << "::1" << "::1" << "127.0.0.1";
    // An IPv4 sender reaches an IPv6 socket as a mapped address and must still match an IPv4 entry.
    QTest::newRow("IPv4 through a dual-stack socket") << "::" << "127.0.0.0/8" << "127.0.0.1" << "::1";
}

// Allowed senders are recorded; every other datagram is counted as rejected,
// kept out of the file and the figures, and the first refused sender is named once.
void TestNetwork::filterAcceptsAndRejects()
{
    QFETCH(QString, listen);
    QFETCH(QString, allowed);
    QFETCH(QString, good);
    QFETCH(QString, bad);
    if (listen.contains(QLatin1Char(':')) && !haveIpv6Loopback())
        QSKIP("this machine has IPv6 switched off: no ::1 to bind");
    RecordingSession session;
    session.setReceiveOptions(options(listen, {}, {allowed}));
    const uint16_t port = freePort();
    QString error;
    QVERIFY2(session.startRecording(port, &error) == RecordingSession::Start::Started, qPrintable(error));
    QSignalSpy rejectedSpy(&session, &RecordingSession::senderRejected);

    Handle from = boundSender(good.toLatin1().constData());
    Handle stranger = boundSender(bad.toLatin1().constData());
    QVERIFY(from && stranger);
    // 127.0.0.2 reaches a socket bound to 127.0.0.1 at 127.0.0.1 like anyone else.
    const QByteArray badTo = bad == "127.0.0.2" ? QByteArray("127.0.0.1") : bad.toLatin1();
    QVERIFY(sendTo(stranger.get(), "fr 1\r\nintruder\r\n", badTo.constData(), port));
    QVERIFY(sendTo(stranger.get(), "fr 2\r\nintruder\r\n", badTo.constData(), port));
    QVERIFY(sendTo(from.get(), "fr 1\r\nwanted\r\n", good.toLatin1().constData(), port));
    QTRY_COMPARE(session.received(), 1);
    QTRY_COMPARE(session.figures().rejected, 2);
    QCOMPARE(lastText(session), QStringLiteral("fr 1\r\nwanted\r\n"));
    QCOMPARE(session.figures().senders, 1);
    QCOMPARE(session.figures().frames_lost, 0);
    QTRY_COMPARE(rejectedSpy.size(), 1);
    QCOMPARE(rejectedSpy.at(0).at(0).toString(), bad);
    session.stop();
    QCOMPARE(readFile(session.temporaryPath()), QByteArray("fr 1\r\nwanted\r\n"));
    session.discardTemporary();
}

// Multicast needs routes and interfaces a test may not change on the machine it
// runs on: it runs again inside a network namespace of its own (unshare, as
// root or in a user namespace), with lo up and multicast on, and a veth pair.
void TestNetwork::multicastInNamespace()
{
    if (qEnvironmentVariable("KORVEL_IN_NETNS") != QLatin1String("1")) {
        const QString setup = QStringLiteral(
            "set -e; ip link set lo up multicast on; ip route add 224.0.0.0/4 dev lo;"
            "ip link add ka type veth peer name kb; ip addr add 10.77.0.1/24 dev ka; ip addr add 10.77.0.2/24 dev kb;"
            "ip link set ka up multicast on; ip link set kb up multicast on;"
            // Datagrams from ka arrive on kb with a source of this same host: let them in.
            "for c in all kb ka; do echo 1 > /proc/sys/net/ipv4/conf/$c/accept_local;"
            " echo 0 > /proc/sys/net/ipv4/conf/$c/rp_filter; done;"
            "exec \"$0\" multicastInNamespace");
        QStringList arguments{QStringLiteral("-n"), QStringLiteral("sh"), QStringLiteral("-c"), setup,
                              QCoreApplication::applicationFilePath()};
        if (::geteuid() != 0)
            arguments.prepend(QStringLiteral("-r"));
        if (QProcess::execute(QStringLiteral("unshare"), {arguments.first(), QStringLiteral("-n"), QStringLiteral("true")})
            != 0)
            QSKIP("no network namespace to be had here (unshare -n refused: not root and no user namespaces)");
        QProcess inside;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("KORVEL_IN_NETNS"), QStringLiteral("1"));
        inside.setProcessEnvironment(environment);
        inside.setProcessChannelMode(QProcess::ForwardedChannels);
        inside.start(QStringLiteral("unshare"), arguments);
        QVERIFY(inside.waitForFinished(120000));
        QCOMPARE(inside.exitCode(), 0);
        return;
    }

    const uint16_t port = freePort();
    QString error;
    // Any-source join on lo, and the membership gone at stop.
    {
        RecordingSession session;
        session.setReceiveOptions(options("lo", {"239.1.2.3"}, {}));
        QVERIFY2(session.startPreview(port, &error) == RecordingSession::Start::Started, qPrintable(error));
        QVERIFY(igmpTable().contains("030201EF"));
        Handle out = boundSender("127.0.0.1");
        QVERIFY(out && udpSetMulticastSend(out.get(), 1, netInterfaceIndex("lo"), true) == UDP_OK);
        QVERIFY(sendTo(out.get(), "fr 1\r\n", "239.1.2.3", port));
        QTRY_COMPARE(session.received(), 1);
        session.stop();
        QVERIFY(!igmpTable().contains("030201EF"));
    }
    // Source-specific: the kernel passes the named source only.
    {
        RecordingSession session;
        session.setReceiveOptions(options("lo", {"127.0.0.1@232.1.1.1"}, {}));
        QVERIFY2(session.startPreview(port, &error) == RecordingSession::Start::Started, qPrintable(error));
        Handle stranger = boundSender("127.0.0.2");
        Handle source = boundSender("127.0.0.1");
        QVERIFY(stranger && source);
        QVERIFY(sendTo(stranger.get(), "fr 1\r\nstranger\r\n", "232.1.1.1", port));
        QVERIFY(sendTo(source.get(), "fr 2\r\nsource\r\n", "232.1.1.1", port));
        QTRY_COMPARE(session.received(), 1);
        QCOMPARE(lastText(session), QStringLiteral("fr 2\r\nsource\r\n"));
        // The kernel refused it: the source filter never saw it.
        QCOMPARE(session.figures().rejected, 0);
    }
    // The hop limit set is the one the datagram carries (read here with IP_RECVTTL).
    {
        const int probe = ::socket(AF_INET, SOCK_DGRAM, 0);
        QVERIFY(probe >= 0);
        const int on = 1;
        QCOMPARE(::setsockopt(probe, IPPROTO_IP, IP_RECVTTL, &on, sizeof on), 0);
        sockaddr_in local{};
        local.sin_family = AF_INET;
        local.sin_port = htons(port);
        QCOMPARE(::bind(probe, reinterpret_cast<sockaddr *>(&local), sizeof local), 0);
        ip_mreqn membership{};
        membership.imr_multiaddr.s_addr = htonl(0xEF010204);
        membership.imr_ifindex = int(netInterfaceIndex("lo"));
        QCOMPARE(::setsockopt(probe, IPPROTO_IP, IP_ADD_MEMBERSHIP, &membership, sizeof membership), 0);
        Handle out = boundSender("127.0.0.1");
        for (int ttl : {1, 7}) {
            QVERIFY(udpSetMulticastSend(out.get(), ttl, netInterfaceIndex("lo"), true) == UDP_OK);
            QVERIFY(sendTo(out.get(), "fr 1\r\n", "239.1.2.4", port));
            char data[64];
            alignas(cmsghdr) char control[64];
            iovec part{data, sizeof data};
            msghdr message{};
            message.msg_iov = &part;
            message.msg_iovlen = 1;
            message.msg_control = control;
            message.msg_controllen = sizeof control;
            QVERIFY(::recvmsg(probe, &message, 0) > 0);
            int carried = -1;
            for (cmsghdr *c = CMSG_FIRSTHDR(&message); c; c = CMSG_NXTHDR(&message, c)) {
                if (c->cmsg_level == IPPROTO_IP && c->cmsg_type == IP_TTL)
                    std::memcpy(&carried, CMSG_DATA(c), sizeof carried);
            }
            QCOMPARE(carried, ttl);
        }
        ::close(probe);
    }
    // Loop off: the copy for this host's own listeners on the sending interface
    // stays away, while the datagram still leaves (kb hears it). lo would loop
    // it back whatever the option says, so this needs the veth pair.
    for (bool loop : {true, false}) {
        RecordingSession onKa, onKb;
        onKa.setReceiveOptions(options("ka", {"239.9.9.9"}, {}));
        onKb.setReceiveOptions(options("kb", {"239.9.9.9"}, {}));
        QVERIFY2(onKa.startPreview(port, &error) == RecordingSession::Start::Started, qPrintable(error));
        QVERIFY2(onKb.startPreview(port, &error) == RecordingSession::Start::Started, qPrintable(error));
        Handle out = boundSender("10.77.0.1");
        QVERIFY(out && udpSetMulticastSend(out.get(), 1, netInterfaceIndex("ka"), loop) == UDP_OK);
        QVERIFY(sendTo(out.get(), "fr 1\r\n", "239.9.9.9", port));
        QVERIFY(sendTo(out.get(), "fr 2\r\n", "239.9.9.9", port));
        QTRY_COMPARE(onKb.received(), 2);
        // The looped copies are queued within the send; their receiving thread may come later.
        if (loop)
            QTRY_COMPARE(onKa.received(), 2);
        else
            QVERIFY(!QTest::qWaitFor([&onKa] { return onKa.received() > 0; }, 300));
    }
}

void TestNetwork::resolve()
{
    // IPv4 first, IPv6 where a name has nothing else; unknown and empty names are no target.
    const auto text = [](const char *name) {
        NetAddress address;
        char out[NET_TEXT_SIZE] = {};
        return netResolve(name, &address) == NET_OK && netFormat(&address, out, sizeof out) == NET_OK
                   ? QString::fromLatin1(out)
                   : QStringLiteral("none");
    };
    QCOMPARE((QStringList{text("192.168.0.10"), text("255.255.255.255"), text("localhost"), text("::1"),
                          text("no-such-host.invalid"), text("")}),
             (QStringList{"192.168.0.10", "255.255.255.255", "127.0.0.1", "::1", "none", "none"}));
}

QTEST_GUILESS_MAIN(TestNetwork)
#include "tst_network.moc"
