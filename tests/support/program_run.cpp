#include "support/program_run.h"

#include <QJsonDocument>
#include <QProcess>
#include <QProcessEnvironment>
#include <QTest>

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

void startOrFail(QProcess &process, const QStringList &arguments)
{
    QVERIFY2(start(process, arguments), qPrintable(process.errorString()));
}

QByteArray frame(int number, double stamp, const QByteArray &body)
{
    return "fr " + QByteArray::number(number) + "\r\nts " + QByteArray::number(stamp, 'f', 6) + "\r\n" + body
           + "\r\n";
}

QByteArray cleanRecording()
{
    return frame(1, 100.0) + frame(2, 100.01) + frame(3, 100.02) + frame(5, 100.04) + frame(6, 100.05)
           + frame(9, 100.08);
}

}
