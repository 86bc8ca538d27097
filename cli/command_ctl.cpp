// korvel-recorder ctl: one remote-control request, or the notifications, from a shell.

#include "cli/command_line.h"
#include "cli/command_line_support.h"
#include "platform/console.h"
#include "remote/remote_methods.h"
#include "remote/remote_server.h"
#include "remote/remote_token.h"
#include "settings/settings_store.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QNetworkRequest>
#include <QSocketNotifier>
#include <QWebSocket>

#include <cstdio>

namespace CommandLine {

namespace {

const char manual[] = R"(NAME
    korvel-recorder ctl - talk to a running recorder's remote control

SYNOPSIS
    korvel-recorder ctl [--url ws://HOST:PORT] [--token-file FILE] METHOD [NAME=VALUE ...]
    korvel-recorder ctl [--url ws://HOST:PORT] [--token-file FILE] watch [EVENT ...]

DESCRIPTION
    Sends METHOD with its parameters by name and prints the result as one JSON
    line. A value that reads as a number is sent as a number, one in [ ] as a
    JSON list; anything else as text. "watch" subscribes to the EVENTs (all of
    them when none is given) and prints each notification as a JSON line until
    SIGINT (Ctrl+C) or SIGTERM.

OPTIONS
    --url ws://HOST:PORT   the recorder (default ws://127.0.0.1:5090)
    --token-file FILE      the token (default: remote-token in the settings folder)

EXIT STATUS
    0 the result was printed, 1 the request failed (the JSON-RPC error on
    standard error) or the recorder cannot be reached, 2 usage error.
)";

QJsonValue valueOf(const QString &text)
{
    bool number = false;
    const double value = text.toDouble(&number);
    if (number)
        return value;
    if (text.startsWith(QLatin1Char('['))) {
        const QJsonDocument list = QJsonDocument::fromJson(text.toUtf8());
        if (list.isArray())
            return list.array();
    }
    return text;
}

// One connection: the request once open, then its answer or the notifications.
class Conversation : public QObject
{
public:
    Conversation(const QString &method, const QJsonObject &params, bool watching)
        : method(method), params(params), watching(watching)
    {
        connect(&socket, &QWebSocket::connected, this, [this] {
            send(this->method, this->params);
        });
        connect(&socket, &QWebSocket::textMessageReceived, this, &Conversation::received);
        connect(&socket, &QWebSocket::disconnected, this, [this] {
            finish(fail(ExitFailure, QStringLiteral("the connection closed: %1")
                                         .arg(socket.closeReason().isEmpty() ? socket.errorString() : socket.closeReason())));
        });
    }

    int run(const QUrl &url, const QString &token)
    {
        QNetworkRequest request(url);
        request.setRawHeader("Authorization", "Bearer " + token.toLatin1());
        socket.open(request);
        if (watching) {
            const int stopSignal = Console::stopSignalDescriptor();
            if (stopSignal >= 0) {
                auto *notifier = new QSocketNotifier(stopSignal, QSocketNotifier::Read, this);
                connect(notifier, &QSocketNotifier::activated, this, [this] { finish(ExitSuccess); });
            }
        }
        return QCoreApplication::exec();
    }

private:
    void send(const QString &name, const QJsonObject &arguments)
    {
        socket.sendTextMessage(QString::fromUtf8(QJsonDocument(QJsonObject{{QStringLiteral("jsonrpc"), QStringLiteral("2.0")},
                                                                           {QStringLiteral("id"), 1},
                                                                           {QStringLiteral("method"), name},
                                                                           {QStringLiteral("params"), arguments}})
                                                     .toJson(QJsonDocument::Compact)));
    }

    void received(const QString &text)
    {
        const QJsonObject message = QJsonDocument::fromJson(text.toUtf8()).object();
        if (!message.contains(QLatin1String("id"))) {
            if (watching)
                printJson(message);
            return;
        }
        if (message.contains(QLatin1String("error"))) {
            const QByteArray error = QJsonDocument(message.value(QLatin1String("error")).toObject()).toJson(QJsonDocument::Compact);
            std::fprintf(stderr, "%s\n", error.constData());
            finish(ExitFailure);
            return;
        }
        if (watching)
            return; // subscribed: the notifications follow
        const QJsonValue result = message.value(QLatin1String("result"));
        if (result.isObject())
            printJson(result.toObject());
        else
            std::printf("%s\n", QJsonDocument(QJsonArray{result}).toJson(QJsonDocument::Compact).mid(1).chopped(1).constData());
        finish(ExitSuccess);
    }

    void finish(int status)
    {
        if (finished)
            return;
        finished = true;
        disconnect(&socket, nullptr, this, nullptr);
        std::fflush(stdout);
        QCoreApplication::exit(status);
    }

    QWebSocket socket;
    QString method;
    QJsonObject params;
    bool watching = false;
    bool finished = false;
};

}

int ctl(const QStringList &arguments)
{
    QCommandLineParser parser;
    parser.addOptions({{QStringLiteral("url"), QString(), QStringLiteral("ws://HOST:PORT")},
                       {QStringLiteral("token-file"), QString(), QStringLiteral("FILE")}});
    parser.setOptionsAfterPositionalArgumentsMode(QCommandLineParser::ParseAsPositionalArguments);
    const int parsed = parse(parser, arguments, manual, -1);
    if (parsed >= 0)
        return parsed;
    const QStringList words = parser.positionalArguments();
    if (words.isEmpty())
        return fail(ExitUsage, QStringLiteral("give a METHOD or watch (see --help)"));

    const QUrl url(parser.isSet(QStringLiteral("url")) ? parser.value(QStringLiteral("url"))
                                                       : QStringLiteral("ws://127.0.0.1:%1").arg(RemoteServer::DefaultPort));
    if (!url.isValid() || url.scheme() != QLatin1String("ws") || url.host().isEmpty())
        return fail(ExitUsage, QStringLiteral("--url %1: expected ws://HOST:PORT").arg(url.toString()));

    const bool watching = words.constFirst() == QLatin1String("watch");
    QJsonObject params;
    if (watching) {
        QJsonArray events;
        for (const QString &event : words.mid(1)) {
            if (!RemoteMethods::eventNames().contains(event))
                return fail(ExitUsage, QStringLiteral("unknown event \"%1\": expected %2")
                                           .arg(event, RemoteMethods::eventNames().join(QStringLiteral(", "))));
            events.append(event);
        }
        params.insert(QStringLiteral("events"), words.size() > 1 ? events : QJsonArray::fromStringList(RemoteMethods::eventNames()));
    } else {
        for (const QString &pair : words.mid(1)) {
            const qsizetype equals = pair.indexOf(QLatin1Char('='));
            if (equals <= 0)
                return fail(ExitUsage, QStringLiteral("%1: expected NAME=VALUE").arg(pair));
            params.insert(pair.left(equals), valueOf(pair.mid(equals + 1)));
        }
    }

    const QString tokenFile = parser.isSet(QStringLiteral("token-file"))
                                  ? parser.value(QStringLiteral("token-file"))
                                  : RemoteToken::defaultPath(SettingsStore::defaultFolder());
    QString token, error;
    if (!QFileInfo::exists(tokenFile))
        return fail(ExitFailure, QStringLiteral("no token file %1: start the recorder's remote control first").arg(tokenFile));
    if (!RemoteToken::load(tokenFile, token, error))
        return fail(ExitFailure, error);
    Conversation conversation(watching ? QStringLiteral("subscribe") : words.constFirst(), params, watching);
    return conversation.run(url, token);
}

}
