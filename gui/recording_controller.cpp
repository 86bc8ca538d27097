#include "gui/recording_controller.h"

#include "gui/dialogs/message_box.h"
#include "gui/window_settings.h"
#include "play/marker_store.h"
#include "record/recording_session.h"

#include <QCheckBox>
#include <QCoreApplication>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QLabel>
#include <QLocale>
#include <QMainWindow>
#include <QProgressDialog>
#include <QStatusBar>
#include <QTextEdit>
#include <QTimer>

#include <utility>

namespace {

constexpr int Refresh = 100; // ms: the view's pace, and no faster than a reader can follow
QString figure(const char *word, qint64 count, bool red)
{
    const QString text = QStringLiteral("%1 %2").arg(QLatin1String(word)).arg(count);
    return red ? QStringLiteral("<span style=\"color:#ff0000\">%1</span>").arg(text) : text;
}

QString healthText(const StreamFigures &figures)
{
    // Rich text for the colours; white-space:pre keeps the double spaces between the figures.
    const QString gap = QStringLiteral("  ");
    return QStringLiteral("<span style=\"white-space:pre\">") + figure("received", figures.datagrams, false) + gap
           + figure("lost", figures.frames_lost, figures.frames_lost > 0) + gap
           + figure("duplicates", figures.duplicates, false) + gap
           + figure("out of order", figures.out_of_order, false) + gap
           + figure("dropped", figures.dropped, figures.dropped > 0) + gap
           + QStringLiteral("jitter %1 ms").arg(figures.jitter_ms, 0, 'f', 2)
           // Two senders on one port interleave their numbers: worth seeing, and only then.
           + (figures.senders > 1 ? gap + figure("senders", figures.senders, true) : QString())
           // Only a source filter rejects: without one the figure would always read 0.
           + (figures.rejected > 0 ? gap + figure("rejected", figures.rejected, true) : QString())
           + QStringLiteral("</span>");
}

}

RecordingController::RecordingController(QMainWindow *window, QLabel *rateLabel, QCheckBox *disableView,
                                         QTextEdit *view)
    : QObject(window), window(window), rateLabel(rateLabel), disableView(disableView), view(view),
      healthLine(new QLabel(window)), bufferLabel(new QLabel(window)), session(new RecordingSession(this)), saver(new RecordingSaver(this)),
      refreshTimer(new QTimer(this))
{
    healthLine->setObjectName(QStringLiteral("streamHealth"));
    healthLine->setTextFormat(Qt::RichText);
    window->statusBar()->addWidget(healthLine, 1);
    bufferLabel->setObjectName(QStringLiteral("bufferStatus"));
    bufferLabel->hide();
    window->statusBar()->addPermanentWidget(bufferLabel);
    connect(refreshTimer, &QTimer::timeout, this, &RecordingController::refresh);

    connect(session, &RecordingSession::writeFailed, this, [this](const QString &reason) {
        showMessage(this->window, QMessageBox::Warning, tr("Save Record Data"),
                    tr("Received datagrams could not be written to the temporary recording %1: %2.\n"
                       "Receiving and counting go on, but the recording is incomplete.")
                        .arg(session->temporaryPath(), reason));
    });
    connect(session, &RecordingSession::senderRejected, this, [this](const QString &sender) {
        this->window->statusBar()->showMessage(tr("Datagrams from %1 are rejected: not an allowed sender").arg(sender));
    });
    connect(session, &RecordingSession::receiverFailed, this, [this](const QString &reason, qint64 kept) {
        stopRefresh();
        const QString text = session->hasTemporaryRecording()
                                 ? tr("Receiving stopped: %1.\n%2 datagrams are kept; Stop will offer to save them.")
                                       .arg(reason)
                                       .arg(kept)
                                 : tr("Receiving stopped: %1.").arg(reason);
        showMessage(this->window, QMessageBox::Critical, tr("Korvel Recorder"), text);
    });
    connect(session, &RecordingSession::saveProgress, this, &RecordingController::showCopyProgress);
    connect(saver, &RecordingSaver::progress, this, &RecordingController::showCopyProgress);
    connect(session, &RecordingSession::saveFinished, this, &RecordingController::copyFinished);
    connect(saver, &RecordingSaver::finished, this, &RecordingController::copyFinished);
}

RecordingController::~RecordingController() = default;

// ---------------------------------------------------------------- receiving

