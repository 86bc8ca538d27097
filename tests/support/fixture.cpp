#include "fixture.h"

#include <QCoreApplication>
#include <QDir>
#include <QDeadlineTimer>
#include <QFile>

#include <arpa/inet.h>
#include <atomic>
#include <cmath>
#include <csignal>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace Fixture {

bool writeSettings(const QString &settingsDir, const SettingsFile &settings)
{
    QList<std::pair<const char *, QString>> entries = {
        {"RECORD_PORT PORT_NR", settings.recordPort}, {"PLAY_HOST_1 HOST", settings.host1},
        {"PLAY_PORT_1 PORT_NR", settings.port1},      {"PLAY_HOST_2 HOST", settings.host2},
        {"PLAY_PORT_2 PORT_NR", settings.port2},      {"ACTIVE ACTIVE", settings.active},
        {"FREQUENCY FREQUENCY", settings.frequency},  {"LOOP LOOP", settings.loop},
        {"TIMESTAMP TIMESTAMP", settings.timestamp}};
    if (!settings.saveDir.isEmpty())
        entries.append({"SAVE_FILE_DIR SAVE_FILE_DIR", settings.saveDir});
    if (!settings.openDir.isEmpty())
        entries.append({"OPEN_FILE_DIR OPEN_FILE_DIR", settings.openDir});
    entries += settings.more;
    QString xml = QStringLiteral("<KORVEL_RECORDER>\n");
    for (const auto &[element, value] : entries)
        xml += QStringLiteral("    <%1=\"%2\"/>\n").arg(QLatin1String(element), value.toHtmlEscaped());
    QDir().mkpath(settingsDir + QLatin1String("/config"));
    return writeFile(settingsDir + QLatin1String("/config/current-settings.xml"),
                     (xml + QStringLiteral("</KORVEL_RECORDER>\n")).toUtf8());
}

uint16_t freePort()
{
    UdpSocket *socket = nullptr;
    udpOpen(&socket, 0, UDP_OPEN_ANY_PORT | UDP_OPEN_LOOPBACK);
    const uint16_t port = socket ? udpLocalPort(socket) : 0;
    udpClose(socket);
    return port;
}

QByteArray readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

bool writeFile(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(bytes) == bytes.size();
}

QString writeNewRecording(const QTemporaryDir &dir, const QByteArray &bytes)
{
    static std::atomic<int> written{0};
    const QString path = dir.filePath(QStringLiteral("rec%1.wly").arg(++written));
    return writeFile(path, bytes) ? path : QString();
}

bool sameStamp(double a, double b)
{
    return a == b || (std::isnan(a) && std::isnan(b));
}

bool breakSocket(uint16_t port)
{
    for (int fd = 3; fd < 1024; ++fd) {
        sockaddr_in local{};
        socklen_t size = sizeof local;
        int type = 0;
        socklen_t typeSize = sizeof type;
        if (getsockname(fd, reinterpret_cast<sockaddr *>(&local), &size) == 0 && local.sin_family == AF_INET
            && ntohs(local.sin_port) == port && getsockopt(fd, SOL_SOCKET, SO_TYPE, &type, &typeSize) == 0
            && type == SOCK_DGRAM) {
            const int null = open("/dev/null", O_RDONLY | O_CLOEXEC);
            const bool replaced = null >= 0 && dup2(null, fd) == fd;
            close(null);
            return replaced;
        }
    }
    return false;
}

FileSizeLimit::FileSizeLimit(rlim_t bytes)
{
    std::signal(SIGXFSZ, SIG_IGN);
    getrlimit(RLIMIT_FSIZE, &saved);
    rlimit limited = saved;
    limited.rlim_cur = bytes;
    setrlimit(RLIMIT_FSIZE, &limited);
}

FileSizeLimit::~FileSizeLimit()
{
    setrlimit(RLIMIT_FSIZE, &saved);
}

bool UdpPeer::send(const QByteArray &datagram, uint16_t port)
{
    return udpSend(socket, datagram.constData(), int32_t(datagram.size()), 0x7F000001, port, 1000000) == UDP_OK;
}

QList<QByteArray> UdpPeer::receive(int count, int timeoutMs)
{
    QList<QByteArray> received;
    QByteArray buffer(70000, '\0');
    QDeadlineTimer quiet(timeoutMs);
    while (socket && received.size() < count && !quiet.hasExpired()) {
        const int n = udpReceiveTimed(socket, buffer.data(), int32_t(buffer.size()), 1000, UDP_RECV_FULL_OK);
        if (n >= 0) {
            received.append(buffer.left(n));
            quiet.setRemainingTime(timeoutMs);
        }
        QCoreApplication::processEvents();
    }
    return received;
}

}
