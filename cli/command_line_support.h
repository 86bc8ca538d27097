#ifndef COMMAND_LINE_SUPPORT_H
#define COMMAND_LINE_SUPPORT_H

// What every command shares: exit statuses, the one-line failure report,
// option parsing with usage errors, destinations and the JSON line.

#include "play/destination.h"
#include "play/player.h"

#include <QCommandLineParser>
#include <QJsonObject>
#include <QString>

#include <cstdint>

namespace CommandLine {

enum ExitStatus { ExitSuccess = 0, ExitFailure = 1, ExitUsage = 2, ExitLimits = 3 };

// Prints "korvel-recorder COMMAND: message" on standard error and returns `status`.
int fail(int status, const QString &message);
// Prints "korvel-recorder COMMAND: warning: message" on standard error; the run goes on.
void warn(const QString &message);
// The command named in every failure line; set by parse().
void setCommandName(const QString &name);

// Parses `arguments` (the command's name first). Returns -1 when the command
// should go on; otherwise the exit status: 0 after printing `manual` for
// --help, 2 after a usage error. `positionals` is the exact number of
// positional arguments the command takes, or -1 for any number; an option that
// takes a value may be given once only, unless it is named in `repeatable`.
int parse(QCommandLineParser &parser, const QStringList &arguments, const char *manual, int positionals,
          const QStringList &repeatable = {});

// Reads an optional numeric option into `value` (left as is when not given).
// False after printing a usage error when it is not a number from low to high.
bool readNumber(const QCommandLineParser &parser, const QString &name, double low, double high, double &value);
bool readInteger(const QCommandLineParser &parser, const QString &name, qint64 low, qint64 high, qint64 &value);


// Splits the value of --dest, "HOST:PORT" or "[IPv6 ADDRESS]:PORT"; false
// after printing a usage error for a missing host, a port outside 1..65535 or
// an any-address.
bool readDestination(const QString &text, Destination &destination);
// Looks the host up within the lookup's bounded wait; false when it cannot be resolved.
bool resolve(Destination &destination);

// Every --dest HOST:PORT, at most Player::MaximumDestinations, split (not resolved);
// false after a usage error.
bool readDestinations(const QCommandLineParser &parser, QList<Destination> &destinations);
// --rate HZ, --pace first-two (also without either) or --pace every into `options`;
// false after a usage error.
bool readPace(const QCommandLineParser &parser, Player::Options &options);

// One compact JSON object and a new line on standard output.
void printJson(const QJsonObject &object);

// The status line on a terminal: drawn over the previous one in place.
void printStatusLine(const QString &text);
void endStatusLine();

}

#endif
