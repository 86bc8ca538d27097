#ifndef PCAP_IMPORT_H
#define PCAP_IMPORT_H

// Turns the UDP/IPv4 payloads of a pcap or pcapng capture into a recording:
// each payload byte for byte, in capture order, as the recorder writes datagrams.

#include <QString>

class QIODevice;

struct PcapImportResult {
    qint64 packets = 0;    // packets read from the capture
    qint64 datagrams = 0;  // payloads written
    qint64 bytes = 0;      // bytes written
    qint64 otherPort = 0;  // UDP to another port than the one asked for
    qint64 notUdp = 0;     // anything but unfragmented UDP over IPv4 (TCP, ARP, IPv6 ...)
    qint64 fragments = 0;  // IPv4 fragments: their datagram cannot be rebuilt here
    qint64 truncated = 0;  // captured shorter than sent: the payload is incomplete
    qint64 empty = 0;      // empty payloads, skipped as the recorder skips empty datagrams
    // The capture ends inside packet `packets + 1` (a copy or capture cut
    // short); every whole packet before it was read. `cutReason` has libpcap's words.
    bool cutShort = false;
    QString cutReason;
};

namespace PcapImport {

// Reads `capturePath` (pcap or pcapng; Ethernet, Linux cooked v1/v2, raw IP or
// loopback link types) and writes the payloads of UDP datagrams to `port`
// (any port when 0) to `out`. False with `reason` when the capture cannot be
// read, has a link type without IP, or writing fails; a capture that ends
// inside a packet is not a failure, but `result.cutShort`.
bool importCapture(const QString &capturePath, quint16 port, QIODevice &out, PcapImportResult &result,
                   QString &reason);

}

#endif
