#ifndef KORVEL_RECORDER_THREAD_H
#define KORVEL_RECORDER_THREAD_H

#include "record/pre_trigger_ring.h"
#include "platform/record_file.h"
#include "record/source_filter.h"
#include "record/stream_health.h"

#include <QByteArray>
#include <QList>
#include <QMutex>
#include <QObject>
#include <QString>

#include <atomic>
#include <cstdint>
#include <functional>
#include <cstdio>
#include <memory>
#include <thread>

class LineMatcher;
class QRegularExpression;
struct UdpSocket;
struct UdpWaker;

// Receives datagrams on its own thread, appends them to the record file while
// recording (a burst in one write), and keeps what front ends poll: the count, the stream's health,
// the arrivals of the rate meter and the latest datagram's text. Events are
// reported by queued calls into the object's own thread.
class Korvel_Recorder_Thread : public QObject
{
    Q_OBJECT

public:
    Korvel_Recorder_Thread();
    ~Korvel_Recorder_Thread() override;

    // Effective only while the thread is not running.
    void setRecording(bool recording);
    void setRecordFile(FILE *recordFile);
    void setSocket(UdpSocket *socket);
    // Ends the run right after this many datagrams, so nothing later is kept; 0 for no limit.
    void setDatagramLimit(qint64 limit);
    // While not recording, keep the datagrams of the last `seconds` (0: none) in
    // at most `bound` bytes, to begin a recording with.
    void setPreTrigger(int seconds, qint64 bound = PreTriggerRing::DefaultBound);
    // While keeping them, the first datagram with a line that `pattern` matches
    // switches the run into `file` by itself; an empty pattern arms nothing.
    void setTrigger(const QRegularExpression &pattern, FILE *file);
    // Recording goes into parts of at most `maxBytes` (0: any size) and
    // `maxMicros` (0: any length) named by `name(index)` instead of the record file.
    void setParts(const std::function<QString(int)> &name, qint64 maxBytes, qint64 maxMicros);
    // Datagrams from senders it does not allow are counted as rejected, never kept.
    void setSourceFilter(const SourceFilter &filter);

    void start();
    bool isRunning() const { return thread.joinable(); }

    // While keeping datagrams: the run goes on recording into `file` (or its parts), beginning with
    // those kept since `pressMicros` (monotonic) less `seconds` (at most the pre-trigger seconds).
    // The receiving thread makes the switch between two datagrams, so none is lost or written twice.
    void switchToFile(FILE *file, qint64 pressMicros, int seconds);
    // Microseconds between the oldest kept datagram and the newest; 0 when none are kept.
    qint64 keptMicros() const;
    // Whether this run switched from keeping datagrams to recording, and what switched() told.
    bool hasSwitched() const { return switchMade; }
    qint64 switchFrame() const { return switchedFrame; }
    qint64 framesBeforeSwitch() const { return switchedBefore; }
    // Parts ended since the last call, oldest first, for the caller to commit.
    QList<RecordFile::Part> takeEndedParts();

