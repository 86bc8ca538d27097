#ifndef REMOTE_STATUS_H
#define REMOTE_STATUS_H

#include <QJsonObject>
#include <QString>

class RemoteTarget;

// What `status` and the `state` notification say, read from the engines' own
// snapshots: mode, player, file, frames, first, last, position, speed, range, rate_hz.
namespace RemoteStatus {

QJsonObject status(const RemoteTarget &target);
QString mode(const RemoteTarget &target);
QString player(const RemoteTarget &target);
QString playerWord(int state); // a Player::State
// path, frames, first, last and lost of the open recording.
QJsonObject opened(const RemoteTarget &target, const QString &path);

}

#endif
