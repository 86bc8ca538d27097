#include "support/program_run.h"

#include <QJsonDocument>
#include <QProcess>
#include <QProcessEnvironment>

namespace ProgramRun {

QProcessEnvironment headlessEnvironment()
{
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.remove(QStringLiteral("DISPLAY"));
    environment.remove(QStringLiteral("WAYLAND_DISPLAY"));
    environment.remove(QStringLiteral("QT_QPA_PLATFORM"));
    return environment;
}

QString binary()
{
    return QStringLiteral(KORVEL_BINARY);
}

bool start(QProcess &process, const QStringList &arguments)
{
    process.setProcessEnvironment(headlessEnvironment());
    process.start(binary(), arguments);
    return process.waitForStarted();
}

Run finish(QProcess &process, int timeoutMs)
{
    Run run;
    if (process.state() != QProcess::NotRunning && !process.waitForFinished(timeoutMs)) {
        process.kill();
        process.waitForFinished();
        return run;
    }
    run.exitCode = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    run.out = process.readAllStandardOutput();
    run.err = process.readAllStandardError();
    return run;
}

Run run(const QStringList &arguments)
{
    QProcess process;
    if (!start(process, arguments))
        return {};
    return finish(process);
}

QJsonObject jsonOf(const Run &run)
{
    return QJsonDocument::fromJson(run.out.trimmed().split('\n').constLast()).object();
}

}
