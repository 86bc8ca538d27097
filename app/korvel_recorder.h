#ifndef KORVEL_RECORDER_H
#define KORVEL_RECORDER_H

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
class QDomElement;
class QTimer;
class RecordingController;
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

private slots:
    void sendUDP();
    void update_display();
    void updateContent(int i);

private:
    // Settings file
    void loadSettingsFile();
    void applySettingElement(const QDomElement &element);
    void saveSettingsFile();
    void refreshConnectionLabels();
    void fillSettingsDialogs();

    // Recording
    void showSaved(const QString &path, bool open);

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

    QString recordPortText;
    QString playHost1;
    QString playPort1Text;
    QString frequencyText;
    QString timestampText;
    QString loopText;
    QString playHost2;
    QString playPort2Text;
    QString activeText;
    QString openFileDir;
    uint32_t playAddress1 = 0;
    uint32_t playAddress2 = 0;
    uint16_t recordPort = 5000;
    uint16_t playPort1 = 5001;
    uint16_t playPort2 = 5001;
    float frequency = 4.0f;
    bool loop = true;
    bool useTimestamps = true;
    bool host2Active = false;

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
