#include "record/receive_options.h"

#include <QCoreApplication>

namespace {

QString tr(const char *text)
{
    return QCoreApplication::translate("ReceiveOptions", text);
}

bool refuse(ReceiveOptionsError *error, ReceiveOptionsError::Field field, const QString &value, const QString &reason)
{
    if (error)
        *error = ReceiveOptionsError{field, value, reason};
    return false;
}

const char *familyName(uint8_t family)
{
    return family == NET_IPV6 ? "IPv6" : "IPv4";
}

bool parseListen(const QString &text, ReceiveOptions &options, ReceiveOptionsError *error)
{
    const QString listen = text.trimmed();
    if (listen.isEmpty() || listen == QLatin1String("any"))
        return true;
    const QByteArray bytes = listen.toLocal8Bit();
    NetAddress address;
    const int parsed = netParseAddress(bytes.constData(), &address);
    if (parsed == NET_OK) {
        if (netIsMulticast(&address))
            return refuse(error, ReceiveOptionsError::Listen, listen,
                          tr("a multicast group is joined, not listened on (give it to join)"));
        if (!netIsAny(&address) && netInterfaceOfAddress(&address, &options.interfaceIndex) != NET_OK)
            return refuse(error, ReceiveOptionsError::Listen, listen, tr("not an address of this machine"));
        options.listenAddress = address;
        return true;
    }
    if (listen.contains(QLatin1Char(':')) || listen.contains(QLatin1Char('/')) || parsed == NET_NOT_FOUND)
        return refuse(error, ReceiveOptionsError::Listen, listen, tr("not an address or interface name"));
    options.interfaceIndex = netInterfaceIndex(bytes.constData());
    if (options.interfaceIndex == 0)
        return refuse(error, ReceiveOptionsError::Listen, listen, tr("no such interface"));
    options.interfaceName = listen;
    return true;
}

bool parseGroup(const QString &text, ReceiveOptions::Group &group, ReceiveOptionsError *error)
{
    group.text = text.trimmed();
    const qsizetype at = group.text.indexOf(QLatin1Char('@'));
    const QString groupText = at < 0 ? group.text : group.text.mid(at + 1);
    if (netParseAddress(groupText.toLocal8Bit().constData(), &group.group) != NET_OK)
        return refuse(error, ReceiveOptionsError::Join, group.text,
                      tr("expected GROUP or SOURCE@GROUP with numeric addresses"));
    if (!netIsMulticast(&group.group))
        return refuse(error, ReceiveOptionsError::Join, group.text, tr("%1 is not a multicast group").arg(groupText));
    if (at < 0)
        return true;
    const QString sourceText = group.text.left(at);
    if (netParseAddress(sourceText.toLocal8Bit().constData(), &group.source) != NET_OK
        || netIsMulticast(&group.source) || netIsAny(&group.source))
        return refuse(error, ReceiveOptionsError::Join, group.text,
                      tr("%1 is not a source address").arg(sourceText));
    if (group.source.family != group.group.family)
        return refuse(error, ReceiveOptionsError::Join, group.text,
                      tr("the source and the group are of different families"));
    return true;
}

}

NetFamily ReceiveOptions::family() const
{
    if (listenAddress.family != NET_NONE)
        return NetFamily(listenAddress.family);
    return groups.isEmpty() ? NET_IPV4 : NetFamily(groups.constFirst().group.family);
}

NetAddress ReceiveOptions::bindAddress() const
{
    if (groups.isEmpty() && listenAddress.family != NET_NONE)
        return listenAddress;
    NetAddress any;
    any.family = family();
    return any;
}

bool parseReceiveOptions(const QString &listen, const QStringList &joins, const QStringList &allows,
                         ReceiveOptions &options, ReceiveOptionsError *error)
{
    options = ReceiveOptions();
    if (!parseListen(listen, options, error))
        return false;
    for (const QString &text : joins) {
        ReceiveOptions::Group group;
        if (!parseGroup(text, group, error))
            return false;
        const NetFamily family = options.groups.isEmpty() && options.listenAddress.family == NET_NONE
                                     ? NetFamily(group.group.family)
                                     : options.family();
        if (group.group.family != family)
            return refuse(error, ReceiveOptionsError::Join, group.text,
                          tr("an %1 group where the socket is %2").arg(QLatin1String(familyName(group.group.family)),
                                                                    QLatin1String(familyName(family))));
        options.groups << group;
    }
    for (const QString &text : allows) {
        const QString entry = text.trimmed();
        NetAddress network;
        int prefix = 0;
        if (netParseSubnet(entry.toLocal8Bit().constData(), &network, &prefix) != NET_OK)
            return refuse(error, ReceiveOptionsError::Allow, entry,
                          tr("expected a host address or a subnet such as 10.1.0.0/16"));
        if (!options.filter.add(network, prefix))
            return refuse(error, ReceiveOptionsError::Allow, entry,
                          tr("more than %1 entries").arg(SourceFilter::MaxEntries));
    }
    return true;
}
