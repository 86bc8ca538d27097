#include "record/recording_session.h"

#include "platform/stopwatch.h"
#include "platform/udp_socket.h"
#include "play/marker_store.h"
#include "record/korvel_recorder_thread.h"
#include "platform/record_file.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace {

const QLatin1String temporaryStem("korvel_recorder_temp");

QString systemReason(int error)
{
    return QString::fromLocal8Bit(std::strerror(error));
}

// The first copy's name, then names of this process, for a second session or an unsaved leftover.
QString temporaryCandidate(int attempt)
{
    QString name = QDir::tempPath() + QLatin1Char('/') + temporaryStem;
    if (attempt > 0)
        name += QLatin1Char('-') + QString::number(QCoreApplication::applicationPid());
    if (attempt > 1)
        name += QLatin1Char('-') + QString::number(attempt);
    return name + QLatin1String(".wly");
}

constexpr int TemporaryCandidates = 64;

}

RecordingSession::RecordingSession(QObject *parent)
    : QObject(parent)
    , receiver(new Korvel_Recorder_Thread)
    , saver(new RecordingSaver(this))
    , trigger(new QRegularExpression)
{
    connect(receiver, &Korvel_Recorder_Thread::writeFailed, this,
            [this](int error) { emit writeFailed(systemReason(error)); });
    connect(receiver, &Korvel_Recorder_Thread::receiveFailed, this, &RecordingSession::onReceiveFailed);
    connect(receiver, &Korvel_Recorder_Thread::limitReached, this, &RecordingSession::stop);
    connect(receiver, &Korvel_Recorder_Thread::switched, this, &RecordingSession::onSwitched);
    connect(receiver, &Korvel_Recorder_Thread::partEnded, this, &RecordingSession::commitEndedParts);
    connect(receiver, &Korvel_Recorder_Thread::partWriteFailed, this,
            [this](const QString &path, int error) { emit partFailed(path, systemReason(error)); });
    connect(receiver, &Korvel_Recorder_Thread::firstRejected, this, &RecordingSession::senderRejected);
    connect(saver, &RecordingSaver::progress, this, &RecordingSession::saveProgress);
    connect(saver, &RecordingSaver::finished, this, &RecordingSession::onCopyFinished);
}

RecordingSession::~RecordingSession()
{
    stopReceiver();
    delete receiver;
    // A copy in progress reads the temporary recording: end it before letting go.
    delete saver;
    delete trigger;
    closeTemporary(true);
}

RecordingSession::Start RecordingSession::startRecording(int port, QString *error)
{
    if (currentMode == Recording) {
        *error = tr("Already recording.");
        return Start::Refused;
    }
    if (saver->isBusy()) {
        *error = tr("The last recording is still being saved.");
        return Start::Refused;
    }
    if (keepsPreview() && port == this->port)
        return switchToRecording(preSeconds, error);
    stopReceiver();
    setMode(Idle);
    if (!openSocket(port, error))
        return Start::Socket;
    if (partOutput.isEmpty() && !claimTemporary(error)) {
        closeSocket();
        return Start::TemporaryFile;
    }
    startReceiver(true);
    return Start::Started;
}

RecordingSession::Start RecordingSession::startPreview(int port, QString *error)
{
    if (currentMode != Idle) {
        *error = currentMode == Recording ? tr("Recording; stop first.") : tr("Already previewing.");
        return Start::Refused;
    }
    if (!openSocket(port, error))
        return Start::Socket;
    armed = preSeconds > 0 && !trigger->pattern().isEmpty();
    if (armed && partOutput.isEmpty() && !claimTemporary(error)) {
        armed = false;
        closeSocket();
        return Start::TemporaryFile;
    }
    startReceiver(false);
    return Start::Started;
}

RecordingSession::Start RecordingSession::recordFromPreview(int seconds, QString *error)
{
    if (!keepsPreview()) {
        *error = tr("Not previewing with the last seconds kept.");
        return Start::Refused;
    }
    if (saver->isBusy()) {
        *error = tr("The last recording is still being saved.");
        return Start::Refused;
    }
    return switchToRecording(std::clamp(seconds, 0, preSeconds), error);
}

RecordingSession::Start RecordingSession::switchToRecording(int seconds, QString *error)
{
    // The moment of the Record, before anything that takes time.
    const qint64 press = qint64(Stopwatch::microseconds());
    if (!armed && partOutput.isEmpty() && !claimTemporary(error))
        return Start::TemporaryFile; // previewing goes on
    receiver->switchToFile(temporary, press, seconds);
    setMode(Recording);
    return Start::Started;
}

void RecordingSession::setPreTrigger(int seconds, qint64 bound)
{
    preSeconds = std::clamp(seconds, 0, MaxPreTriggerSeconds);
    preBound = bound;
}

int RecordingSession::preTriggerSeconds() const
{
    return preSeconds;
}

bool RecordingSession::keepsPreview() const
{
    return receiving && keepingRun && currentMode == Previewing;
}

