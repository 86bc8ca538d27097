#ifndef PLAYBACK_REPORT_ACTION_H
#define PLAYBACK_REPORT_ACTION_H

#include <QObject>

class Player;
class QAction;
class QWidget;

// Playback > Playback report: offered once the player has started, it shows the
// figures of the playback the player ran last (or is running).
class PlaybackReportAction : public QObject
{
    Q_OBJECT

public:
    PlaybackReportAction(QAction *action, Player *player, QWidget *window);

private:
    void showReport();

    Player *player;
    QWidget *window;
};

#endif
