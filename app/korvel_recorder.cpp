#include "app/korvel_recorder.h"

#include "dialogs/about_dlg.h"
#include "dialogs/help.h"
#include "dialogs/message_box.h"
#include "net/stopwatch.h"
#include "net/udp_socket.h"
#include "play/recording_loader.h"
#include "app/recording_controller.h"
#include "settings/settings_play.h"
#include "settings/settings_record.h"
#include "settings/settings_store.h"

#include <QCloseEvent>
#include <QDir>
#include <QDomElement>
#include <QFileDialog>
#include <QFileInfo>
#include <QStandardPaths>
#include <QTimer>
#include <QWhatsThis>

namespace {

constexpr int SendTick = 1;              // ms: the finest step of the playback schedule
constexpr int DisplayRefresh = 100;      // ms
constexpr uint32_t SendTimeout = 5000000; // us
constexpr float FallbackFrequency = 4.0f; // the play settings dialog's lower bound
// The playback timer wakes this much ahead of a due send and the rest is slept
// on the monotonic clock: event-loop timers are only as fine as a millisecond.
constexpr uint32_t PreciseWindow = 2000;  // us
constexpr uint32_t SliderRefresh = 100;   // ms between slider moves while playing

QString homeDirectory()
{
    return QStandardPaths::writableLocation(QStandardPaths::HomeLocation);
}

uint32_t microsecondsNow()
{
    return static_cast<uint32_t>(Stopwatch::microseconds());
}

uint32_t resolve(const QString &host)
{
    return udpResolve(host.toLatin1().constData());
}

}

Korvel_recorder::Korvel_recorder(QString settingsDir)
    : QMainWindow(nullptr), settingsDir(std::move(settingsDir))
{
    ui.setupUi(this);

    const int opened = udpOpen(&sendSocket, 0, UDP_OPEN_BROADCAST);
    if (opened < 0)
        showMessage(this, QMessageBox::Critical, tr("Korvel Recorder"),
                    tr("Please check your UDP settings. (") + QString::number(opened) + QLatin1Char(')'));

    currentFileName.clear();

    sendTimer = new QTimer(this);
    sendTimer->setTimerType(Qt::PreciseTimer);
    connect(sendTimer, &QTimer::timeout, this, &Korvel_recorder::sendUDP);
    displayTimer = new QTimer(this);
    connect(displayTimer, &QTimer::timeout, this, &Korvel_recorder::update_display);

    recorder = new RecordingController(this, ui.labelFrequency, ui.cb_disableView, ui.te_datadisplay);
    connect(recorder, &RecordingController::saved, this, &Korvel_recorder::showSaved);
    connect(recorder, &RecordingController::discarded, this, [this] {
        ui.l_filename->setText(tr("no file selected"));
        updateControls();
    });

    recordSettingsDialog = new Settings_record(this);
    playSettingsDialog = new Settings_play(this);
    aboutDialog = new AboutDlg(this);
    helpDialog = new Help(this);
    connect(playSettingsDialog, &Settings_play::writeSettingFile, this, &Korvel_recorder::writeSettings);
    connect(recordSettingsDialog, &Settings_record::writeSettingFile, this, &Korvel_recorder::writeSettings);

    recorder->setSaveDirectory(homeDirectory());
    openFileDir = homeDirectory();
    // Until a settings file says otherwise, the settings dialogs' defaults hold.
    playAddress1 = resolve(QStringLiteral("localhost"));
    playAddress2 = playAddress1;
    loadSettingsFile();

    ui.label_send_1->setText(playHost1 + QLatin1String("  port ") + playPort1Text);
    ui.label_send_2->setText(host2Active ? playHost2 + QLatin1String("  port ") + playPort2Text : QString());

    paused = false;
    seekPending = false;
    mode = ModeIdle;
    updateControls();

    ui.label_receive->setText(QLatin1String("port ") + recordPortText);
    ui.l_filename->setText(tr("no file selected"));
    updateLabelFrequency();
}

