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
// Starts the program, failing the calling test when it does not start.
void startOrFail(QProcess &process, const QStringList &arguments);

// A frame already in the form playback sends it, so conversions may keep it byte for byte.
QByteArray frame(int number, double stamp, const QByteArray &body = "6d 1 0.000 1.0 2.0 3.0");
// Frames 1 to 9 with 4, 7 and 8 lost, 10 ms apart.
QByteArray cleanRecording();

}

#endif
