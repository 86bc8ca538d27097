// Sends tracking-like frames to 127.0.0.1 at a steady rate, one datagram per frame.

#include "tools/traffic.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QFile>

#include <cstdio>

int main(int argc, char *argv[])
{
    QCoreApplication application(argc, argv);
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("Sends tracking-like frames to 127.0.0.1."));
    parser.addHelpOption();
    parser.addOptions({
        {QStringLiteral("port"), QStringLiteral("Destination port on 127.0.0.1."), QStringLiteral("P")},
        {QStringLiteral("rate"), QStringLiteral("Frames per second (default 1000)."), QStringLiteral("HZ")},
        {QStringLiteral("count"), QStringLiteral("Frames to send (default 1000)."), QStringLiteral("N")},
        {QStringLiteral("size"), QStringLiteral("Datagram size, 60 to 60000 (default 300)."), QStringLiteral("BYTES")},
        {QStringLiteral("first-frame"), QStringLiteral("Number of the first frame (default 1)."), QStringLiteral("F")},
        {QStringLiteral("ts-start"), QStringLiteral("First timestamp in seconds (default 1000.0)."),
         QStringLiteral("S")},
        {QStringLiteral("out"), QStringLiteral("Also write every datagram sent to FILE."), QStringLiteral("FILE")},
    });
    parser.process(application);

    double port = 0, rate = 1000, count = 1000, size = 300, firstFrame = 1, firstTimestamp = 1000.0;
    if (!parser.isSet(QStringLiteral("port"))) {
        std::fprintf(stderr, "korvel-send: --port is required\n");
        return 1;
    }
    if (!Traffic::readOption("korvel-send", parser, QStringLiteral("port"), 1, 65535, port)
        || !Traffic::readOption("korvel-send", parser, QStringLiteral("rate"), 0.001, 10000000, rate)
        || !Traffic::readOption("korvel-send", parser, QStringLiteral("count"), 0, 4294967295.0, count)
        || !Traffic::readOption("korvel-send", parser, QStringLiteral("size"), Traffic::minimumSize, Traffic::maximumSize, size)
        || !Traffic::readOption("korvel-send", parser, QStringLiteral("first-frame"), -2147483648.0, 2147483647.0, firstFrame)
        || !Traffic::readOption("korvel-send", parser, QStringLiteral("ts-start"), 0, 1e12, firstTimestamp))
        return 1;

    FILE *out = nullptr;
    if (parser.isSet(QStringLiteral("out"))) {
        out = std::fopen(QFile::encodeName(parser.value(QStringLiteral("out"))).constData(), "wb");
        if (!out) {
            std::perror("korvel-send: --out");
            return 1;
        }
    }

    UdpSocket *socket = nullptr;
    if (udpOpen(&socket, 0, 0) != UDP_OK) {
        std::fprintf(stderr, "korvel-send: cannot open a socket\n");
        if (out)
            std::fclose(out);
        return 2;
    }
    const Traffic::FrameComposer composer(int(size), int32_t(firstFrame), firstTimestamp, rate);
    bool written = true;
    const Traffic::SendResult result =
        Traffic::sendPaced(socket, uint16_t(port), composer, rate, uint64_t(count), [&](const char *data, int length) {
            if (out && std::fwrite(data, 1, size_t(length), out) != size_t(length))
                written = false;
        });
    udpClose(socket);
    if (out && std::fclose(out) != 0)
        written = false;

    // The rate is taken between the first and the last send, as a receiver sees it.
    const double seconds = double(result.microseconds) / 1e6;
    const double hertz = result.datagrams > 1 && seconds > 0 ? double(result.datagrams - 1) / seconds : 0.0;
    std::printf("sent %llu datagrams, %llu bytes in %.3f s (%.1f Hz)\n", (unsigned long long)result.datagrams,
                (unsigned long long)result.bytes, seconds, hertz);
    if (result.status != UDP_OK) {
        std::fprintf(stderr, "korvel-send: send failed with %d\n", result.status);
        return 2;
    }
    if (!written) {
        std::fprintf(stderr, "korvel-send: writing --out failed\n");
        return 2;
    }
    return 0;
}
