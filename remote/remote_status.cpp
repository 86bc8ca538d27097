#include "remote/remote_status.h"

#include "play/player.h"
#include "play/recording_index.h"
#include "record/recording_session.h"
#include "remote/remote_target.h"

#include <QJsonArray>

namespace RemoteStatus {


QString mode(const RemoteTarget &target)
{
    switch (target.session().mode()) {
    case RecordingSession::Recording:
        return QStringLiteral("recording");
    case RecordingSession::Previewing:
        return QStringLiteral("previewing");
    default:
        return QStringLiteral("idle");
    }
}

QString player(const RemoteTarget &target)
{
    return playerWord(target.player().state());
}

QString playerWord(int state)
{
    switch (state) {
    case Player::Playing:
        return QStringLiteral("playing");
    case Player::Paused:
        return QStringLiteral("paused");
    default:
        return QStringLiteral("idle");
    }
}

QJsonObject status(const RemoteTarget &target)
{
    const Player &player = target.player();
    const RecordingSession &session = target.session();
    const std::shared_ptr<const RecordingIndex> index = target.recording();
    const int position = player.position();
    QJsonValue rate;
    if (session.mode() != RecordingSession::Idle)
        rate = session.rateHz() >= 0 ? QJsonValue(session.rateHz()) : QJsonValue();
    else if (player.state() != Player::Idle)
        rate = player.rate();
    return {{QStringLiteral("mode"), mode(target)},
            {QStringLiteral("player"), RemoteStatus::player(target)},
            {QStringLiteral("file"), target.file().isEmpty() ? QJsonValue() : QJsonValue(target.file())},
            {QStringLiteral("frames"), index ? index->frameCount() : 0},
            {QStringLiteral("first"), index ? QJsonValue(index->first()) : QJsonValue()},
            {QStringLiteral("last"), index ? QJsonValue(index->last()) : QJsonValue()},
            {QStringLiteral("position"), position >= 0 ? QJsonValue(position) : QJsonValue()},
            {QStringLiteral("speed"), player.speed()},
            {QStringLiteral("range"),
             player.hasRange() ? QJsonValue(QJsonArray{player.rangeFrom(), player.rangeTo()}) : QJsonValue()},
            {QStringLiteral("rate_hz"), rate}};
}

QJsonObject opened(const RemoteTarget &target, const QString &path)
{
    const std::shared_ptr<const RecordingIndex> index = target.recording();
    QJsonObject summary = index ? index->summary({}) : QJsonObject();
    return {{QStringLiteral("path"), path},
            {QStringLiteral("frames"), summary.value(QLatin1String("frames"))},
            {QStringLiteral("first"), summary.value(QLatin1String("first"))},
            {QStringLiteral("last"), summary.value(QLatin1String("last"))},
            {QStringLiteral("lost"), summary.value(QLatin1String("lost"))}};
}

}
