#include "play/multicast_options.h"

#include <QCoreApplication>

namespace {

QString tr(const char *text)
{
    return QCoreApplication::translate("MulticastOptions", text);
}

bool refuse(MulticastOptionsError *error, MulticastOptionsError::Field field, const QString &value,
            const QString &reason)
{
    if (error)
        *error = MulticastOptionsError{field, value, reason};
    return false;
}

}

bool parseMulticastOptions(const QString &ttl, const QString &interfaceName, const QString &loop,
                           Player::Multicast &multicast, MulticastOptionsError *error)
{
    multicast = Player::Multicast();
    if (!ttl.isEmpty()) {
        bool ok = false;
        multicast.ttl = ttl.toInt(&ok);
        if (!ok || multicast.ttl < 0 || multicast.ttl > 255)
            return refuse(error, MulticastOptionsError::Ttl, ttl, tr("expected a whole number from 0 to 255"));
    }
    if (!interfaceName.isEmpty()
        && (multicast.interfaceIndex = netInterfaceIndex(interfaceName.toLocal8Bit().constData())) == 0)
        return refuse(error, MulticastOptionsError::Interface, interfaceName, tr("no such interface"));
    if (!loop.isEmpty() && loop != QLatin1String("on") && loop != QLatin1String("off"))
        return refuse(error, MulticastOptionsError::Loop, loop, tr("expected on or off"));
    multicast.loop = loop != QLatin1String("off");
    return true;
}
