// korvel-recorder convert: recordings to pcap and pcap/pcapng captures to recordings.

#include "cli/command_line.h"
#include "cli/command_line_support.h"
#include "play/pcap_export.h"
#include "play/recording_index.h"
#include "record/pcap_import.h"

#include <QFile>
#include <QFileInfo>
#include <QTemporaryFile>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace CommandLine {

namespace {

const char manual[] = R"(NAME
    korvel-recorder convert - convert between recordings and pcap captures

SYNOPSIS
    korvel-recorder convert INPUT.wly OUTPUT.pcap [--dest HOST:PORT] [--rate HZ]
    korvel-recorder convert INPUT.pcap|INPUT.pcapng OUTPUT.wly [--port PORT]

DESCRIPTION
    The direction follows the extensions.

    A recording becomes a pcap capture with one Ethernet/IPv4/UDP packet per
    frame from 127.0.0.1:49152, carrying exactly the datagram play sends (the
    frame's lines without comments, trimmed, each ended by CR LF). Packet times
    start at 0 and follow the "ts" lines relative to the first; a frame without
    one keeps the previous interval, or takes 1/HZ before any is known. The
    text before the first frame line is not sent, so it is not exported, and
    frames longer than one UDP datagram are skipped and counted.

    A pcap or pcapng capture (Ethernet, Linux cooked, raw IP or loopback)
    becomes a recording of its UDP/IPv4 payloads, byte for byte and in capture
    order. Empty payloads, fragments, truncated packets and everything but UDP
    over IPv4 are skipped and counted.

    OUTPUT is written beside itself under a temporary name and takes its place
    only when complete.

OPTIONS
    --dest HOST:PORT   destination of the exported packets (default 127.0.0.1:5001)
    --rate HZ          frame rate for frames without "ts" lines (default 4)
    --port PORT        import only the datagrams to this UDP port

    A capture without a UDP/IPv4 payload to keep gives no OUTPUT. A capture
    cut short inside a packet gives the whole packets before the cut, and a
    warning naming the packet.

EXIT STATUS
    0 success, 1 a file cannot be read or written, the capture holds no
    UDP/IPv4 payload, or it is cut short (what came before the cut is
    written), 2 usage error.
)";

enum class Kind { Recording, Pcap, Pcapng, Other };

Kind kindOf(const QString &path)
{
    const QString suffix = QFileInfo(path).suffix().toLower();
    if (suffix == QLatin1String("wly"))
        return Kind::Recording;
    if (suffix == QLatin1String("pcap"))
        return Kind::Pcap;
    if (suffix == QLatin1String("pcapng"))
        return Kind::Pcapng;
    return Kind::Other;
}

// A file beside the target that takes its place only once it is complete, so
// a failed or interrupted conversion never leaves a half-written OUTPUT.
class SideFile
{
public:
    explicit SideFile(const QString &target) : m_target(target) {}
    ~SideFile()
    {
        if (!m_path.isEmpty())
            QFile::remove(m_path);
    }

    bool create(QString &reason)
    {
        const QFileInfo target(m_target);
        QTemporaryFile file(target.absolutePath() + QStringLiteral("/.") + target.fileName()
                            + QStringLiteral(".XXXXXX"));
        file.setAutoRemove(false);
        if (!file.open()) {
            reason = QStringLiteral("%1: cannot create a file in %2: %3")
                         .arg(m_target, target.absolutePath(), file.errorString());
            return false;
        }
        m_path = file.fileName();
        // Temporary files are private; the result should look like any other file.
        file.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ReadGroup | QFile::ReadOther);
        return true;
    }

    QString path() const { return m_path; }

    bool commit(QString &reason)
    {
        if (std::rename(QFile::encodeName(m_path).constData(), QFile::encodeName(m_target).constData()) != 0) {
            reason = QStringLiteral("%1: %2").arg(m_target, QString::fromLocal8Bit(std::strerror(errno)));
            return false;
        }
        m_path.clear();
        return true;
    }

private:
    QString m_target;
    QString m_path;
};

QString skippedText(const PcapImportResult &result)
{
    return QStringLiteral("skipped: %1 to other ports, %2 not UDP over IPv4, %3 fragments, %4 truncated, %5 empty")
        .arg(result.otherPort)
        .arg(result.notUdp)
        .arg(result.fragments)
        .arg(result.truncated)
        .arg(result.empty);
}

int exportCapture(const QString &input, const QString &output, const PcapExportOptions &options)
{
    RecordingIndex index;
    const IndexResult indexed = RecordingIndex::build(input, index);
    if (indexed.status != IndexResult::Loaded)
        return fail(ExitFailure, RecordingIndex::failureText(input, indexed));
    SideFile side(output);
    QString reason;
    PcapExportResult result;
    if (!side.create(reason))
        return fail(ExitFailure, reason);
    if (!PcapExport::exportRecording(index, side.path(), options, result, reason))
        return fail(ExitFailure, QStringLiteral("%1: %2").arg(output, reason));
    if (!side.commit(reason))
        return fail(ExitFailure, reason);
    std::printf("%lld packets, %lld payload bytes written to %s", (long long)result.packets,
                (long long)result.bytes, qPrintable(output));
    if (result.oversizeSkipped > 0)
        std::printf("; %lld frames longer than one datagram skipped", (long long)result.oversizeSkipped);
    std::printf("\n");
    return ExitSuccess;
}

