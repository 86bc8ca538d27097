#ifndef KORVEL_RECORDER_H
#define KORVEL_RECORDER_H

#include "app/window_settings.h"
#include "play/frame_index.h"
#include "play/frame_reader.h"
#include "ui_korvel_recorder.h"

#include <QByteArray>
#include <QFile>
#include <QList>
#include <QMainWindow>
#include <QMetaObject>
#include <QString>

#include <cstdint>

class AboutDlg;
class Help;
class QTimer;
class RecordingController;
class SpeedBox;
class Settings_play;
class Settings_record;
struct UdpSocket;

// The one main window: owns every piece of run-time state and routes the
// commands of recording, preview and playback to the units that do the work.
class Korvel_recorder : public QMainWindow
{
    Q_OBJECT

public:
    enum Mode { ModeIdle = 0, ModePlaying = 1, ModeRecording = 2, ModePreviewing = 4 };

    explicit Korvel_recorder(QString settingsDir);
    ~Korvel_recorder() override;

    void updateControls();
    // Datagrams the window has counted in the current or last recording.
    int datagramsReceived() const;

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
    void update_status(int status);
    void updateLabelFrequency();
    void updateListFrequency(bool clear = false);
    void on_actionPlayPause_triggered();
    void on_actionFaster_triggered();
    void on_actionSlower_triggered();
    void on_actionNormalSpeed_triggered();
    void on_actionGoToFrame_triggered();

private slots:
    void sendUDP();
    void update_display();
    void updateContent(int i);

private:
    // Settings file and destinations
    void loadSettingsFile();
    void saveSettingsFile();
    void refreshConnectionLabels();
    void resolvePlayHosts();
    bool haveDestinations();
    void setUpPlaybackControls();
    void speedChanged(double speed);

    // Recording
    void showSaved(const QString &path);

    // Loading and playback
    bool loadRecording(QString path, int &first, int &last, FrameIndex &index);
    bool openRecording(const QString &path);
    QString frameText(int n) const;
    bool offerTemporaryRecording();
    void startPlayback();
    bool probeTimestampPeriod(float &rate);
    int readNextFrame(double &timestamp);
    bool sendFrame(uint32_t address, uint16_t port, const char *failureText);
    void endPlayback();
    void armSendTimer();
    void startDisplayRefresh();
    void showCurrentFrameOnSlider();
    void sliderStepped(int action);
    void moveTo(int frame);
    void showFrameAtSlider();

    Ui::mw_korvel_recorder ui;

    uint32_t sendInterval = 0;
    uint32_t lastSendTime = 0;
    int firstFrame = 0;
    int lastFrame = 0;
    int currentFrame = 0;
    QFile playFile;
    int frameCounter = 0;
    QTimer *sendTimer = nullptr;
    QTimer *displayTimer = nullptr;
    Settings_record *recordSettingsDialog = nullptr;
    Settings_play *playSettingsDialog = nullptr;
    AboutDlg *aboutDialog = nullptr;
    Help *helpDialog = nullptr;
    RecordingController *recorder = nullptr;
    QString settingsDir;
    QString currentFileName;

    WindowSettings settings;
    SpeedBox *speedBox = nullptr;
    uint32_t playAddress1 = 0;
    uint32_t playAddress2 = 0;

    bool paused = false;
    bool seekPending = false;
    UdpSocket *sendSocket = nullptr;
    // Latin-1 bytes of the current datagram or frame: what the view shows and playback sends.
    QByteArray displayText;
    FrameReader frameReader;
    int mode = ModeIdle;
    FrameIndex frameIndex;

    QMetaObject::Connection sliderFollow;
    uint32_t lastSliderUpdate = 0;
};

#endif
