#ifndef HOST_LOOKUP_H
#define HOST_LOOKUP_H

#include "platform/net_address.h"

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

// The address of a numeric IPv4 or IPv6 text at once; family NET_NONE for any
// other text and for an any-address.
NetAddress numericAddress(const QString &host);

// Resolves in the background and hands the address (IPv4 preferred, else
// IPv6; family NET_NONE when there is none) to `done` on `context`'s thread;
// dropped when `context` is gone first.
void lookUpLater(const QString &host, QObject *context, std::function<void(NetAddress)> done);

// Resolves, keeping the calling thread's events flowing for at most `timeoutMs`;
// family NET_NONE when there is no address or no answer in time.
NetAddress lookUpWithin(const QString &host, int timeoutMs = WaitMs);

}

#endif
