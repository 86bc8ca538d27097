#include "gui/window_remote.h"

#include "gui/dialogs/message_box.h"
#include "gui/dialogs/settings_remote.h"
#include "gui/korvel_recorder.h"
#include "gui/marker_controller.h"
#include "play/marker_book.h"
#include "gui/playback_controller.h"
#include "gui/playback_controls.h"
#include "gui/recording_controller.h"
#include "gui/recording_opener.h"
#include "gui/window_settings.h"
#include "play/player.h"
#include "play/recording_index.h"
#include "remote/remote_server.h"
#include "remote/remote_token.h"

#include <QApplication>
#include <QFileInfo>
#include <QLabel>
#include <QStatusBar>

WindowRemote::WindowRemote(Korvel_recorder *window, const QString &settingsDir)
    : RemoteTarget(window), window(window), tokenPath(RemoteToken::defaultPath(settingsDir)),
      remoteServer(new RemoteServer(this, this)), clientsLabel(new QLabel(window))
{
    clientsLabel->setObjectName(QStringLiteral("remoteClients"));
    clientsLabel->hide();
    window->statusBar()->addPermanentWidget(clientsLabel);
    connect(remoteServer, &RemoteServer::clientCountChanged, this, &WindowRemote::showClients);

    connect(window, &Korvel_recorder::controlsUpdated, this, &RemoteTarget::changed);
    connect(window->opener, &RecordingOpener::finished, this, [this](const QString &path, const IndexResult &result) {
        const bool loaded = result.status == IndexResult::Loaded && this->window->index
                            && this->window->index->path() == path;
        emit openFinished(path, loaded                                        ? QString()
                                : result.status == IndexResult::Loaded        ? QStringLiteral("%1: no numbered frame to play").arg(path)
                                : result.status == IndexResult::Cancelled     ? QStringLiteral("%1: the open was cancelled").arg(path)
                                                                              : RecordingIndex::failureText(path, result));
    });
    connect(window->recorder, &RecordingController::saved, this,
            [this](const QString &path) { emit saveFinished(path, QString()); });
    connect(window->recorder, &RecordingController::saveFailed, this, &RemoteTarget::saveFinished);
    // What the user is told in a box, every client hears.
    setMessageObserver([this](QMessageBox::Icon icon, const QString &text) {
        if (icon == QMessageBox::Warning || icon == QMessageBox::Critical)
            emit failed(text);
    });
}

WindowRemote::~WindowRemote()
{
    setMessageObserver({});
}

// ---------------------------------------------------------------- hosting

bool WindowRemote::loadToken(QString &token)
{
    QString error;
    if (RemoteToken::load(tokenPath, token, error))
        return true;
    showMessage(window, QMessageBox::Warning, tr("Remote control"), tr("The remote control is off: %1.").arg(error));
    return false;
}

void WindowRemote::listen(const WindowSettings &settings)
{
    remoteServer->close();
    const int port = settings.text(SettingsStore::RemotePort).toInt();
    if (port <= 0 || port > 65535)
        return;
    RemoteServer::Options options;
    options.address = QHostAddress(settings.text(SettingsStore::RemoteAddress));
    options.port = quint16(port);
    options.allowedOrigins = settings.text(SettingsStore::RemoteOrigins).split(QLatin1Char(' '), Qt::SkipEmptyParts);
    QString error;
    if (loadToken(options.token) && !remoteServer->listen(options, &error))
        showMessage(window, QMessageBox::Warning, tr("Remote control"), tr("The remote control is off: %1.").arg(error));
}

bool WindowRemote::editSettings(WindowSettings &settings)
{
    QString token;
    if (!loadToken(token))
        return false;
    Settings_remote dialog(window);
    dialog.setValues(settings.text(SettingsStore::RemotePort).toInt(), settings.text(SettingsStore::RemoteAddress),
                     settings.text(SettingsStore::RemoteOrigins), token);
    if (dialog.exec() != QDialog::Accepted)
        return false;
    settings.setText(SettingsStore::RemotePort, QString::number(dialog.port()));
    settings.setText(SettingsStore::RemoteAddress, dialog.address());
    settings.setText(SettingsStore::RemoteOrigins, dialog.origins());
    listen(settings);
    return true;
}

void WindowRemote::showClients(int count)
{
    clientsLabel->setText(count == 1 ? tr("remote: 1 client") : tr("remote: %1 clients").arg(count));
    clientsLabel->setVisible(count > 0);
}

// ---------------------------------------------------------------- what the remote control reads

const Player &WindowRemote::player() const
{
    return *window->player;
}

const RecordingSession &WindowRemote::session() const
{
    return window->recorder->recordingSession();
}

std::shared_ptr<const RecordingIndex> WindowRemote::recording() const
{
    return window->index;
}

QString WindowRemote::file() const
{
    return window->currentFileName;
}

// A user answering a dialog comes first; so does a file dialog or a progress box.
bool WindowRemote::busy() const
{
    return QApplication::activeModalWidget() != nullptr;
}

// ---------------------------------------------------------------- commands

template <typename Command>
RemoteTarget::Outcome WindowRemote::run(QAction *action, const char *refusal, Command command,
                                        bool (*succeeded)(const Korvel_recorder &))
{
    if (action && !action->isEnabled())
        return notAllowed(QString::fromLatin1(refusal));
    QStringList told;
    {
        MessageDiversion diversion;
        command();
        told = diversion.failures();
    }
    if (succeeded && succeeded(*window)) {
        // Done, but the user would have been told something (no data received): so is everybody.
        for (const QString &text : std::as_const(told))
            emit failed(text);
        return done();
    }
    if (!told.isEmpty())
        return failure(told.join(QLatin1Char('\n')));
    return succeeded ? failure(QStringLiteral("the command had no effect")) : done();
}

