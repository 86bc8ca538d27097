#include "cli/command_line.h"

#include "cli/command_line_support.h"

#include <QCoreApplication>

#include <cstdio>

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
                         [--realtime] [--max-late-us N] [--max-rate-error-ppm N]
                         [--drop FRAMES] [--duplicate FRAMES] [--reorder FRAMES]
                         [--delay MEAN_MS[:JITTER_MS]] [--seed N]
                         [--lockstep [--ack-timeout MS] | --topspeed]
    korvel-recorder info FILE [--json]
    korvel-recorder convert INPUT OUTPUT [--port PORT] [--dest HOST:PORT] [--rate HZ]
    korvel-recorder cut INPUT OUTPUT [--from FRAME] [--until FRAME]
                        [--from-marker LABEL] [--until-marker LABEL] [--json]
    korvel-recorder serve [--listen ADDRESS:PORT] [--token-file FILE] [--allow-origin ORIGIN ...]
                          [--port PORT [--pre SECONDS]] [--dest HOST:PORT ...]
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
    cut      writes a range of a recording, by frames or markers, as a new one.
    serve    runs the engines without a display for the remote control.
    ctl      sends one remote-control request, or prints notifications.

EXIT STATUS
    0   success
    1   failure at run time (file, network, a frame not sent); one line on
        standard error names the file, host or port at fault
    2   usage error
    3   play ran, but outside its --max-late-us or --max-rate-error-ppm limit;
        one line on standard error names the latest frame and its lateness
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
    if (name == QLatin1String("cut"))
        return cut;
    if (name == QLatin1String("serve"))
        return serve;
    if (name == QLatin1String("ctl"))
        return ctl;
    return nullptr;
}

bool isOneOf(const QByteArray &argument, std::initializer_list<const char *> names)
{
    for (const char *name : names) {
        if (argument == name)
            return true;
    }
    return false;
}

// The toolkit's own options, which the window's application object takes:
// whether `argument` is one, and whether the next argument is its value.
bool isToolkitOption(QByteArray argument, bool &takesValue)
{
    // The toolkit takes "--style" as "-style", and "-style=fusion" as a whole.
    if (argument.startsWith("--"))
        argument.remove(0, 1);
    const qsizetype equals = argument.indexOf('=');
    if (equals > 0)
        argument.truncate(equals);
    const bool valued = isOneOf(argument, {"-platform", "-platformpluginpath", "-platformtheme", "-plugin",
                                           "-qwindowgeometry", "-qwindowicon", "-qwindowtitle", "-session", "-display",
                                           "-geometry", "-title", "-name", "-style", "-stylesheet", "-qmljsdebugger"});
    takesValue = valued && equals < 0;
    return valued || isOneOf(argument, {"-reverse", "-widgetcount", "-nograb", "-dograb"});
}

}

bool wanted(int argc, char *argv[])
{
    for (int i = 1; i < argc; ++i) {
        bool takesValue = false;
        if (!isToolkitOption(QByteArray(argv[i]), takesValue))
            return true;
        i += takesValue ? 1 : 0;
    }
    return false;
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
    const bool help = first == QLatin1String("--help") || first == QLatin1String("-h");
    if ((help || first == QLatin1String("--version") || first == QLatin1String("-v")) && arguments.size() > 1)
        return fail(ExitUsage, QStringLiteral("%1 takes no arguments, \"%2\" is extra").arg(first, arguments.at(1)));
    if (help) {
        std::fputs(manual, stdout);
        return ExitSuccess;
    }
    if (first == QLatin1String("--version") || first == QLatin1String("-v")) {
        std::printf("korvel-recorder %s\n", qPrintable(QCoreApplication::applicationVersion()));
        return ExitSuccess;
    }
    if (first.startsWith(QLatin1Char('-')))
        return fail(ExitUsage, QStringLiteral("unknown option \"%1\" (see --help)").arg(first));
    const Command command = commandNamed(first);
    if (!command)
        return fail(ExitUsage, QStringLiteral("unknown command \"%1\" (see --help)").arg(first));
    return command(arguments);
}

}
