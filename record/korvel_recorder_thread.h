#ifndef KORVEL_RECORDER_THREAD_H
#define KORVEL_RECORDER_THREAD_H

#include <QByteArray>
#include <QMutex>
#include <QString>
#include <QThread>

#include <atomic>
#include <cstdio>

struct UdpSocket;
struct UdpWaker;

// Receives datagrams on its own thread, appends them to the record file while
// recording and reports each one with status(2) or status(4); status(0) when a run ends.
class Korvel_Recorder_Thread : public QThread
{
    Q_OBJECT

public:
    Korvel_Recorder_Thread();
    ~Korvel_Recorder_Thread() override;

    // Effective only while the thread is not running.
    void setRecording(bool recording);
    void setRecordFile(FILE *recordFile);
    void setSocket(UdpSocket *socket);

    // Starts a run; currentStatus() is 2 or 4 before this returns.
    void start(QThread::Priority priority = InheritPriority);

    int currentStatus() const;
    // Text of the latest datagram, up to its first zero byte; never torn.
    QString lastText() const;
    // The same text as Latin-1 bytes into `text`, reusing its storage.
    void copyLastText(QByteArray &text) const;
    // Datagrams of the current or last run that could not be written whole.
    int failedWrites() const;

signals:
    void status(int stat);

public slots:
    void stop();

protected:
    void run() override;

private:
    void waitUntilEnded();

    std::atomic<int> runStatus{0};
    std::atomic<bool> running{false};
    bool recording = false;
    // Microseconds; stop() ends a wait at once through the waker, so waiting long costs nothing.
    int timeout = 1000000;
    int capacity = 200000;
    char *buffer = nullptr;
    QByteArray text;
    mutable QMutex textMutex;
    FILE *recordFile = nullptr;
    UdpSocket *socket = nullptr;
    UdpWaker *waker = nullptr;
    std::atomic<int> writeFailures{0};
};

#endif