int RecordingSession::keptSeconds() const
{
    return keepsPreview() ? int(receiver->keptMicros() / 1000000) : 0;
}

bool RecordingSession::hasTriggered() const
{
    return receiver->hasSwitched();
}

qint64 RecordingSession::triggerFrame() const
{
    return receiver->switchFrame();
}

qint64 RecordingSession::preFrames() const
{
    return receiver->framesBeforeSwitch();
}

void RecordingSession::setTrigger(const QRegularExpression &pattern)
{
    *trigger = pattern;
}

void RecordingSession::setParts(const QString &output, qint64 maxBytes, double maxSeconds, int keep)
{
    partOutput = output;
    keepParts = keep;
    const QString base = output;
    receiver->setParts(output.isEmpty() ? std::function<QString(int)>()
                                        : [base](int index) { return partPath(base, index); },
                       maxBytes, qint64(maxSeconds * 1e6));
}

QStringList RecordingSession::parts() const
{
    return completedParts;
}

QString RecordingSession::partPath(const QString &output, int index)
{
    QString base = output;
    if (base.endsWith(QLatin1String(".wly")))
        base.chop(4);
    return base + QStringLiteral("-%1.wly").arg(index, 4, 10, QLatin1Char('0'));
}

void RecordingSession::commitEndedParts()
{
    const QList<RecordFile::Part> ended = receiver->takeEndedParts();
    for (RecordFile::Part part : ended) {
        QString reason;
        switch (RecordFile::commitPart(part, &reason)) {
        case RecordFile::Committed::Kept:
            completedParts << part.path;
            break;
        case RecordFile::Committed::Empty:
            break;
        case RecordFile::Committed::Failed:
            emit partFailed(part.path, reason);
            break;
        }
    }
    while (keepParts > 0 && completedParts.size() > keepParts)
        QFile::remove(completedParts.takeFirst());
}

void RecordingSession::onSwitched(qint64 frame, qint64 preFrames)
{
    if (!receiving)
        return;
    armed = false;
    setMode(Recording);
    emit triggered(frame, preFrames);
}

void RecordingSession::setReceiveOptions(const ReceiveOptions &options)
{
    receiveOptions = options;
}

void RecordingSession::setDatagramLimit(qint64 count)
{
    receiver->setDatagramLimit(count);
}

void RecordingSession::stop()
{
    const bool wasActive = currentMode != Idle;
    stopReceiver();
    setMode(Idle);
    if (wasActive)
        emit ended();
}

void RecordingSession::setMode(Mode mode)
{
    if (mode == currentMode)
        return;
    currentMode = mode;
    emit modeChanged(mode);
}

bool RecordingSession::openSocket(int port, QString *error)
{
    if (port < 1 || port > 65535) {
        *error = tr("Port %1 is not a port to receive on (1 to 65535).").arg(port);
        return false;
    }
    errno = 0;
    this->port = port;
    const NetAddress local = receiveOptions.bindAddress();
    const QByteArray interfaceName = receiveOptions.interfaceName.toLocal8Bit();
    if (udpOpenListen(&socket, &local, interfaceName.isEmpty() ? nullptr : interfaceName.constData(), uint16_t(port),
                      UDP_OPEN_BROADCAST)
        != UDP_OK) {
        const int reason = errno;
        socket = nullptr;
        *error = tr("Port %1 cannot be opened: %2").arg(port).arg(systemReason(reason));
        return false;
    }
    udpSetReceiveBuffer(socket, ReceiveBufferWanted);
    if (!joinGroups(error)) {
        closeSocket();
        return false;
    }
    return true;
}

bool RecordingSession::joinGroups(QString *error)
{
    joined.clear();
    joinedInterface = receiveOptions.interfaceIndex;
    for (const ReceiveOptions::Group &group : receiveOptions.groups) {
        errno = 0;
        const NetAddress *source = group.source.family != NET_NONE ? &group.source : nullptr;
        if (udpJoinGroup(socket, &group.group, source, joinedInterface) != UDP_OK) {
            *error = tr("Group %1 cannot be joined: %2").arg(group.text, systemReason(errno));
            return false;
        }
        joined << group;
    }
    return true;
}

// The groups are left before the close: a descriptor a forked child still
// holds would otherwise keep the memberships (and the traffic) alive.
void RecordingSession::closeSocket()
{
    if (!socket)
        return;
    for (const ReceiveOptions::Group &group : std::as_const(joined))
        udpLeaveGroup(socket, &group.group, group.source.family != NET_NONE ? &group.source : nullptr,
                      joinedInterface);
    joined.clear();
    udpClose(socket);
    socket = nullptr;
}

