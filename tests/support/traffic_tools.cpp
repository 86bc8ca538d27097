#include "traffic_tools.h"

#include <QCoreApplication>
#include <QFile>
#include <QProcess>
#include <QThread>

namespace TrafficTools {

QString path(const char *name)
{
    const QString folder = qEnvironmentVariable("KORVEL_TOOLS_DIR");
    return (folder.isEmpty() ? QCoreApplication::applicationDirPath() + QLatin1String("/../tools") : folder)
           + QLatin1Char('/') + QLatin1String(name);
}

bool startSender(QProcess &sender, uint16_t port, const QStringList &options, const QString &tool)
{
    sender.start(tool, QStringList{QStringLiteral("--port"), QString::number(port)} + options);
    return sender.waitForStarted(5000);
}

bool runSender(uint16_t port, const QStringList &options, int timeoutMs)
{
    QProcess sender;
    if (!startSender(sender, port, options))
        return false;
    if (!sender.waitForFinished(timeoutMs)) {
        sender.kill();
        sender.waitForFinished();
        return false;
    }
    return sender.exitStatus() == QProcess::NormalExit && sender.exitCode() == 0;
}

bool waitUntilBound(uint16_t port)
{
    const QByteArray needle = QByteArray(":") + QByteArray::number(port, 16).toUpper().rightJustified(4, '0') + ' ';
    for (int i = 0; i < 500; ++i) {
        QFile table(QStringLiteral("/proc/net/udp"));
        if (table.open(QIODevice::ReadOnly) && table.readAll().contains(needle))
            return true;
        QThread::msleep(10);
    }
    return false;
}

}
