#include "gui/recording_opener.h"

#include "gui/dialogs/message_box.h"
#include "play/recording_index.h"

#include <QProgressBar>
#include <QPushButton>
#include <QStatusBar>
#include <QTimer>

namespace {

constexpr int PollMs = 50;

}

RecordingOpener::RecordingOpener(QStatusBar *bar)
    : QObject(bar), progress(new QProgressBar(bar)), cancelButton(new QPushButton(tr("Cancel"), bar)),
      poll(new QTimer(this))
{
    progress->setRange(0, 1000);
    progress->setAccessibleName(tr("Opening"));
    bar->addPermanentWidget(progress);
    bar->addPermanentWidget(cancelButton);
    progress->hide();
    cancelButton->hide();
    connect(cancelButton, &QPushButton::clicked, this, &RecordingOpener::cancel);
    // The worker only sets atomics; the window's thread looks at them, so the
    // worker never needs to know a Qt object that might be gone.
    connect(poll, &QTimer::timeout, this, &RecordingOpener::collect);
}

RecordingOpener::~RecordingOpener()
{
    cancelled = true;
    join();
}

void RecordingOpener::open(const QString &recording)
{
    cancelled = true;
    join();
    path = recording;
    cancelled = false;
    done = false;
    bytesDone = 0;
    bytesTotal = 0;
    result = IndexResult();
    index = std::make_shared<RecordingIndex>();
    worker = std::thread([this, recording, target = index] {
        result = RecordingIndex::build(recording, *target, &cancelled, [this](qint64 part, qint64 total) {
            bytesDone = part;
            bytesTotal = total;
        });
        done = true;
    });
    progress->setValue(0);
    progress->show();
    cancelButton->show();
    poll->start(PollMs);
}

void RecordingOpener::cancel()
{
    cancelled = true;
}

void RecordingOpener::join()
{
    if (worker.joinable())
        worker.join();
}

void RecordingOpener::collect()
{
    if (!done) {
        showProgress();
        return;
    }
    poll->stop();
    join();
    progress->hide();
    cancelButton->hide();
    std::shared_ptr<const RecordingIndex> opened;
    if (result.status == IndexResult::Loaded)
        opened = std::move(index);
    index.reset();
    emit finished(path, result, opened);
}

void RecordingOpener::showProgress()
{
    const qint64 total = bytesTotal;
    if (total > 0)
        progress->setValue(int(bytesDone * 1000 / total));
}

// Tells the user about the load; false when it was refused.
bool RecordingOpener::explain(QWidget *window, const QString &path, const IndexResult &result)
{
    const QString title = tr("Korvel Recorder");
    const QString numbers = tr("This file has a problem with frame numbers and cannot be played.");
    switch (result.status) {
    case IndexResult::Cancelled:
        return false;
    case IndexResult::OpenFailed:
        showMessage(window, QMessageBox::Warning, tr("Error opening file"), tr("File %1 cannot be opened.").arg(path));
        return false;
    case IndexResult::NotRegular:
    case IndexResult::OutOfMemory:
        showMessage(window, QMessageBox::Warning, tr("Error opening file"),
                    tr("File %1 cannot be opened.").arg(path) + QLatin1Char('\n') + result.reason);
        return false;
    case IndexResult::NoFrames:
        showMessage(window, QMessageBox::Warning, title, tr("File %1 holds no frames.").arg(path));
        return false;
    case IndexResult::BadFirstNumber:
        showMessage(window, QMessageBox::Critical, title, numbers);
        return false;
    case IndexResult::NegativeFirstNumber:
        showMessage(window, QMessageBox::Critical, title, numbers + QLatin1Char('\n') + result.reason);
        return false;
    case IndexResult::BadFrameNumbers:
        showMessage(window, QMessageBox::Critical, title,
                    numbers + QLatin1Char('\n') +
                        tr("frame %1 follows frame %2").arg(result.problemFrame).arg(result.previousFrame));
        return false;
    case IndexResult::Loaded:
        break;
    }
    if (result.lostCount > 0)
        showMessage(window, QMessageBox::Warning, title, RecordingIndex::lostFramesText(result));
    if (result.duplicateCount > 0)
        showMessage(window, QMessageBox::Warning, title, RecordingIndex::duplicateFramesText(result));
    if (result.outOfOrderCount > 0)
        showMessage(window, QMessageBox::Warning, title, RecordingIndex::outOfOrderFramesText(result));
    return true;
}
