#include "remote/remote_methods.h"

#include "play/player.h"
#include "play/recording_index.h"
#include "record/recording_session.h"
#include "record/stream_health.h"
#include "remote/remote_server.h"
#include "remote/remote_status.h"

#include <QDir>
#include <QJsonArray>

#include <limits>

namespace {

constexpr int MaximumFrame = std::numeric_limits<int>::max();

}

RemoteMethods::RemoteMethods(RemoteTarget *target, RemoteServer *server)
    : QObject(server), target(target), server(server)
{
    connect(target, &RemoteTarget::openFinished, this, &RemoteMethods::openFinished);
    connect(target, &RemoteTarget::saveFinished, this, &RemoteMethods::saveFinished);
}

const QStringList &RemoteMethods::eventNames()
{
    static const QStringList names = {QStringLiteral("state"),  QStringLiteral("health"),
                                      QStringLiteral("position"), QStringLiteral("pass_ended"),
                                      QStringLiteral("error"),  QStringLiteral("opened"),
                                      QStringLiteral("saved")};
    return names;
}

RemoteMethods::Method RemoteMethods::methodNamed(const QString &name, bool &command)
{
    struct Entry {
        const char *name;
        Method method;
        bool command; // changes something: waits for nobody's dialog
    };
    static const Entry table[] = {
        {"status", &RemoteMethods::status, false},
        {"health", &RemoteMethods::health, false},
        {"info", &RemoteMethods::info, false},
        {"subscribe", &RemoteMethods::subscribe, false},
        {"unsubscribe", &RemoteMethods::unsubscribe, false},
        {"record", &RemoteMethods::record, true},
        {"preview", &RemoteMethods::preview, true},
        {"stop", &RemoteMethods::stop, true},
        {"save", &RemoteMethods::save, true},
        {"discard", &RemoteMethods::discard, true},
        {"open", &RemoteMethods::open, true},
        {"play", &RemoteMethods::play, true},
        {"pause", &RemoteMethods::pause, true},
        {"seek", &RemoteMethods::seek, true},
        {"step", &RemoteMethods::step, true},
        {"set_speed", &RemoteMethods::setSpeed, true},
        {"set_range", &RemoteMethods::setRange, true},
        {"clear_range", &RemoteMethods::clearRange, true},
        {"add_marker", &RemoteMethods::addMarker, true},
    };
    for (const Entry &entry : table) {
        if (name == QLatin1String(entry.name)) {
            command = entry.command;
            return entry.method;
        }
    }
    return nullptr;
}

void RemoteMethods::handle(RemoteClient *client, const JsonRpc::Request &request)
{
    bool command = false;
    const Method method = methodNamed(request.method, command);
    if (!method) {
        refuse(client, request, {JsonRpc::MethodNotFound, QStringLiteral("unknown method \"%1\"").arg(request.method.left(64))});
        return;
    }
    // Reading waits for nobody; a command never goes past a dialog a user has to answer.
    if (command && target->busy()) {
        answer(client, request, {RemoteTarget::Outcome::Busy, QStringLiteral("busy: the window waits for an answer in a dialog")});
        return;
    }
    (this->*method)(client, request);
}

// ---------------------------------------------------------------- answers

void RemoteMethods::reply(RemoteClient *client, const JsonRpc::Request &request, const QByteArray &message)
{
    if (client && request.answered)
        server->send(client, message);
}

void RemoteMethods::refuse(RemoteClient *client, const JsonRpc::Request &request, const JsonRpc::Error &error)
{
    reply(client, request, JsonRpc::error(request.id, error));
}

void RemoteMethods::answer(RemoteClient *client, const JsonRpc::Request &request, const RemoteTarget::Outcome &outcome,
                           const QJsonValue &result)
{
    switch (outcome.kind) {
    case RemoteTarget::Outcome::Done:
        reply(client, request, JsonRpc::result(request.id, outcome.result.isEmpty() ? result : outcome.result));
        return;
    case RemoteTarget::Outcome::Pending:
        return;
    case RemoteTarget::Outcome::NotAllowed:
        refuse(client, request, {JsonRpc::NotAllowed, QStringLiteral("not allowed: ") + outcome.message});
        return;
    case RemoteTarget::Outcome::Busy:
        refuse(client, request, {JsonRpc::Busy, outcome.message});
        return;
    case RemoteTarget::Outcome::Failed:
        refuse(client, request, {JsonRpc::Failed, outcome.message});
        // A failure the window would show in a box: everybody hears it.
        server->notify(QStringLiteral("error"), {{QStringLiteral("message"), outcome.message}});
        return;
    }
}

void RemoteMethods::simple(RemoteClient *client, const JsonRpc::Request &request,
                           RemoteTarget::Outcome (RemoteTarget::*command)())
{
    JsonRpc::Error error;
    if (!JsonRpc::onlyNames(request.params, {}, error))
        return refuse(client, request, error);
    answer(client, request, (target->*command)());
}

// ---------------------------------------------------------------- reading

