#include "cli/command_line.h"

#include "cli/command_line_support.h"

#include <QCoreApplication>

#include <cstdio>
#include <cstring>

namespace CommandLine {

namespace {

const char manual[] = R"(NAME
    korvel-recorder - record and play streams of numbered tracking frames

SYNOPSIS
    korvel-recorder
    korvel-recorder record --port PORT --output FILE [--count N] [--duration SECONDS] [--json]
    korvel-recorder play FILE --dest HOST:PORT [--dest HOST:PORT]
                         [--rate HZ | --pace first-two | --pace every] [--speed X]
                         [--loop [COUNT]] [--from FRAME] [--until FRAME] [--renumber] [--json]
    korvel-recorder info FILE [--json]
    korvel-recorder convert INPUT OUTPUT [--port PORT] [--dest HOST:PORT] [--rate HZ]
    korvel-recorder serve [--listen ADDRESS:PORT] [--token-file FILE] [--allow-origin ORIGIN ...]
                          [--port PORT] [--dest HOST:PORT ...]
                          [--rate HZ | --pace first-two | --pace every] [--loop]
    korvel-recorder ctl [--url ws://HOST:PORT] [--token-file FILE] METHOD [NAME=VALUE ...]
    korvel-recorder ctl [--url ws://HOST:PORT] [--token-file FILE] watch [EVENT ...]
    korvel-recorder --help | --version
    korvel-recorder COMMAND --help

DESCRIPTION
    Without arguments the program opens its window. With a command it runs
    without a display and without reading or writing the window's settings.

    record   writes the UDP datagrams arriving on a port to a recording.
    play     sends a recording's frames as UDP datagrams, paced like the window.
    info     prints frames, lost frames, duration, rate and size of a recording.
    convert  converts a recording to pcap, or the UDP payloads of a pcap or
             pcapng capture to a recording.
    serve    runs the engines without a display for the remote control.
    ctl      sends one remote-control request, or prints notifications.

EXIT STATUS
    0   success
    1   failure at run time (file, network, a frame not sent); one line on
        standard error names the file, host or port at fault
    2   usage error
)";

using Command = int (*)(const QStringList &);

Command commandNamed(const QString &name)
{
    if (name == QLatin1String("record"))
        return record;
    if (name == QLatin1String("play"))
        return play;
    if (name == QLatin1String("info"))
        return info;
    if (name == QLatin1String("convert"))
        return convert;
    if (name == QLatin1String("serve"))
        return serve;
    if (name == QLatin1String("ctl"))
        return ctl;
    return nullptr;
}

bool isOneOf(const char *argument, std::initializer_list<const char *> names)
{
    for (const char *name : names) {
        if (std::strcmp(argument, name) == 0)
            return true;
    }
    return false;
}

}

bool wanted(int argc, char *argv[])
{
    if (argc < 2)
        return false;
    const char *first = argv[1];
    return first[0] != '-' || isOneOf(first, {"--help", "-h", "--version", "-v"});
}

int run(int argc, char *argv[])
{
    QCoreApplication application(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("korvel-recorder"));
    QCoreApplication::setApplicationVersion(QStringLiteral("%1.%2.%3")
                                                .arg(KORVEL_VERSION_MAJOR)
                                                .arg(KORVEL_VERSION_MINOR)
                                                .arg(KORVEL_VERSION_PATCH));
    const QStringList arguments = QCoreApplication::arguments().mid(1);
    const QString first = arguments.value(0);
    if (first == QLatin1String("--help") || first == QLatin1String("-h")) {
        std::fputs(manual, stdout);
        return arguments.size() == 1 ? ExitSuccess : fail(ExitUsage, QStringLiteral("--help takes no arguments"));
    }
    if (first == QLatin1String("--version") || first == QLatin1String("-v")) {
        std::printf("korvel-recorder %s\n", qPrintable(QCoreApplication::applicationVersion()));
        return arguments.size() == 1 ? ExitSuccess
                                     : fail(ExitUsage, QStringLiteral("--version takes no arguments"));
    }
    const Command command = commandNamed(first);
    if (!command)
        return fail(ExitUsage, QStringLiteral("unknown command \"%1\" (see --help)").arg(first));
    return command(arguments);
}

}
