#ifndef KORVEL_RECORDER_H
#define KORVEL_RECORDER_H

#include "gui/window_settings.h"
#include "play/index_result.h"
#include "ui_korvel_recorder.h"

#include <QMainWindow>
#include <QMetaObject>
#include <QString>

#include <cstdint>
#include <memory>

class AboutDlg;
class Help;
class MarkerController;
class PlaybackController;
class PlaybackControls;
class Player;
class RecordingController;
class RecordingIndex;
class RecordingOpener;
class Settings_play;
class Settings_record;
class WindowRemote;

// The one main window: a view and router over the playback and recording
// controllers and the background opener; it issues their commands and shows
// what they report.
class Korvel_recorder : public QMainWindow
{
    Q_OBJECT
    // The remote control's commands are the window's own steps.
    friend class WindowRemote;

public:
    enum Mode { ModeIdle, ModePlaying, ModeRecording, ModePreviewing };

    explicit Korvel_recorder(QString settingsDir);
    ~Korvel_recorder() override;

    void updateControls();
    // Datagrams the window has counted in the current or last recording.
    int datagramsReceived() const;
    // After show(): offers recordings an earlier run left unsaved.
    void offerAbandonedRecordings();

protected:
    void closeEvent(QCloseEvent *event) override;

public slots:
    void on_actionOpen_triggered();
    void on_actionRecord_triggered();
    void on_actionPlay_triggered();
    void startFromNew();
    void on_actionPause_triggered();
    void on_playSlider_sliderPressed();
    void on_playSlider_sliderReleased();
    void on_actionStop_triggered();
    void on_actionAbout_triggered();
    void on_actionHelp_triggered();
    void on_actionPreview_triggered();
    void on_actionSave_as_triggered();
    void on_actionEnterWhatsThis_triggered();
    void on_actionExit_triggered();
    void on_actionRecordSettings_triggered();
    void on_actionPlaySettings_triggered();
    void on_cb_disableView_stateChanged(int state);
    void writeSettings();
    void updateLabelFrequency();
    void on_actionPlayPause_triggered();
    void on_actionGoToFrame_triggered();
    void on_actionRecordingInfo_triggered();
    void on_actionRemoteSettings_triggered();

signals:
    // After every change of mode or recording: the enabling has just been set.
    void controlsUpdated();

private:
    enum OpenPurpose { ForOpen, AfterSave, ForPlay };

    // Settings file and destinations
    void loadSettingsFile();
    void saveSettingsFile();
    void refreshConnectionLabels();
    void speedChanged(double speed);

    // Recording
    // Record; during a Preview that keeps datagrams the recording begins with those of at most the last `preSeconds`.
    void record(int preSeconds);
    // Stop; a recording is offered for saving when `offerSave`, else kept.
    void stop(bool offerSave);
    void showSaved(const QString &path);
    void recordingSaved(const QString &path, bool open);

    // Opening, in the background
    void openInBackground(const QString &path, OpenPurpose purpose);
    void recordingOpened(const QString &path, const IndexResult &result, std::shared_ptr<const RecordingIndex> opened);

    // Playback, as the playback controller reports it
    void playbackFollowed(bool isPaused);
    void playbackEnded();

    // Slider
    void sliderStepped(int action);
    void moveTo(int frame);

    Ui::mw_korvel_recorder ui;

    Settings_record *recordSettingsDialog = nullptr;
    Settings_play *playSettingsDialog = nullptr;
    AboutDlg *aboutDialog = nullptr;
    Help *helpDialog = nullptr;
    RecordingController *recorder = nullptr;
    RecordingOpener *opener = nullptr;
    Player *player = nullptr;
    PlaybackControls *controls = nullptr;
    PlaybackController *playback = nullptr;
    MarkerController *markers = nullptr;
    WindowRemote *remote = nullptr;
    QString settingsDir;
    WindowSettings settings;
    // The recording offered for playback; empty when none.
    QString currentFileName;
    std::shared_ptr<const RecordingIndex> index;
    OpenPurpose openPurpose = ForOpen;
    // The open under way was asked for by the remote control: it shows no box.
    bool openedRemotely = false;
    bool sliderBeforeOpen = false;

    // ModePlaying and `paused` follow the playback controller's reports.
    Mode mode = ModeIdle;
    bool paused = false;
    QMetaObject::Connection sliderFollow;
};

#endif
