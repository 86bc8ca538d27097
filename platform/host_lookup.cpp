#include "platform/host_lookup.h"

#include "platform/udp_socket.h"

#include <QEventLoop>
#include <QHostAddress>
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
    QObject *receiver = nullptr;           // reported to while set
    std::function<void(uint32_t)> deliver; // runs in the receiver's thread
};

void resolveDetached(const QString &host, const std::shared_ptr<Pending> &pending)
{
    std::thread([name = host.trimmed().toLocal8Bit(), pending] {
        const uint32_t address = udpResolve(name.constData());
        const std::lock_guard<std::mutex> lock(pending->mutex);
        if (pending->receiver)
            QMetaObject::invokeMethod(
                pending->receiver, [pending, address] { pending->deliver(address); }, Qt::QueuedConnection);
    }).detach();
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
    // The relay goes with `context`; once it is gone the answer has nobody to go to.
    auto *relay = new QObject(context);
    auto pending = std::make_shared<Pending>();
    pending->receiver = relay;
    pending->deliver = [relay, done = std::move(done)](uint32_t address) {
        done(address);
        relay->deleteLater();
    };
    QObject::connect(relay, &QObject::destroyed, [pending] {
        const std::lock_guard<std::mutex> lock(pending->mutex);
        pending->receiver = nullptr;
    });
    resolveDetached(host, pending);
}

uint32_t lookUpWithin(const QString &host, int timeoutMs)
{
    if (host.trimmed().isEmpty())
        return 0;
    if (const uint32_t numeric = numericAddress(host))
        return numeric;
    QEventLoop loop;
    uint32_t result = 0;
    auto pending = std::make_shared<Pending>();
    pending->receiver = &loop;
    pending->deliver = [&loop, &result](uint32_t address) {
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
