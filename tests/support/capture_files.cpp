#include "support/capture_files.h"

#include <QFile>

#include <cstring>

namespace CaptureFiles {

QByteArray ethernetFrame(int protocol, uint16_t port, const QByteArray &payload)
{
    const int transport = protocol == 17 ? 8 : 20;
    QByteArray frame(14 + 20 + transport, '\0');
    auto put16 = [&frame](int at, int value) {
        frame[at] = char(value >> 8);
        frame[at + 1] = char(value);
    };
    put16(12, 0x0800);
    frame[14] = 0x45;
    put16(16, 20 + transport + int(payload.size()));
    frame[22] = 64;
    frame[23] = char(protocol);
    const char loopback[] = {127, 0, 0, 1};
    std::memcpy(frame.data() + 26, loopback, 4);
    std::memcpy(frame.data() + 30, loopback, 4);
    put16(34, 40000);
    put16(36, port);
    if (protocol == 17)
        put16(38, 8 + int(payload.size()));
    else
        frame[46] = 0x50;
    return frame + payload;
}

bool writeCapture(const QString &path, const QList<QByteArray> &frames, int linkType)
{
    pcap_t *dead = pcap_open_dead(linkType, 65535);
    pcap_dumper_t *dumper = pcap_dump_open(dead, QFile::encodeName(path).constData());
    if (!dumper)
        return false;
    long microseconds = 0;
    for (const QByteArray &frame : frames) {
        pcap_pkthdr header = {};
        header.ts.tv_usec = microseconds += 1000;
        header.caplen = header.len = bpf_u_int32(frame.size());
        pcap_dump(reinterpret_cast<u_char *>(dumper), &header, reinterpret_cast<const u_char *>(frame.constData()));
    }
    pcap_dump_close(dumper);
    pcap_close(dead);
    return true;
}

}