namespace {

const char recordRefusal[] = "record is allowed only when idle or previewing";

}

bool WindowRemote::recording(const Korvel_recorder &window)
{
    return window.mode == Korvel_recorder::ModeRecording;
}

RemoteTarget::Outcome WindowRemote::record()
{
    return run(window->ui.actionRecord, recordRefusal, [this] { window->on_actionRecord_triggered(); }, recording);
}

// The window's Record with fewer seconds than its setting keeps: the same steps, the same enabling.
RemoteTarget::Outcome WindowRemote::recordFromPreview(int seconds)
{
    return run(window->ui.actionRecord, recordRefusal, [this, seconds] { window->record(seconds); }, recording);
}

RemoteTarget::Outcome WindowRemote::preview()
{
    return run(window->ui.actionPreview, "preview is allowed only when idle",
               [this] { window->on_actionPreview_triggered(); },
               [](const Korvel_recorder &w) { return w.mode == Korvel_recorder::ModePreviewing; });
}

RemoteTarget::Outcome WindowRemote::stop()
{
    return run(window->ui.actionStop, "nothing to stop", [this] { window->stop(false); },
               [](const Korvel_recorder &w) { return w.mode == Korvel_recorder::ModeIdle; });
}

RemoteTarget::Outcome WindowRemote::save(const QString &path)
{
    if (!window->ui.actionSave_as->isEnabled() || window->recorder->flushedTemporaryRecording().isEmpty())
        return notAllowed(QStringLiteral("save needs a stopped recording that is not saved yet"));
    QString name = path;
    if (!name.endsWith(QLatin1String(".wly")))
        name += QLatin1String(".wly");
    QString reason;
    switch (window->recorder->saveTemporaryAs(name, &reason)) {
    case RecordingSaver::Renamed:
        return done();
    case RecordingSaver::Copying:
        return pending();
    case RecordingSaver::Refused:
    case RecordingSaver::Failed:
        break;
    }
    return failure(QStringLiteral("The recording could not be saved as %1. %2").arg(name, reason));
}

RemoteTarget::Outcome WindowRemote::discard()
{
    if (window->mode != Korvel_recorder::ModeIdle || window->recorder->flushedTemporaryRecording().isEmpty())
        return notAllowed(QStringLiteral("discard needs a stopped recording that is not saved yet"));
    window->recorder->discardTemporary();
    return done();
}

RemoteTarget::Outcome WindowRemote::open(const QString &path)
{
    if (!window->ui.actionOpen->isEnabled())
        return notAllowed(QStringLiteral("open is allowed only when idle"));
    window->settings.setText(SettingsStore::OpenFileDir, QFileInfo(path).absolutePath());
    window->openedRemotely = true;
    window->openInBackground(path, Korvel_recorder::ForOpen);
    return pending();
}

RemoteTarget::Outcome WindowRemote::play()
{
    return run(window->ui.actionPlay, "play needs a recording, idle or paused",
               [this] { window->on_actionPlay_triggered(); });
}

RemoteTarget::Outcome WindowRemote::pause()
{
    return run(window->ui.actionPause, "pause is allowed only while playing",
               [this] { window->on_actionPause_triggered(); });
}

// As Go to frame: the frame is shown, nothing is sent, play goes on after it.
RemoteTarget::Outcome WindowRemote::seek(int frame)
{
    return run(window->ui.actionGoToFrame, "seek needs an open recording, idle or paused",
               [this, frame] { window->playback->goToFrame(frame); });
}

RemoteTarget::Outcome WindowRemote::step(int direction)
{
    // While playing, Step pauses, as the key does.
    const bool playing = window->mode == Korvel_recorder::ModePlaying && !window->paused;
    return run(playing ? nullptr : window->ui.actionStepForward, "step needs an open recording, idle or paused",
               [this, direction] {
                   window->playback->step(direction);
                   // The window's Step never runs while playing: the pause it made is taken in here.
                   if (window->player->state() == Player::Paused)
                       window->playback->follow();
               });
}

RemoteTarget::Outcome WindowRemote::setSpeed(double speed)
{
    window->controls->setSpeed(speed);
    return done();
}

RemoteTarget::Outcome WindowRemote::setRange(int from, int to)
{
    return run(window->ui.actionSetRangeStart, "set_range needs an open recording, idle or paused",
               [this, from, to] { window->controls->setRange(from, to); });
}

RemoteTarget::Outcome WindowRemote::clearRange()
{
    return run(window->ui.actionClearRange, "clear_range needs an open recording, idle or paused",
               [this] { window->controls->clearRange(); });
}

RemoteTarget::Outcome WindowRemote::addMarker(const QString &label)
{
    if (!window->ui.actionAddMarker->isEnabled())
        return notAllowed(QStringLiteral("add_marker needs a recording running or open"));
    const qsizetype position = window->markers->addMarker(label);
    if (position < 0)
        return failure(QStringLiteral("No frame received yet: no marker added."));
    const Marker &added = window->markers->book()->markers().at(position);
    return done({{QStringLiteral("frame"), added.frame}, {QStringLiteral("label"), added.label}});
}
