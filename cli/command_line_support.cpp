#include "cli/command_line_support.h"

#include "platform/host_lookup.h"

#include <QJsonDocument>

#include <cstdio>

namespace CommandLine {

namespace {

QString commandName;
int statusLineLength = 0;

}

void setCommandName(const QString &name)
{
    commandName = name;
}

int fail(int status, const QString &message)
{
    endStatusLine();
    const QString prefix = commandName.isEmpty() ? QStringLiteral("korvel-recorder: ")
                                                 : QStringLiteral("korvel-recorder %1: ").arg(commandName);
    std::fprintf(stderr, "%s\n", qPrintable(prefix + message));
    std::fflush(stderr);
    return status;
}

void warn(const QString &message)
{
    fail(ExitSuccess, QStringLiteral("warning: ") + message);
}

int parse(QCommandLineParser &parser, const QStringList &arguments, const char *manual, int positionals,
          const QStringList &repeatable)
{
    setCommandName(arguments.value(0));
    const QCommandLineOption help({QStringLiteral("h"), QStringLiteral("help")}, QString());
    parser.addOption(help);
    // Every command takes its options after its name, so the program name the
    // parser skips is the command itself.
    if (!parser.parse(arguments)) {
        QString error = parser.errorText();
        if (error.endsWith(QLatin1Char('.')))
            error.chop(1);
        return fail(ExitUsage, error + QStringLiteral(" (see --help)"));
    }
    if (parser.isSet(help)) {
        std::fputs(manual, stdout);
        return ExitSuccess;
    }
    // One of two values would be used silently.
    for (const QString &name : parser.optionNames()) {
        if (parser.values(name).size() > 1 && !repeatable.contains(name))
            return fail(ExitUsage, QStringLiteral("--%1 is given more than once (see --help)").arg(name));
    }
    const QStringList given = parser.positionalArguments();
    if (given.size() < positionals)
        return fail(ExitUsage, QStringLiteral("missing arguments (see --help)"));
    if (positionals >= 0 && given.size() > positionals)
        return fail(ExitUsage, QStringLiteral("unexpected argument \"%1\" (see --help)").arg(given.value(positionals)));
    return -1;
}

bool readNumber(const QCommandLineParser &parser, const QString &name, double low, double high, double &value)
{
    if (!parser.isSet(name))
        return true;
    bool ok = false;
    const double read = parser.value(name).toDouble(&ok);
    if (ok && read >= low && read <= high) {
        value = read;
        return true;
    }
    fail(ExitUsage, QStringLiteral("--%1 %2: expected a number from %3 to %4")
                        .arg(name, parser.value(name))
                        .arg(low)
                        .arg(high));
    return false;
}

bool readInteger(const QCommandLineParser &parser, const QString &name, qint64 low, qint64 high, qint64 &value)
{
    if (!parser.isSet(name))
        return true;
    bool ok = false;
    const qint64 read = parser.value(name).toLongLong(&ok);
    if (ok && read >= low && read <= high) {
        value = read;
        return true;
    }
    fail(ExitUsage, QStringLiteral("--%1 %2: expected a whole number from %3 to %4")
                        .arg(name, parser.value(name))
                        .arg(low)
                        .arg(high));
    return false;
}

bool readDestination(const QString &text, Destination &destination)
{
    const qsizetype colon = text.lastIndexOf(QLatin1Char(':'));
    bool ok = false;
    const uint port = colon > 0 ? text.mid(colon + 1).toUInt(&ok) : 0;
    QString host = text.left(colon);
    // An IPv6 address holds colons of its own: only its bracketed form leaves the port unambiguous.
    const bool bracketed = host.startsWith(QLatin1Char('[')) && host.endsWith(QLatin1Char(']'));
    if (bracketed)
        host = host.mid(1, host.size() - 2);
    if (!ok || port < 1 || port > 65535 || host.isEmpty() || (!bracketed && host.contains(QLatin1Char(':')))) {
        fail(ExitUsage, QStringLiteral("--dest %1: expected HOST:PORT or [IPv6 ADDRESS]:PORT with a port from 1 to 65535")
                            .arg(text));
        return false;
    }
    destination.host = host;
    destination.port = uint16_t(port);
    NetAddress literal;
    if (bracketed && netParseAddress(host.toLatin1().constData(), &literal) != NET_OK) {
        fail(ExitUsage, QStringLiteral("--dest %1: %2 is not an IPv6 address").arg(text, host));
        return false;
    }
    // It means "every address here" to a receiver; sent to, it would go nowhere the user meant.
    if (netParseAddress(host.toLatin1().constData(), &literal) == NET_OK && netIsAny(&literal)) {
        fail(ExitUsage, QStringLiteral("--dest %1: %2 cannot be a destination").arg(text, destination.host));
        return false;
    }
    return true;
}

bool resolve(Destination &destination)
{
    destination.address = HostLookup::lookUpWithin(destination.host);
    return destination.address.family != NET_NONE;
}

bool readDestinations(const QCommandLineParser &parser, QList<Destination> &destinations)
{
    const QStringList texts = parser.values(QStringLiteral("dest"));
    if (texts.size() > Player::MaximumDestinations) {
        fail(ExitUsage, QStringLiteral("give --dest HOST:PORT from once to %1 times (see --help)")
                            .arg(Player::MaximumDestinations));
        return false;
    }
    for (const QString &text : texts) {
        Destination destination;
        if (!readDestination(text, destination))
            return false;
        destinations << destination;
    }
    return true;
}

bool readPace(const QCommandLineParser &parser, Player::Options &options)
{
    const QString pace = parser.value(QStringLiteral("pace"));
    if (parser.isSet(QStringLiteral("pace")) && pace != QLatin1String("first-two") && pace != QLatin1String("every")) {
        fail(ExitUsage, QStringLiteral("--pace %1: expected first-two or every").arg(pace));
        return false;
    }
    if (parser.isSet(QStringLiteral("pace")) && parser.isSet(QStringLiteral("rate"))) {
        fail(ExitUsage, QStringLiteral("--rate and --pace exclude each other (see --help)"));
        return false;
    }
    double rate = 0;
    if (!readNumber(parser, QStringLiteral("rate"), 0.001, 1e6, rate))
        return false;
    if (parser.isSet(QStringLiteral("rate"))) {
        options.pace = Player::FixedRate;
        options.frequency = rate;
    } else {
        options.pace = pace == QLatin1String("every") ? Player::EveryTimestamp : Player::FirstTwoTimestamps;
    }
    return true;
}

void printJson(const QJsonObject &object)
{
    endStatusLine();
    std::printf("%s\n", QJsonDocument(object).toJson(QJsonDocument::Compact).constData());
    std::fflush(stdout);
}

void printStatusLine(const QString &text)
{
    const QByteArray line = text.toLocal8Bit();
    // Spaces wipe what a longer previous line left behind.
    const int pad = qMax(0, statusLineLength - int(line.size()));
    std::printf("\r%s%*s", line.constData(), pad, "");
    std::fflush(stdout);
    statusLineLength = int(line.size());
}

void endStatusLine()
{
    if (statusLineLength == 0)
        return;
    std::printf("\n");
    std::fflush(stdout);
    statusLineLength = 0;
}

}
