#ifndef RECORDING_SAVER_H
#define RECORDING_SAVER_H

#include <QObject>
#include <QString>

#include <atomic>
#include <thread>

// Saves a recording under a name the user chose. A move is a rename when the
// target's folder is on the source's file system (instant, atomic); otherwise,
// and always for a copy, the bytes are copied in a worker thread through a
// temporary file beside the target that is renamed into place when complete.
class RecordingSaver : public QObject
{
    Q_OBJECT

public:
    enum Mode { Move, Copy };
    enum Result {
        Renamed, // done: the source now lies at the target
        Copying, // under way: progress() and then finished() follow
        Refused, // the target is the source itself, or a save is under way
        Failed // nothing changed; the reason says why
    };

    explicit RecordingSaver(QObject *parent = nullptr);
    ~RecordingSaver() override; // cancels a copy and waits for it

    // Renamed, Refused and Failed are final when this returns, with the reason in `*reason`.
    Result save(const QString &source, const QString &target, Mode mode, QString *reason);
    bool isBusy() const;
    // Ends a copy early; finished(false, "cancelled") follows, the target untouched.
    void cancel();

signals:
    void progress(qint64 done, qint64 total);
    void finished(bool saved, const QString &reason);

private:
    void join();

    std::thread worker;
    std::atomic<bool> cancelled{false};
    bool busy = false;
};

#endif