Korvel_recorder::~Korvel_recorder()
{
    saveSettingsFile();
    delete recorder; // joins the receiver before anything else closes
    recorder = nullptr;
    if (sendSocket)
        udpClose(sendSocket);
    sendSocket = nullptr;
    delete recordSettingsDialog;
    delete playSettingsDialog;
    delete aboutDialog;
    delete helpDialog;
    playFile.close();
}

void Korvel_recorder::updateControls()
{
    const bool idle = mode == ModeIdle;
    const bool playing = mode == ModePlaying;
    const bool recording = mode == ModeRecording;
    const bool previewing = mode == ModePreviewing;
    if (!idle && !playing && !recording && !previewing)
        return;

    const bool haveRecording = !currentFileName.isEmpty() || recorder->datagramsReceived() != 0;
    ui.actionOpen->setEnabled(idle);
    ui.actionPlay->setEnabled(idle && haveRecording);
    ui.actionSave_as->setEnabled(idle && haveRecording);
    ui.actionPause->setEnabled(playing);
    ui.actionStop->setEnabled(!idle);
    ui.actionRecord->setEnabled(idle || previewing);
    ui.actionPreview->setEnabled(idle);
    ui.menuSettings->setEnabled(idle);
    ui.playSlider->setEnabled(false);
    ui.cb_disableView->setEnabled(!previewing);
}

// ---------------------------------------------------------------- settings

void Korvel_recorder::loadSettingsFile()
{
    QDomDocument document;
    QString warning;
    if (!SettingsStore::read(settingsDir, document, warning)) {
        showMessage(this, QMessageBox::Warning, tr("Error loading settings"), warning);
        return;
    }
    for (QDomNode node = document.documentElement().firstChild(); !node.isNull(); node = node.nextSibling())
        applySettingElement(node.toElement());
}

void Korvel_recorder::applySettingElement(const QDomElement &element)
{
    if (element.isNull())
        return;
    const int key = SettingsStore::keyOf(element);
    if (key < 0)
        return;
    const QString attribute = QLatin1String(SettingsStore::attributeName(SettingsStore::Key(key)));
    const QString value = element.attribute(attribute);
    switch (key) {
    case SettingsStore::RecordPort:
        recordPortText = value;
        recordPort = SettingsStore::recordPortFromText(value);
        break;
    case SettingsStore::PlayHost1:
        playHost1 = value;
        playAddress1 = resolve(value);
        break;
    case SettingsStore::PlayPort1:
        playPort1Text = value;
        playPort1 = SettingsStore::playPortFromText(value);
        break;
    case SettingsStore::PlayHost2:
        playHost2 = value;
        playAddress2 = resolve(value);
        break;
    case SettingsStore::PlayPort2:
        playPort2Text = value;
        playPort2 = SettingsStore::playPortFromText(value);
        break;
    case SettingsStore::Active:
        activeText = value;
        host2Active = SettingsStore::flagFromText(value);
        break;
    case SettingsStore::Frequency:
        frequencyText = value;
        frequency = SettingsStore::frequencyFromText(value);
        break;
    case SettingsStore::Loop:
        loopText = value;
        loop = SettingsStore::flagFromText(value);
        break;
    case SettingsStore::Timestamp:
        timestampText = value;
        useTimestamps = SettingsStore::flagFromText(value);
        break;
    case SettingsStore::SaveFileDir:
        if (element.hasAttribute(attribute))
            recorder->setSaveDirectory(value);
        break;
    case SettingsStore::OpenFileDir:
        if (element.hasAttribute(attribute))
            openFileDir = value;
        break;
    }
}

void Korvel_recorder::saveSettingsFile()
{
    const QStringList texts = {recordPortText, playHost1, playPort1Text, playHost2, playPort2Text, activeText,
                               frequencyText, loopText, timestampText, recorder->saveDirectory(),
                               openFileDir};
    QString warning;
    if (!SettingsStore::write(settingsDir, texts, warning))
        showMessage(this, QMessageBox::Warning, tr("Error writing settings"), warning);
}

