#include "gui/korvel_recorder.h"

#include "gui/action_icons.h"
#include "gui/marker_controller.h"
#include "gui/playback_controller.h"
#include "gui/playback_controls.h"
#include "gui/recording_controller.h"
#include "gui/recording_opener.h"
#include "gui/window_remote.h"
#include "gui/playback_report_action.h"
#include "gui/dialogs/about_dlg.h"
#include "gui/dialogs/help.h"
#include "gui/dialogs/message_box.h"
#include "gui/dialogs/recording_info.h"
#include "play/marker_book.h"
#include "play/player.h"
#include "play/recording_index.h"
#include "gui/dialogs/settings_play.h"
#include "gui/dialogs/settings_record.h"

#include <QCloseEvent>
#include <QFileDialog>
#include <QFileInfo>
#include <QInputDialog>
#include <QStandardPaths>
#include <QTimer>
#include <QWhatsThis>

namespace {

QString homeDirectory()
{
    return QStandardPaths::writableLocation(QStandardPaths::HomeLocation);
}

}

Korvel_recorder::Korvel_recorder(QString settingsDir)
    : QMainWindow(nullptr), settingsDir(std::move(settingsDir)), settings(homeDirectory())
{
    ui.setupUi(this);
    applyScalableIcons(this);

    player = new Player(this);
    if (!player->hasSendSocket())
        showMessage(this, QMessageBox::Critical, tr("Korvel Recorder"),
                    tr("Please check your UDP settings. (") + QString::number(player->socketOpenResult()) +
                        QLatin1Char(')'));

    recorder = new RecordingController(this, ui.labelFrequency, ui.cb_disableView, ui.te_datadisplay);
    connect(recorder, &RecordingController::saved, this, &Korvel_recorder::recordingSaved);
    connect(recorder, &RecordingController::discarded, this, [this] {
        markers->book()->close();
        ui.l_filename->setText(tr("no file selected"));
        updateControls();
    });
    opener = new RecordingOpener(ui.statusbar);
    connect(opener, &RecordingOpener::finished, this, &Korvel_recorder::recordingOpened);

    recordSettingsDialog = new Settings_record(this);
    playSettingsDialog = new Settings_play(this);
    aboutDialog = new AboutDlg(this);
    helpDialog = new Help(this);
    connect(playSettingsDialog, &Settings_play::writeSettingFile, this, &Korvel_recorder::writeSettings);
    connect(recordSettingsDialog, &Settings_record::writeSettingFile, this, &Korvel_recorder::writeSettings);

    controls = new PlaybackControls(ui, player, this);
    connect(controls, &PlaybackControls::speedChanged, this, &Korvel_recorder::speedChanged);
    // The first to hear the player's reports, before the report action and the remote control.
    playback = new PlaybackController(ui, player, controls, settings, this);
    connect(playback, &PlaybackController::following, this, &Korvel_recorder::playbackFollowed);
    connect(playback, &PlaybackController::ended, this, &Korvel_recorder::playbackEnded);
    connect(playback, &PlaybackController::failed, this, [this](const PlaybackFailure &failure) {
        showMessage(this, QMessageBox::Critical, tr("Korvel Recorder"), failure.texts(currentFileName).window);
    });
    markers = new MarkerController(ui, new MarkerBook(this), recorder->receiver(), player, controls, this);
    connect(markers, &MarkerController::goToFrame, playback, &PlaybackController::goToFrame);
    connect(markers, &MarkerController::exportEnded, this, &Korvel_recorder::updateControls);
    new PlaybackReportAction(ui.actionPlaybackReport, player, this);
    // The handle moves by keyboard too, and the view follows it as it follows a drag.
    ui.playSlider->setFocusPolicy(Qt::StrongFocus);
    connect(ui.playSlider, &QAbstractSlider::actionTriggered, this, &Korvel_recorder::sliderStepped);
    connect(ui.actionStepForward, &QAction::triggered, this, [this] { playback->step(+1); });
    connect(ui.actionStepBack, &QAction::triggered, this, [this] { playback->step(-1); });
    loadSettingsFile();
    recorder->setSaveDirectory(settings.text(SettingsStore::SaveFileDir));
    refreshConnectionLabels();
    // After the window's own connections: the remote control hears what the window made of each report.
    remote = new WindowRemote(this, this->settingsDir);
    remote->listen(settings);

    mode = ModeIdle;
    updateControls();
    ui.l_filename->setText(tr("no file selected"));
    updateLabelFrequency();
}

