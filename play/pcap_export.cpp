#include "play/pcap_export.h"

#include "play/recording_index.h"
#include "play/stamp_pace.h"
#include "play/send_form.h"

#include <QFile>

#include <pcap/pcap.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <vector>

namespace {

constexpr int ethernetHeader = 14;
constexpr int ipv4Header = 20;
constexpr int udpHeader = 8;
constexpr int headers = ethernetHeader + ipv4Header + udpHeader;
constexpr int largestPayload = 65535 - ipv4Header - udpHeader;

void put16(unsigned char *at, uint32_t value)
{
    at[0] = uint8_t(value >> 8);
    at[1] = uint8_t(value);
}

void put32(unsigned char *at, uint32_t value)
{
    put16(at, value >> 16);
    put16(at + 2, value);
}

uint32_t sum16(const unsigned char *data, int length, uint32_t sum = 0)
{
    for (int i = 0; i + 1 < length; i += 2)
        sum += uint32_t(data[i] << 8 | data[i + 1]);
    if (length & 1)
        sum += uint32_t(data[length - 1] << 8);
    return sum;
}

uint16_t fold(uint32_t sum)
{
    while (sum >> 16)
        sum = (sum & 0xFFFF) + (sum >> 16);
    return uint16_t(~sum);
}

// Fills the three headers in front of a payload already placed after them.
void writeHeaders(unsigned char *packet, int payload, uint16_t identification, const PcapExportOptions &options)
{
    std::memset(packet, 0, headers);
    put16(packet + 12, 0x0800);

    unsigned char *ip = packet + ethernetHeader;
    ip[0] = 0x45;
    put16(ip + 2, uint32_t(ipv4Header + udpHeader + payload));
    put16(ip + 4, identification);
    put16(ip + 6, 0x4000); // don't fragment
    ip[8] = 64;
    ip[9] = 17;
    put32(ip + 12, options.sourceAddress);
    put32(ip + 16, options.destinationAddress);
    put16(ip + 10, fold(sum16(ip, ipv4Header)));

    unsigned char *udp = ip + ipv4Header;
    const uint32_t udpLength = uint32_t(udpHeader + payload);
    put16(udp, options.sourcePort);
    put16(udp + 2, options.destinationPort);
    put16(udp + 4, udpLength);
    // The checksum covers a pseudo header of addresses, protocol and length.
    uint32_t sum = sum16(ip + 12, 8) + 17 + udpLength;
    uint16_t checksum = fold(sum16(udp, int(udpLength), sum));
    put16(udp + 6, checksum == 0 ? 0xFFFF : checksum);
}

}

namespace PcapExport {

bool exportRecording(const RecordingIndex &index, const QString &capturePath, const PcapExportOptions &options,
                     PcapExportResult &result, QString &reason)
{
    pcap_t *dead = pcap_open_dead(DLT_EN10MB, 65535 + ethernetHeader);
    if (!dead) {
        reason = QStringLiteral("libpcap cannot start a capture");
        return false;
    }
    // libpcap writes a packet at a time; a large buffer turns that into few big writes.
    FILE *file = std::fopen(QFile::encodeName(capturePath).constData(), "wb");
    if (file)
        std::setvbuf(file, nullptr, _IOFBF, 1 << 20);
    pcap_dumper_t *dumper = file ? pcap_dump_fopen(dead, file) : nullptr;
    if (!dumper) {
        reason = file ? QString::fromLocal8Bit(pcap_geterr(dead)) : QString::fromLocal8Bit(std::strerror(errno));
        if (file)
            std::fclose(file);
        pcap_close(dead);
        return false;
    }

    std::vector<unsigned char> packet(size_t(headers + largestPayload));
    SendForm sendForm;
    // Times follow the recording's stamps as playback does; the rate given paces what has none.
    StampPace pace(1.0 / options.rateHz);
    bool firstPacket = true;
    const bool read = index.forEachFrame(0, index.frameCount() - 1, [&](int frame, QByteArrayView raw) {
        const double stamp = index.timestamp(frame);
        pace = firstPacket ? pace.begin(frame, stamp) : pace.after(frame, stamp);
        firstPacket = false;
        const double time = pace.time();

        const QByteArray &datagram = sendForm.datagram(raw);
        if (datagram.size() > largestPayload) {
            ++result.oversizeSkipped;
            return true;
        }
        std::memcpy(packet.data() + headers, datagram.constData(), size_t(datagram.size()));
        writeHeaders(packet.data(), int(datagram.size()), uint16_t(result.packets), options);
        pcap_pkthdr header = {};
        const double whole = std::floor(time);
        header.ts.tv_sec = time_t(whole);
        header.ts.tv_usec = suseconds_t(std::llround((time - whole) * 1e6));
        if (header.ts.tv_usec >= 1000000) {
            header.ts.tv_sec += 1;
            header.ts.tv_usec -= 1000000;
        }
        header.caplen = header.len = bpf_u_int32(headers + datagram.size());
        pcap_dump(reinterpret_cast<u_char *>(dumper), &header, packet.data());
        ++result.packets;
        result.bytes += datagram.size();
        return true;
    });
    bool ok = read;
    if (!read)
        reason = QStringLiteral("the recording changed while it was read");
    if (pcap_dump_flush(dumper) != 0 || std::ferror(pcap_dump_file(dumper))) {
        if (ok)
            reason = QStringLiteral("writing %1 failed").arg(capturePath);
        ok = false;
    }
    pcap_dump_close(dumper);
    pcap_close(dead);
    return ok;
}

}
