#ifndef RECORDING_SESSION_H
#define RECORDING_SESSION_H

#include "record/pre_trigger_ring.h"
#include "record/receive_options.h"
#include "record/recording_saver.h"
#include "record/stream_health.h"

#include <QByteArray>
#include <QDateTime>
#include <QList>
#include <QObject>
#include <QString>
#include <QStringList>

#include <cstdint>
#include <cstdio>

class Korvel_Recorder_Thread;
class QRegularExpression;
struct UdpSocket;

// Recording and preview of one receive port, shared by the window and the
// command line. Owns the socket, the receiver thread, the temporary recording
// and its saving; front ends poll the figures (a few times a second) and get
// signals only for events.
//
// The temporary recording lies in the temporary folder and is locked for as
// long as this session owns it, so that other running copies leave it alone
// and a copy that starts later can tell an abandoned one from a live one.
class RecordingSession : public QObject
{
    Q_OBJECT

public:
    enum Mode { Idle, Recording, Previewing };
    Q_ENUM(Mode)
    // Why a start was refused: a run already under way or a save in progress
    // (Refused), the port (Socket), or the temporary recording (TemporaryFile).
    enum class Start { Started, Refused, Socket, TemporaryFile };

    struct Abandoned {
        QString path;
        qint64 size;
        QDateTime modified;
    };

    // What the platform is asked for: bursts far above the tracker's rate must not overflow its small default.
    static constexpr int ReceiveBufferWanted = 8 * 1024 * 1024;

    explicit RecordingSession(QObject *parent = nullptr);
    ~RecordingSession() override; // stops; an unsaved temporary recording stays on disk

    // Both refuse a port outside 1..65535, a port that cannot be opened, or (Record)
    // a temporary recording that cannot be created, with the reason in `*error`.
    // Record during Preview switches over; Preview during Record is refused.
    // A Record while an unsaved temporary recording is kept leaves that one on
    // disk (unlocked, so it is offered as abandoned) and starts a new file.
    Start startRecording(int port, QString *error);
    Start startPreview(int port, QString *error);
    // Where the next run listens, the groups it joins and whom it records; the
    // default is every IPv4 address, no group, everyone.
    void setReceiveOptions(const ReceiveOptions &options);
    // The next run ends by itself (as stop() does) after `count` datagrams; 0 for no limit.
    void setDatagramLimit(qint64 count);

    static constexpr int MaxPreTriggerSeconds = 600;
    // From the next Preview on, the datagrams of the last `seconds` (0 to 600; 0
    // keeps none, as before) are kept in at most `bound` bytes, the oldest going
    // first; a Record during that Preview turns it into a recording that begins
    // with them, without a gap.
    void setPreTrigger(int seconds, qint64 bound = PreTriggerRing::DefaultBound);
    int preTriggerSeconds() const;
    // Previewing, with the last seconds kept for a Record to begin with.
    bool keepsPreview() const;
    // Whole seconds between the oldest and newest datagram kept while previewing; 0 else.
    int keptSeconds() const;
    // Whether the current or last run turned from a Preview into a recording, and what
    // triggered() tells, also after a Stop that came before that signal could.
    bool hasTriggered() const;
    qint64 triggerFrame() const;
    qint64 preFrames() const;
    // During a Preview that keeps datagrams: Record, beginning with the datagrams of only the last
    // `seconds` (0 up to the kept seconds) before now, as the remote control's "record {pre_seconds}"
    // asks; startRecording() begins with all that are kept. Refused when the Preview keeps
    // none; TemporaryFile, previewing on, when no temporary recording can be created.
    Start recordFromPreview(int seconds, QString *error);
    // In the next Preview that keeps datagrams, the first datagram with a line
    // that `pattern` matches begins the recording, as a Record would at its
    // arrival, and triggered() follows; an empty pattern arms nothing. That
    // Preview claims the temporary recording when it starts.
    void setTrigger(const QRegularExpression &pattern);
    // From the next recording on, it is written as parts beside `output`
    // ("NAME-0001.wly" for "NAME.wly") of at most `maxBytes` each (0: any size)
    // and `maxSeconds` (0: any length), each renamed into place when complete;
    // only the newest `keep` are kept (0: all). No temporary recording is used.
    void setParts(const QString &output, qint64 maxBytes, double maxSeconds, int keep);
    // The parts complete so far, oldest first.
    QStringList parts() const;
    static QString partPath(const QString &output, int index);
    // Ends receiving; the temporary recording stays for saveTemporary() or discardTemporary().
    void stop();