Korvel_recorder::~Korvel_recorder()
{
    saveSettingsFile();
    delete remote; // no client commands what goes next
    remote = nullptr;
    delete opener; // joins its worker
    opener = nullptr;
    delete player; // joins the schedule before the recording goes
    player = nullptr;
    delete recorder; // joins the receiver before anything else closes
    recorder = nullptr;
    delete recordSettingsDialog;
    delete playSettingsDialog;
    delete aboutDialog;
    delete helpDialog;
}

void Korvel_recorder::updateControls()
{
    const bool idle = mode == ModeIdle;
    const bool playing = mode == ModePlaying;
    const bool recording = mode == ModeRecording;
    const bool previewing = mode == ModePreviewing;

    const bool busy = opener->isBusy();
    const bool haveRecording = !currentFileName.isEmpty() || recorder->datagramsReceived() != 0;
    ui.actionOpen->setEnabled(idle && !busy);
    ui.actionPlay->setEnabled((idle && haveRecording && !busy) || (playing && paused));
    ui.actionSave_as->setEnabled(idle && haveRecording && !busy);
    ui.actionPause->setEnabled(playing && !paused);
    ui.actionStop->setEnabled(!idle);
    ui.actionRecord->setEnabled((idle && !busy) || previewing);
    ui.actionPreview->setEnabled(idle && !busy);
    ui.menuSettings->setEnabled(idle);
    ui.playSlider->setEnabled(playing && paused);
    ui.cb_disableView->setEnabled(!previewing);

    // Stepping, positioning and the range work on a loaded recording that is not running.
    const bool positionable = index && !busy && (idle || (playing && paused));
    for (QAction *action : {ui.actionStepForward, ui.actionStepBack, ui.actionGoToFrame, ui.actionSetRangeStart,
                            ui.actionSetRangeEnd, ui.actionClearRange})
        action->setEnabled(positionable);
    ui.actionRecordingInfo->setEnabled(index && !busy);
    markers->updateControls(recording, positionable || (index && !busy && playing), positionable, positionable);
    emit controlsUpdated();
}

int Korvel_recorder::datagramsReceived() const
{
    return recorder->datagramsReceived();
}

// ---------------------------------------------------------------- settings

void Korvel_recorder::loadSettingsFile()
{
    QString warning;
    if (!settings.load(settingsDir, warning))
        showMessage(this, QMessageBox::Warning, tr("Error loading settings"), warning);
    controls->setSpeed(settings.speed());
    settings.resolveHostsLater(this);
}

void Korvel_recorder::saveSettingsFile()
{
    settings.setText(SettingsStore::SaveFileDir, recorder->saveDirectory());
    QString warning;
    if (!settings.save(settingsDir, warning))
        showMessage(this, QMessageBox::Warning, tr("Error writing settings"), warning);
}

void Korvel_recorder::writeSettings()
{
    settings.takeDialogs(*playSettingsDialog, *recordSettingsDialog);
    // A confirmed play dialog has just resolved its hosts within its bounded wait;
    // after the record dialog it holds no addresses, and the resolved ones stay.
    settings.setAddress(0, playSettingsDialog->host1(), playSettingsDialog->address1());
    settings.setAddress(1, playSettingsDialog->host2(), playSettingsDialog->address2());
    saveSettingsFile();
    refreshConnectionLabels();
    update();
}

void Korvel_recorder::refreshConnectionLabels()
{
    using namespace SettingsStore;
    ui.label_receive->setText(QLatin1String("port ") + settings.text(RecordPort));
    ui.label_send_1->setText(settings.text(PlayHost1) + QLatin1String("  port ") + settings.text(PlayPort1));
    ui.label_send_2->setText(settings.flag(Active)
                                 ? settings.text(PlayHost2) + QLatin1String("  port ") + settings.text(PlayPort2)
                                 : QString());
}

