#include "gui/playback_controller.h"

#include "gui/dialogs/message_box.h"
#include "gui/playback_controls.h"
#include "gui/window_settings.h"
#include "play/player.h"
#include "play/recording_index.h"
#include "play/send_form.h"

#include <QTimer>

#include <cmath>

namespace {

constexpr int DisplayRefresh = 100; // ms

}

PlaybackController::PlaybackController(Ui::mw_korvel_recorder &ui, Player *player, const PlaybackControls *controls,
                                       WindowSettings &settings, QMainWindow *window)
    : QObject(window), ui(ui), window(window), player(player), controls(controls), settings(settings),
      displayTimer(new QTimer(this))
{
    connect(player, &Player::started, this, &PlaybackController::showPlayRate);
    connect(player, &Player::finished, this, &PlaybackController::end);
    connect(player, &Player::failed, this, [this](const PlaybackFailure &failure) {
        end();
        emit failed(failure);
    });
    connect(player, &Player::passEnded, this, &PlaybackController::showPassEnd);
    // The timer runs only while playing: recording and preview refresh the view through their controller.
    connect(displayTimer, &QTimer::timeout, this, &PlaybackController::showPlayerFrame);
}

void PlaybackController::setRecording(std::shared_ptr<const RecordingIndex> recording)
{
    index = std::move(recording);
}

// ---------------------------------------------------------------- commands

void PlaybackController::play()
{
    if (!preparePlayer())
        return;
    const bool fresh = player->state() == Player::Idle;
    player->play();
    // Until the first frame goes out the slider shows where the playback starts, not where the last one stopped.
    if (fresh)
        ui.playSlider->setValue(player->rangeFrom());
    follow();
    startDisplayRefresh();
}

void PlaybackController::playFromSlider()
{
    player->seek(ui.playSlider->value());
    player->play();
    follow();
    startDisplayRefresh();
}

void PlaybackController::pause()
{
    player->pause();
    displayTimer->stop();
    follow();
}

void PlaybackController::stop()
{
    displayTimer->stop();
    player->stop();
}

void PlaybackController::goToFrame(int frame)
{
    if (preparePlayer()) {
        player->seek(frame);
        follow();
    }
}

void PlaybackController::step(int direction)
{
    if (!preparePlayer())
        return;
    // An idle player may still hold the last run's frame; the user goes on from the one shown.
    player->setPosition(ui.playSlider->value());
    if (player->step(direction))
        follow();
}

// Hands the player the settings and destinations; false after a box when they cannot be used.
bool PlaybackController::preparePlayer()
{
    if (!index || player->state() != Player::Idle)
        return index != nullptr;
    QString problem;
    if (!settings.preparePlayer(*player, problem)) {
        showMessage(window, QMessageBox::Critical, tr("Korvel Recorder"), problem);
        return false;
    }
    player->setSpeed(controls->speed());
    return true;
}

// ---------------------------------------------------------------- the player's reports

void PlaybackController::follow()
{
    const Player::State state = player->state();
    if (state == Player::Idle) {
        end();
        return;
    }
    emit following(state == Player::Paused);
    showPlayRate();
    showPlayerFrame();
}

void PlaybackController::end()
{
    displayTimer->stop();
    const QString modes = ui.statusbar->currentMessage();
    if (modes == tr("real-time") || modes.endsWith(tr("faults on")))
        ui.statusbar->clearMessage();
    emit ended();
    showPlayerFrame();
}

void PlaybackController::showPlayRate()
{
    double rate = player->rate();
    // Paced by every timestamp, the rate changes from frame to frame: the recording's mean is shown.
    if (player->options().pace == Player::EveryTimestamp && index && std::isfinite(index->meanRate()))
        rate = index->meanRate() * player->speed();
    ui.labelFrequency->setText(QString::number(rate, 'f', 1) + QLatin1String(" Hz"));
    QStringList modes;
    if (player->stats().realtime)
        modes << tr("real-time");
    if (player->options().faults.any())
        modes << tr("faults on");
    if (!modes.isEmpty())
        ui.statusbar->showMessage(modes.join(QLatin1String(", ")));
}

void PlaybackController::showPassEnd(int oversizeSkipped)
{
    if (oversizeSkipped > 0)
        ui.statusbar->showMessage(
            tr("%n frame(s) longer than one datagram can carry were skipped.", nullptr, oversizeSkipped));
}

// ---------------------------------------------------------------- the view

void PlaybackController::startDisplayRefresh()
{
    displayTimer->start(DisplayRefresh);
}

void PlaybackController::stopDisplayRefresh()
{
    displayTimer->stop();
}

// The frame the player showed last, on the slider and, unless disabled, in the view.
void PlaybackController::showPlayerFrame()
{
    const int position = player->position();
    if (position >= 0 && !ui.playSlider->isSliderDown())
        ui.playSlider->setValue(position);
    if (ui.cb_disableView->isChecked())
        return;
    if (position >= 0 && player->copyCurrentFrame(rawFrame))
        ui.te_datadisplay->setPlainText(SendForm::displayText(rawFrame));
    else
        showFrameAtSlider();
}

void PlaybackController::showFrame(int frame)
{
    if (ui.cb_disableView->isChecked())
        return;
    if (!index || !index->readFrame(frame, rawFrame))
        rawFrame.clear();
    ui.te_datadisplay->setPlainText(SendForm::displayText(rawFrame));
}

void PlaybackController::showFrameAtSlider()
{
    showFrame(ui.playSlider->value());
}
