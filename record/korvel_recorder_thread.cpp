#include "record/korvel_recorder_thread.h"

#include "platform/file_access.h"
#include "platform/stopwatch.h"
#include "platform/udp_socket.h"
#include "play/recording_lines.h"
#include "record/line_matcher.h"
#include "record/rate_meter.h"

#include <QCoreApplication>
#include <QMutexLocker>

#include <cerrno>
#include <cstring>
#include <new>

namespace {

// Address and port in one number for the health's sender count; an IPv6
// address is folded, which can only merge two senders, never split one.
quint64 senderKey(const UdpArrival &arrival)
{
    quint64 address = arrival.address;
    if (arrival.sender.family == NET_IPV6) {
        quint64 halves[2];
        std::memcpy(halves, arrival.sender.bytes, sizeof halves);
        address = (halves[0] ^ halves[1] ^ (halves[1] >> 32)) & 0xffffffffffffu;
    }
    return address << 16 | arrival.port;
}

}

Korvel_Recorder_Thread::Korvel_Recorder_Thread()
    : buffer(new (std::nothrow) char[capacity + 1])
    , batch(new (std::nothrow) char[BatchBytes])
{
    // Room for the largest text up front, so replacing it never allocates.
    text.reserve(capacity);
    udpWakerOpen(&waker);
}

Korvel_Recorder_Thread::~Korvel_Recorder_Thread()
{
    stop();
    delete[] buffer;
    delete[] batch;
    udpWakerClose(waker);
}

void Korvel_Recorder_Thread::setRecording(bool recording)
{
    if (!isRunning())
        this->recording = recording;
}

void Korvel_Recorder_Thread::setRecordFile(FILE *recordFile)
{
    if (!isRunning())
        this->recordFile = recordFile;
}

void Korvel_Recorder_Thread::setSocket(UdpSocket *socket)
{
    if (!isRunning())
        this->socket = socket;
}

void Korvel_Recorder_Thread::setDatagramLimit(qint64 limit)
{
    if (!isRunning())
        datagramLimit = limit;
}

void Korvel_Recorder_Thread::setPreTrigger(int seconds, qint64 bound)
{
    if (isRunning())
        return;
    preSeconds = seconds;
    ringBound = bound;
}

void Korvel_Recorder_Thread::setTrigger(const QRegularExpression &pattern, FILE *file)
{
    if (isRunning())
        return;
    matcher.reset(pattern.pattern().isEmpty() ? nullptr : new LineMatcher(pattern, capacity));
    triggerFile = file;
}

void Korvel_Recorder_Thread::setParts(const std::function<QString(int)> &name, qint64 maxBytes, qint64 maxMicros)
{
    if (isRunning())
        return;
    partName = name;
    partMaxBytes = maxBytes;
    partMaxMicros = maxMicros;
}

void Korvel_Recorder_Thread::switchToFile(FILE *file, qint64 pressMicros, int seconds)
{
    if (!isRunning() || switchAsked)
        return;
    switchFile = file;
    switchPress = pressMicros;
    switchSeconds = seconds;
    switchAsked.store(true, std::memory_order_release);
    udpWakerSignal(waker);
}

qint64 Korvel_Recorder_Thread::keptMicros() const
{
    return keptSpan;
}

QList<RecordFile::Part> Korvel_Recorder_Thread::takeEndedParts()
{
    QMutexLocker lock(&partMutex);
    return std::exchange(endedParts, {});
}

void Korvel_Recorder_Thread::setSourceFilter(const SourceFilter &filter)
{
    if (!isRunning())
        this->filter = filter;
}

