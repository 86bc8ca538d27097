#ifndef PROGRAM_RUN_H
#define PROGRAM_RUN_H

#include <QByteArray>
#include <QJsonObject>
#include <QStringList>

class QProcess;
class QProcessEnvironment;

// The built program run as a script would run it: without a display, its output collected.
namespace ProgramRun {

struct Run {
    int exitCode = -1; // -1 when it crashed or did not end in time
    QByteArray out;
    QByteArray err;
};

// The program under test.
QString binary();
// This process's environment without any display: a command must not need one.
QProcessEnvironment headlessEnvironment();
// Starts the program with `arguments`; false when it did not start.
bool start(QProcess &process, const QStringList &arguments);
Run finish(QProcess &process, int timeoutMs = 30000);
Run run(const QStringList &arguments);
// The last line of standard output as a JSON object.
QJsonObject jsonOf(const Run &run);

}

#endif