void Korvel_recorder::writeSettings()
{
    playHost1 = playSettingsDialog->host1();
    playPort1Text = playSettingsDialog->port1Text();
    playHost2 = playSettingsDialog->host2();
    playPort2Text = playSettingsDialog->port2Text();
    frequencyText = playSettingsDialog->frequencyText();
    timestampText = playSettingsDialog->timestampText();
    loopText = playSettingsDialog->loopText();
    activeText = playSettingsDialog->activeText();
    playAddress1 = playSettingsDialog->address1();
    playAddress2 = playSettingsDialog->address2();
    playPort1 = uint16_t(playSettingsDialog->port1Value());
    playPort2 = uint16_t(playSettingsDialog->port2Value());
    frequency = float(playSettingsDialog->frequencyValue());
    host2Active = playSettingsDialog->isActive();
    loop = playSettingsDialog->isLoop();
    useTimestamps = playSettingsDialog->isTimestamp();

    recordPort = uint16_t(recordSettingsDialog->port());
    recordPortText = recordSettingsDialog->portText();

    saveSettingsFile();
    refreshConnectionLabels();
    update();
}

void Korvel_recorder::refreshConnectionLabels()
{
    ui.label_receive->setText(QLatin1String("port ") + recordPortText);
    ui.label_send_1->setText(playHost1 + QLatin1String("  port ") + playSettingsDialog->port1Text());
    ui.label_send_2->setText(host2Active ? playHost2 + QLatin1String("  port ") + playSettingsDialog->port2Text()
                                         : QString());
}

void Korvel_recorder::fillSettingsDialogs()
{
    // A negative frequency from a hand-edited file must not wrap round to a huge number.
    const unsigned int shownFrequency = frequency > 0.0f ? static_cast<unsigned int>(frequency) : 0u;
    recordSettingsDialog->setValues(recordPortText, recordPort);
    playSettingsDialog->setValues(playHost1, playAddress1, playPort1, shownFrequency, playHost2, playAddress2,
                                  playPort2, loop, useTimestamps, host2Active);
}

void Korvel_recorder::on_actionRecordSettings_triggered()
{
    fillSettingsDialogs();
    recordSettingsDialog->exec();
}

void Korvel_recorder::on_actionPlaySettings_triggered()
{
    fillSettingsDialogs();
    playSettingsDialog->exec();
}

void Korvel_recorder::on_actionAbout_triggered()
{
    aboutDialog->exec();
}

void Korvel_recorder::on_actionHelp_triggered()
{
    helpDialog->exec();
}

void Korvel_recorder::on_actionEnterWhatsThis_triggered()
{
    QWhatsThis::enterWhatsThisMode();
}

void Korvel_recorder::on_actionExit_triggered()
{
    close();
}

void Korvel_recorder::closeEvent(QCloseEvent *event)
{
    if (recorder->confirmClose())
        event->accept();
    else
        event->ignore();
}

void Korvel_recorder::offerAbandonedRecordings()
{
    recorder->offerAbandonedRecordings();
}

// ---------------------------------------------------------------- rate

void Korvel_recorder::updateLabelFrequency()
{
    if (mode == ModePlaying)
        return;
    recorder->updateLabelFrequency();
}

// ---------------------------------------------------------------- recording

void Korvel_recorder::on_actionRecord_triggered()
{
    if (!recorder->startRecording(recordPort, recordPortText))
        return;
    currentFileName.clear();
    ui.l_filename->setText(tr("<temporary buffer>"));
    mode = ModeRecording;
    updateControls();
}

void Korvel_recorder::on_actionPreview_triggered()
{
    if (!recorder->startPreview(recordPort, recordPortText))
        return;
    mode = ModePreviewing;
    updateControls();
}

void Korvel_recorder::on_actionStop_triggered()
{
    sendTimer->stop();
    displayTimer->stop();
    playFile.close();
    updateLabelFrequency();
    paused = false;
    displayText.clear();

    switch (recorder->receiverStatus()) {
    case ModePreviewing:
        recorder->stopPreview();
        break;
    case ModeRecording:
        recorder->stopRecording();
        break;
    default:
        break;
    }

    if (mode != ModeRecording && mode != ModePreviewing) {
        currentFrame = firstFrame;
        ui.playSlider->setValue(currentFrame);
    }
    mode = ModeIdle;
    updateControls();
}

void Korvel_recorder::on_actionSave_as_triggered()
{
    recorder->saveAs(currentFileName);
}