void Korvel_Recorder_Thread::start()
{
    if (isRunning())
        return;
    // Set here, not in run(): a stop() right after start() must not be undone.
    running = true;
    writeFailures = 0;
    writtenDatagrams = 0;
    keptSpan = 0;
    switchAsked = false;
    switchMade = false;
    switchedFrame = -1;
    switchedBefore = 0;
    keeping = !recording && preSeconds > 0;
    draining = false;
    if (keeping && (!ring || ringBound != ringBoundMade)) {
        ring = std::make_unique<PreTriggerRing>(ringBound, capacity);
        ringBoundMade = ringBound;
    }
    partIndex = 0;
    partBroken = false;
    partFailureShown = false;
    nextPartAttempt = 0;
    datagrams = 0;
    rejected = 0;
    health.reset();
    {
        QMutexLocker lock(&arrivalMutex);
        arrivals.clear();
        rateWarmUp = true;
    }
    udpWakerClear(waker);
    // Counting drops is a bonus: a platform without it reports none.
    udpEnableDropCounter(socket);
    thread = std::thread(&Korvel_Recorder_Thread::run, this);
}

void Korvel_Recorder_Thread::copyLastText(QByteArray &target) const
{
    QMutexLocker lock(&textMutex);
    target.resize(text.size());
    std::memcpy(target.data(), text.constData(), size_t(text.size()));
}

int Korvel_Recorder_Thread::failedWrites() const
{
    return writeFailures;
}

qint64 Korvel_Recorder_Thread::written() const
{
    return writtenDatagrams;
}

qint64 Korvel_Recorder_Thread::received() const
{
    return datagrams;
}

StreamFigures Korvel_Recorder_Thread::figures() const
{
    StreamFigures figures = health.figures();
    figures.rejected = rejected;
    return figures;
}

int Korvel_Recorder_Thread::rateHz() const
{
    QMutexLocker lock(&arrivalMutex);
    if (arrivals.size() < 2)
        return -1;
    return RateMeter::countRecent(arrivals, Stopwatch::milliseconds());
}

void Korvel_Recorder_Thread::stop()
{
    running = false;
    udpWakerSignal(waker);
    if (thread.joinable())
        thread.join();
    // What the ended run still had on its way here is about that run, not the next.
    QCoreApplication::removePostedEvents(this, QEvent::MetaCall);
}

void Korvel_Recorder_Thread::run()
{
    writing = recording;
    file = recording && !splitting() ? recordFile : nullptr;
    fileEnd = file ? FileAccess::fileSize(file) : 0;
    torn = false;
    UdpArrival arrival;
    while (running) {
        if (switchAsked.load(std::memory_order_acquire) && keeping) {
            // The wake that brought the switch is spent: left set, every wait after
            // it would return at once. A Stop meanwhile has cleared `running` first.
            udpWakerClear(waker);
            beginRecording(switchFile, switchPress, switchSeconds);
            continue;
        }
        // Without a buffer every receive fails, which ends the run like any receive failure.
        errno = 0;
        // Within a burst the next datagram is already queued: take it without a wait.
        int n = buffer && socket ? udpReceiveQueuedCounted(socket, buffer, capacity, UDP_RECV_FULL_OK, &arrival)
                                 : int(UDP_ERROR);
        if (n == UDP_TIMEOUT) {
            // Nothing more queued: what the burst brought goes to the file before any wait.
            flushBatch();
            if (draining) {
                drainSome();
                continue;
            }
            n = udpReceiveOrWakeCounted(socket, waker, buffer, capacity, uint32_t(timeout), UDP_RECV_FULL_OK,
                                        &arrival);
        }
        if (!running)
            break;
        // An empty datagram carries nothing to keep; anyone can send one, so it must not end a recording.
        if (n == UDP_TIMEOUT || n == UDP_WOKEN || n == 0)
            continue;
        if (n < 0) {
            const int error = errno;
            printf("udp receive error -> stopped err %d\n", n);
            fflush(stdout);
            QMetaObject::invokeMethod(this, [this, n, error] { emit receiveFailed(n, error); },
                                      Qt::QueuedConnection);
            break;
        }
        if (!filter.allows(arrival.sender)) {
            reject(arrival.sender);
            continue;
        }
        const uint64_t now = Stopwatch::microseconds();
        store(n, qint64(now));
        health.add(buffer, n, qint64(now), arrival.dropped, senderKey(arrival));
        ++datagrams;
        {
            QMutexLocker lock(&arrivalMutex);
            RateMeter::addArrival(arrivals, rateWarmUp, uint32_t(now / 1000));
        }
        buffer[n] = 0;
        {
            QMutexLocker lock(&textMutex);
            const size_t length = std::strlen(buffer);
            text.resize(qsizetype(length));
            std::memcpy(text.data(), buffer, length);
        }
        if (datagramLimit > 0 && datagrams >= datagramLimit) {
            running = false;
            QMetaObject::invokeMethod(this, [this] { emit limitReached(); }, Qt::QueuedConnection);
        }
    }
    // A Record handed over just before Stop still begins the recording: the kept datagrams are asked for.
    if (switchAsked.load(std::memory_order_acquire) && keeping)
        beginRecording(switchFile, switchPress, switchSeconds);
    while (draining)
        drainSome();
    flushBatch();
    // A part no cut could remove so far must not end the recording.
    if (torn)
        cutBack();
    if (part.file)
        endPart();
    keeping = false;
    keptSpan = 0;
    if (ring)
        ring->release();
}