void Korvel_recorder::on_actionRecordSettings_triggered()
{
    settings.fillDialogs(*playSettingsDialog, *recordSettingsDialog);
    recordSettingsDialog->exec();
}

void Korvel_recorder::on_actionPlaySettings_triggered()
{
    settings.fillDialogs(*playSettingsDialog, *recordSettingsDialog);
    playSettingsDialog->exec();
}

void Korvel_recorder::on_actionRemoteSettings_triggered()
{
    if (remote->editSettings(settings))
        saveSettingsFile();
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

// ---------------------------------------------------------------- keys, speed, position and range

void Korvel_recorder::speedChanged(double speed)
{
    settings.setText(SettingsStore::Speed, QString::number(speed));
    if (mode == ModePlaying)
        playback->showPlayRate();
}

void Korvel_recorder::on_actionPlayPause_triggered()
{
    if (ui.actionPause->isEnabled())
        on_actionPause_triggered();
    else if (ui.actionPlay->isEnabled())
        on_actionPlay_triggered();
}

void Korvel_recorder::sliderStepped(int action)
{
    // A drag is followed through sliderMoved and ends at the release; this is
    // the keyboard, the wheel or a click beside the handle.
    if (action != QAbstractSlider::SliderMove && !ui.playSlider->isSliderDown())
        QTimer::singleShot(0, this, [this] { moveTo(ui.playSlider->value()); });
}

void Korvel_recorder::on_actionGoToFrame_triggered()
{
    bool ok = false;
    const int frame = QInputDialog::getInt(this, tr("Go to frame"), tr("Frame number:"), ui.playSlider->value(),
                                           index->first(), index->last(), 1, &ok);
    if (ok)
        playback->goToFrame(frame);
}

// A paused playback goes on from here; while idle the view only shows the frame.
void Korvel_recorder::moveTo(int frame)
{
    if (mode == ModePlaying && paused)
        player->seek(frame);
    playback->showFrameAtSlider();
}

void Korvel_recorder::on_actionRecordingInfo_triggered()
{
    RecordingInfo info(*index, this);
    info.showMarkers(markers->book(), *index);
    info.exec();
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
    record(RecordingSession::MaxPreTriggerSeconds);
}

void Korvel_recorder::record(int preSeconds)
{
    if (!recorder->startRecording(settings, preSeconds))
        return;
    currentFileName.clear();
    ui.l_filename->setText(tr("<temporary buffer>"));
    markers->book()->startFresh(recorder->flushedTemporaryRecording());
    mode = ModeRecording;
    updateControls();
}

void Korvel_recorder::on_actionPreview_triggered()
{
    if (!recorder->startPreview(settings))
        return;
    mode = ModePreviewing;
    updateControls();
}

void Korvel_recorder::on_actionStop_triggered()
{
    stop(true);
}

void Korvel_recorder::stop(bool offerSave)
{
    playback->stop();
    paused = false;

    switch (recorder->receiverMode()) {
    case RecordingSession::Previewing:
        recorder->stopPreview();
        break;
    case RecordingSession::Recording:
        recorder->stopRecording(offerSave);
        break;
    case RecordingSession::Idle:
        break;
    }

    if (mode != ModeRecording && mode != ModePreviewing && index)
        ui.playSlider->setValue(index->first());
    mode = ModeIdle;
    // Nothing plays or receives any more: the rate label must not keep the last figure.
    updateLabelFrequency();
    updateControls();
    playback->showFrameAtSlider();
}

void Korvel_recorder::on_actionSave_as_triggered()
{
    recorder->saveAs(currentFileName);
}

void Korvel_recorder::recordingSaved(const QString &path, bool open)
{
    // A temporary recording moved by its save took its markers along.
    MarkerBook *book = markers->book();
    if (!book->recordingPath().isEmpty() && !QFileInfo::exists(book->recordingPath()))
        book->follow(path);
    showSaved(path);
    if (open)
        openInBackground(path, AfterSave);
    updateControls();
}

void Korvel_recorder::showSaved(const QString &path)
{
    ui.l_filename->setText(path);
    currentFileName = path;
}

// ---------------------------------------------------------------- opening

void Korvel_recorder::on_actionOpen_triggered()
{
    const QString name = QFileDialog::getOpenFileName(this, tr("Open File"), settings.text(SettingsStore::OpenFileDir),
                                                      tr("Korvel Recorder files (*.wly)"));
    if (name.isEmpty()) {
        ui.playSlider->setEnabled(false);
        return;
    }
    settings.setText(SettingsStore::OpenFileDir, QFileInfo(name).absolutePath());
    openInBackground(name, ForOpen);
}

void Korvel_recorder::openInBackground(const QString &path, OpenPurpose purpose)
{
    openPurpose = purpose;
    sliderBeforeOpen = ui.playSlider->isEnabled();
    opener->open(path);
    updateControls();
}

void Korvel_recorder::recordingOpened(const QString &path, const IndexResult &result,
                                      std::shared_ptr<const RecordingIndex> opened)
{
    std::unique_ptr<MessageDiversion> quiet(std::exchange(openedRemotely, false) ? new MessageDiversion : nullptr);
    const bool loaded = RecordingOpener::explain(this, path, result);
    // Play is offered for a temporary recording only when it holds a numbered frame.
    const bool playable = loaded && (openPurpose != ForPlay || opened->last() > 0);
    if (playable) {
        index = std::move(opened);
        markers->open(path, index);
        player->setRecording(index);
        controls->setRecording(index);
        playback->setRecording(index);
        ui.playSlider->setRange(index->first(), index->last());
        ui.playSlider->setValue(index->first());
    }
    switch (openPurpose) {
    case ForOpen:
        if (playable) {
            showSaved(path);
            recorder->forgetDatagrams();
        }
        break;
    case AfterSave:
        if (!playable) {
            currentFileName.clear();
            ui.l_filename->setText(tr("no file selected"));
        }
        break;
    case ForPlay:
        if (!playable && result.status != IndexResult::Cancelled)
            showMessage(this, QMessageBox::Warning, tr("Korvel Recorder"),
                        tr("Please select a file in the File -> Open dialog."));
        if (playable) {
            currentFileName = path;
            ui.l_filename->setText(tr("<temporary buffer>"));
        }
        break;
    }
    updateControls();
    // The slider is offered after an Open, so the frames can be looked through
    // before playing; a refused Open leaves it as it was.
    ui.playSlider->setEnabled(openPurpose == ForOpen && (playable || sliderBeforeOpen));
    playback->showFrameAtSlider();
    if (playable && openPurpose == ForPlay)
        playback->play();
}

// ---------------------------------------------------------------- playback

void Korvel_recorder::on_actionPlay_triggered()
{
    if (currentFileName.isEmpty()) {
        // Play with no recording chosen offers the temporary recording, once it is indexed.
        const QString temporary = recorder->flushedTemporaryRecording();
        if (temporary.isEmpty())
            showMessage(this, QMessageBox::Warning, tr("Korvel Recorder"),
                        tr("Please select a file in the File -> Open dialog."));
        else
            openInBackground(temporary, ForPlay);
        return;
    }
    playback->play();
}

void Korvel_recorder::startFromNew()
{
    playback->playFromSlider();
}

void Korvel_recorder::on_actionPause_triggered()
{
    if (mode != ModePlaying || paused)
        return;
    playback->pause();
}

void Korvel_recorder::playbackFollowed(bool isPaused)
{
    paused = isPaused;
    mode = ModePlaying;
    updateControls();
}

void Korvel_recorder::playbackEnded()
{
    paused = false;
    mode = ModeIdle;
    updateLabelFrequency();
    updateControls();
}

void Korvel_recorder::on_cb_disableView_stateChanged(int state)
{
    if (state == Qt::Checked && mode != ModePlaying)
        playback->stopDisplayRefresh();
    else if (mode == ModePlaying && !paused)
        playback->startDisplayRefresh();
}

void Korvel_recorder::on_playSlider_sliderPressed()
{
    sliderFollow = connect(ui.playSlider, &QSlider::sliderMoved, playback, &PlaybackController::showFrame);
}

void Korvel_recorder::on_playSlider_sliderReleased()
{
    disconnect(sliderFollow);
    moveTo(ui.playSlider->sliderPosition());
}
