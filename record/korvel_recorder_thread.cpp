#include "record/korvel_recorder_thread.h"

#include "platform/file_access.h"
#include "platform/stopwatch.h"
#include "platform/udp_socket.h"
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
    FILE *const file = recording ? recordFile : nullptr;
    fileEnd = file ? FileAccess::fileSize(file) : 0;
    torn = false;
    UdpArrival arrival;
    while (running) {
        // Without a buffer every receive fails, which ends the run like any receive failure.
        errno = 0;
        // Within a burst the next datagram is already queued: take it without a wait.
        int n = buffer && socket ? udpReceiveQueuedCounted(socket, buffer, capacity, UDP_RECV_FULL_OK, &arrival)
                                 : int(UDP_ERROR);
        if (n == UDP_TIMEOUT) {
            // Nothing more queued: what the burst brought goes to the file before any wait.
            flushBatch(file);
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
        if (file)
            keep(file, n);
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
    flushBatch(file);
    // A part no cut could remove so far must not end the recording.
    if (torn)
        cutBack(file);
}

void Korvel_Recorder_Thread::keep(FILE *file, int length)
{
    if (batchCount == BatchDatagrams || batchUsed + length > BatchBytes)
        flushBatch(file);
    if (!batch || length > BatchBytes) {
        writeWhole(file, buffer, &length, 1, length);
        return;
    }
    std::memcpy(batch + batchUsed, buffer, size_t(length));
    batchUsed += length;
    batchLengths[batchCount++] = length;
}

void Korvel_Recorder_Thread::flushBatch(FILE *file)
{
    if (batchCount == 0)
        return;
    writeWhole(file, batch, batchLengths, batchCount, batchUsed);
    batchCount = 0;
    batchUsed = 0;
}

void Korvel_Recorder_Thread::writeWhole(FILE *file, const char *data, const int *lengths, int count, int bytes)
{
    // Writing after a part that could not be cut away would glue a datagram onto it.
    if (torn && !cutBack(file)) {
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
        cutBack(file);
    countFailedWrites(count - whole, error);
}

bool Korvel_Recorder_Thread::cutBack(FILE *file)
{
    const int error = fileEnd < 0 ? EIO : FileAccess::cutFile(file, fileEnd);
    torn = error != 0;
    if (torn)
        errno = error;
    return !torn;
}

void Korvel_Recorder_Thread::countFailedWrites(int count, int error)
{
    if (writeFailures.fetch_add(count) == 0)
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
