#ifndef CONSOLE_H
#define CONSOLE_H

// What the command line needs from the process and its terminal.

namespace Console {

// True when standard output (1) or standard error (2) is a terminal, where live status lines belong.
bool isTerminal(int descriptor);

// Turns SIGINT and SIGTERM into a byte on a pipe, so an event loop can end a
// run cleanly instead of the process dying with unsaved data. Returns the
// descriptor to watch for reading, or -1 when the pipe cannot be made. Idempotent.
int stopSignalDescriptor();

// Which stop signal arrived last (0 when none), after the descriptor became readable.
int stopSignalReceived();

// Turns each SIGUSR1 into a byte on a pipe of its own, as above; the receiving
// thread the signal may land on only writes that byte. Idempotent.
int markSignalDescriptor();
// Reads the bytes waiting on `descriptor` without blocking; how many there were.
int takeSignalBytes(int descriptor);

}

#endif
