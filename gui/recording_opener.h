#ifndef RECORDING_OPENER_H
#define RECORDING_OPENER_H

#include "play/index_result.h"

#include <QObject>
#include <QString>

#include <atomic>
#include <memory>
#include <thread>

class QProgressBar;
class QPushButton;
class QStatusBar;
class QWidget;
class RecordingIndex;

// Indexes a recording on a worker thread while a progress bar and a Cancel
// button in the status bar show it; the window keeps answering meanwhile. The
// worker reports progress and its result by queued calls into this object.
class RecordingOpener : public QObject
{
    Q_OBJECT

public:
    explicit RecordingOpener(QStatusBar *bar);
    ~RecordingOpener() override;

    // Starts indexing `path`; an open still running is cancelled first.
    void open(const QString &path);
    bool isBusy() const { return worker.joinable(); }
    void cancel();

    // Tells the user what the load gave in boxes parented to `window`: why it was
    // refused, or the lost and duplicate frames; false when it was refused.
    static bool explain(QWidget *window, const QString &path, const IndexResult &result);

signals:
    // On the window's thread; `index` is set only when the result is Loaded.
    void finished(const QString &path, const IndexResult &result, std::shared_ptr<const RecordingIndex> index);

private:
    void collect(const IndexResult &result);
    void join();

    QProgressBar *progress;
    QPushButton *cancelButton;

    std::thread worker;
    QString path;
    std::atomic<bool> cancelled{false};
    std::shared_ptr<RecordingIndex> index;
};

#endif