// The port and the network choices; false after a box, with nothing started.
bool RecordingController::prepareReceiver(const WindowSettings &settings)
{
    // The settings read an unusable text as 0, which would bind a random port nobody sends to.
    if (settings.recordPort() == 0) {
        showMessage(window, QMessageBox::Critical, tr("Korvel Recorder"),
                    tr("The record port %1 cannot be used. Please choose a port from 1 to 65535 in the record "
                       "settings.").arg(settings.text(SettingsStore::RecordPort)));
        return false;
    }
    ReceiveOptions options;
    QString problem;
    if (!settings.receiveOptions(options, problem)) {
        showMessage(window, QMessageBox::Critical, tr("Korvel Recorder"),
                    tr("Please check your UDP settings\n") + problem);
        return false;
    }
    session->setReceiveOptions(options);
    return true;
}

bool RecordingController::startRecording(const WindowSettings &settings, int preSeconds)
{
    if (!prepareReceiver(settings))
        return false;
    QString error;
    const RecordingSession::Start started = session->keepsPreview()
                                                ? session->recordFromPreview(preSeconds, &error)
                                                : session->startRecording(settings.recordPort(), &error);
    if (started != RecordingSession::Start::Started) {
        if (started == RecordingSession::Start::TemporaryFile)
            showMessage(nullptr, QMessageBox::Warning, tr("Save Record Data"),
                        tr("Error while writing temporary file") + QLatin1Char('\n') + error);
        else
            showMessage(window, QMessageBox::Critical, tr("Korvel Recorder"),
                        tr("Please check your UDP settings\n") + error);
        return false;
    }
    recordPortText = settings.text(SettingsStore::RecordPort);
    startRefresh(true);
    return true;
}

bool RecordingController::startPreview(const WindowSettings &settings)
{
    if (!prepareReceiver(settings))
        return false;
    session->setPreTrigger(settings.preTriggerSeconds());
    QString error;
    if (session->startPreview(settings.recordPort(), &error) != RecordingSession::Start::Started) {
        showMessage(window, QMessageBox::Critical, tr("Korvel Recorder"), tr("Please check your UDP settings\n") + error);
        return false;
    }
    startRefresh(false);
    return true;
}

RecordingSession::Mode RecordingController::receiverMode() const
{
    return session->mode();
}

void RecordingController::stopPreview()
{
    session->stop();
    stopRefresh();
}

void RecordingController::stopRecording(bool offerSave)
{
    session->stop();
    stopRefresh();
    keptDatagrams = int(session->recorded());
    if (keptDatagrams == 0) {
        showMessage(window, QMessageBox::Warning, tr("Korvel Recorder"),
                    tr("No data received on port ") + recordPortText +
                        tr(".\nPlease check your network settings in Korvel."));
        session->discardTemporary();
        return;
    }
    warnAboutFailedWrites();
    if (offerSave)
        saveKept({}, true);
}

RecordingSaver::Result RecordingController::saveTemporaryAs(const QString &name, QString *reason)
{
    const RecordingSaver::Result result = session->saveTemporary(name, reason);
    if (result == RecordingSaver::Renamed) {
        saveFileDir = QFileInfo(name).absolutePath();
        emit saved(name, true);
    } else if (result == RecordingSaver::Copying) {
        watchCopy(name, true);
    }
    return result;
}

void RecordingController::discardTemporary()
{
    session->discardTemporary();
    emit discarded();
}

void RecordingController::warnAboutFailedWrites()
{
    const int failed = session->failedWrites();
    if (failed > 0)
        showMessage(window, QMessageBox::Warning, tr("Save Record Data"),
                    tr("%1 of %2 received datagrams could not be written to the temporary file %3.\n"
                       "The recording is incomplete.")
                        .arg(failed)
                        .arg(session->received())
                        .arg(session->temporaryPath()));
}

int RecordingController::datagramsReceived() const
{
    if (!session->hasTemporaryRecording())
        return 0;
    // A preview counts afresh in the same receiver: what is kept was counted when its recording stopped.
    return session->mode() == RecordingSession::Recording ? int(session->recorded()) : keptDatagrams;
}

void RecordingController::forgetDatagrams()
{
    session->closeTemporary(true);
}

QString RecordingController::flushedTemporaryRecording() const
{
    // Written unbuffered: the file holds every datagram written so far.
    return session->hasTemporaryRecording() ? session->temporaryPath() : QString();
}