void Korvel_recorder::showSaved(const QString &path, bool open)
{
    ui.l_filename->setText(path);
    currentFileName = path;
    if (open && !openRecording(currentFileName)) {
        currentFileName.clear();
        ui.l_filename->setText(tr("no file selected"));
    }
    updateControls();
}

// ---------------------------------------------------------------- loading

bool Korvel_recorder::loadRecording(QString path, int &first, int &last, FrameIndex &index)
{
    const RecordingLoader::Result result = RecordingLoader::load(path, index);
    first = result.first;
    last = result.last;
    switch (result.status) {
    case RecordingLoader::OpenFailed:
        showMessage(this, QMessageBox::Warning, tr("Error opening file"), tr("File %1 cannot be opened.").arg(path));
        return false;
    case RecordingLoader::BadFirstNumber:
    case RecordingLoader::BadFrameNumbers:
        showMessage(this, QMessageBox::Critical, tr("Korvel Recorder"),
                    tr("This file has a problem with frame numbers and cannot be played."));
        return false;
    case RecordingLoader::Loaded:
        break;
    }
    if (result.lostCount > 0)
        showMessage(this, QMessageBox::Warning, tr("Korvel Recorder"), RecordingLoader::lostFramesText(result));
    return true;
}

bool Korvel_recorder::openRecording(const QString &path)
{
    if (!loadRecording(path, firstFrame, lastFrame, frameIndex))
        return false;
    currentFrame = firstFrame;
    ui.playSlider->setMinimum(firstFrame);
    ui.playSlider->setMaximum(lastFrame);
    ui.playSlider->setTickPosition(QSlider::NoTicks);
    ui.playSlider->setEnabled(true);
    ui.playSlider->setValue(currentFrame);
    return true;
}

QString Korvel_recorder::frameText(int n) const
{
    return frameIndex.text(n - firstFrame);
}

void Korvel_recorder::on_actionOpen_triggered()
{
    const QString name = QFileDialog::getOpenFileName(this, tr("Open File"), openFileDir,
                                                      tr("Korvel Recorder files (*.wly)"));
    if (name.isEmpty()) {
        ui.playSlider->setEnabled(false);
        return;
    }
    if (!openRecording(name))
        return;
    currentFileName = name;
    ui.l_filename->setText(name);
    openFileDir = QFileInfo(name).absolutePath();
    recorder->forgetDatagrams();
    ui.actionPlay->setEnabled(true);
    // Save as copies an opened recording, so it is offered together with Play.
    ui.actionSave_as->setEnabled(true);
    ui.playSlider->setEnabled(true);
}

// ---------------------------------------------------------------- playback commands

bool Korvel_recorder::offerTemporaryRecording()
{
    const QString pleaseSelect = tr("Please select a file in the File -> Open dialog.");
    const QString temporary = recorder->flushedTemporaryRecording();
    if (temporary.isEmpty()) {
        showMessage(this, QMessageBox::Warning, tr("Korvel Recorder"), pleaseSelect);
        return false;
    }
    if (!openRecording(temporary) || ui.playSlider->maximum() == 0) {
        showMessage(this, QMessageBox::Warning, tr("Korvel Recorder"), pleaseSelect);
        return false;
    }
    currentFileName = temporary;
    ui.l_filename->setText(tr("<temporary buffer>"));
    return true;
}

void Korvel_recorder::on_actionPlay_triggered()
{
    if (currentFileName.isEmpty() && !offerTemporaryRecording())
        return;

    if (!paused) {
        startPlayback();
        return;
    }

    lastSendTime = microsecondsNow();
    if (seekPending) {
        paused = false;
        startFromNew();
        return;
    }
    if (!sendTimer->isActive()) {
        armSendTimer();
        startDisplayRefresh();
    }
    paused = false;
    ui.actionPause->setEnabled(true);
    ui.actionPlay->setEnabled(false);
    ui.playSlider->setEnabled(false);
}

void Korvel_recorder::on_actionPause_triggered()
{
    if (!sendTimer->isActive())
        return;
    sendTimer->stop();
    displayTimer->stop();
    ui.actionPlay->setEnabled(true);
    paused = true;
    ui.actionPause->setEnabled(false);
    ui.actionRecord->setEnabled(false);
    showCurrentFrameOnSlider();
    ui.playSlider->setEnabled(true);
}

