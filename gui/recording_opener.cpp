#include "gui/recording_opener.h"

#include "gui/dialogs/message_box.h"
#include "play/recording_index.h"

#include <QCoreApplication>
#include <QProgressBar>
#include <QPushButton>
#include <QStatusBar>

RecordingOpener::RecordingOpener(QStatusBar *bar)
    : QObject(bar), progress(new QProgressBar(bar)), cancelButton(new QPushButton(tr("Cancel"), bar))
{
    progress->setRange(0, 1000);
    progress->setAccessibleName(tr("Opening"));
    bar->addPermanentWidget(progress);
    bar->addPermanentWidget(cancelButton);
    progress->hide();
    cancelButton->hide();
    connect(cancelButton, &QPushButton::clicked, this, &RecordingOpener::cancel);
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
    // The open cancelled here has posted its end already: it must not pass for this one.
    QCoreApplication::removePostedEvents(this, QEvent::MetaCall);
    path = recording;
    cancelled = false;
    index = std::make_shared<RecordingIndex>();
    // The destructor joins the worker before this object goes, so its queued calls never outlive it.
    worker = std::thread([this, recording, target = index] {
        const auto report = [this](qint64 part, qint64 total) {
            if (total <= 0)
                return;
            const int permille = int(part * 1000 / total);
            QMetaObject::invokeMethod(this, [this, permille] { progress->setValue(permille); }, Qt::QueuedConnection);
        };
        const IndexResult result = RecordingIndex::build(recording, *target, &cancelled, report);
        QMetaObject::invokeMethod(this, [this, result] { collect(result); }, Qt::QueuedConnection);
    });
    progress->setValue(0);
    progress->show();
    cancelButton->show();
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

void RecordingOpener::collect(const IndexResult &result)
{
    join();
    progress->hide();
    cancelButton->hide();
    std::shared_ptr<const RecordingIndex> opened;
    if (result.status == IndexResult::Loaded)
        opened = std::move(index);
    index.reset();
    emit finished(path, result, opened);
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