void Korvel_Recorder_Thread::store(int length, qint64 micros)
{
    if (keeping || draining) {
        // Once the ring belongs to the recording, nothing in it may be dropped.
        while (draining && ring->isFull(length))
            drainSome();
        ring->push(buffer, length, micros);
        if (keeping) {
            ring->dropBefore(micros - qint64(preSeconds) * 1000000);
            keptSpan = ring->isEmpty() ? 0 : micros - ring->oldestMicros();
            if (matcher && matcher->matches(buffer, length))
                beginRecording(triggerFile, micros, preSeconds);
        }
        return;
    }
    if (writing)
        keep(buffer, length, micros);
}

void Korvel_Recorder_Thread::beginRecording(FILE *target, qint64 pressMicros, int seconds)
{
    keeping = false;
    keptSpan = 0;
    ring->dropBefore(pressMicros - qint64(std::min(seconds, preSeconds)) * 1000000);
    qint64 triggerFrame = -1;
    if (!ring->isEmpty()) {
        int length = 0;
        const char *newest = ring->newest(&length);
        bool ok = false;
        const int number = RecordingLines::datagramFrameNumber(QByteArrayView(newest, length), &ok);
        if (ok)
            triggerFrame = number;
    }
    const qint64 before = std::max<qint64>(0, ring->datagrams() - 1);
    switchedFrame = triggerFrame;
    switchedBefore = before;
    switchMade = true;
    writing = true;
    file = splitting() ? nullptr : target;
    fileEnd = file ? FileAccess::fileSize(file) : 0;
    torn = false;
    draining = !ring->isEmpty();
    QMetaObject::invokeMethod(this, [this, triggerFrame, before] { emit switched(triggerFrame, before); },
                              Qt::QueuedConnection);
}

void Korvel_Recorder_Thread::drainSome()
{
    const PreTriggerRing::Span span = ring->oldestSpan();
    if (splitting()) {
        // Part by part: a part may end inside the span.
        for (int i = 0, offset = 0; i < span.count; offset += span.lengths[i++])
            keep(span.data + offset, span.lengths[i], span.times[i]);
        flushBatch();
    } else if (span.count > 0) {
        writeWhole(span.data, span.lengths, span.count, span.bytes);
    }
    ring->dropOldestSpan();
    draining = !ring->isEmpty();
}

void Korvel_Recorder_Thread::keep(const char *data, int length, qint64 micros)
{
    if (splitting() && !partFor(length, micros)) {
        countFailedWrites(1, errno);
        return;
    }
    if (batchCount == BatchDatagrams || batchUsed + length > BatchBytes)
        flushBatch();
    if (!batch || length > BatchBytes) {
        writeWhole(data, &length, 1, length);
        return;
    }
    std::memcpy(batch + batchUsed, data, size_t(length));
    batchUsed += length;
    batchLengths[batchCount++] = length;
}

