// korvel-recorder serve: the engines without a display, driven by the remote control.

#include "cli/command_line.h"
#include "cli/command_line_support.h"
#include "platform/console.h"
#include "record/recording_session.h"
#include "remote/engine_target.h"
#include "remote/remote_server.h"
#include "remote/remote_token.h"
#include "settings/settings_store.h"

#include <QCoreApplication>
#include <QSocketNotifier>

#include <cstdio>

namespace CommandLine {

namespace {

const char manual[] = R"(NAME
    korvel-recorder serve - run the engines for the remote control, without a display

SYNOPSIS
    korvel-recorder serve [--listen ADDRESS:PORT] [--token-file FILE] [--allow-origin ORIGIN ...]
                          [--port PORT [--pre SECONDS]] [--dest HOST:PORT ...]
                          [--rate HZ | --pace first-two | --pace every] [--loop]

DESCRIPTION
    Listens for remote-control clients (WebSocket, JSON-RPC 2.0) and records,
    previews and plays as they ask, as the window would. Prints one line with
    the URL it listens on and the token file's path, never the token.

    Every client proves the token: "Authorization: Bearer TOKEN" in the
    handshake, or an "authenticate" request with {"token": TOKEN} as its first
    message within 5 s. A handshake with an Origin header other than the
    server's own, or one given by --allow-origin, is refused.

    With --pre a preview keeps the datagrams of the last SECONDS in memory (at
    most 512 MiB, the oldest going first), as the window's "keep the last N
    seconds while previewing": "record" during it begins with them, and
    "record" with {"pre_seconds": N} with those of at most the last N seconds.

    SIGINT (Ctrl+C) or SIGTERM stops; an unsaved recording is kept as the
    temporary recording, offered by the window at its next start.

OPTIONS
    --listen ADDRESS:PORT   where to listen (default 127.0.0.1:5090)
    --token-file FILE       the token (64 hex digits), created with mode 0600 when
                            missing (default: remote-token in the settings folder)
    --allow-origin ORIGIN   also accept handshakes from this Origin
    --port PORT             port to record and preview on, 1 to 65535
    --pre SECONDS           while previewing keep the last SECONDS (0 to 600;
                            0, the default, keeps none)
    --dest HOST:PORT        a playback destination; give it twice for two
    --rate HZ               play at a fixed rate
    --pace first-two        the period of the first two "ts" lines (the default)
    --pace every            follow every "ts" line
    --loop                  play the recording over and over

EXIT STATUS
    0 stopped by a signal, 1 the server cannot listen or the token cannot be
    read or made, 2 usage error.
)";

bool splitListen(const QString &text, RemoteServer::Options &options)
{
    const qsizetype colon = text.lastIndexOf(QLatin1Char(':'));
    bool ok = false;
    const uint port = text.mid(colon + 1).toUInt(&ok);
    QString host = text.left(qMax<qsizetype>(colon, 0));
    if (host.startsWith(QLatin1Char('[')) && host.endsWith(QLatin1Char(']')))
        host = host.mid(1, host.size() - 2);
    return colon > 0 && ok && port <= 65535 && options.address.setAddress(host) && (options.port = quint16(port), true);
}

}

int serve(const QStringList &arguments)
{
    QCommandLineParser parser;
    parser.addOptions({{QStringLiteral("listen"), QString(), QStringLiteral("ADDRESS:PORT")},
                       {QStringLiteral("token-file"), QString(), QStringLiteral("FILE")},
                       {QStringLiteral("allow-origin"), QString(), QStringLiteral("ORIGIN")},
                       {QStringLiteral("port"), QString(), QStringLiteral("PORT")},
                       {QStringLiteral("pre"), QString(), QStringLiteral("SECONDS")},
                       {QStringLiteral("dest"), QString(), QStringLiteral("HOST:PORT")},
                       {QStringLiteral("rate"), QString(), QStringLiteral("HZ")},
                       {QStringLiteral("pace"), QString(), QStringLiteral("first-two|every")},
                       {QStringLiteral("loop"), QString()}});
    const int parsed = parse(parser, arguments, manual, 0, {QStringLiteral("dest"), QStringLiteral("allow-origin")});
    if (parsed >= 0)
        return parsed;

    RemoteServer::Options listen;
    const QString listenText = parser.value(QStringLiteral("listen"));
    if (parser.isSet(QStringLiteral("listen")) && !splitListen(listenText, listen))
        return fail(ExitUsage, QStringLiteral("--listen %1: expected ADDRESS:PORT with a numeric address").arg(listenText));
    listen.allowedOrigins = parser.values(QStringLiteral("allow-origin"));
    QList<Destination> destinations;
    EngineTarget::Options engines;
    qint64 port = 0;
    qint64 preSeconds = 0;
    if (!readInteger(parser, QStringLiteral("port"), 1, 65535, port)
        || !readInteger(parser, QStringLiteral("pre"), 0, RecordingSession::MaxPreTriggerSeconds, preSeconds)
        || !readDestinations(parser, destinations) || !readPace(parser, engines.play))
        return ExitUsage;
    engines.recordPort = int(port);
    engines.preSeconds = int(preSeconds);
    engines.play.loop = parser.isSet(QStringLiteral("loop"));
    for (Destination &destination : destinations) {
        if (!resolve(destination))
            return fail(ExitFailure, QStringLiteral("cannot resolve host \"%1\"").arg(destination.host));
        engines.destinations << destination;
    }

    const QString tokenFile = parser.isSet(QStringLiteral("token-file"))
                                  ? parser.value(QStringLiteral("token-file"))
                                  : RemoteToken::defaultPath(SettingsStore::defaultFolder());
    QString error;
    if (!RemoteToken::load(tokenFile, listen.token, error))
        return fail(ExitFailure, error);

    EngineTarget target(engines);
    RemoteServer server(&target);
    if (!server.listen(listen, &error))
        return fail(ExitFailure, error);
    std::printf("listening on %s (token in %s)\n", qPrintable(server.url().toString()), qPrintable(tokenFile));
    std::fflush(stdout);

    const int stopSignal = Console::stopSignalDescriptor();
    if (stopSignal >= 0) {
        auto *notifier = new QSocketNotifier(stopSignal, QSocketNotifier::Read, &server);
        QObject::connect(notifier, &QSocketNotifier::activated, &server, [] { QCoreApplication::exit(ExitSuccess); });
    }
    const int status = QCoreApplication::exec();
    server.close();
    return status; // the target stops on its way out and keeps an unsaved recording
}

}