bool RecordingSession::claimTemporary(QString *error)
{
    if (temporary) {
        // Our own file: reuse it while empty; an unsaved recording in it is kept, never overwritten.
        if (QFileInfo(temporaryName).size() == 0 && RecordFile::truncate(temporary) == 0)
            return true;
        closeTemporary(true);
    }
    int firstError = 0;
    for (int attempt = 0; attempt < TemporaryCandidates; ++attempt) {
        const QString name = temporaryCandidate(attempt);
        int reason = 0;
        if (RecordFile::claimTemporary(name, &temporary, &reason) == RecordFile::Claim::Claimed) {
            temporaryName = name;
            // Markers beside an empty recording belong to none.
            MarkerStore::removeMarks(name);
            return true;
        }
        if (reason != 0 && firstError == 0)
            firstError = reason;
    }
    temporary = nullptr;
    *error = tr("No temporary recording could be created in %1: %2")
                 .arg(QDir::toNativeSeparators(QDir::tempPath()),
                      firstError ? systemReason(firstError) : tr("all names are in use"));
    return false;
}

void RecordingSession::startReceiver(bool recording)
{
    keepingRun = !recording && preSeconds > 0;
    completedParts.clear();
    receiver->setSocket(socket);
    receiver->setSourceFilter(receiveOptions.filter);
    receiver->setRecordFile(recording ? temporary : nullptr);
    receiver->setRecording(recording);
    receiver->setPreTrigger(keepingRun ? preSeconds : 0, preBound);
    receiver->setTrigger(armed ? *trigger : QRegularExpression(), temporary);
    receiver->start();
    receiving = true;
    setMode(recording ? Recording : Previewing);
}

void RecordingSession::stopReceiver()
{
    receiver->stop();
    commitEndedParts();
    armed = false;
    receiving = false;
    closeSocket();
}

void RecordingSession::onReceiveFailed(int code, int error)
{
    if (!receiving)
        return;
    receiver->stop(); // the run is past its last receive and ending
    receiving = false;
    closeSocket();
    const QString reason = error ? systemReason(error) : tr("receive failed with code %1").arg(code);
    emit receiverFailed(reason, received());
}

RecordingSession::Mode RecordingSession::mode() const
{
    return currentMode;
}

bool RecordingSession::isReceiving() const
{
    return receiving;
}

qint64 RecordingSession::received() const
{
    return receiver->received();
}

int RecordingSession::failedWrites() const
{
    return receiver->failedWrites();
}

qint64 RecordingSession::written() const
{
    return receiver->written();
}

qint64 RecordingSession::recorded() const
{
    return receiver->written() + receiver->failedWrites();
}

StreamFigures RecordingSession::figures() const
{
    return receiver->figures();
}

qint64 RecordingSession::newestFrame() const
{
    return receiver->newestFrame();
}

int RecordingSession::rateHz() const
{
    return receiving ? receiver->rateHz() : -1;
}

QString RecordingSession::rateText(int hz)
{
    return hz < 0 ? QStringLiteral("-- Hz") : QStringLiteral("%1 Hz").arg(hz);
}

void RecordingSession::copyLastText(QByteArray &text) const
{
    receiver->copyLastText(text);
}

QString RecordingSession::temporaryPath() const
{
    return temporaryName;
}

bool RecordingSession::hasTemporaryRecording() const
{
    return temporary != nullptr;
}

void RecordingSession::discardTemporary()
{
    closeTemporary(false);
}

void RecordingSession::closeTemporary(bool keep)
{
    if (!temporary)
        return;
    // Removed while still locked: once the lock is gone another copy may claim the name.
    if (!keep || QFileInfo(temporaryName).size() == 0)
        MarkerStore::removePair(temporaryName);
    std::fclose(temporary);
    temporary = nullptr;
}

RecordingSaver::Result RecordingSession::saveTemporary(const QString &target, QString *reason)
{
    if (!temporary) {
        *reason = tr("There is no recording to save.");
        return RecordingSaver::Failed;
    }
    if (receiving) {
        *reason = tr("Stop the recording before saving it.");
        return RecordingSaver::Refused;
    }
    const RecordingSaver::Result result = saver->save(temporaryName, target, RecordingSaver::Move, reason);
    if (result == RecordingSaver::Renamed) {
        // The descriptor now belongs to the saved file; closing it releases the lock.
        std::fclose(temporary);
        temporary = nullptr;
    }
    return result;
}

void RecordingSession::cancelSave()
{
    saver->cancel();
}

void RecordingSession::onCopyFinished(bool saved, const QString &reason)
{
    if (saved)
        closeTemporary(false);
    emit saveFinished(saved, reason);
}

QList<RecordingSession::Abandoned> RecordingSession::abandonedRecordings()
{
    QList<Abandoned> found;
    const QDir folder(QDir::tempPath());
    const QStringList names = folder.entryList({temporaryStem + QLatin1String("*.wly")}, QDir::Files | QDir::Hidden);
    for (const QString &name : names) {
        Abandoned leftover{folder.filePath(name), 0, {}};
        qint64 modified = 0;
        if (RecordFile::isAbandoned(leftover.path, &leftover.size, &modified)) {
            leftover.modified = QDateTime::fromMSecsSinceEpoch(modified);
            found << leftover;
        }
    }
    std::stable_sort(found.begin(), found.end(),
              [](const Abandoned &a, const Abandoned &b) { return a.modified < b.modified; });
    return found;
}