FILE *Korvel_Recorder_Thread::partFor(int length, qint64 micros)
{
    if (part.file) {
        const qint64 held = (fileEnd < 0 ? 0 : fileEnd) + batchUsed;
        // A part that could not take a datagram ends with what it has; an empty one is tried again.
        const bool ends = held > 0
                          && (partBroken || (partMaxBytes > 0 && held + length > partMaxBytes)
                              || (partMaxMicros > 0 && micros - partBegan >= partMaxMicros));
        partBroken = false;
        if (!ends)
            return file;
        endPart();
    }
    // While parts cannot be made (a full disk), a few attempts a second are enough.
    if (micros < nextPartAttempt) {
        errno = ENOSPC;
        return nullptr;
    }
    int error = 0;
    if (!RecordFile::beginPart(partName(partIndex + 1), part, &error)) {
        nextPartAttempt = micros + 200000;
        if (!partFailureShown) {
            partFailureShown = true;
            reportPartFailure(partName(partIndex + 1), error);
        }
        errno = error;
        return nullptr;
    }
    ++partIndex;
    partFailureShown = false;
    partBegan = micros;
    file = part.file;
    fileEnd = 0;
    torn = false;
    return file;
}

void Korvel_Recorder_Thread::endPart()
{
    flushBatch();
    if (torn)
        cutBack();
    {
        QMutexLocker lock(&partMutex);
        endedParts.append(std::exchange(part, {}));
    }
    file = nullptr;
    QMetaObject::invokeMethod(this, [this] { emit partEnded(); }, Qt::QueuedConnection);
}

void Korvel_Recorder_Thread::flushBatch()
{
    if (batchCount == 0)
        return;
    writeWhole(batch, batchLengths, batchCount, batchUsed);
    batchCount = 0;
    batchUsed = 0;
}

void Korvel_Recorder_Thread::writeWhole(const char *data, const int *lengths, int count, int bytes)
{
    // Writing after a part that could not be cut away would glue a datagram onto it.
    if (torn && !cutBack()) {
        countFailedWrites(count, errno);
        return;
    }
    errno = 0;
    const size_t written = fwrite(data, 1, size_t(bytes), file);
    const int error = errno;
    if (written == size_t(bytes)) {
        if (fileEnd >= 0)
            fileEnd += bytes;
        writtenDatagrams += count;
        return;
    }
    // Space may return (a full disk is cleared): the next write tries again.
    clearerr(file);
    size_t end = 0;
    int whole = 0;
    while (whole < count && end + size_t(lengths[whole]) <= written)
        end += size_t(lengths[whole++]);
    if (fileEnd >= 0)
        fileEnd += qint64(end);
    writtenDatagrams += whole;
    torn = written != end;
    if (torn)
        cutBack();
    countFailedWrites(count - whole, error);
}

bool Korvel_Recorder_Thread::cutBack()
{
    const int error = fileEnd < 0 ? EIO : FileAccess::cutFile(file, fileEnd);
    torn = error != 0;
    if (torn)
        errno = error;
    return !torn;
}

void Korvel_Recorder_Thread::countFailedWrites(int count, int error)
{
    const bool first = writeFailures.fetch_add(count) == 0;
    if (splitting()) {
        partBroken = part.file != nullptr;
        if (partFailureShown)
            return;
        partFailureShown = true;
        if (part.file)
            reportPartFailure(part.path, error);
        return;
    }
    if (first)
        QMetaObject::invokeMethod(this, [this, error] { emit writeFailed(error); }, Qt::QueuedConnection);
}

void Korvel_Recorder_Thread::reject(const NetAddress &sender)
{
    if (rejected.fetch_add(1, std::memory_order_relaxed) != 0)
        return;
    char text[NET_TEXT_SIZE];
    const QString who = netFormat(&sender, text, sizeof text) == NET_OK ? QString::fromLatin1(text) : QString();
    QMetaObject::invokeMethod(this, [this, who] { emit firstRejected(who); }, Qt::QueuedConnection);
}

void Korvel_Recorder_Thread::reportPartFailure(const QString &path, int error)
{
    QMetaObject::invokeMethod(this, [this, path, error] { emit partWriteFailed(path, error); }, Qt::QueuedConnection);
}
