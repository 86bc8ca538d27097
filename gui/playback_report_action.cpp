#include "gui/playback_report_action.h"

#include "gui/dialogs/playback_report.h"
#include "play/player.h"

#include <QAction>

PlaybackReportAction::PlaybackReportAction(QAction *action, Player *player, QWidget *window)
    : QObject(window), player(player), window(window)
{
    action->setEnabled(false);
    connect(player, &Player::started, action, [action] { action->setEnabled(true); });
    connect(action, &QAction::triggered, this, &PlaybackReportAction::showReport);
}

void PlaybackReportAction::showReport()
{
    PlaybackReportDlg dialog(window);
    dialog.setValues(player->stats());
    dialog.exec();
}
