#ifndef CAPTURE_FILES_H
#define CAPTURE_FILES_H

#include <QByteArray>
#include <QList>
#include <QString>

#include <pcap/pcap.h>

#include <cstdint>

// Captures as a capture tool writes them, for the import tests.
namespace CaptureFiles {

// Ethernet/IPv4 frame of `protocol` (17 UDP, 6 TCP) to `port`: what a capture of mixed traffic holds.
QByteArray ethernetFrame(int protocol, uint16_t port, const QByteArray &payload);
// A pcap file of `frames` 1 ms apart; false when it cannot be written.
bool writeCapture(const QString &path, const QList<QByteArray> &frames, int linkType = DLT_EN10MB);

}

#endif