void RemoteMethods::status(RemoteClient *client, const JsonRpc::Request &request)
{
    JsonRpc::Error error;
    if (!JsonRpc::onlyNames(request.params, {}, error))
        return refuse(client, request, error);
    reply(client, request, JsonRpc::result(request.id, RemoteStatus::status(*target)));
}

void RemoteMethods::health(RemoteClient *client, const JsonRpc::Request &request)
{
    JsonRpc::Error error;
    if (!JsonRpc::onlyNames(request.params, {}, error))
        return refuse(client, request, error);
    const RecordingSession &session = target->session();
    reply(client, request, JsonRpc::result(request.id, healthJson(session.figures(), session.failedWrites())));
}

void RemoteMethods::info(RemoteClient *client, const JsonRpc::Request &request)
{
    JsonRpc::Error error;
    if (!JsonRpc::onlyNames(request.params, {}, error))
        return refuse(client, request, error);
    const std::shared_ptr<const RecordingIndex> index = target->recording();
    if (!index)
        return answer(client, request, RemoteTarget::notAllowed(QStringLiteral("no recording is open")));
    // The markers as they lie beside the recording, those for frames it holds.
    QList<Marker> markers = MarkerStore::read(MarkerStore::pathFor(index->path())).markers;
    MarkerStore::dropMissing(markers, *index);
    reply(client, request, JsonRpc::result(request.id, index->summary(markers)));
}

bool RemoteMethods::readEvents(const JsonRpc::Request &request, QStringList &events, JsonRpc::Error &error)
{
    if (!JsonRpc::onlyNames(request.params, {"events"}, error))
        return false;
    const QJsonValue given = request.params.value(QLatin1String("events"));
    error = {JsonRpc::InvalidParams, QStringLiteral("invalid params: \"events\" must be a list of %1")
                                         .arg(eventNames().join(QStringLiteral(", ")))};
    if (!given.isArray())
        return false;
    for (const QJsonValue &event : given.toArray()) {
        if (!eventNames().contains(event.toString()))
            return false;
        events << event.toString();
    }
    return true;
}

void RemoteMethods::subscribe(RemoteClient *client, const JsonRpc::Request &request)
{
    QStringList events;
    JsonRpc::Error error;
    if (!readEvents(request, events, error))
        return refuse(client, request, error);
    for (const QString &event : std::as_const(events))
        client->events.insert(event);
    QStringList now = client->events.values();
    now.sort();
    reply(client, request, JsonRpc::result(request.id, QJsonArray::fromStringList(now)));
}

void RemoteMethods::unsubscribe(RemoteClient *client, const JsonRpc::Request &request)
{
    QStringList events;
    JsonRpc::Error error;
    if (!readEvents(request, events, error))
        return refuse(client, request, error);
    for (const QString &event : std::as_const(events))
        client->events.remove(event);
    QStringList now = client->events.values();
    now.sort();
    reply(client, request, JsonRpc::result(request.id, QJsonArray::fromStringList(now)));
}

// ---------------------------------------------------------------- recording

void RemoteMethods::record(RemoteClient *client, const JsonRpc::Request &request)
{
    int seconds = 0;
    JsonRpc::Error error;
    const bool given = request.params.contains(QLatin1String("pre_seconds"));
    if (!JsonRpc::onlyNames(request.params, {"pre_seconds"}, error)
        || (given && !JsonRpc::readInteger(request.params, "pre_seconds", 0, RecordingSession::MaxPreTriggerSeconds,
                                           seconds, error)))
        return refuse(client, request, error);
    if (given && target->session().keepsPreview())
        return answer(client, request, target->recordFromPreview(seconds));
    // Without a Preview that keeps datagrams, history asked for would silently be missing from the recording.
    if (seconds > 0)
        return answer(client, request, RemoteTarget::notAllowed(QStringLiteral("pre_seconds needs a preview that "
                                                                               "keeps the last seconds")));
    answer(client, request, target->record());
}

void RemoteMethods::preview(RemoteClient *client, const JsonRpc::Request &request)
{
    simple(client, request, &RemoteTarget::preview);
}

void RemoteMethods::stop(RemoteClient *client, const JsonRpc::Request &request)
{
    simple(client, request, &RemoteTarget::stop);
}

void RemoteMethods::discard(RemoteClient *client, const JsonRpc::Request &request)
{
    simple(client, request, &RemoteTarget::discard);
}

// Only whole paths: a relative one would depend on where the program was started.
bool RemoteMethods::readPath(const JsonRpc::Request &request, QString &path, JsonRpc::Error &error)
{
    if (!JsonRpc::onlyNames(request.params, {"path"}, error) || !JsonRpc::readText(request.params, "path", path, error))
        return false;
    if (QDir::isAbsolutePath(path) && !path.contains(QChar(0)))
        return true;
    error = {JsonRpc::InvalidParams, QStringLiteral("invalid params: \"path\" must be an absolute path")};
    return false;
}

