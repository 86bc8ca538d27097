// korvel-recorder record: the window's recording session without the window.

#include "cli/command_line.h"
#include "cli/command_line_support.h"
#include "cli/record_plan.h"
#include "platform/console.h"
#include "play/marker_book.h"
#include "record/recording_session.h"

#include <QCoreApplication>
#include <QDir>
#include <QJsonArray>
#include <QSocketNotifier>
#include <QTimer>

namespace CommandLine {

namespace {

const char manual[] = R"(NAME
    korvel-recorder record - record the UDP datagrams arriving on a port

SYNOPSIS
    korvel-recorder record --port PORT --output FILE [--count N] [--duration SECONDS] [--json]
                           [--pre SECONDS [--trigger signal|match:REGEX] [--post SECONDS]]
                           [--split-size SIZE[K|M|G] | --split-duration SECONDS [--keep N]]
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

    With --pre and --trigger it waits for a trigger, keeping the datagrams of
    the last SECONDS in memory (at most 512 MiB, the oldest going first), and
    the recording begins with them: with the datagram matching the trigger,
    or the newest one at SIGUSR1, and those received up to SECONDS before it.
    With --trigger signal the first SIGUSR1 is the trigger and adds no marker;
    later ones add markers.
    A SIGINT or SIGTERM, --count or --duration before the trigger saves
    nothing and says "no trigger". Without --trigger, --pre changes nothing.
    --count and --duration count from the start, not from the trigger.

    With --split-size or --split-duration the recording is written as parts
    beside FILE instead: NAME-0001.wly, NAME-0002.wly, ... for FILE NAME.wly,
    each of whole datagrams, written under a hidden name and renamed when
    complete; one ends before the datagram that would make it larger than
    SIZE, or that arrives SECONDS after its first. Put together in order, the
    parts are the recording. A part that cannot be written (a full disk) is
    reported at once and ends; recording goes on into the next part as soon
    as one can be written.

OPTIONS
    --port PORT          port to receive on, 1 to 65535
    --output FILE        the recording to write; its folder must exist
    --count N            end after N datagrams
    --duration SECONDS   end after SECONDS
    --pre SECONDS        with --trigger: keep the last SECONDS (1 to 600)
                         before the trigger
    --trigger KIND       signal: begin at SIGUSR1; match:REGEX: begin at the
                         first datagram with a line REGEX matches
    --post SECONDS       end SECONDS after the trigger
    --split-size SIZE    write parts of at most SIZE bytes (K, M, G: 1024,
                         1024^2, 1024^3)
    --split-duration SECONDS
                         write parts of SECONDS each
    --keep N             keep only the newest N parts, removing older ones
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
                         from the file) and output; with --trigger also
                         trigger_frame (its frame number, null when none)
                         and pre_frames (datagrams before it in the file);
                         when split, parts (their paths, oldest first)

EXIT STATUS
    0 saved, or no trigger came; 1 the port cannot be opened, a datagram was
    not written, saving failed, receiving failed (what was received is still
    saved when possible), or no datagram was received, 2 usage error.
)";

