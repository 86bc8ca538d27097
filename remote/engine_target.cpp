#include "remote/engine_target.h"

#include "play/playback_failure.h"
#include "play/recording_index.h"

#include <QFileInfo>

EngineTarget::EngineTarget(const Options &options, QObject *parent)
    : RemoteTarget(parent), options(options)
{
    engine.setDestinations(options.destinations);
    engine.setOptions(options.play);
    receiving.setPreTrigger(options.preSeconds);
    connect(&engine, &Player::failed, this,
            [this](const PlaybackFailure &failure) { emit failed(failure.texts(path).commandLine); });
    connect(&receiving, &RecordingSession::receiverFailed, this, [this](const QString &reason, qint64 kept) {
        emit failed(receiving.hasTemporaryRecording()
                         ? QStringLiteral("Receiving stopped: %1. %2 datagrams are kept; stop keeps them.").arg(reason).arg(kept)
                         : QStringLiteral("Receiving stopped: %1.").arg(reason));
    });
    connect(&receiving, &RecordingSession::writeFailed, this, [this](const QString &reason) {
        emit failed(QStringLiteral("Received datagrams could not be written to the temporary recording %1: %2.")
                        .arg(receiving.temporaryPath(), reason));
    });
    connect(&receiving, &RecordingSession::saveFinished, this, [this](bool done, const QString &reason) {
        const QString target = savingAs;
        savingAs.clear();
        if (done)
            saved(target);
        else
            emit saveFinished(target, QStringLiteral("%1: %2").arg(target, reason));
    });
}

EngineTarget::~EngineTarget()
{
    cancelOpen = true;
    joinOpening();
    engine.stop();
    receiving.stop();
}

bool EngineTarget::idle() const
{
    return receiving.mode() == RecordingSession::Idle && engine.state() == Player::Idle;
}

// As the window: stepping, positioning and the range need a loaded recording that is not running.
bool EngineTarget::positionable() const
{
    return index && !openBusy && (idle() || engine.state() == Player::Paused);
}

namespace {

RemoteTarget::Outcome refused(const char *why)
{
    return RemoteTarget::notAllowed(QString::fromLatin1(why));
}

}

RemoteTarget::Outcome EngineTarget::record()
{
    if (!(idle() && !openBusy) && receiving.mode() != RecordingSession::Previewing)
        return refused("record is allowed only when idle or previewing");
    if (options.recordPort == 0)
        return failure(QStringLiteral("no record port: start serve with --port PORT"));
    QString error;
    if (receiving.startRecording(options.recordPort, &error) != RecordingSession::Start::Started)
        return failure(error);
    return recordingBegan();
}

RemoteTarget::Outcome EngineTarget::recordFromPreview(int seconds)
{
    QString error;
    if (receiving.recordFromPreview(seconds, &error) != RecordingSession::Start::Started)
        return failure(error);
    return recordingBegan();
}

// The new recording is the one offered: the one open before is let go, as the window's Record does.
RemoteTarget::Outcome EngineTarget::recordingBegan()
{
    index.reset();
    engine.setRecording(nullptr);
    path.clear();
    markers.startFresh(receiving.temporaryPath());
    emit changed();
    return done();
}

RemoteTarget::Outcome EngineTarget::preview()
{
    if (!idle() || openBusy)
        return refused("preview is allowed only when idle");
    if (options.recordPort == 0)
        return failure(QStringLiteral("no record port: start serve with --port PORT"));
    QString error;
    if (receiving.startPreview(options.recordPort, &error) != RecordingSession::Start::Started)
        return failure(error);
    emit changed();
    return done();
}

RemoteTarget::Outcome EngineTarget::stop()
{
    if (idle())
        return refused("nothing to stop");
    engine.stop();
    const bool wasRecording = receiving.mode() == RecordingSession::Recording;
    receiving.stop();
    if (wasRecording && receiving.received() == 0) {
        receiving.discardTemporary();
        emit failed(QStringLiteral("No data received on port %1.").arg(options.recordPort));
    }
    emit changed();
    return done();
}

