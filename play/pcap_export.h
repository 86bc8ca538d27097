#ifndef PCAP_EXPORT_H
#define PCAP_EXPORT_H

// Writes a recording as a pcap capture: one Ethernet/IPv4/UDP packet per frame,
// carrying exactly the datagram playback sends, timed by the "ts" lines.

#include <QString>

#include <cstdint>

class RecordingIndex;

struct PcapExportOptions {
    uint32_t sourceAddress = 0x7F000001; // host byte order
    uint16_t sourcePort = 49152;
    uint32_t destinationAddress = 0x7F000001;
    uint16_t destinationPort = 5001;
    // Interval for frames without a "ts" line before any interval is known.
    double rateHz = 4.0;
};

struct PcapExportResult {
    qint64 packets = 0;
    qint64 bytes = 0;          // UDP payload bytes
    qint64 oversizeSkipped = 0; // frames too long for one UDP datagram
};

namespace PcapExport {

// Packets go in recorded order; their times start at 0 and follow the "ts"
// lines as playback's stamp pace does: a frame without a stamp, or with an
// anomalous one, lasts the interval so far (1/rateHz before the stamps show one).
// False with `reason` when the recording changed while read or writing failed.
bool exportRecording(const RecordingIndex &index, const QString &capturePath, const PcapExportOptions &options,
                     PcapExportResult &result, QString &reason);

}

#endif
