#ifndef COMMAND_LINE_H
#define COMMAND_LINE_H

// The headless front end: with a command as its first argument the program
// records, plays, describes or converts a recording without a display, over the
// same engines as the window.

#include <QStringList>

namespace CommandLine {

// True when the arguments ask for the command line rather than the window:
// any argument that is not one of the toolkit's own options (-platform,
// -style ...) or its value, so that a command, a mistyped one or an unknown
// option gets its answer without a display. Only the toolkit's options open
// the window.
bool wanted(int argc, char *argv[]);

// Runs the command line in a QCoreApplication; returns the exit status.
int run(int argc, char *argv[]);

// The commands; each gets the arguments after the program name, its own name first.
int record(const QStringList &arguments);
int play(const QStringList &arguments);
int info(const QStringList &arguments);
int convert(const QStringList &arguments);
int cut(const QStringList &arguments);
int serve(const QStringList &arguments);
int ctl(const QStringList &arguments);

}

#endif