    // Text of the latest datagram, up to its first zero byte, as Latin-1 bytes
    // into `text`, reusing its storage; never torn.
    void copyLastText(QByteArray &text) const;
    // Datagrams of the current or last run that could not be written whole: none
    // of their bytes stay in the file.
    int failedWrites() const;
    // Datagrams of the current or last run written whole to the file.
    qint64 written() const;
    // Non-empty datagrams of the current or last run.
    qint64 received() const;
    // With `rejected` filled in.
    StreamFigures figures() const;
    // The number of the latest numbered datagram of this run, -1 before one; never locks.
    qint64 newestFrame() const { return health.newestFrame(); }
    // Datagrams in the last second, or -1 before two have arrived in this run.
    int rateHz() const;

signals:
    // The first failed write of a run, with errno; receiving goes on.
    void writeFailed(int error);
    // A write into a part failed (the first in that part, or opening it); the next datagram begins the next part.
    void partWriteFailed(const QString &path, int error);
    // The run switched from keeping datagrams to recording: the trigger datagram's
    // frame number (-1 when it has none, or none was kept) and the datagrams before it.
    void switched(qint64 triggerFrame, qint64 preFrames);
    // A part ended; takeEndedParts() has it.
    void partEnded();
    // The run ended on its own: `code` is the receive result, `error` errno.
    void receiveFailed(int code, int error);
    // The run ended at the datagram limit.
    void limitReached();
    // The first datagram of a run the source filter refused, with its sender's address.
    void firstRejected(const QString &sender);

public slots:
    // Ends the run and waits for the thread; reports still on their way are dropped.
    void stop();

private:
    void run();
    // Where the datagram that arrived at `micros` goes: kept in memory, into the file, or nowhere.
    void store(int length, qint64 micros);
    void beginRecording(FILE *target, qint64 pressMicros, int seconds);
    // Writes the oldest datagrams kept in memory; the recording's next datagrams follow them.
    void drainSome();
    // Appends the datagram to the batch written at the end of a burst.
    void keep(const char *data, int length, qint64 micros);
    // The part a datagram of `length` arriving at `micros` belongs in, ending and beginning parts; null when none can be had.
    FILE *partFor(int length, qint64 micros);
    void endPart();
    void flushBatch();
    // Writes `count` datagrams of `lengths` from `data` with one call. A short
    // write is cut back to its last whole datagram, so that no datagram is ever
    // torn and the next one never lands glued to a part of another.
    void writeWhole(const char *data, const int *lengths, int count, int bytes);
    // Cuts the file back to its whole datagrams; false while that fails.
    bool cutBack();
    void countFailedWrites(int count, int error);
    void reportPartFailure(const QString &path, int error);
    bool splitting() const { return bool(partName); }
    void reject(const NetAddress &sender);

    std::atomic<bool> running{false};
    bool recording = false;
    bool writing = false; // recording, not only receiving
    FILE *file = nullptr; // where this run writes now

    int preSeconds = 0;
    qint64 ringBound = PreTriggerRing::DefaultBound;
    qint64 ringBoundMade = 0;
    std::unique_ptr<PreTriggerRing> ring;
    std::unique_ptr<LineMatcher> matcher;
    FILE *triggerFile = nullptr;
    bool keeping = false; // datagrams go into the ring, none to a file
    bool draining = false; // the ring's datagrams are on their way to the file, ahead of new ones
    std::atomic<qint64> keptSpan{0};
    // The switch is handed over: the file and time are set before the flag is raised.
    std::atomic<bool> switchAsked{false};
    // What the switch found, for after the run: its signal may come after a Stop.
    std::atomic<bool> switchMade{false};
    std::atomic<qint64> switchedFrame{-1};
    std::atomic<qint64> switchedBefore{0};
    FILE *switchFile = nullptr;
    qint64 switchPress = 0;
    int switchSeconds = 0;

    std::function<QString(int)> partName;
    qint64 partMaxBytes = 0;
    qint64 partMaxMicros = 0;
    RecordFile::Part part;
    int partIndex = 0;
    qint64 partBegan = 0;
    qint64 nextPartAttempt = 0;
    bool partBroken = false;
    bool partFailureShown = false;
    QMutex partMutex;
    QList<RecordFile::Part> endedParts;
    qint64 datagramLimit = 0;
    // Microseconds; stop() ends a wait at once through the waker, so waiting long costs nothing.
    int timeout = 1000000;
    int capacity = 200000;
    char *buffer = nullptr;
    // Datagrams that arrived in one burst are written with one call; each is
    // on its way to the file before the receiver waits again.
    static constexpr int BatchDatagrams = 64;
    static constexpr int BatchBytes = 256 * 1024;
    char *batch = nullptr;
    int batchLengths[BatchDatagrams] = {};
    int batchCount = 0;
    int batchUsed = 0;
    QByteArray text;
    mutable QMutex textMutex;
    FILE *recordFile = nullptr;
    UdpSocket *socket = nullptr;
    UdpWaker *waker = nullptr;
    std::atomic<int> writeFailures{0};
    std::atomic<qint64> writtenDatagrams{0};
    // Bytes of whole datagrams in the file (-1 when its size could not be read),
    // and whether bytes of a torn one still follow them.
    qint64 fileEnd = 0;
    bool torn = false;
    std::atomic<qint64> datagrams{0};
    StreamHealth health;
    SourceFilter filter;
    std::atomic<qint64> rejected{0};
    // Millisecond arrivals of the rate meter, bounded to about a second.
    mutable QMutex arrivalMutex;
    mutable QList<uint32_t> arrivals;
    bool rateWarmUp = false;
    std::thread thread;
};

#endif
