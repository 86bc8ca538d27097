#include "traffic_tools.h"

#include <QCoreApplication>
#include <QProcess>

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

}
