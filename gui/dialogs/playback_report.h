#ifndef PLAYBACK_REPORT_DLG_H
#define PLAYBACK_REPORT_DLG_H

#include "play/player.h"

#include <QDialog>

class QLabel;
class QTableWidget;

// "Playback report": how the last playback kept its schedule, the figures
// `play --json` prints, read from the same player report. Each figure's label
// is named after its key there.
class PlaybackReportDlg : public QDialog
{
    Q_OBJECT

public:
    explicit PlaybackReportDlg(QWidget *parent = nullptr);

    void setValues(const Player::Stats &stats);

private:
    QLabel *framesSent;
    QLabel *sendErrors;
    QLabel *lateP50;
    QLabel *lateP99;
    QLabel *lateP999;
    QLabel *lateMax;
    QLabel *firstLate;
    QLabel *rateError;
    QLabel *realtime;
    QLabel *injected;
    QTableWidget *histogram;
};

#endif