void RemoteMethods::save(RemoteClient *client, const JsonRpc::Request &request)
{
    QString path;
    JsonRpc::Error error;
    if (!readPath(request, path, error))
        return refuse(client, request, error);
    // Answered by saveFinished, which comes before save() returns when the save is a rename.
    saves.append({client, request, path});
    const RemoteTarget::Outcome outcome = target->save(path);
    if (outcome.kind != RemoteTarget::Outcome::Done && outcome.kind != RemoteTarget::Outcome::Pending) {
        saves.removeLast();
        answer(client, request, outcome);
    }
}

void RemoteMethods::saveFinished(const QString &path, const QString &failure)
{
    if (failure.isEmpty())
        server->notify(QStringLiteral("saved"), {{QStringLiteral("path"), path}});
    const QList<Waiting> waiting = std::exchange(saves, {});
    for (const Waiting &save : waiting)
        answer(save.client, save.request,
               failure.isEmpty() ? RemoteTarget::done() : RemoteTarget::failure(failure),
               QJsonObject{{QStringLiteral("path"), path}});
}

void RemoteMethods::open(RemoteClient *client, const JsonRpc::Request &request)
{
    QString path;
    JsonRpc::Error error;
    if (!readPath(request, path, error))
        return refuse(client, request, error);
    const RemoteTarget::Outcome outcome = target->open(path);
    if (outcome.kind == RemoteTarget::Outcome::Pending)
        opens.append({client, request, path});
    answer(client, request, outcome);
}

void RemoteMethods::openFinished(const QString &path, const QString &failure)
{
    QJsonObject opened;
    if (failure.isEmpty()) {
        opened = RemoteStatus::opened(*target, path);
        server->notify(QStringLiteral("opened"), opened);
        opened.remove(QStringLiteral("path"));
    }
    const QList<Waiting> waiting = std::exchange(opens, {});
    for (const Waiting &open : waiting)
        answer(open.client, open.request, failure.isEmpty() ? RemoteTarget::done() : RemoteTarget::failure(failure),
               opened);
}

// ---------------------------------------------------------------- playback

void RemoteMethods::play(RemoteClient *client, const JsonRpc::Request &request)
{
    simple(client, request, &RemoteTarget::play);
}

void RemoteMethods::pause(RemoteClient *client, const JsonRpc::Request &request)
{
    simple(client, request, &RemoteTarget::pause);
}

void RemoteMethods::clearRange(RemoteClient *client, const JsonRpc::Request &request)
{
    simple(client, request, &RemoteTarget::clearRange);
}

void RemoteMethods::seek(RemoteClient *client, const JsonRpc::Request &request)
{
    int frame = 0;
    JsonRpc::Error error;
    if (!JsonRpc::onlyNames(request.params, {"frame"}, error)
        || !JsonRpc::readInteger(request.params, "frame", 0, MaximumFrame, frame, error))
        return refuse(client, request, error);
    answer(client, request, target->seek(frame));
}

void RemoteMethods::step(RemoteClient *client, const JsonRpc::Request &request)
{
    int direction = 0;
    JsonRpc::Error error;
    if (!JsonRpc::onlyNames(request.params, {"direction"}, error)
        || !JsonRpc::readInteger(request.params, "direction", -1, 1, direction, error) || direction == 0)
        return refuse(client, request,
                      {JsonRpc::InvalidParams, QStringLiteral("invalid params: \"direction\" must be 1 or -1")});
    answer(client, request, target->step(direction));
}

void RemoteMethods::setSpeed(RemoteClient *client, const JsonRpc::Request &request)
{
    double speed = 0;
    JsonRpc::Error error;
    if (!JsonRpc::onlyNames(request.params, {"speed"}, error)
        || !JsonRpc::readNumber(request.params, "speed", Player::MinimumSpeed, Player::MaximumSpeed, speed, error))
        return refuse(client, request, error);
    answer(client, request, target->setSpeed(speed));
}

void RemoteMethods::setRange(RemoteClient *client, const JsonRpc::Request &request)
{
    int from = 0, to = 0;
    JsonRpc::Error error;
    if (!JsonRpc::onlyNames(request.params, {"from", "to"}, error)
        || !JsonRpc::readInteger(request.params, "from", 0, MaximumFrame, from, error)
        || !JsonRpc::readInteger(request.params, "to", 0, MaximumFrame, to, error))
        return refuse(client, request, error);
    if (from > to)
        return refuse(client, request, {JsonRpc::InvalidParams, QStringLiteral("invalid params: \"from\" lies after \"to\"")});
    answer(client, request, target->setRange(from, to));
}

void RemoteMethods::addMarker(RemoteClient *client, const JsonRpc::Request &request)
{
    QString label;
    JsonRpc::Error error;
    if (!JsonRpc::onlyNames(request.params, {"label"}, error)
        || (request.params.contains(QLatin1String("label")) && !JsonRpc::readText(request.params, "label", label, error)))
        return refuse(client, request, error);
    answer(client, request, target->addMarker(label));
}
