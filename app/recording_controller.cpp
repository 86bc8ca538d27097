#include "app/recording_controller.h"

#include "dialogs/message_box.h"
#include "net/stopwatch.h"
#include "net/udp_socket.h"
#include "record/korvel_recorder_thread.h"
#include "record/rate_meter.h"
#include "record/record_file.h"

#include <QCheckBox>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QLabel>
#include <QMutex>
#include <QMutexLocker>

namespace {

constexpr int ReceiveBufferWanted = 8 * 1024 * 1024;
constexpr int ModeRecording = 2;
constexpr int ModePreviewing = 4;

}

RecordingController::RecordingController(QWidget *window, QLabel *rateLabel, QCheckBox *disableView)
    : QObject(window), window(window), rateLabel(rateLabel), disableView(disableView),
      tempFileName(QDir::tempPath() + QLatin1String("/korvel_recorder_temp.wly")),
      arrivalMutex(new QMutex)
{
    receiverThread = new Korvel_Recorder_Thread;
    connect(receiverThread, &Korvel_Recorder_Thread::status, this, &RecordingController::status);
}

RecordingController::~RecordingController()
{
    delete receiverThread; // stops and joins the run before its socket is closed
    receiverThread = nullptr;
    closeReceiveSocket();
    delete arrivalMutex;
    // A recording that was never stopped stays on disk; only Stop deletes it.
    closeTemporaryRecording(false);
}

// ---------------------------------------------------------------- receiving

bool RecordingController::openReceiveSocket(uint16_t port)
{
    // A receiver that ended on its own leaves its socket open; it would hold the port.
    if (receiveSocket && !receiverThread->isRunning())
        closeReceiveSocket();
    if (udpOpen(&receiveSocket, port, UDP_OPEN_BROADCAST) < 0) {
        receiveSocket = nullptr;
        showMessage(window, QMessageBox::Critical, tr("Korvel Recorder"), tr("Please check your UDP settings\n"));
        return false;
    }
    // Bursts far above the tracker's rate must not overflow the platform's small default buffer.
    udpSetReceiveBuffer(receiveSocket, ReceiveBufferWanted);
    return true;
}

void RecordingController::closeReceiveSocket()
{
    if (receiveSocket)
        udpClose(receiveSocket);
    receiveSocket = nullptr;
}

void RecordingController::armRateMeter()
{
    rateWarmUp = true;
    updateListFrequency(true);
}

void RecordingController::startReceiver(bool recording)
{
    receiverThread->setSocket(receiveSocket);
    receiverThread->setRecordFile(recording ? recordFile : nullptr);
    receiverThread->setRecording(recording);
    receiverThread->start();
}

void RecordingController::stopReceiving()
{
    receiverThread->stop();
    closeReceiveSocket();
}

int RecordingController::receiverStatus() const
{
    return receiverThread->currentStatus();
}

bool RecordingController::startRecording(uint16_t port, const QString &portText)
{
    if (receiverStatus() == ModePreviewing) {
        stopReceiving();
        updateListFrequency(true);
    }
    if (!openReceiveSocket(port))
        return false;

    closeTemporaryRecording(false);
    recordFile = RecordFile::openTemporary(tempFileName);
    if (!recordFile) {
        closeReceiveSocket();
        showMessage(nullptr, QMessageBox::Warning, tr("Save Record Data"), tr("Error while writing temporary file"));
        return false;
    }
    recordPortText = portText;
    receivedCount = 0;
    armRateMeter();
    updateLabelFrequency();
    startReceiver(true);
    return true;
}

bool RecordingController::startPreview(uint16_t port)
{
    if (!openReceiveSocket(port))
        return false;
    armRateMeter();
    receivedCount = 0;
    startReceiver(false);
    return true;
}

void RecordingController::stopPreview()
{
    stopReceiving();
}

