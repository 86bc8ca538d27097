#include "record/korvel_recorder_thread.h"

#include "net/stopwatch.h"
#include "net/udp_socket.h"
#include "record/rate_meter.h"

#include <QMutexLocker>

#include <cerrno>
#include <cstring>
#include <new>

Korvel_Recorder_Thread::Korvel_Recorder_Thread()
    : buffer(new (std::nothrow) char[capacity + 1])
{
    // Room for the largest text up front, so replacing it never allocates.
    text.reserve(capacity);
    udpWakerOpen(&waker);
}

Korvel_Recorder_Thread::~Korvel_Recorder_Thread()
{
    stop();
    delete[] buffer;
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

void Korvel_Recorder_Thread::setReportEachDatagram(bool report)
{
    if (!isRunning())
        reportEachDatagram = report;
}

void Korvel_Recorder_Thread::start(QThread::Priority priority)
{
    if (isRunning())
        return;
    runStatus = recording ? 2 : 4;
    // Set here, not in run(): a stop() right after start() must not be undone.
    running = true;
    writeFailures = 0;
    datagrams = 0;
    health.reset();
    {
        QMutexLocker lock(&arrivalMutex);
        arrivals.clear();
        rateWarmUp = true;
    }
    udpWakerClear(waker);
    // Counting drops is a bonus: a platform without it reports none.
    udpEnableDropCounter(socket);
    QThread::start(priority);
}

int Korvel_Recorder_Thread::currentStatus() const
{
    return runStatus;
}

QString Korvel_Recorder_Thread::lastText() const
{
    QMutexLocker lock(&textMutex);
    return QString::fromLatin1(text);
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

qint64 Korvel_Recorder_Thread::received() const
{
    return datagrams;
}

StreamFigures Korvel_Recorder_Thread::figures() const
{
    return health.figures();
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
    waitUntilEnded();
}

void Korvel_Recorder_Thread::waitUntilEnded()
{
    while (isRunning())
        wait(50);
}

void Korvel_Recorder_Thread::run()
{
    const int reported = recording ? 2 : 4;
    FILE *const file = recording ? recordFile : nullptr;
    uint32_t dropped = 0;
    while (running) {
        // Without a buffer every receive fails, which ends the run like any receive failure.
        errno = 0;
        const int n = buffer ? udpReceiveOrWakeCounted(socket, waker, buffer, capacity, uint32_t(timeout),
                                                       UDP_RECV_FULL_OK, &dropped)
                             : int(UDP_ERROR);
        if (!running)
            break;
        // An empty datagram carries nothing to keep; anyone can send one, so it must not end a recording.
        if (n == UDP_TIMEOUT || n == UDP_WOKEN || n == 0)
            continue;
        if (n < 0) {
            const int error = errno;
            printf("udp receive error -> stopped err %d\n", n);
            fflush(stdout);
            emit receiveFailed(n, error);
            break;
        }
        const uint64_t now = Stopwatch::microseconds();
        if (file && fwrite(buffer, 1, size_t(n), file) != size_t(n)) {
            const int error = errno;
            if (writeFailures.fetch_add(1) == 0)
                emit writeFailed(error);
        }
        health.add(buffer, n, qint64(now), dropped);
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
        if (reportEachDatagram)
            emit status(reported);
    }
    runStatus = 0;
    emit status(0);
}
