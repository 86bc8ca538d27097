#ifndef HOST_LOOKUP_H
#define HOST_LOOKUP_H

#include <QString>

#include <cstdint>
#include <functional>

class QObject;

// The one way play hosts are resolved, for the window and the command line:
// never holding a thread for as long as a silent name server would. The
// answer comes to a callback, or within a bounded wait.
namespace HostLookup {

// The longest anyone waits for a host before giving up on it.
constexpr int WaitMs = 3000;

// The IPv4 address (host byte order) of a dotted-quad text at once; 0 for any
// other text.
uint32_t numericAddress(const QString &host);

// Resolves in the background and hands the IPv4 address, 0 when there is none,
// to `done` on `context`'s thread; dropped when `context` is gone first.
void lookUpLater(const QString &host, QObject *context, std::function<void(uint32_t)> done);

// Resolves, keeping the calling thread's events flowing for at most `timeoutMs`;
// 0 when there is no IPv4 address or no answer in time.
uint32_t lookUpWithin(const QString &host, int timeoutMs = WaitMs);

}

#endif
