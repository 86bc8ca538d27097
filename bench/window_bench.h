#ifndef WINDOW_BENCH_H
#define WINDOW_BENCH_H

// What the window benchmarks share: a private temporary directory, settings
// files, the traffic tools as child processes, modal dialogs answered through
// their widgets, and CPU clocks. Header-only: every bench_*.cpp is its own program.

#include "net/stopwatch.h"
#include "net/udp_socket.h"

#include <QAction>
#include <QApplication>
#include <QDialogButtonBox>
#include <QDir>
#include <QEventLoop>
#include <QFile>
#include <QFileDialog>
#include <QLineEdit>
#include <QMessageBox>
#include <QProcess>
#include <QPushButton>
#include <QStringList>
#include <QTimer>

#include <cstdio>
#include <cstdlib>
#include <ctime>
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

struct Settings {
    QString recordPort = QStringLiteral("5000");
    QString playPort = QStringLiteral("5001");
    QString frequency = QStringLiteral("60");
    QString loop = QStringLiteral("true");
    QString timestamp = QStringLiteral("false");
};

inline bool writeSettings(const QString &settingsDir, const Settings &settings)
{
    if (!QDir().mkpath(settingsDir + QLatin1String("/config")))
        return false;
    const QString xml = QStringLiteral("<KORVEL_RECORDER>\n"
                                       "    <RECORD_PORT PORT_NR=\"%1\"/>\n"
                                       "    <PLAY_HOST_1 HOST=\"127.0.0.1\"/>\n"
                                       "    <PLAY_PORT_1 PORT_NR=\"%2\"/>\n"
                                       "    <PLAY_HOST_2 HOST=\"127.0.0.1\"/>\n"
                                       "    <PLAY_PORT_2 PORT_NR=\"%2\"/>\n"
                                       "    <ACTIVE ACTIVE=\"false\"/>\n"
                                       "    <FREQUENCY FREQUENCY=\"%3\"/>\n"
                                       "    <LOOP LOOP=\"%4\"/>\n"
                                       "    <TIMESTAMP TIMESTAMP=\"%5\"/>\n"
                                       "    <SAVE_FILE_DIR SAVE_FILE_DIR=\"%6\"/>\n"
                                       "    <OPEN_FILE_DIR OPEN_FILE_DIR=\"%6\"/>\n"
                                       "</KORVEL_RECORDER>\n")
                            .arg(settings.recordPort, settings.playPort, settings.frequency, settings.loop,
                                 settings.timestamp, settingsDir.toHtmlEscaped());
    QFile file(settingsDir + QLatin1String("/config/current-settings.xml"));
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(xml.toUtf8()) > 0;
}

// A UDP port on 127.0.0.1 that nobody held a moment ago.
inline uint16_t freePort()
{
    UdpSocket *socket = nullptr;
    if (udpOpen(&socket, 0, UDP_OPEN_ANY_PORT | UDP_OPEN_LOOPBACK) != UDP_OK)
        return 0;
    const uint16_t port = udpLocalPort(socket);
    udpClose(socket);
    return port;
}

// Runs the event loop for `ms` milliseconds.
inline void pump(int ms)
{
    QEventLoop loop;
    QTimer::singleShot(ms, Qt::PreciseTimer, &loop, &QEventLoop::quit);
    loop.exec();
}

// Triggers the named action only when it is enabled, as a user could.
inline bool trigger(QWidget *window, const char *name)
{
    auto *action = window->findChild<QAction *>(QLatin1String(name));
    if (!action || !action->isEnabled()) {
        std::printf("!! action %s is %s\n", name, action ? "disabled" : "missing");
        return false;
    }
    action->trigger();
    return true;
}

inline QString toolPath(const QString &given, const char *name)
{
    if (!given.isEmpty())
        return given;
    return QCoreApplication::applicationDirPath() + QLatin1String("/../tools/") + QLatin1String(name);
}

// Keeps an answerer armed while it lives, so none outlives the step that armed it.
class Armed
{
public:
    Armed() = default;
    Armed(Armed &&) = default;
    ~Armed()
    {
        if (alive)
            *alive = false;
    }

    std::shared_ptr<bool> alive = std::make_shared<bool>(true);
};

// Polls for the active modal widget while armed; `handle` returns true once it is done.
template <typename Handler>
Armed answerModal(Handler handle)
{
    Armed armed;
    auto *timer = new QTimer;
    timer->setInterval(10);
    QObject::connect(timer, &QTimer::timeout, timer, [timer, handle, alive = armed.alive] {
        QWidget *modal = QApplication::activeModalWidget();
        if (!*alive || (modal && modal->isVisible() && handle(modal))) {
            timer->stop();
            timer->deleteLater();
        }
    });
    timer->start();
    return armed;
}

// Types `path` into the next file dialog's name field and accepts it; an empty path cancels.
inline Armed answerFileDialog(const QString &path)
{
    return answerModal([path](QWidget *modal) {
        auto *dialog = qobject_cast<QFileDialog *>(modal);
        if (!dialog)
            return false;
        auto *edit = dialog->findChild<QLineEdit *>(QStringLiteral("fileNameEdit"));
        auto *buttons = dialog->findChild<QDialogButtonBox *>(QStringLiteral("buttonBox"));
        QPushButton *accept = buttons ? buttons->button(QDialogButtonBox::Save) : nullptr;
        if (buttons && !accept)
            accept = buttons->button(QDialogButtonBox::Open);
        if (path.isEmpty() || !edit || !accept) {
            dialog->reject();
            return true;
        }
        edit->setText(path);
        accept->click();
        return true;
    });
}

// Presses OK on every message box while armed, printing what each said.
inline Armed answerBoxes()
{
    return answerModal([](QWidget *modal) {
        if (auto *box = qobject_cast<QMessageBox *>(modal)) {
            std::printf("   box \"%s\": %s\n", qPrintable(box->windowTitle()),
                        qPrintable(box->text().replace(QLatin1Char('\n'), QLatin1Char(' '))));
            box->accept();
        }
        return false;
    });
}

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

// CPU time in microseconds, user plus system.
inline double cpuMicroseconds(int who)
{
    rusage usage;
    if (getrusage(who, &usage) != 0)
        return 0;
    return double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) * 1e6
           + double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec);
}

inline double processCpu() { return cpuMicroseconds(RUSAGE_SELF); }

// The calling thread's CPU time in microseconds; finer than getrusage's per-thread figure.
inline double threadCpu()
{
    timespec now;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return double(now.tv_sec) * 1e6 + double(now.tv_nsec) / 1e3;
}

// The load the figures were taken under.
inline void printLoad(const char *when)
{
    double load[3] = {0, 0, 0};
    if (getloadavg(load, 3) == 3)
        std::printf("load average %s: %.2f %.2f %.2f (2 cores)\n", when, load[0], load[1], load[2]);
}

}

#endif
