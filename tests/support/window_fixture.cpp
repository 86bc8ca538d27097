#include "window_fixture.h"

#include "net/udp_socket.h"

#include <QAction>
#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QWidget>

namespace Fixture {

bool writeSettings(const QString &settingsDir, const SettingsFile &settings)
{
    QDir().mkpath(settingsDir + QLatin1String("/config"));
    auto attribute = [](const char *element, const char *name, const QString &value) {
        return QStringLiteral("    <%1 %2=\"%3\"/>\n")
            .arg(QLatin1String(element), QLatin1String(name), value.toHtmlEscaped());
    };
    QString xml = QStringLiteral("<KORVEL_RECORDER>\n");
    xml += attribute("RECORD_PORT", "PORT_NR", settings.recordPort);
    xml += attribute("PLAY_HOST_1", "HOST", settings.host1);
    xml += attribute("PLAY_PORT_1", "PORT_NR", settings.port1);
    xml += attribute("PLAY_HOST_2", "HOST", settings.host2);
    xml += attribute("PLAY_PORT_2", "PORT_NR", settings.port2);
    xml += attribute("ACTIVE", "ACTIVE", settings.active);
    xml += attribute("FREQUENCY", "FREQUENCY", settings.frequency);
    xml += attribute("LOOP", "LOOP", settings.loop);
    xml += attribute("TIMESTAMP", "TIMESTAMP", settings.timestamp);
    if (!settings.saveDir.isEmpty())
        xml += attribute("SAVE_FILE_DIR", "SAVE_FILE_DIR", settings.saveDir);
    if (!settings.openDir.isEmpty())
        xml += attribute("OPEN_FILE_DIR", "OPEN_FILE_DIR", settings.openDir);
    xml += QStringLiteral("</KORVEL_RECORDER>\n");
    return writeFile(settingsDir + QLatin1String("/config/current-settings.xml"), xml.toUtf8());
}

uint16_t freePort()
{
    UdpSocket *socket = nullptr;
    if (udpOpen(&socket, 0, UDP_OPEN_ANY_PORT | UDP_OPEN_LOOPBACK) != UDP_OK)
        return 0;
    const uint16_t port = udpLocalPort(socket);
    udpClose(socket);
    return port;
}

QAction *action(QWidget *window, const char *name)
{
    return window->findChild<QAction *>(QLatin1String(name));
}

bool trigger(QWidget *window, const char *name)
{
    QAction *found = action(window, name);
    if (!found || !found->isEnabled())
        return false;
    found->trigger();
    return true;
}

QByteArray readFile(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return QByteArray();
    return file.readAll();
}

bool writeFile(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(bytes) == bytes.size();
}

UdpPeer::UdpPeer()
{
    if (udpOpen(&socket, 0, 0) != UDP_OK)
        socket = nullptr;
}

UdpPeer::UdpPeer(uint16_t port)
{
    if (udpOpen(&socket, port, UDP_OPEN_LOOPBACK) != UDP_OK)
        socket = nullptr;
}

UdpPeer::~UdpPeer()
{
    if (socket)
        udpClose(socket);
}

bool UdpPeer::send(const QByteArray &datagram, uint16_t port)
{
    return socket && udpSend(socket, datagram.constData(), int32_t(datagram.size()), 0x7F000001, port, 1000000) == UDP_OK;
}

QList<QByteArray> UdpPeer::receive(int count, int timeoutMs)
{
    QList<QByteArray> received;
    if (!socket)
        return received;
    QByteArray buffer(70000, '\0');
    QElapsedTimer quiet;
    quiet.start();
    while (received.size() < count && quiet.elapsed() < timeoutMs) {
        const int n = udpReceiveTimed(socket, buffer.data(), int32_t(buffer.size()), 1000, UDP_RECV_FULL_OK);
        if (n >= 0) {
            received.append(buffer.left(n));
            quiet.restart();
        }
        QCoreApplication::processEvents();
    }
    return received;
}

}
