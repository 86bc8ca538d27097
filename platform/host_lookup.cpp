#include "platform/host_lookup.h"

#include <QEventLoop>
#include <QHostInfo>
#include <QTimer>

#include <memory>

namespace {

// IPv4 first, as netResolve chooses, so both front ends send where the command line does.
NetAddress firstAddress(const QHostInfo &info)
{
    NetAddress chosen;
    for (const QHostAddress &address : info.addresses()) {
        NetAddress parsed;
        if (netParseAddress(address.toString().toLatin1().constData(), &parsed) != NET_OK || netIsAny(&parsed))
            continue;
        if (parsed.family == NET_IPV4)
            return parsed;
        if (chosen.family == NET_NONE)
            chosen = parsed;
    }
    return chosen;
}

}

namespace HostLookup {

NetAddress numericAddress(const QString &host)
{
    NetAddress address;
    // "Every address here" to a receiver: sent to, it reaches nobody the user meant.
    if (netParseAddress(host.trimmed().toLatin1().constData(), &address) != NET_OK || netIsAny(&address))
        return NetAddress();
    return address;
}

void lookUpLater(const QString &host, QObject *context, std::function<void(NetAddress)> done)
{
    if (host.trimmed().isEmpty()) {
        done(NetAddress());
        return;
    }
    const NetAddress numeric = numericAddress(host);
    if (numeric.family != NET_NONE) {
        done(numeric);
        return;
    }
    QHostInfo::lookupHost(host.trimmed(), context, [done](const QHostInfo &info) { done(firstAddress(info)); });
}

NetAddress lookUpWithin(const QString &host, int timeoutMs)
{
    if (host.trimmed().isEmpty())
        return NetAddress();
    const NetAddress numeric = numericAddress(host);
    if (numeric.family != NET_NONE)
        return numeric;
    QEventLoop loop;
    auto result = std::make_shared<NetAddress>();
    // The loop is the context: an answer after the time-out finds it gone and is dropped.
    QHostInfo::lookupHost(host.trimmed(), &loop, [&loop, result](const QHostInfo &info) {
        *result = firstAddress(info);
        loop.quit();
    });
    QTimer::singleShot(timeoutMs, &loop, &QEventLoop::quit);
    loop.exec(QEventLoop::ExcludeUserInputEvents);
    return *result;
}

}