    Mode mode() const;
    // False once the receiver ended on its own, until stop().
    bool isReceiving() const;

    // Figures of the current or last run; any thread, no lock.
    qint64 received() const;
    // Datagrams not written to the temporary recording (none of their bytes are in it).
    int failedWrites() const;
    // Datagrams written whole to it.
    qint64 written() const;
    // Datagrams of the recording: written or not; without the Preview's before the Record.
    qint64 recorded() const;
    StreamFigures figures() const;
    // The frame number of the latest numbered datagram of the current or last run, -1 before one.
    qint64 newestFrame() const;
    // Datagrams in the last second while receiving, else -1 (shown as "-- Hz").
    int rateHz() const;
    static QString rateText(int hz);
    // The latest datagram's text up to its first zero byte, into `text`, reusing its storage.
    void copyLastText(QByteArray &text) const;

    QString temporaryPath() const;
    bool hasTemporaryRecording() const;
    void discardTemporary();
    // Gives up the temporary recording: removed unless `keep`; a kept one is
    // left unlocked, to be offered as abandoned at the next start.
    void closeTemporary(bool keep);

    // Saves the temporary recording (after stop()) as `target`: Renamed (done,
    // the session no longer has one), Copying (saveFinished() follows; the
    // temporary recording is removed only after a complete copy), Refused or Failed (kept).
    RecordingSaver::Result saveTemporary(const QString &target, QString *reason);
    void cancelSave();

    // Temporary recordings in the temporary folder that no running copy holds, oldest first.
    static QList<Abandoned> abandonedRecordings();

signals:
    void modeChanged(RecordingSession::Mode mode);
    void writeFailed(const QString &reason);
    // A part could not be written or made; recording goes on into the next part.
    void partFailed(const QString &path, const QString &reason);
    // The recording began (a Record during a Preview that keeps datagrams, or the
    // armed trigger): the frame number of the trigger datagram, or of the newest
    // datagram at the Record (-1 without one), and the datagrams before it in the recording.
    void triggered(qint64 frame, qint64 preFrames);
    void receiverFailed(const QString &reason, qint64 kept);
    // Once a run: the first datagram the source filter refused, and who sent it.
    void senderRejected(const QString &sender);
    void ended();
    void saveProgress(qint64 done, qint64 total);
    void saveFinished(bool saved, const QString &reason);

private:
    bool openSocket(int port, QString *error);
    Start switchToRecording(int seconds, QString *error);
    bool joinGroups(QString *error);
    void closeSocket();
    bool claimTemporary(QString *error);
    void startReceiver(bool recording);
    void stopReceiver();
    void onReceiveFailed(int code, int error);
    void onCopyFinished(bool saved, const QString &reason);
    void onSwitched(qint64 frame, qint64 preFrames);
    void commitEndedParts();
    void setMode(Mode mode);

    Korvel_Recorder_Thread *receiver;
    RecordingSaver *saver;
    UdpSocket *socket = nullptr;
    ReceiveOptions receiveOptions;
    // What `socket` joined, left as it was joined whatever the options are by then.
    QList<ReceiveOptions::Group> joined;
    uint32_t joinedInterface = 0;
    FILE *temporary = nullptr;
    QString temporaryName;
    Mode currentMode = Idle;
    bool receiving = false;
    int port = 0;
    int preSeconds = 0;
    qint64 preBound = PreTriggerRing::DefaultBound;
    bool keepingRun = false; // this Preview keeps datagrams
    QRegularExpression *trigger;
    bool armed = false; // the temporary recording waits for the trigger
    QString partOutput;
    int keepParts = 0;
    QStringList completedParts;
};

#endif
