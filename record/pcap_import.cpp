#include "record/pcap_import.h"

#include <QFile>
#include <QIODevice>

#include <pcap/pcap.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace {

enum class Payload { Udp, OtherPort, NotUdp, Fragment, Truncated };

uint16_t read16(const u_char *at)
{
    return uint16_t(at[0] << 8 | at[1]);
}

// Where the IPv4 header starts inside a frame of the capture's link type, or
// -1 when the frame carries something else.
int ipv4Offset(int linkType, const u_char *frame, bpf_u_int32 length)
{
    switch (linkType) {
    case DLT_EN10MB: {
        int offset = 12;
        // 802.1Q and 802.1ad tags sit before the real type.
        while (offset + 2 <= int(length) && (read16(frame + offset) == 0x8100 || read16(frame + offset) == 0x88A8))
            offset += 4;
        return offset + 2 <= int(length) && read16(frame + offset) == 0x0800 ? offset + 2 : -1;
    }
    case DLT_LINUX_SLL:
        return length >= 16 && read16(frame + 14) == 0x0800 ? 16 : -1;
    case DLT_LINUX_SLL2:
        return length >= 20 && read16(frame) == 0x0800 ? 20 : -1;
    case DLT_RAW:
    case DLT_IPV4:
        return 0;
    case DLT_NULL: {
        // The family is in the byte order of the machine that captured.
        if (length < 4)
            return -1;
        uint32_t family;
        std::memcpy(&family, frame, 4);
        return family == 2 || family == 0x02000000 ? 4 : -1;
    }
    case DLT_LOOP:
        return length >= 4 && frame[3] == 2 && frame[0] == 0 ? 4 : -1;
    default:
        return -1;
    }
}

bool linkTypeCarriesIp(int linkType)
{
    return linkType == DLT_EN10MB || linkType == DLT_LINUX_SLL || linkType == DLT_LINUX_SLL2 || linkType == DLT_RAW
           || linkType == DLT_IPV4 || linkType == DLT_NULL || linkType == DLT_LOOP;
}

// Finds the UDP payload inside a captured frame.
Payload udpPayload(int linkType, const pcap_pkthdr &header, const u_char *frame, quint16 port, const u_char *&data,
                   int &size)
{
    const int ip = ipv4Offset(linkType, frame, header.caplen);
    if (ip < 0 || int(header.caplen) < ip + 20 || (frame[ip] >> 4) != 4)
        return Payload::NotUdp;
    const u_char *packet = frame + ip;
    const int headerLength = (packet[0] & 0x0F) * 4;
    const int totalLength = read16(packet + 2);
    if (packet[9] != 17 || headerLength < 20 || totalLength < headerLength + 8)
        return Payload::NotUdp;
    if ((read16(packet + 6) & 0x3FFF) != 0)
        return Payload::Fragment;
    const int captured = int(header.caplen) - ip;
    if (captured < headerLength + 8)
        return Payload::Truncated;
    const u_char *udp = packet + headerLength;
    if (port != 0 && read16(udp + 2) != port)
        return Payload::OtherPort;
    // The UDP length field wins over the frame's padding up to the Ethernet minimum.
    const int udpLength = read16(udp + 4);
    if (udpLength < 8 || headerLength + udpLength > totalLength)
        return Payload::NotUdp;
    if (captured < headerLength + udpLength)
        return Payload::Truncated;
    data = udp + 8;
    size = udpLength - 8;
    return Payload::Udp;
}

}

namespace PcapImport {

bool importCapture(const QString &capturePath, quint16 port, QIODevice &out, PcapImportResult &result,
                   QString &reason)
{
    char error[PCAP_ERRBUF_SIZE] = {};
    // libpcap reads a packet at a time; a large buffer turns that into few big reads.
    FILE *file = std::fopen(QFile::encodeName(capturePath).constData(), "rb");
    if (!file) {
        reason = QString::fromLocal8Bit(std::strerror(errno));
        return false;
    }
    std::setvbuf(file, nullptr, _IOFBF, 1 << 20);
    pcap_t *capture = pcap_fopen_offline(file, error);
    if (!capture) {
        std::fclose(file);
        reason = QString::fromLocal8Bit(error);
        return false;
    }
    const int linkType = pcap_datalink(capture);
    if (!linkTypeCarriesIp(linkType)) {
        // libpcap has no name for many numbers a capture may hold.
        const char *name = pcap_datalink_val_to_name(linkType);
        reason = QStringLiteral("link type %1 is not one this program reads")
                     .arg(name ? QString::fromLatin1(name) : QString::number(linkType));
        pcap_close(capture);
        return false;
    }

    bool ok = true;
    pcap_pkthdr *header = nullptr;
    const u_char *frame = nullptr;
    int next;
    while (ok && (next = pcap_next_ex(capture, &header, &frame)) == 1) {
        ++result.packets;
        const u_char *data = nullptr;
        int size = 0;
        switch (udpPayload(linkType, *header, frame, port, data, size)) {
        case Payload::Udp:
            if (size == 0) {
                ++result.empty;
            } else if (out.write(reinterpret_cast<const char *>(data), size) != size) {
                reason = out.errorString();
                ok = false;
            } else {
                ++result.datagrams;
                result.bytes += size;
            }
            break;
        case Payload::OtherPort:
            ++result.otherPort;
            break;
        case Payload::NotUdp:
            ++result.notUdp;
            break;
        case Payload::Fragment:
            ++result.fragments;
            break;
        case Payload::Truncated:
            ++result.truncated;
            break;
        }
    }
    if (ok && next == PCAP_ERROR) {
        // A read that ran into the end of the file: the capture is cut short, what came before is whole.
        if (std::feof(file)) {
            result.cutShort = true;
            result.cutReason = QString::fromLocal8Bit(pcap_geterr(capture));
        } else {
            reason = QString::fromLocal8Bit(pcap_geterr(capture));
            ok = false;
        }
    }
    pcap_close(capture);
    return ok;
}

}
