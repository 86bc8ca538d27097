#ifndef RECORDING_INDEX_H
#define RECORDING_INDEX_H

#include "platform/file_access.h"
#include "play/index_result.h"
#include "play/index_tables.h"
#include "play/marker_store.h"

#include <QByteArray>
#include <QJsonObject>
#include <QList>
#include <QPair>
#include <QString>

#include <atomic>
#include <functional>

// A compact index of a recording file: per stored frame its file offset and
// "ts" value, frame numbers as runs. Frame text is never held; it is read on
// demand with positioned reads, so memory does not grow with the text and one
// index serves several threads. A file that shrinks or changes while open
// makes reads fail instead of crashing, and once seen changed, every later one.
class RecordingIndex
{
public:
    // Index files are written beside recordings above this size.
    static constexpr qint64 IndexFileThreshold = qint64(256) << 20;
    // What readFrame reads of a frame at most by default.
    static constexpr qint64 MaxFrameRead = qint64(64) << 20;
    // How long reads trust the file's size and time without asking again;
    // between such checks, a short read or a frame not starting with its
    // frame line shows a change at once.
    static constexpr qint64 ChangeCheckNs = 20'000'000;

    RecordingIndex() = default;
    ~RecordingIndex();
    RecordingIndex(RecordingIndex &&other) noexcept;
    RecordingIndex &operator=(RecordingIndex &&other) noexcept;
    RecordingIndex(const RecordingIndex &) = delete;
    RecordingIndex &operator=(const RecordingIndex &) = delete;

    // Indexes `path` into `out`; `out` is replaced only when the result is Loaded.
    // Uses a matching index file beside the recording instead of a scan, and
    // writes one after scanning a file above IndexFileThreshold when the folder
    // lets it. `cancel` is polled, `progress` called from the calling thread.
    static IndexResult build(const QString &path, RecordingIndex &out, const std::atomic<bool> *cancel = nullptr,
                             const IndexProgress &progress = {});
    static QString indexFilePath(const QString &recordingPath);
    // Writes the index file beside the recording; false when that cannot be done.
    bool writeIndexFile() const;

    // Why `path` could not be indexed, in one line naming the file.
    static QString failureText(const QString &path, const IndexResult &result);
    // "Lost frame number <count>: <up to ten numbers each after a blank>[...]"
    static QString lostFramesText(const IndexResult &result);
    // "Duplicate frame number <count>: <up to ten numbers each after a blank>[...]"
    static QString duplicateFramesText(const IndexResult &result);
    // "Out-of-order frame numbers: <up to ten "<frame> after <frame before>", comma-separated>[...]"
    static QString outOfOrderFramesText(const IndexResult &result);

    bool isLoaded() const { return fd >= 0; }
    QString path() const { return filePath; }
    qint64 fileSize() const { return tables.dataEnd; }

    int first() const { return tables.first; } // the lowest number stored
    int last() const { return tables.last; }   // the highest
    int frameCount() const { return int(tables.slotCount()); } // stored frames with a frame line
    bool contains(int number) const { return tables.slotOf(number) >= 0; }
    // By number, for seeking; a datagram that arrived late sits elsewhere in recorded order.
    int nextFrame(int number) const { return tables.nextNumber(number); }
    int previousFrame(int number) const { return tables.previousNumber(number); }
    // Place in recorded order (0 .. frameCount() − 1) and back; -1 when not stored.
    int positionOf(int number) const { return int(tables.slotOf(number)); }
    int frameAt(int position) const { return tables.numberAt(position); }
    double timestamp(int number) const; // NaN when none

    // Bytes of frame `number` in the file; -1 when not stored.
    qint64 frameLength(int number) const;
    // The frame's bytes as in the file, at most `maxBytes` of them; reuses the
    // storage of `raw`. False for a frame not stored or a file that changed.
    bool readFrame(int number, QByteArray &raw, qint64 maxBytes = MaxFrameRead) const;

    // Hands the stored frames at positions `first` to `last` (inclusive) in recorded
    // order to `each(number, raw)`, reading many frames per positioned read: the path
    // for passes over a whole recording. `raw` is valid during the call only. False
    // when the file changed or `each` returned false.
    bool forEachFrame(int first, int last, const std::function<bool(int, QByteArrayView)> &each) const;

    // The bytes of the stored frames from `from` to `to` (numbers, inclusive) as
    // runs of contiguous bytes in file order, each handed to `span(offset, length)`;
    // a range that holds the first stored frame starts at the file's first byte.
    // A dropped duplicate between two frames splits a run. Returns the number of
    // stored frames with a frame line.
    qint64 forEachSpan(int from, int to, const std::function<void(qint64, qint64)> &span) const;
    // Size and time of the file when it was indexed.
    const FileAccess::Facts &fileFacts() const { return facts; }

    int lostCount() const { return lost; }
    QList<QPair<int, int>> lostRanges() const; // [from, to], in order
    // Seconds the recording takes at its recorded pace, from the first to the last
    // stamped frame with anomalies as playback counts them; 0 with fewer than two stamps.
    double duration() const { return seconds; }
    // Steps between recorded stamps, anomalies left out, per second of them; NaN without any.
    double meanRate() const { return rate; }
    double firstTimestamp() const; // NaN when no frame has one
    // What info --json and the remote control's info give: frames, first, last, lost,
    // lost_ranges, duration_s and rate_hz (as info prints them: to the microsecond and
    // the millihertz, 0 rather than NaN), bytes and `markers` ([{frame, label}]).
    QJsonObject summary(const QList<Marker> &markers) const;

private:
    bool locate(int number, qint64 &offset, qint64 &length) const;
    // False once the file's size or time differ from when it was indexed;
    // asks the file only when `now` or ChangeCheckNs have passed since the last time.
    bool unchanged(bool now) const;
    void summarize(IndexResult &result);
    void summarizeStamps();

    IndexTables tables;
    QString filePath;
    FileAccess::Facts facts;
    int fd = -1;
    int lost = 0;
    double seconds = 0;
    double rate = 0;
    mutable std::atomic<qint64> checkedAt{0}; // monotonic ns of the last check
    mutable std::atomic<bool> changed{false};
};

#endif