void Korvel_recorder::startDisplayRefresh()
{
    if (!ui.cb_disableView->isChecked())
        displayTimer->start(DisplayRefresh);
}

// ---------------------------------------------------------------- playback schedule

bool Korvel_recorder::probeTimestampPeriod(float &rate)
{
    if (!playFile.open(QIODevice::ReadOnly | QIODevice::Text)) {
        showMessage(this, QMessageBox::Warning, tr("Korvel Recorder"),
                    tr("File cannot be accessed. (") + QString::number(playFile.error()) + QLatin1Char(')'));
        return false;
    }
    // From the start of the file: up to the first frame line, then the first two frames.
    double timestamp = -2.0;
    readNextFrame(timestamp);
    timestamp = -1.0;
    readNextFrame(timestamp);
    const double t1 = timestamp;
    timestamp = -1.0;
    readNextFrame(timestamp);
    const double t2 = timestamp;
    playFile.close();

    // Equal or decreasing stamps would give an infinite or negative period.
    if (t1 > 0.0 && t2 > t1) {
        rate = float(1.0 / (t2 - t1));
        sendInterval = uint32_t(1000000.0f / rate);
        return true;
    }
    sendInterval = uint32_t(1000000.0 / double(rate));
    return true;
}

void Korvel_recorder::startPlayback()
{
    paused = false;
    seekPending = false;
    playFile.setFileName(currentFileName);
    // A frequency of 0 or less can only come from a hand-edited file: play at the dialog's lowest rate.
    float rate = frequency > 0.0f ? frequency : FallbackFrequency;

    if (useTimestamps) {
        if (!probeTimestampPeriod(rate))
            return;
    } else {
        sendInterval = uint32_t(1000000.0 / double(rate));
    }

    if (!playFile.open(QIODevice::ReadOnly | QIODevice::Text))
        return;

    ui.labelFrequency->setText(QString::number(rate, 'f', 1) + QLatin1String(" Hz"));
    frameCounter = 0;
    lastSendTime = microsecondsNow();
    mode = ModePlaying;
    updateControls();
    armSendTimer();
    startDisplayRefresh();
}

int Korvel_recorder::readNextFrame(double &timestamp)
{
    return frameReader.readNextFrame(playFile, timestamp, loop, seekPending, currentFrame, displayText);
}

void Korvel_recorder::armSendTimer()
{
    const uint32_t elapsed = Stopwatch::elapsed(microsecondsNow(), lastSendTime);
    int wait = 0;
    // Behind schedule (or about to be due): the next timer event comes at once.
    if (elapsed < sendInterval && sendInterval - elapsed > PreciseWindow)
        wait = int((sendInterval - elapsed - PreciseWindow) / 1000) + SendTick;
    sendTimer->start(wait);
}

void Korvel_recorder::sendUDP()
{
    double timestamp = frameCounter == 0 ? -2.0 : -1.0;

    uint32_t elapsed = Stopwatch::elapsed(microsecondsNow(), lastSendTime);
    if (elapsed <= sendInterval) {
        const uint32_t remaining = sendInterval - elapsed + 1;
        if (remaining > PreciseWindow) {
            armSendTimer();
            return;
        }
        Stopwatch::sleepMicroseconds(remaining);
    }
    // One period per due tick: after a delay the due ticks follow on consecutive
    // timer events until the schedule has caught up, so no frame is skipped.
    lastSendTime += sendInterval;

    const int result = readNextFrame(timestamp);
    ++frameCounter;
    if (frameCounter == 1) {
        armSendTimer();
        return;
    }
    if (result == FrameReader::Rewound)
        frameCounter = 0;

    if (!sendFrame(playAddress1, playPort1, "Error while sending data"))
        return;
    if (host2Active && !sendFrame(playAddress2, playPort2, "Error while sending data 2"))
        return;

    if (result == FrameReader::EndOfFile) {
        endPlayback();
        return;
    }
    const uint32_t nowMs = Stopwatch::milliseconds();
    if (Stopwatch::elapsed(nowMs, lastSliderUpdate) >= SliderRefresh) {
        lastSliderUpdate = nowMs;
        showCurrentFrameOnSlider();
    }
    armSendTimer();
}

