#ifndef RECEIVE_OPTIONS_H
#define RECEIVE_OPTIONS_H

#include "platform/net_address.h"
#include "record/source_filter.h"

#include <QList>
#include <QString>
#include <QStringList>

// Where a recording listens, which multicast groups it joins and whom it lets
// write into it, checked and typed once for the window and the command line.
struct ReceiveOptions {
    struct Group {
        QString text;         // as the user wrote it, for messages
        NetAddress group;
        NetAddress source;    // family NET_NONE: any source
    };

    // NET_NONE: every IPv4 address, as before any of this existed.
    NetAddress listenAddress;
    QString interfaceName;    // listening on one interface by name
    uint32_t interfaceIndex = 0; // that interface's, or the listen address's (for joins)
    QList<Group> groups;
    SourceFilter filter;

    // The family the socket takes: IPv6 when the listen address or a group is IPv6.
    NetFamily family() const;
    // The address the socket binds: the listen address, unless groups are
    // joined (then every address of the family, so the groups' datagrams arrive).
    NetAddress bindAddress() const;
};

// What was wrong, naming the field and the value as the user wrote it.
struct ReceiveOptionsError {
    enum Field { Listen, Join, Allow };
    Field field = Listen;
    QString value;
    QString reason;
};

// Checks everything that can be checked before a socket is opened: numeric
// forms, that a listen address is this machine's and an interface exists, that
// groups are multicast and families agree. `listen` empty (or "any") is every
// IPv4 address; "::" every IPv6 one; anything else not numeric is an interface name.
bool parseReceiveOptions(const QString &listen, const QStringList &joins, const QStringList &allows,
                         ReceiveOptions &options, ReceiveOptionsError *error);

#endif