// ---------------------------------------------------------------- the view, the rate and the health line

void RecordingController::startRefresh(bool recording)
{
    recordingView = recording;
    // What the view and the figures showed belongs to the run before.
    view->clear();
    shownText.clear();
    refresh();
    refreshTimer->start(Refresh);
}

void RecordingController::stopRefresh()
{
    refreshTimer->stop();
    bufferLabel->hide();
    showHealth(); // the last figures stay until the next run
    view->clear();
    rateLabel->setText(RecordingSession::rateText(-1));
}

void RecordingController::refresh()
{
    // Preview always shows the data: the check box is disabled in that mode. The rate
    // label stands still with the view; the health line is what keeps counting.
    if (!recordingView || !disableView->isChecked()) {
        // Until this run's first datagram the receiver's text is the last run's.
        if (session->received() > 0) {
            session->copyLastText(shownText);
            const QString text = QString::fromLatin1(shownText);
            if (view->toPlainText() != text)
                view->setPlainText(text);
        }
        updateLabelFrequency();
    }
    showHealth();
    // Only while the preview keeps datagrams: a recording has them in its file.
    const bool keeping = !recordingView && session->preTriggerSeconds() > 0;
    if (keeping)
        bufferLabel->setText(tr("buffer %1 s").arg(session->keptSeconds()));
    bufferLabel->setVisible(keeping);
}

void RecordingController::showHealth()
{
    healthLine->setText(healthText(session->figures()));
}

void RecordingController::updateLabelFrequency()
{
    rateLabel->setText(RecordingSession::rateText(session->rateHz()));
}

// ---------------------------------------------------------------- saving

QString RecordingController::askSaveName()
{
    QString name = QFileDialog::getSaveFileName(window, tr("Save File"), saveFileDir,
                                                tr("Korvel Recorder files (*.wly)"));
    if (!name.isEmpty() && !name.endsWith(QLatin1String(".wly")))
        name += QLatin1String(".wly");
    return name;
}

bool RecordingController::keepAfterCancelledSave()
{
    const int choice = askQuestion(window, tr("Save Record Data"),
                           tr("The recording of %1 datagrams has not been saved. Save it, or discard it?")
                               .arg(keptDatagrams),
                           {tr("Save…"), tr("Discard")}, 0);
    return choice == 0;
}

// The one save flow of a kept recording: the session's temporary one (`leftover`
// empty; `fromStop` when Stop offers it) or one an earlier run left behind.
void RecordingController::saveKept(const QString &leftover, bool fromStop)
{
    for (;;) {
        const QString name = askSaveName();
        if (name.isEmpty()) {
            // After Stop a cancelled dialog would lose the recording: ask first. Save as
            // keeps it anyway, and a leftover stays on disk, offered again next time.
            if (fromStop && keepAfterCancelledSave())
                continue;
            if (fromStop) {
                session->discardTemporary();
                emit discarded();
            }
            return;
        }
        QString reason;
        const RecordingSaver::Result result = leftover.isEmpty()
                                                  ? session->saveTemporary(name, &reason)
                                                  : saver->save(leftover, name, RecordingSaver::Move, &reason);
        switch (result) {
        case RecordingSaver::Renamed:
            saveFileDir = QFileInfo(name).absolutePath();
            // A leftover saved at start-up does not become the window's recording;
            // a saved temporary recording is loaded.
            if (leftover.isEmpty())
                emit saved(name, true);
            return;
        case RecordingSaver::Copying:
            removeAfterCopy = leftover;
            watchCopy(name, leftover.isEmpty());
            return;
        case RecordingSaver::Refused:
            showMessage(window, QMessageBox::Warning, tr("Save Record Data"), reason);
            continue;
        case RecordingSaver::Failed:
            // The recording is the only copy: it stays for another try.
            showSaveFailure(name, reason);
            return;
        }
    }
}