RemoteTarget::Outcome EngineTarget::save(const QString &target)
{
    if (!idle() || !receiving.hasTemporaryRecording())
        return refused("save needs a stopped recording that is not saved yet");
    if (!savingAs.isEmpty())
        return refused("a recording is being saved already");
    QString name = target;
    if (!name.endsWith(QLatin1String(".wly")))
        name += QLatin1String(".wly");
    QString reason;
    switch (receiving.saveTemporary(name, &reason)) {
    case RecordingSaver::Renamed:
        saved(name);
        return done();
    case RecordingSaver::Copying:
        savingAs = name;
        return pending();
    case RecordingSaver::Refused:
    case RecordingSaver::Failed:
        break;
    }
    return failure(QStringLiteral("The recording could not be saved as %1. %2").arg(name, reason));
}

void EngineTarget::saved(const QString &target)
{
    // The save moved the markers along with the recording.
    if (!markers.recordingPath().isEmpty() && !QFileInfo::exists(markers.recordingPath()))
        markers.follow(target);
    emit saveFinished(target, QString());
    open(target);
}

RemoteTarget::Outcome EngineTarget::discard()
{
    if (!idle() || !receiving.hasTemporaryRecording())
        return refused("discard needs a stopped recording that is not saved yet");
    receiving.discardTemporary();
    markers.close();
    emit changed();
    return done();
}

RemoteTarget::Outcome EngineTarget::open(const QString &target)
{
    if (!idle() || openBusy)
        return refused("open is allowed only when idle");
    joinOpening();
    openBusy = true;
    cancelOpen = false;
    opening = std::thread([this, target] {
        auto loaded = std::make_shared<RecordingIndex>();
        const IndexResult result = RecordingIndex::build(target, *loaded, &cancelOpen);
        QMetaObject::invokeMethod(this, [this, target, result, loaded] { opened(target, result, loaded); },
                                  Qt::QueuedConnection);
    });
    emit changed();
    return pending();
}

void EngineTarget::opened(const QString &target, const IndexResult &result, std::shared_ptr<RecordingIndex> loaded)
{
    joinOpening();
    openBusy = false;
    if (result.status != IndexResult::Loaded) {
        emit openFinished(target, RecordingIndex::failureText(target, result));
        return;
    }
    index = std::move(loaded);
    path = target;
    engine.setRecording(index);
    markers.open(target, *index);
    // Another recording is chosen: an unsaved one stays on disk, offered at the window's next start.
    receiving.closeTemporary(true);
    emit openFinished(target, QString());
    emit changed();
}

void EngineTarget::joinOpening()
{
    if (opening.joinable())
        opening.join();
}

RemoteTarget::Outcome EngineTarget::play()
{
    if (engine.state() == Player::Paused || (idle() && index && !openBusy)) {
        engine.play();
        return done();
    }
    return refused(index ? "play is allowed only when idle or paused" : "no recording is open");
}

RemoteTarget::Outcome EngineTarget::pause()
{
    if (engine.state() != Player::Playing)
        return refused("pause is allowed only while playing");
    engine.pause();
    return done();
}

RemoteTarget::Outcome EngineTarget::seek(int frame)
{
    if (!positionable())
        return refused("seek needs an open recording, idle or paused");
    engine.seek(frame);
    return done();
}

RemoteTarget::Outcome EngineTarget::step(int direction)
{
    if (!index || openBusy || receiving.mode() != RecordingSession::Idle)
        return refused("step needs an open recording and no recording or preview running");
    engine.step(direction);
    return done();
}

RemoteTarget::Outcome EngineTarget::setSpeed(double speed)
{
    engine.setSpeed(speed);
    return done();
}

RemoteTarget::Outcome EngineTarget::setRange(int from, int to)
{
    if (!positionable())
        return refused("set_range needs an open recording, idle or paused");
    engine.setRange(from, to);
    return done();
}

RemoteTarget::Outcome EngineTarget::clearRange()
{
    if (!positionable())
        return refused("clear_range needs an open recording, idle or paused");
    engine.clearRange();
    return done();
}

RemoteTarget::Outcome EngineTarget::addMarker(const QString &label)
{
    const bool recording = receiving.mode() == RecordingSession::Recording;
    if (!recording && !(index && !openBusy && receiving.mode() == RecordingSession::Idle))
        return refused("add_marker needs a recording running or open");
    const qsizetype position =
        markers.markHere(receiving, engine, engine.position() >= 0 || !index ? engine.position() : index->first());
    if (position < 0)
        return failure(QStringLiteral("No frame received yet: no marker added."));
    if (!label.isEmpty())
        markers.setLabel(position, label);
    const Marker &added = markers.markers().at(position);
    return done({{QStringLiteral("frame"), added.frame}, {QStringLiteral("label"), added.label}});
}
