#include "platform/host_lookup.h"

#include <QEventLoop>
#include <QHostAddress>
#include <QHostInfo>
#include <QTimer>

#include <memory>

namespace {

uint32_t firstIpv4(const QHostInfo &info)
{
    for (const QHostAddress &address : info.addresses()) {
        bool ok = false;
        const uint32_t ipv4 = address.toIPv4Address(&ok);
        if (ok)
            return ipv4;
    }
    return 0;
}

}

namespace HostLookup {

uint32_t numericAddress(const QString &host)
{
    QHostAddress address;
    bool ok = false;
    const uint32_t ipv4 = address.setAddress(host.trimmed()) ? address.toIPv4Address(&ok) : 0;
    return ok ? ipv4 : 0;
}

void lookUpLater(const QString &host, QObject *context, std::function<void(uint32_t)> done)
{
    if (host.trimmed().isEmpty()) {
        done(0);
        return;
    }
    if (const uint32_t numeric = numericAddress(host)) {
        done(numeric);
        return;
    }
    QHostInfo::lookupHost(host.trimmed(), context, [done](const QHostInfo &info) { done(firstIpv4(info)); });
}

uint32_t lookUpWithin(const QString &host, int timeoutMs)
{
    if (host.trimmed().isEmpty())
        return 0;
    if (const uint32_t numeric = numericAddress(host))
        return numeric;
    QEventLoop loop;
    auto result = std::make_shared<uint32_t>(0);
    // The loop is the context: an answer after the time-out finds it gone and is dropped.
    QHostInfo::lookupHost(host.trimmed(), &loop, [&loop, result](const QHostInfo &info) {
        *result = firstIpv4(info);
        loop.quit();
    });
    QTimer::singleShot(timeoutMs, &loop, &QEventLoop::quit);
    loop.exec(QEventLoop::ExcludeUserInputEvents);
    return *result;
}

}
