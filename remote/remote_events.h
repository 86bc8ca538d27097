#ifndef REMOTE_EVENTS_H
#define REMOTE_EVENTS_H

#include <QObject>
#include <QString>

class QTimer;
class RemoteServer;
class RemoteTarget;

// The notifications, taken from the engines' snapshots (atomics and signals
// they already give) and coalesced: the position at most 10 times a second
// while playing, the health once a second while receiving, a state only when
// mode or player changed. Nothing here waits for a client.
class RemoteEvents : public QObject
{
    Q_OBJECT

public:
    static constexpr int PositionMs = 100;
    static constexpr int HealthMs = 1000;

    RemoteEvents(RemoteTarget *target, RemoteServer *server);

private:
    // `player` is the state a transition went to: a short one is told too, not only the latest.
    void stateMayHaveChanged(const QString &player);
    void followPlayback();
    void sendHealth();

    RemoteTarget *target;
    RemoteServer *server;
    QTimer *positionTimer;
    QTimer *healthTimer;
    QString lastMode;
    QString lastPlayer;
    int lastPosition = -1;
    qint64 lastPasses = 0;
};

#endif
