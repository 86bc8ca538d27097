#ifndef WINDOW_BENCH_H
#define WINDOW_BENCH_H

// What the window benchmarks share beyond the tests' fixture: a private temporary
// directory, the traffic tools as child processes, message boxes answered for a
// whole run, CPU clocks and the frame of main(). Header-only: every bench_*.cpp is
// its own program.

#include "bench/bench_measure.h"
#include "platform/stopwatch.h"
#include "support/modal_answerer.h"
#include "support/window_fixture.h"

#include <QAction>
#include <QApplication>
#include <QCommandLineParser>
#include <QDir>
#include <QFile>
#include <QEventLoop>
#include <QProcess>
#include <QStringList>
#include <QTimer>

#include <algorithm>
#include <atomic>
#include <thread>
#include <vector>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <limits>
#include <memory>
#include <sys/resource.h>
#include <unistd.h>

namespace Bench {

// The window keeps its temporary recording under a fixed name in the temporary
// directory; other programs on the machine must not share it.
inline QString usePrivateTempDir()
{
    char pattern[] = "/tmp/korvel-bench-XXXXXX";
    const char *made = mkdtemp(pattern);
    if (!made)
        return QString();
    setenv("TMPDIR", made, 1);
    return QString::fromLocal8Bit(made);
}

inline void removeTree(const QString &path)
{
    if (!path.isEmpty())
        QDir(path).removeRecursively();
}

// Settings for a window kept in `dir`: a record port of its own, loop on, files in `dir`.
inline Fixture::SettingsFile settingsIn(const QString &dir)
{
    Fixture::SettingsFile settings;
    settings.recordPort = QString::number(Fixture::freePort());
    settings.loop = QStringLiteral("true");
    settings.saveDir = dir;
    settings.openDir = dir;
    return settings;
}

// Runs the event loop for `ms` milliseconds.
inline void pump(int ms)
{
    QEventLoop loop;
    QTimer::singleShot(ms, Qt::PreciseTimer, &loop, &QEventLoop::quit);
    loop.exec();
}

// Fixture::trigger, saying why an action could not be triggered.
inline bool trigger(QWidget *window, const char *name)
{
    if (Fixture::trigger(window, name))
        return true;
    const bool found = window->findChild<QAction *>(QLatin1String(name)) != nullptr;
    std::printf("!! action %s is %s\n", name, found ? "disabled" : "missing");
    return false;
}

// A recording of `frames` frames at 5 kHz, each a line of a 6D body.
inline bool writeRecording(const QString &path, int frames)
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return false;
    QByteArray text;
    for (int n = 1; n <= frames; ++n) {
        text += "fr " + QByteArray::number(n) + "\r\nts " + QByteArray::number(1000.0 + n * 0.0002, 'f', 6)
                + "\r\n6d 1 0.000 -210.071 -967.559 1679.862 0.332723 -0.756954 0.354574\r\n";
        if (text.size() > (1 << 20)) {
            file.write(text);
            text.clear();
        }
    }
    return file.write(text) == text.size() && file.flush();
}

constexpr int PostEveryMs = 5;

// Posts from another thread every few milliseconds and collects, on the window's
// thread, how long each post waited, until `done` says so. Sorted, in microseconds.
template<typename Done>
inline std::vector<double> postedEventWaitsUntil(QObject *window, Done done)
{
    std::vector<double> waits;
    std::atomic<bool> running{true};
    std::thread poster([&] {
        while (running) {
            const uint64_t posted = Stopwatch::microseconds();
            QMetaObject::invokeMethod(
                window, [&waits, posted] { waits.push_back(double(Stopwatch::microseconds() - posted)); },
                Qt::QueuedConnection);
            std::this_thread::sleep_for(std::chrono::milliseconds(PostEveryMs));
        }
    });
    while (!done())
        pump(10);
    running = false;
    poster.join();
    pump(50);
    std::sort(waits.begin(), waits.end());
    return waits;
}

inline std::vector<double> postedEventWaits(QObject *window, int durationMs)
{
    const uint64_t end = Stopwatch::microseconds() + uint64_t(durationMs) * 1000;
    return postedEventWaitsUntil(window, [end] { return Stopwatch::microseconds() >= end; });
}

inline QString toolPath(const QString &given, const char *name)
{
    if (!given.isEmpty())
        return given;
    return QCoreApplication::applicationDirPath() + QLatin1String("/../tools/") + QLatin1String(name);
}

