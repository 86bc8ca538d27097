#include "platform/host_lookup.h"

#include <QEventLoop>
#include <QTimer>

#include <memory>
#include <mutex>
#include <thread>

namespace {

// A lookup outlives whoever asked when the name server is silent, so its thread
// is detached (nothing ever waits for it, not even the exit) and reports only
// to a receiver that is still registered.
struct Pending {
    std::mutex mutex;
    QObject *receiver = nullptr;             // reported to while set
    std::function<void(NetAddress)> deliver; // runs in the receiver's thread
};

void resolveDetached(const QString &host, const std::shared_ptr<Pending> &pending)
{
    std::thread([name = host.trimmed().toLocal8Bit(), pending] {
        NetAddress address;
        if (netResolve(name.constData(), &address) != NET_OK || netIsAny(&address))
            address = NetAddress();
        const std::lock_guard<std::mutex> lock(pending->mutex);
        if (pending->receiver)
            QMetaObject::invokeMethod(
                pending->receiver, [pending, address] { pending->deliver(address); }, Qt::QueuedConnection);
    }).detach();
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
    // The relay goes with `context`; once it is gone the answer has nobody to go to.
    auto *relay = new QObject(context);
    auto pending = std::make_shared<Pending>();
    pending->receiver = relay;
    pending->deliver = [relay, done = std::move(done)](NetAddress address) {
        done(address);
        relay->deleteLater();
    };
    QObject::connect(relay, &QObject::destroyed, [pending] {
        const std::lock_guard<std::mutex> lock(pending->mutex);
        pending->receiver = nullptr;
    });
    resolveDetached(host, pending);
}

NetAddress lookUpWithin(const QString &host, int timeoutMs)
{
    if (host.trimmed().isEmpty())
        return NetAddress();
    const NetAddress numeric = numericAddress(host);
    if (numeric.family != NET_NONE)
        return numeric;
    QEventLoop loop;
    NetAddress result;
    auto pending = std::make_shared<Pending>();
    pending->receiver = &loop;
    pending->deliver = [&loop, &result](NetAddress address) {
        result = address;
        loop.quit();
    };
    resolveDetached(host, pending);
    QTimer::singleShot(timeoutMs, &loop, &QEventLoop::quit);
    loop.exec(QEventLoop::ExcludeUserInputEvents);
    // A late answer finds no receiver; one posted already goes with the loop.
    const std::lock_guard<std::mutex> lock(pending->mutex);
    pending->receiver = nullptr;
    return result;
}

}
