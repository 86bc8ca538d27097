#ifndef PLAYBACK_CONTROLLER_H
#define PLAYBACK_CONTROLLER_H

#include "ui_korvel_recorder.h"

#include <QByteArray>
#include <QObject>

#include <memory>

class PlaybackControls;
class Player;
struct PlaybackFailure;
class QTimer;
class RecordingIndex;
class WindowSettings;

// The window's side of playback, over the Player: starting, pausing, stepping
// and seeking with the play settings applied, the player's state taken into the
// window, the rate label and status line while playing, and the frame view that
// follows the player or the slider.
class PlaybackController : public QObject
{
    Q_OBJECT

public:
    PlaybackController(Ui::mw_korvel_recorder &ui, Player *player, const PlaybackControls *controls,
                       WindowSettings &settings, QMainWindow *window);

    // The recording the player was given: for the view and the mean rate.
    void setRecording(std::shared_ptr<const RecordingIndex> recording);

    // Plays on from a pause, or from the start of the range.
    void play();
    // Plays from the frame at the slider.
    void playFromSlider();
    void pause();
    // Stops the player and the view's refresh; no report follows from here.
    void stop();
    void goToFrame(int frame);
    // One frame on from the one shown, or back.
    void step(int direction);
    // Takes the player's state into the window: following(), or ended() when it is idle.
    void follow();

    void showPlayRate();
    // While playing the slider follows even with the view disabled.
    void startDisplayRefresh();
    void stopDisplayRefresh();
    // Frame `frame` in the view, unless the view is disabled; empty for a lost frame.
    void showFrame(int frame);
    void showFrameAtSlider();

signals:
    // The player runs or is `paused`: the window is playing.
    void following(bool paused);
    // The player is idle again: the window is too.
    void ended();
    // After ended(): the playback stopped on `failure`, for the window to tell.
    void failed(const PlaybackFailure &failure);

private:
    bool preparePlayer();
    void end();
    void showPassEnd(int oversizeSkipped);
    void showPlayerFrame();

    Ui::mw_korvel_recorder &ui;
    QMainWindow *window;
    Player *player;
    const PlaybackControls *controls;
    WindowSettings &settings;
    QTimer *displayTimer;
    std::shared_ptr<const RecordingIndex> index;
    // A frame's bytes as stored, read for the view.
    QByteArray rawFrame;
};

#endif