// Presses OK on every message box while it lives, printing what each said. Every
// answerer armed meanwhile ends with it, so none outlives the window it was armed for.
class Answerers
{
public:
    Answerers() = default;
    Answerers(const Answerers &) = delete;
    Answerers &operator=(const Answerers &) = delete;
    ~Answerers() { Modal::disarmAll(); }

private:
    std::shared_ptr<QList<Modal::Box>> boxes =
        Modal::answerEveryBox(std::numeric_limits<int>::max(), [](const Modal::Box &box) {
            std::printf("   box \"%s\": %s\n", qPrintable(box.title),
                        qPrintable(QString(box.text).replace(QLatin1Char('\n'), QLatin1Char(' '))));
        });
};

// A child process whose standard output is collected while the event loop runs.
class Tool
{
public:
    bool start(const QString &program, const QStringList &arguments)
    {
        process.setProgram(program);
        process.setArguments(arguments);
        process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        QObject::connect(&process, &QProcess::readyReadStandardOutput, &process,
                         [this] { output += process.readAllStandardOutput(); });
        process.start();
        if (!process.waitForStarted(5000)) {
            std::printf("!! cannot start %s\n", qPrintable(program));
            return false;
        }
        return true;
    }

    // Runs the event loop until the process ended or `timeoutMs` passed.
    bool waitFinished(int timeoutMs)
    {
        if (process.state() != QProcess::NotRunning) {
            QEventLoop loop;
            QObject::connect(&process, &QProcess::finished, &loop, &QEventLoop::quit);
            QTimer::singleShot(timeoutMs, &loop, &QEventLoop::quit);
            loop.exec();
        }
        output += process.readAllStandardOutput();
        if (process.state() != QProcess::NotRunning) {
            process.kill();
            process.waitForFinished(2000);
            return false;
        }
        return process.exitStatus() == QProcess::NormalExit;
    }

    // Runs the event loop until a line starting with `prefix` appeared; returns the line.
    QByteArray waitForLine(const QByteArray &prefix, int timeoutMs)
    {
        const uint32_t started = Stopwatch::milliseconds();
        while (Stopwatch::elapsed(Stopwatch::milliseconds(), started) < uint32_t(timeoutMs)) {
            const QByteArray found = line(prefix);
            if (!found.isEmpty())
                return found;
            pump(5);
        }
        return QByteArray();
    }

    QByteArray line(const QByteArray &prefix) const
    {
        for (const QByteArray &each : output.split('\n')) {
            if (each.startsWith(prefix))
                return each;
        }
        return QByteArray();
    }

    // The number after `key=` in the output, or -1.
    double value(const QByteArray &key) const
    {
        const QByteArray marker = key + '=';
        for (const QByteArray &each : output.split('\n')) {
            for (const QByteArray &field : each.split(' ')) {
                if (field.startsWith(marker))
                    return field.mid(marker.size()).toDouble();
            }
        }
        return -1;
    }

    int exitCode() const { return process.exitCode(); }
    const QByteArray &text() const { return output; }

private:
    QProcess process;
    QByteArray output;
};

// What a window benchmark's main() does around its runs: offscreen unless told
// otherwise, a private temporary directory (removed at the end), the application
// and its parsed command line.
class Session
{
public:
    Session(int &argc, char **argv, const QString &description, const QList<QCommandLineOption> &options)
        : workDir(prepare()), application(argc, argv)
    {
        parser.setApplicationDescription(description);
        parser.addHelpOption();
        parser.addOptions(options);
        parser.process(application);
    }
    Session(const Session &) = delete;
    Session &operator=(const Session &) = delete;
    ~Session() { removeTree(workDir); }

    // --sender, which both window benchmarks take.
    static QCommandLineOption senderOption()
    {
        return {QStringLiteral("sender"), QStringLiteral("Path of korvel-send."), QStringLiteral("PATH")};
    }

    QString sender() const { return toolPath(parser.value(QStringLiteral("sender")), "korvel-send"); }

    // The option's value as a number, or `fallback` when it is not given.
    double number(const QString &name, double fallback) const
    {
        return parser.isSet(name) ? parser.value(name).toDouble() : fallback;
    }

    // Prints the load at the end and returns the exit status for `missed` goals.
    int finish(int missed) const
    {
        printLoad("at end");
        return missed == 0 ? 0 : 2;
    }

    const QString workDir;
    QApplication application;
    QCommandLineParser parser;

private:
    // Runs before the application is built, which reads both variables.
    static QString prepare()
    {
        if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
            qputenv("QT_QPA_PLATFORM", "offscreen");
        return usePrivateTempDir();
    }
};

}

#endif