// One recording run: started (at once or at the trigger), ended by count, time or signal, then saved.
class RecordRun : public QObject
{
public:
    explicit RecordRun(const RecordPlan &plan) : plan(plan), output(plan.output)
    {
        connect(&session, &RecordingSession::ended, this, &RecordRun::save);
        connect(&session, &RecordingSession::receiverFailed, this, [this](const QString &reason) {
            failure = QStringLiteral("receiving on port %1 failed: %2").arg(port).arg(reason);
            save();
        });
        connect(&session, &RecordingSession::writeFailed, this, [this](const QString &reason) {
            failure = QStringLiteral("writing %1 failed: %2").arg(session.temporaryPath(), reason);
        });
        // Unattended runs go on for days: the operator hears of a lost part now, not at the end.
        connect(&session, &RecordingSession::partFailed, this, [this](const QString &path, const QString &reason) {
            endStatusLine();
            fail(ExitFailure, QStringLiteral("writing %1 failed: %2; recording goes on into the next part")
                                  .arg(path, reason));
        });
        connect(&session, &RecordingSession::triggered, this, [this] {
            if (this->plan.post > 0)
                QTimer::singleShot(qint64(this->plan.post * 1000), &session, &RecordingSession::stop);
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

    int start()
    {
        port = int(plan.port);
        session.setDatagramLimit(plan.count);
        if (plan.splits())
            session.setParts(output, plan.splitBytes, plan.splitSeconds, int(plan.keep));
        session.setReceiveOptions(plan.receive);
        QString error;
        if (begin(&error) != RecordingSession::Start::Started)
            return fail(ExitFailure, error);

        const int stopSignal = Console::stopSignalDescriptor();
        if (stopSignal >= 0) {
            auto *notifier = new QSocketNotifier(stopSignal, QSocketNotifier::Read, this);
            connect(notifier, &QSocketNotifier::activated, &session, &RecordingSession::stop);
        }
        // Ready before the port opens: a rig may signal as soon as it sees the port bound.
        const int markSignal = Console::markSignalDescriptor();
        if (markSignal >= 0) {
            auto *notifier = new QSocketNotifier(markSignal, QSocketNotifier::Read, this);
            connect(notifier, &QSocketNotifier::activated, this, [this, markSignal] { onSignal(markSignal); });
        } else if (plan.trigger == RecordPlan::SignalTrigger) {
            return fail(ExitFailure, QStringLiteral("SIGUSR1 cannot be caught, so --trigger signal cannot work"));
        }
        if (plan.duration > 0)
            QTimer::singleShot(qint64(plan.duration * 1000), &session, &RecordingSession::stop);
        if (Console::isTerminal(1)) {
            auto *status = new QTimer(this);
            connect(status, &QTimer::timeout, this, &RecordRun::showStatus);
            status->start(250);
        }
        return QCoreApplication::exec();
    }

private:
    RecordingSession::Start begin(QString *error)
    {
        if (plan.trigger == RecordPlan::NoTrigger)
            return session.startRecording(port, error);
        session.setPreTrigger(int(plan.preSeconds));
        if (plan.trigger == RecordPlan::MatchTrigger)
            session.setTrigger(plan.pattern);
        return session.startPreview(port, error);
    }

    // SIGUSR1: the trigger while one is awaited, else a marker.
    void onSignal(int descriptor)
    {
        const int waiting = Console::takeSignalBytes(descriptor);
        if (waiting == 0 || saving)
            return;
        if (plan.trigger == RecordPlan::SignalTrigger && session.mode() == RecordingSession::Previewing) {
            QString error;
            if (session.startRecording(port, &error) != RecordingSession::Start::Started) {
                failure = error;
                save();
            }
            return;
        }
        addMarker();
    }

    // On the main thread: the receiver only left the newest frame number in an atomic.
    void addMarker()
    {
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

    void showStatus()
    {
        if (saving)
            return;
        const StreamFigures figures = session.figures();
        const QString what = session.mode() == RecordingSession::Previewing
                                 ? QStringLiteral("waiting for the trigger (buffer %1 s)").arg(session.keptSeconds())
                                 : QStringLiteral("recording %1").arg(output);
        QString line = QStringLiteral("%1  %2  received %3  lost %4  dropped %5")
                           .arg(what, RecordingSession::rateText(session.rateHz()))
                           .arg(figures.datagrams)
                           .arg(figures.frames_lost)
                           .arg(figures.dropped);
        if (figures.rejected > 0)
            line += QStringLiteral("  rejected %1").arg(figures.rejected);
        printStatusLine(line);
    }

    void save()
    {
        if (saving)
            return;
        saving = true;
        session.stop();
        if (plan.trigger != RecordPlan::NoTrigger && !session.hasTriggered()) {
            session.discardTemporary();
            if (failure.isEmpty())
                noTrigger = true;
            finish();
            return;
        }
        // An empty file would be no recording: info and play refuse one.
        if (session.recorded() == 0) {
            session.discardTemporary();
            if (failure.isEmpty())
                failure = QStringLiteral("no datagrams received on port %1; %2 is not written").arg(port).arg(output);
            finish();
            return;
        }
        if (plan.splits()) {
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
                          .arg(session.recorded())
                          .arg(plan.splits() ? QStringLiteral("the parts of %1").arg(output)
                                             : session.temporaryPath());
        if (json)
            printJson(figures(notWritten));
        if (noTrigger)
            fail(ExitSuccess, QStringLiteral("no trigger; %1 is not written").arg(output));
        QCoreApplication::exit(failure.isEmpty() ? ExitSuccess : fail(ExitFailure, failure));
    }

    QJsonObject figures(int notWritten) const
    {
        QJsonObject object = healthJson(session.figures(), notWritten);
        object.insert(QStringLiteral("output"), output);
        if (plan.trigger != RecordPlan::NoTrigger) {
            const qint64 frame = session.triggerFrame();
            object.insert(QStringLiteral("trigger_frame"),
                          session.hasTriggered() && frame >= 0 ? QJsonValue(frame) : QJsonValue());
            object.insert(QStringLiteral("pre_frames"), session.preFrames());
        }
        if (plan.splits())
            object.insert(QStringLiteral("parts"), QJsonArray::fromStringList(session.parts()));
        return object;
    }

    const RecordPlan plan;
    RecordingSession session;
    MarkerBook markers;
    QString output;
    QString failure;
    int port = 0;
    bool json = plan.json;
    bool saving = false;
    bool noTrigger = false;
};

}

int record(const QStringList &arguments)
{
    QCommandLineParser parser;
    addRecordOptions(parser);
    const int parsed = parse(parser, arguments, manual, 0, {QStringLiteral("join"), QStringLiteral("allow")});
    if (parsed >= 0)
        return parsed;
    RecordPlan plan;
    const int refused = readRecordPlan(parser, plan);
    if (refused >= 0)
        return refused;
    RecordRun run(plan);
    return run.start();
}

}