void RecordingController::saveAs(const QString &currentFile)
{
    if (session->hasTemporaryRecording()) {
        saveKept({}, false);
        return;
    }
    if (currentFile.isEmpty())
        return;
    if (!QFileInfo::exists(currentFile)) {
        showMessage(window, QMessageBox::Warning, tr("Save Record Data"),
                    tr("The recording %1 no longer exists.").arg(currentFile));
        return;
    }
    const QString name = askSaveName();
    if (name.isEmpty())
        return;
    if (QFileInfo(currentFile).canonicalFilePath() == QFileInfo(name).canonicalFilePath()) {
        emit saved(name, false); // saving a recording onto itself: nothing to copy
        return;
    }
    QString reason;
    if (saver->save(currentFile, name, RecordingSaver::Copy, &reason) == RecordingSaver::Copying)
        watchCopy(name, false);
    else
        showSaveFailure(name, reason);
}

void RecordingController::showSaveFailure(const QString &target, const QString &reason)
{
    QString text = tr("The recording could not be saved as %1.").arg(target);
    if (!reason.isEmpty())
        text += QLatin1Char('\n') + reason;
    emit saveFailed(target, text);
    showMessage(window, QMessageBox::Warning, tr("Save Record Data"), text);
}

void RecordingController::watchCopy(const QString &target, bool open)
{
    copyTarget = target;
    openAfterCopy = open;
    delete copyProgress;
    copyProgress = new QProgressDialog(tr("Saving the recording as %1…").arg(target), tr("Cancel"), 0, 1000, window);
    copyProgress->setWindowTitle(tr("Save Record Data"));
    copyProgress->setWindowModality(Qt::WindowModal);
    copyProgress->setMinimumDuration(300);
    copyProgress->setAutoReset(false);
    copyProgress->setAutoClose(false);
    connect(copyProgress, &QProgressDialog::canceled, this, [this] {
        session->cancelSave();
        saver->cancel();
    });
    copyProgress->setValue(0);
}

void RecordingController::showCopyProgress(qint64 done, qint64 total)
{
    // Per mille: the dialog counts in int, recordings can exceed it in bytes.
    if (copyProgress)
        copyProgress->setValue(total > 0 ? int(done * 1000 / total) : 0);
}

void RecordingController::copyFinished(bool saved, const QString &reason)
{
    const bool cancelled = copyProgress && copyProgress->wasCanceled();
    delete copyProgress;
    copyProgress = nullptr;
    const QString target = copyTarget;
    copyTarget.clear();
    const QString leftover = removeAfterCopy;
    removeAfterCopy.clear();
    if (saved) {
        saveFileDir = QFileInfo(target).absolutePath();
        // A leftover copied across file systems is saved now: it must not be offered again.
        if (!leftover.isEmpty())
            MarkerStore::removePair(leftover);
        else
            emit this->saved(target, openAfterCopy && !closeAfterCopy);
    } else if (!cancelled) {
        // A cancelled copy keeps the temporary recording without a word; a failed one says why.
        showSaveFailure(target, reason);
    }
    // An exit waited for the copy; a kept temporary recording is offered at the next start.
    if (std::exchange(closeAfterCopy, false))
        window->close();
}

// ---------------------------------------------------------------- start-up and exit

void RecordingController::offerAbandonedRecordings()
{
    const QLocale locale;
    for (const RecordingSession::Abandoned &left : RecordingSession::abandonedRecordings()) {
        const QString text = tr("A recording was not saved when Korvel Recorder last ended:\n%1\n"
                                "%2 bytes, last written %3.")
                                 .arg(left.path)
                                 .arg(left.size)
                                 .arg(locale.toString(left.modified, QLocale::ShortFormat));
        switch (askQuestion(window, tr("Unsaved recording"), text, {tr("Save…"), tr("Discard")}, NoChoice)) {
        case 0:
            saveKept(left.path, false);
            break;
        case 1:
            MarkerStore::removePair(left.path);
            break;
        default:
            break; // kept for a later start
        }
    }
}

bool RecordingController::confirmClose()
{
    if (session->mode() != RecordingSession::Recording)
        return !waitForCopy();
    switch (askQuestion(window, tr("Korvel Recorder"), tr("A recording is running. Stop it before leaving?"),
                {tr("Stop and save…"), tr("Discard"), tr("Cancel")}, 2)) {
    case 0:
        stopRecording();
        return !waitForCopy();
    case 1:
        session->stop();
        stopRefresh();
        session->discardTemporary();
        emit discarded();
        return true;
    default:
        return false;
    }
}

bool RecordingController::waitForCopy()
{
    // Closing now would cancel a copy onto another file system: the window goes once it has ended.
    if (!copyProgress)
        return false;
    closeAfterCopy = true;
    return true;
}