int importCapture(const QString &input, const QString &output, quint16 port)
{
    SideFile side(output);
    QString reason;
    if (!side.create(reason))
        return fail(ExitFailure, reason);
    QFile file(side.path());
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return fail(ExitFailure, QStringLiteral("%1: %2").arg(output, file.errorString()));
    PcapImportResult result;
    if (!PcapImport::importCapture(input, port, file, result, reason))
        return fail(ExitFailure, QStringLiteral("%1: %2").arg(input, reason));
    const QString cut = result.cutShort ? QStringLiteral("cut short in packet %1 (%2)")
                                              .arg(result.packets + 1)
                                              .arg(result.cutReason)
                                        : QString();
    // A recording without a datagram is no recording: info and play would refuse it.
    if (result.datagrams == 0)
        return fail(ExitFailure, QStringLiteral("%1: no UDP/IPv4 payload%2 in %3 packets (%4)%5; nothing written")
                                     .arg(input, port ? QStringLiteral(" to port %1").arg(port) : QString())
                                     .arg(result.packets)
                                     .arg(skippedText(result), cut.isEmpty() ? QString() : QStringLiteral("; ") + cut));
    const bool flushed = file.flush();
    file.close();
    if (!flushed || file.error() != QFileDevice::NoError)
        return fail(ExitFailure, QStringLiteral("%1: %2").arg(output, file.errorString()));
    if (!side.commit(reason))
        return fail(ExitFailure, reason);
    std::printf("%lld datagrams, %lld bytes written to %s from %lld packets (%s)\n", (long long)result.datagrams,
                (long long)result.bytes, qPrintable(output), (long long)result.packets,
                qPrintable(skippedText(result)));
    if (result.cutShort)
        return fail(ExitFailure, QStringLiteral("warning: %1 is %2; the %3 whole packets before it are converted")
                                     .arg(input, cut)
                                     .arg(result.packets));
    return ExitSuccess;
}

}

int convert(const QStringList &arguments)
{
    QCommandLineParser parser;
    parser.addOptions({{QStringLiteral("port"), QString(), QStringLiteral("PORT")},
                       {QStringLiteral("dest"), QString(), QStringLiteral("HOST:PORT")},
                       {QStringLiteral("rate"), QString(), QStringLiteral("HZ")}});
    const int parsed = parse(parser, arguments, manual, 2);
    if (parsed >= 0)
        return parsed;
    const QString input = parser.positionalArguments().at(0);
    const QString output = parser.positionalArguments().at(1);
    const Kind from = kindOf(input);
    const Kind to = kindOf(output);

    if (from == Kind::Recording && to == Kind::Pcap) {
        if (parser.isSet(QStringLiteral("port")))
            return fail(ExitUsage, QStringLiteral("--port applies to captures read, not written (see --help)"));
        PcapExportOptions options;
        if (!readNumber(parser, QStringLiteral("rate"), 0.001, 1e6, options.rateHz))
            return ExitUsage;
        if (parser.isSet(QStringLiteral("dest"))) {
            Destination destination;
            if (!readDestination(parser.value(QStringLiteral("dest")), destination))
                return ExitUsage;
            if (!resolve(destination))
                return fail(ExitFailure, QStringLiteral("cannot resolve host \"%1\"").arg(destination.host));
            // Captures are written with IPv4 headers only.
            if (destination.address.family != NET_IPV4)
                return fail(ExitFailure, QStringLiteral("--dest %1: a capture is written with IPv4 headers and %1 "
                                                        "has no IPv4 address")
                                             .arg(destination.host));
            options.destinationAddress = netIpv4Value(&destination.address);
            options.destinationPort = destination.port;
        }
        return exportCapture(input, output, options);
    }
    if ((from == Kind::Pcap || from == Kind::Pcapng) && to == Kind::Recording) {
        if (parser.isSet(QStringLiteral("dest")) || parser.isSet(QStringLiteral("rate")))
            return fail(ExitUsage, QStringLiteral("--dest and --rate apply to captures written (see --help)"));
        qint64 port = 0;
        if (!readInteger(parser, QStringLiteral("port"), 1, 65535, port))
            return ExitUsage;
        return importCapture(input, output, quint16(port));
    }
    if (from == Kind::Recording && to == Kind::Pcapng)
        return fail(ExitUsage, QStringLiteral("%1: pcapng is read, not written; name the output .pcap").arg(output));
    return fail(ExitUsage, QStringLiteral("cannot convert %1 to %2: expected .wly to .pcap, or .pcap/.pcapng to .wly")
                               .arg(input, output));
}

}
