#ifndef TRAFFIC_TOOLS_H
#define TRAFFIC_TOOLS_H

#include <QString>
#include <QStringList>

#include <cstdint>

class QProcess;

// The traffic tools built beside the program (tools/korvel-send, tools/korvel-recv),
// shared by the tests and the benchmarks.
namespace TrafficTools {

// KORVEL_TOOLS_DIR/name when that is set (as for the tests), else the tools
// folder of the build tree the running program belongs to.
QString path(const char *name);

// Starts korvel-send towards 127.0.0.1:port with `options` added; false when it did not start.
bool startSender(QProcess &sender, uint16_t port, const QStringList &options, const QString &tool = path("korvel-send"));

// Runs korvel-send to its end; true when it exited with 0 within timeoutMs.
bool runSender(uint16_t port, const QStringList &options, int timeoutMs = 10000);

// Waits up to 5 s until something is bound to UDP `port` on this machine, read
// from the kernel's table: probing by binding the port could take it from its owner.
bool waitUntilBound(uint16_t port);

}

#endif
