// korvel-recorder record: the window's recording session without the window.

#include "cli/command_line.h"
#include "cli/command_line_support.h"
#include "platform/console.h"
#include "play/marker_book.h"
#include "record/recording_session.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QSocketNotifier>
#include <QTimer>

#include <limits>

namespace CommandLine {

namespace {

const char manual[] = R"(NAME
    korvel-recorder record - record the UDP datagrams arriving on a port

SYNOPSIS
    korvel-recorder record --port PORT --output FILE [--count N] [--duration SECONDS] [--json]
                           [--listen ADDRESS|IFNAME] [--join GROUP|SOURCE@GROUP]... [--allow HOST|SUBNET]...

DESCRIPTION
    Receives on PORT (all interfaces) and writes every datagram byte for byte,
    as the window records; empty datagrams are skipped. The recording grows in
    the temporary folder and becomes FILE when it ends: by a rename on the same
    file system, else by a copy beside FILE that is renamed when complete.

    It ends after N datagrams (nothing after the Nth is written), after
    SECONDS, or at SIGINT (Ctrl+C) or SIGTERM, and saves what it received in
    every case; when nothing was received, no FILE is written. A datagram
    that cannot be written whole (a full disk) is left out entirely, never in
    part; writing goes on with the next one. SIGUSR1 adds a marker at the
    newest frame received, labelled M1, M2, ..., written to FILE.marks at
    once, so a run that is killed keeps its markers. On a terminal one status
    line shows rate, received and lost
    frames; it is never printed when standard output is not a terminal.

OPTIONS
    --port PORT          port to receive on, 1 to 65535
    --output FILE        the recording to write; its folder must exist
    --count N            end after N datagrams
    --duration SECONDS   end after SECONDS
    --listen ADDRESS|IFNAME
                         receive on one local address (IPv4 or IPv6; "::"
                         for every IPv6 address) or on one interface by name;
                         default every IPv4 address
    --join GROUP|SOURCE@GROUP
                         join a multicast group, from any source or only from
                         SOURCE (a source-specific membership), on the
                         interface of --listen; left at the end. Repeatable.
                         An IPv6 listen address or group makes the socket IPv6
    --allow HOST|SUBNET  record only datagrams from these senders (192.0.2.7,
                         10.1.0.0/16, fe80::/10); others are counted as
                         rejected and not recorded. Repeatable; default everyone
    --json               print one JSON line at the end: datagrams, bytes,
                         frames_lost, duplicates, out_of_order, unnumbered,
                         dropped (by the system for want of buffer), jitter_ms,
                         passes (numbered runs: a sender starting over, or
                         numbers jumping a whole window ahead), senders
                         (source addresses), rejected (datagrams from senders
                         --allow leaves out), not_written (datagrams missing
                         from the file) and output

EXIT STATUS
    0 saved, 1 the port cannot be opened, a datagram was not written, saving
    failed, receiving failed (what was received is still saved when
    possible), or no datagram was received, 2 usage error.
)";

// One recording run: started, ended by count, time or signal, then saved.
class RecordRun : public QObject
{
public:
    RecordRun(const QString &output, bool json) : output(output), json(json)
    {
        connect(&session, &RecordingSession::ended, this, &RecordRun::save);
        connect(&session, &RecordingSession::receiverFailed, this, [this](const QString &reason) {
            failure = QStringLiteral("receiving on port %1 failed: %2").arg(port).arg(reason);
            save();
        });
        connect(&session, &RecordingSession::writeFailed, this, [this](const QString &reason) {
            failure = QStringLiteral("writing %1 failed: %2").arg(session.temporaryPath(), reason);
        });
        connect(&session, &RecordingSession::saveFinished, this, [this](bool saved, const QString &reason) {
            if (!saved)
                failure = QStringLiteral("%1: %2 (the recording is kept as %3)")
                              .arg(this->output, reason, session.temporaryPath());
            else
                keepMarkers();
            finish();
        });
        connect(&markers, &MarkerBook::writeFailed, this, [](const QString &path, const QString &reason) {
            warn(QStringLiteral("writing %1 failed: %2").arg(path, reason));
        });
        markers.attach(output);
    }

    int start(int port, qint64 count, double duration, const ReceiveOptions &options)
    {
        this->port = port;
        session.setDatagramLimit(count);
        session.setReceiveOptions(options);
        QString error;
        if (session.startRecording(port, &error) != RecordingSession::Start::Started)
            return fail(ExitFailure, error);

        const int stopSignal = Console::stopSignalDescriptor();
        if (stopSignal >= 0) {
            auto *notifier = new QSocketNotifier(stopSignal, QSocketNotifier::Read, this);
            connect(notifier, &QSocketNotifier::activated, &session, &RecordingSession::stop);
        }
        const int markSignal = Console::markSignalDescriptor();
        if (markSignal >= 0) {
            auto *notifier = new QSocketNotifier(markSignal, QSocketNotifier::Read, this);
            connect(notifier, &QSocketNotifier::activated, this, [this, markSignal] { addMarkers(markSignal); });
        }
        if (duration > 0)
            QTimer::singleShot(qint64(duration * 1000), &session, &RecordingSession::stop);
        if (Console::isTerminal(1)) {
            auto *status = new QTimer(this);
            connect(status, &QTimer::timeout, this, &RecordRun::showStatus);
            status->start(250);
        }
        return QCoreApplication::exec();
    }

private:
    void showStatus()
    {
        if (saving)
            return;
        const StreamFigures figures = session.figures();
        QString line = QStringLiteral("recording %1  %2  received %3  lost %4  dropped %5")
                           .arg(output, RecordingSession::rateText(session.rateHz()))
                           .arg(figures.datagrams)
                           .arg(figures.frames_lost)
                           .arg(figures.dropped);
        if (figures.rejected > 0)
            line += QStringLiteral("  rejected %1").arg(figures.rejected);
        printStatusLine(line);
    }

