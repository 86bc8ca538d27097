#ifndef KORVEL_RECORDER_THREAD_H
#define KORVEL_RECORDER_THREAD_H

#include "record/source_filter.h"
#include "record/stream_health.h"

#include <QByteArray>
#include <QList>
#include <QMutex>
#include <QObject>
#include <QString>

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <thread>

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
    // Datagrams from senders it does not allow are counted as rejected, never kept.
    void setSourceFilter(const SourceFilter &filter);

    void start();
    bool isRunning() const { return thread.joinable(); }

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
    // Appends the datagram in `buffer` to the batch written at the end of a burst.
    void keep(FILE *file, int length);
    void flushBatch(FILE *file);
    // Writes `count` datagrams of `lengths` from `data` with one call. A short
    // write is cut back to its last whole datagram, so that no datagram is ever
    // torn and the next one never lands glued to a part of another.
    void writeWhole(FILE *file, const char *data, const int *lengths, int count, int bytes);
    // Cuts the file back to its whole datagrams; false while that fails.
    bool cutBack(FILE *file);
    void countFailedWrites(int count, int error);
    void reject(const NetAddress &sender);

    std::atomic<bool> running{false};
    bool recording = false;
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
