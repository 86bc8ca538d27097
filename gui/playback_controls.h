#ifndef PLAYBACK_CONTROLS_H
#define PLAYBACK_CONTROLS_H

#include "ui_korvel_recorder.h"

#include <QObject>

#include <memory>

class Player;
class QLabel;
class RecordingIndex;
class SpeedBox;

// The window's speed box and play range, and the key tool tips: commands that
// go to the player as they are and need nothing else of the window.
class PlaybackControls : public QObject
{
    Q_OBJECT

public:
    PlaybackControls(Ui::mw_korvel_recorder &ui, Player *player, QMainWindow *window);

    double speed() const;
    void setSpeed(double speed);
    // A new recording: no range any more.
    void setRecording(std::shared_ptr<const RecordingIndex> recording);
    // The play range into `from` and `to` when one is set; they are left as they are otherwise.
    bool range(int *from, int *to) const;
    void setRange(int from, int to);
    void clearRange();

signals:
    void speedChanged(double speed);

private:
    void showKeysInToolTips(QMainWindow *window);

    Ui::mw_korvel_recorder &ui;
    Player *player;
    SpeedBox *speedBox;
    QLabel *rangeLabel;
    std::shared_ptr<const RecordingIndex> index;
    bool ranged = false;
    int rangeFrom = 0;
    int rangeTo = 0;
};

#endif