QString RecordingController::stopRecording()
{
    stopReceiving();
    bool keepTemporary = false;
    QString savedAs;
    if (receivedCount > 0) {
        warnAboutFailedWrites();
        // The temporary recording is the only copy when the save failed: keep it for another Save as.
        keepTemporary = saveRecording(QString(), savedAs) == SaveFailed;
    } else {
        showMessage(window, QMessageBox::Warning, tr("Korvel Recorder"),
                    tr("No data received on port ") + recordPortText +
                        tr(".\nPlease check your network settings in Korvel."));
    }
    if (!keepTemporary)
        closeTemporaryRecording(true);
    return savedAs;
}

void RecordingController::warnAboutFailedWrites()
{
    const int failed = receiverThread->failedWrites();
    if (failed > 0)
        showMessage(window, QMessageBox::Warning, tr("Save Record Data"),
                    tr("%1 of %2 received datagrams could not be written to the temporary file %3.\n"
                       "The recording is incomplete.")
                        .arg(failed)
                        .arg(receivedCount)
                        .arg(tempFileName));
}

// ---------------------------------------------------------------- saving

RecordingController::SaveOutcome RecordingController::saveRecording(const QString &currentFile, QString &savedAs)
{
    QString name = QFileDialog::getSaveFileName(window, tr("Save File"), saveFileDir,
                                                tr("Korvel Recorder files (*.wly)"));
    if (name.isEmpty())
        return NotSaved;
    if (!name.endsWith(QLatin1String(".wly")))
        name += QLatin1String(".wly");

    // The temporary recording while one is open; otherwise the recording opened for playback.
    QString source;
    if (recordFile) {
        fflush(recordFile);
        source = tempFileName;
    } else if (!currentFile.isEmpty()) {
        source = currentFile;
    } else {
        return NotSaved;
    }
    if (!QFileInfo::exists(source))
        return NotSaved;
    if (QFileInfo(source).canonicalFilePath() == QFileInfo(name).canonicalFilePath()) {
        // Saving a recording onto itself: nothing to copy.
    } else if (!RecordFile::copyInto(source, name)) {
        showMessage(window, QMessageBox::Warning, tr("Save Record Data"),
                    tr("The recording could not be saved as %1.").arg(name));
        return SaveFailed;
    }
    savedAs = name;
    saveFileDir = QFileInfo(name).absolutePath();
    return Saved;
}

void RecordingController::closeTemporaryRecording(bool remove)
{
    if (!recordFile)
        return;
    fclose(recordFile);
    recordFile = nullptr;
    if (remove)
        QFile::remove(tempFileName);
}

QString RecordingController::flushedTemporaryRecording()
{
    if (!recordFile)
        return QString();
    fflush(recordFile);
    return tempFileName;
}

// ---------------------------------------------------------------- receiver reports and rate

void RecordingController::report(int status, QByteArray &displayText)
{
    switch (status) {
    case 0:
        updateListFrequency(true);
        break;
    case ModePreviewing:
        receiverThread->copyLastText(displayText);
        updateListFrequency(false);
        break;
    case ModeRecording:
        ++receivedCount;
        if (!disableView->isChecked())
            receiverThread->copyLastText(displayText);
        updateListFrequency(false);
        break;
    default:
        break;
    }
}

void RecordingController::updateListFrequency(bool clear)
{
    QMutexLocker locker(arrivalMutex);
    if (clear)
        arrivalTimes.clear();
    else
        RateMeter::addArrival(arrivalTimes, rateWarmUp, Stopwatch::milliseconds());
}

void RecordingController::updateLabelFrequency()
{
    QMutexLocker locker(arrivalMutex);
    if (arrivalTimes.size() < 2) {
        rateLabel->setText(QStringLiteral("-- Hz"));
        return;
    }
    const int count = RateMeter::countRecent(arrivalTimes, Stopwatch::milliseconds());
    rateLabel->setText(QStringLiteral("%1 Hz").arg(count));
}