    // On the main thread: the receiver only left the newest frame number in an atomic.
    void addMarkers(int descriptor)
    {
        const int waiting = Console::takeSignalBytes(descriptor);
        if (waiting == 0 || saving)
            return;
        const qint64 frame = session.newestFrame();
        if (frame < 0) {
            warn(QStringLiteral("SIGUSR1: no numbered frame received yet, no marker added"));
            return;
        }
        // Signals that arrive together mark the same frame once.
        markers.add(int(frame));
    }

    // Saving replaced the output and the markers it may have had.
    void keepMarkers()
    {
        if (!markers.markers().isEmpty())
            markers.rewrite();
    }

    void save()
    {
        if (saving)
            return;
        saving = true;
        session.stop();
        // An empty file would be no recording: info and play refuse one.
        if (session.received() == 0) {
            session.discardTemporary();
            if (failure.isEmpty())
                failure = QStringLiteral("no datagrams received on port %1; %2 is not written").arg(port).arg(output);
            finish();
            return;
        }
        QString reason;
        switch (session.saveTemporary(output, &reason)) {
        case RecordingSaver::Renamed:
            keepMarkers();
            finish();
            break;
        case RecordingSaver::Copying:
            break; // saveFinished follows
        case RecordingSaver::Refused:
        case RecordingSaver::Failed:
            failure = QStringLiteral("%1: %2 (the recording is kept as %3)")
                          .arg(output, reason, session.temporaryPath());
            finish();
            break;
        }
    }

    void finish()
    {
        endStatusLine();
        // Counted, not taken from the write signal alone: a failure in the last write
        // comes as the run ends, when nobody listens any more.
        const int notWritten = session.failedWrites();
        if (notWritten > 0 && failure.isEmpty())
            failure = QStringLiteral("%1 of %2 received datagrams could not be written to %3")
                          .arg(notWritten)
                          .arg(session.received())
                          .arg(session.temporaryPath());
        if (json) {
            QJsonObject line = healthJson(session.figures(), notWritten);
            line.insert(QStringLiteral("output"), output);
            printJson(line);
        }
        QCoreApplication::exit(failure.isEmpty() ? ExitSuccess : fail(ExitFailure, failure));
    }

    RecordingSession session;
    MarkerBook markers;
    QString output;
    QString failure;
    int port = 0;
    bool json = false;
    bool saving = false;
};

}

int record(const QStringList &arguments)
{
    QCommandLineParser parser;
    parser.addOptions({{QStringLiteral("port"), QString(), QStringLiteral("PORT")},
                       {QStringLiteral("output"), QString(), QStringLiteral("FILE")},
                       {QStringLiteral("count"), QString(), QStringLiteral("N")},
                       {QStringLiteral("duration"), QString(), QStringLiteral("SECONDS")},
                       {QStringLiteral("json"), QString()},
                       {QStringLiteral("listen"), QString(), QStringLiteral("ADDRESS|IFNAME")},
                       {QStringLiteral("join"), QString(), QStringLiteral("GROUP|SOURCE@GROUP")},
                       {QStringLiteral("allow"), QString(), QStringLiteral("HOST|SUBNET")}});
    const int parsed = parse(parser, arguments, manual, 0, {QStringLiteral("join"), QStringLiteral("allow")});
    if (parsed >= 0)
        return parsed;
    if (!parser.isSet(QStringLiteral("port")) || !parser.isSet(QStringLiteral("output")))
        return fail(ExitUsage, QStringLiteral("--port and --output are required (see --help)"));
    qint64 port = 0, count = 0;
    double duration = 0;
    if (!readInteger(parser, QStringLiteral("port"), 1, 65535, port)
        || !readInteger(parser, QStringLiteral("count"), 1, std::numeric_limits<qint64>::max(), count)
        || !readNumber(parser, QStringLiteral("duration"), 0.001, 1e9, duration))
        return ExitUsage;

    ReceiveOptions options;
    ReceiveOptionsError wrong;
    if (!parseReceiveOptions(parser.value(QStringLiteral("listen")), parser.values(QStringLiteral("join")),
                             parser.values(QStringLiteral("allow")), options, &wrong)) {
        static const char *const names[] = {"listen", "join", "allow"};
        return fail(ExitUsage, QStringLiteral("--%1 %2: %3").arg(QLatin1String(names[wrong.field]), wrong.value,
                                                                 wrong.reason));
    }

    // Refused before receiving anything: a recording with nowhere to go would be lost at the end.
    const QString output = parser.value(QStringLiteral("output"));
    if (output.isEmpty())
        return fail(ExitUsage, QStringLiteral("--output is empty: name the recording to write (see --help)"));
    const QFileInfo target(output);
    const QFileInfo folder(target.absolutePath());
    if (target.isDir())
        return fail(ExitFailure, QStringLiteral("%1 is a folder").arg(output));
    if (!folder.isDir() || !folder.isWritable())
        return fail(ExitFailure, QStringLiteral("%1: the folder %2 does not exist or cannot be written")
                                     .arg(output, QDir::toNativeSeparators(folder.filePath())));

    RecordRun run(output, parser.isSet(QStringLiteral("json")));
    return run.start(int(port), count, duration, options);
}

}
