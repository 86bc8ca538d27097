#include "remote/remote_events.h"

#include "play/player.h"
#include "record/recording_session.h"
#include "record/stream_health.h"
#include "remote/remote_server.h"
#include "remote/remote_status.h"
#include "remote/remote_target.h"

#include <QTimer>

RemoteEvents::RemoteEvents(RemoteTarget *target, RemoteServer *server)
    : QObject(server), target(target), server(server), positionTimer(new QTimer(this)), healthTimer(new QTimer(this))
{
    lastMode = RemoteStatus::mode(*target);
    lastPlayer = RemoteStatus::player(*target);
    lastPasses = target->player().completedPasses();
    // The player's part of a state comes from its own transitions, in their order.
    connect(target, &RemoteTarget::changed, this, [this] { stateMayHaveChanged(lastPlayer); });
    connect(&target->player(), &Player::stateChanged, this,
            [this](Player::State state) { stateMayHaveChanged(RemoteStatus::playerWord(state)); });
    connect(target, &RemoteTarget::failed, this, [this](const QString &message) {
        this->server->notify(QStringLiteral("error"), {{QStringLiteral("message"), message}});
    });
    connect(positionTimer, &QTimer::timeout, this, &RemoteEvents::followPlayback);
    connect(healthTimer, &QTimer::timeout, this, &RemoteEvents::sendHealth);
}

void RemoteEvents::stateMayHaveChanged(const QString &player)
{
    const QString mode = RemoteStatus::mode(*target);
    const bool playing = target->player().state() != Player::Idle;
    if (playing && !positionTimer->isActive())
        positionTimer->start(PositionMs);
    if (mode != QLatin1String("idle") && !healthTimer->isActive())
        healthTimer->start(HealthMs);
    if (mode == QLatin1String("idle"))
        healthTimer->stop();
    if (!playing)
        positionTimer->stop();
    // The last pass may have ended since the last look: told before the player
    // is told idle, and after it was told playing.
    const bool toIdle = player == QLatin1String("idle");
    if (toIdle)
        followPlayback();
    if (mode != lastMode || player != lastPlayer) {
        lastMode = mode;
        lastPlayer = player;
        QJsonObject state = RemoteStatus::status(*target);
        state.insert(QStringLiteral("player"), player);
        server->notify(QStringLiteral("state"), state);
    }
    if (!toIdle)
        followPlayback();
}

void RemoteEvents::followPlayback()
{
    const Player &player = target->player();
    const qint64 passes = player.completedPasses();
    // A new recording or a fresh start counts passes from 0 again.
    if (passes < lastPasses)
        lastPasses = passes;
    if (passes > lastPasses) {
        lastPasses = passes;
        server->notify(QStringLiteral("pass_ended"), {{QStringLiteral("passes"), passes},
                                                      {QStringLiteral("oversize_skipped"), player.skippedOversize()}});
    }
    const int position = player.position();
    if (position != lastPosition && position >= 0 && server->anyoneHears(QStringLiteral("position"))) {
        lastPosition = position;
        server->notify(QStringLiteral("position"), {{QStringLiteral("frame"), position}}, true);
    }
}

void RemoteEvents::sendHealth()
{
    if (server->anyoneHears(QStringLiteral("health")))
        server->notify(QStringLiteral("health"),
                       healthJson(target->session().figures(), target->session().failedWrites()), true);
}
