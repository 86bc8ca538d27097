#ifndef REMOTE_TARGET_H
#define REMOTE_TARGET_H

#include <QJsonObject>
#include <QObject>
#include <QString>

#include <memory>

class Player;
class RecordingIndex;
class RecordingSession;

// What the remote control drives: a front end's own commands over the engines.
// The window answers through its own slots, so a remote command changes the
// window as the same click would; the headless server answers over the engines
// alone. The remote control reads figures from the engines themselves and only
// commands through here. Commands return at once; an open and a copying save
// answer Pending and end by signal.
class RemoteTarget : public QObject
{
    Q_OBJECT

public:
    struct Outcome {
        enum Kind { Done, Pending, NotAllowed, Busy, Failed };
        Kind kind = Done;
        QString message;
        QJsonObject result; // for Done, when there is more to say than true
    };
    static Outcome done(const QJsonObject &result = {}) { return {Outcome::Done, QString(), result}; }
    static Outcome pending() { return {Outcome::Pending, QString(), {}}; }
    static Outcome notAllowed(const QString &why) { return {Outcome::NotAllowed, why, {}}; }
    static Outcome failure(const QString &why) { return {Outcome::Failed, why, {}}; }

    using QObject::QObject;

    virtual const Player &player() const = 0;
    virtual const RecordingSession &session() const = 0;
    // The recording offered for playback; null when none is loaded.
    virtual std::shared_ptr<const RecordingIndex> recording() const = 0;
    // Its path; empty when none.
    virtual QString file() const = 0;
    // True while a user has to answer a modal dialog: nothing is done meanwhile.
    virtual bool busy() const { return false; }

    // As the window's Record: during a Preview that keeps datagrams, the recording begins with all of them.
    virtual Outcome record() = 0;
    // During a Preview that keeps datagrams: the recording begins with those of at most the
    // last `seconds` before now (never more than the Preview keeps; what it holds when less).
    virtual Outcome recordFromPreview(int seconds) = 0;
    virtual Outcome preview() = 0;
    // A recording stops without a dialog and is kept as the temporary recording.
    virtual Outcome stop() = 0;
    // Saves the kept temporary recording as `path` (".wly" added when missing), then
    // opens it. Done or Pending: saveFinished follows, for Done before this returns.
    virtual Outcome save(const QString &path) = 0;
    virtual Outcome discard() = 0;
    // Pending: openFinished follows.
    virtual Outcome open(const QString &path) = 0;
    virtual Outcome play() = 0;
    virtual Outcome pause() = 0;
    virtual Outcome seek(int frame) = 0;
    virtual Outcome step(int direction) = 0;
    virtual Outcome setSpeed(double speed) = 0;
    virtual Outcome setRange(int from, int to) = 0;
    virtual Outcome clearRange() = 0;
    // A marker where the window's M puts it, labelled `label` (the next free label
    // when empty); the result is its {frame, label}.
    virtual Outcome addMarker(const QString &label) = 0;

signals:
    // The mode or the recording may have changed (the player's state is followed by its own signal).
    void changed();
    // An open ended; loaded when `failure` is empty. Opens of any origin.
    void openFinished(const QString &path, const QString &failure);
    // A save ended; saved when `failure` is empty.
    void saveFinished(const QString &path, const QString &failure);
    // A failure the user is told of that no request asked for (a box in the window).
    void failed(const QString &message);
};

#endif
