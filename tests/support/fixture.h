#ifndef FIXTURE_H
#define FIXTURE_H

#include "platform/udp_socket.h"

#include <QByteArray>
#include <QList>
#include <QString>
#include <QTemporaryDir>

#include <cstdint>
#include <sys/resource.h>

// What the tests share: settings files, files, a full-disk stand-in and real UDP
// peers on 127.0.0.1.
namespace Fixture {

struct SettingsFile {
    QString recordPort = QStringLiteral("5000");
    QString host1 = QStringLiteral("127.0.0.1");
    QString port1 = QStringLiteral("5001");
    QString host2 = QStringLiteral("127.0.0.1");
    QString port2 = QStringLiteral("5001");
    QString active = QStringLiteral("false");
    QString frequency = QStringLiteral("60");
    QString loop = QStringLiteral("false");
    QString timestamp = QStringLiteral("false");
    QString saveDir;
    QString openDir;
    // Further elements, "ELEMENT ATTRIBUTE" and value, written after the ones above.
    QList<std::pair<const char *, QString>> more;
};

// Writes settingsDir + "/config/current-settings.xml"; false when it could not.
bool writeSettings(const QString &settingsDir, const SettingsFile &settings);

// A UDP port on 127.0.0.1 that nobody held a moment ago.
uint16_t freePort();

QByteArray readFile(const QString &path);
bool writeFile(const QString &path, const QByteArray &bytes);
// Writes `bytes` into `dir` under a recording's name not used before in this
// process; empty when it could not.
QString writeNewRecording(const QTemporaryDir &dir, const QByteArray &bytes);
// Two frames' stamps are the same: equal, or both absent (NaN).
bool sameStamp(double a, double b);

// Replaces the descriptor of this process's UDP socket bound to `port` with
// /dev/null, so that the next receive on it fails the way a broken socket does,
// without closing a descriptor its owner will close again; false when none was found.
bool breakSocket(uint16_t port);

// A limit on the size of every file the process writes while it lives: the
// closest thing to a full disk a test can make, also for root.
class FileSizeLimit
{
public:
    explicit FileSizeLimit(rlim_t bytes);
    ~FileSizeLimit();
    FileSizeLimit(const FileSizeLimit &) = delete;
    FileSizeLimit &operator=(const FileSizeLimit &) = delete;

private:
    rlimit saved{};
};

// Sends from an unbound socket, or receives on a bound one, keeping the GUI's event loop running while it waits.
class UdpPeer
{
public:
    // Port 0 makes a sender; any other a receiver bound to 127.0.0.1:port.
    explicit UdpPeer(uint16_t port = 0) { udpOpen(&socket, port, port ? UDP_OPEN_LOOPBACK : 0); }
    ~UdpPeer() { udpClose(socket); }
    UdpPeer(const UdpPeer &) = delete;
    UdpPeer &operator=(const UdpPeer &) = delete;

    bool send(const QByteArray &datagram, uint16_t port);
    // Receives until `count` datagrams arrived or `timeoutMs` passed without one.
    QList<QByteArray> receive(int count, int timeoutMs = 3000);

private:
    UdpSocket *socket = nullptr;
};

}

#endif
