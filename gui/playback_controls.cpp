#include "gui/playback_controls.h"

#include "gui/marker_slider.h"
#include "gui/speed_box.h"
#include "play/player.h"
#include "play/recording_index.h"

#include <QLabel>

PlaybackControls::PlaybackControls(Ui::mw_korvel_recorder &ui, Player *player, QMainWindow *window)
    : QObject(window), ui(ui), player(player), speedBox(new SpeedBox(window)), rangeLabel(new QLabel(window))
{
    ui.toolBar->addSeparator();
    ui.toolBar->addWidget(speedBox);
    // Never the focus by default: it is a text field, where Space and the keys type.
    speedBox->setFocusPolicy(Qt::ClickFocus);
    connect(speedBox, &QDoubleSpinBox::valueChanged, this, [this](double speed) {
        this->player->setSpeed(speed);
        emit speedChanged(speed);
    });
    connect(ui.actionFaster, &QAction::triggered, this, [this] { setSpeed(Player::faster(speed())); });
    connect(ui.actionSlower, &QAction::triggered, this, [this] { setSpeed(Player::slower(speed())); });
    connect(ui.actionNormalSpeed, &QAction::triggered, this, [this] { setSpeed(Player::NormalSpeed); });

    // The range is shown beside the slider's status; a start or end alone spans to the recording's end.
    ui.statusbar->addWidget(rangeLabel);
    connect(ui.actionSetRangeStart, &QAction::triggered, this,
            [this] { setRange(this->ui.playSlider->value(), ranged ? rangeTo : index->last()); });
    connect(ui.actionSetRangeEnd, &QAction::triggered, this,
            [this] { setRange(ranged ? rangeFrom : index->first(), this->ui.playSlider->value()); });
    connect(ui.actionClearRange, &QAction::triggered, this, &PlaybackControls::clearRange);

    showKeysInToolTips(window);
}

double PlaybackControls::speed() const
{
    return speedBox->value();
}

void PlaybackControls::setSpeed(double speed)
{
    speedBox->setValue(speed);
}

void PlaybackControls::setRecording(std::shared_ptr<const RecordingIndex> recording)
{
    index = std::move(recording);
    clearRange();
}

bool PlaybackControls::range(int *from, int *to) const
{
    if (ranged) {
        *from = rangeFrom;
        *to = rangeTo;
    }
    return ranged;
}

void PlaybackControls::setRange(int from, int to)
{
    rangeFrom = qMin(from, to);
    rangeTo = qMax(from, to);
    ranged = true;
    player->setRange(rangeFrom, rangeTo);
    rangeLabel->setText(tr("range %1–%2").arg(rangeFrom).arg(rangeTo));
    ui.playSlider->setBand(rangeFrom, rangeTo);
}

void PlaybackControls::clearRange()
{
    ranged = false;
    player->clearRange();
    rangeLabel->clear();
    ui.playSlider->clearBand();
}

// Keyboard users find every key in the tool tips; Space plays and pauses.
void PlaybackControls::showKeysInToolTips(QMainWindow *window)
{
    for (QAction *action : window->findChildren<QAction *>()) {
        QString name = action->text().remove(QLatin1Char('&'));
        while (name.endsWith(QLatin1Char('.')) || name.endsWith(QChar(0x2026)))
            name.chop(1);
        QKeySequence key = action->shortcut();
        if (action == ui.actionPlay || action == ui.actionPause)
            key = ui.actionPlayPause->shortcut();
        if (!key.isEmpty())
            action->setToolTip(QStringLiteral("%1 (%2)").arg(name.trimmed(), key.toString(QKeySequence::NativeText)));
    }
}