bool Korvel_recorder::sendFrame(uint32_t address, uint16_t port, const char *failureText)
{
    if (sendSocket && udpSend(sendSocket, displayText.constData(), int32_t(displayText.size()), address, port,
                              SendTimeout) == UDP_OK)
        return true;
    sendTimer->stop();
    displayTimer->stop();
    playFile.close();
    mode = ModeIdle;
    // The controls must not keep offering Pause for a playback that has ended.
    updateControls();
    showCurrentFrameOnSlider();
    showMessage(this, QMessageBox::Critical, tr("Korvel Recorder"), tr(failureText));
    return false;
}

void Korvel_recorder::endPlayback()
{
    sendTimer->stop();
    displayTimer->stop();
    playFile.close();
    mode = ModeIdle;
    updateControls();
    showCurrentFrameOnSlider();
}

void Korvel_recorder::showCurrentFrameOnSlider()
{
    ui.playSlider->setValue(currentFrame);
}

// ---------------------------------------------------------------- display and seeking

void Korvel_recorder::update_display()
{
    ui.te_datadisplay->setPlainText(QString::fromLatin1(displayText));
    ui.te_datadisplay->update();
    updateLabelFrequency();
}

void Korvel_recorder::on_cb_disableView_stateChanged(int state)
{
    if (state == Qt::Checked)
        displayTimer->stop();
    else if (mode == ModePlaying)
        displayTimer->start(DisplayRefresh);
}

void Korvel_recorder::updateContent(int i)
{
    if (ui.cb_disableView->isChecked())
        return;
    const QString text = frameText(i);
    displayText = text.toLatin1();
    ui.te_datadisplay->setPlainText(text);
}

void Korvel_recorder::on_playSlider_sliderPressed()
{
    sliderFollow = connect(ui.playSlider, &QSlider::sliderMoved, this, &Korvel_recorder::updateContent);
    if (mode == ModePlaying)
        seekPending = true;
}

void Korvel_recorder::on_playSlider_sliderReleased()
{
    disconnect(sliderFollow);
    currentFrame = ui.playSlider->sliderPosition();
}

void Korvel_recorder::startFromNew()
{
    ui.actionPlay->setEnabled(false);
    ui.actionPause->setEnabled(true);
    ui.actionRecord->setEnabled(false);
    ui.playSlider->setEnabled(false);
    ui.menuSettings->setEnabled(false);
    ui.actionOpen->setEnabled(false);

    // Resume at the first frame from the chosen one on that is in the file (a
    // lost frame resumes at the next one), positioned through the index
    // instead of a scan from the start.
    int chosen = currentFrame;
    qint64 offset = -1;
    for (; chosen <= lastFrame; ++chosen) {
        offset = frameIndex.fileOffset(chosen - firstFrame);
        if (offset >= 0)
            break;
    }

    int result = FrameReader::NotFound;
    double timestamp = -1.0;
    if (offset >= 0) {
        currentFrame = chosen;
        seekPending = true;
        playFile.seek(offset);
        result = readNextFrame(timestamp);
        if (result == FrameReader::NotFound) {
            // The file no longer matches its index: search it from the start.
            seekPending = true;
            playFile.seek(0);
            result = readNextFrame(timestamp);
        }
    }
    if (result == FrameReader::FrameRead)
        result = readNextFrame(timestamp);
    seekPending = false;

    switch (result) {
    case FrameReader::FrameRead:
        // Not 0: the next due tick sends the held frame line's frame without priming.
        frameCounter = qMax(1, currentFrame - firstFrame);
        break;
    case FrameReader::Rewound:
        // Repositioned onto the last frame with loop: the next due tick primes from the start.
        frameCounter = 0;
        break;
    default:
        // Nothing follows the chosen frame: the pass is over, as after its last frame.
        endPlayback();
        return;
    }
    armSendTimer();
    startDisplayRefresh();
}

int Korvel_recorder::datagramsReceived() const
{
    return recorder->datagramsReceived();
}
