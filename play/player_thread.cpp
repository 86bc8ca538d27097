#include "play/player.h"

#include "platform/stopwatch.h"
#include "platform/thread_priority.h"
#include "platform/udp_socket.h"
#include "play/recording_index.h"

#include <QMetaObject>

#include <cerrno>
#include <cmath>

namespace {

// A frame stored longer than this cannot become one datagram whatever its
// comments: it is skipped unread rather than read at its deadline.
constexpr qint64 LongestFrameRead = qint64(1) << 20;
// With real-time priority the wake-up comes this early and the rest is spun:
// the last stretch of a sleep is where a loaded machine loses time.
constexpr qint64 RealtimeSpin = 30000;
// Answers beyond this many to one frame are left for the next wait.
constexpr int AcksDrained = 64;

}

// What the schedule thread works with: a copy of the settings taken when a
// command came, and its own read, send, hold and acknowledgement buffers.
struct Player::Plan {
    std::shared_ptr<const RecordingIndex> index;
    QList<Destination> destinations;
    Options options;
    double period = 0;
    double speed = NormalSpeed;
    FrameRange range;
    int shown = -1;
    quint64 version = 0;
    State state = Idle;
    QList<int> steps;

    PlaybackSchedule schedule;
    int next = -1;      // the frame due next
    bool ready = false; // `next` is read, formed and planned
    bool oversize = false;
    QByteArrayView datagram;
    qint64 earlierAnomalies = 0; // before the schedule was last configured
    int pass = 0;
    int passSkipped = 0;
    bool skipsReported = false;
    QByteArray raw;
    SendForm form;
    PassNumbering numbering;

    FaultPlan faults;
    std::shared_ptr<FaultLog> faultLog;
    FaultPlan::Fault fault = FaultPlan::None; // of `next`
    qint64 delay = 0;                         // of `next`, ns
    std::vector<char> held;                   // a reordered frame waiting for its follower
    int heldFrame = -1;

    bool awaitingAck = false;
    int ackFrame = -1;
    qint64 ackSent = 0;
    std::vector<char> ackBuffer;

    bool realtimeAsked = false;
    // Periods before the first frame of a start, counted from when that frame is
    // ready: a late wake-up or a slow first read must not make the start late.
    int anchorPeriods = 0;
};

// ---------------------------------------------------------------- the schedule thread

void Player::run()
{
    Stopwatch::useFineTimerSlack();
    Plan plan;
    plan.held.reserve(size_t(MaximumDatagram));
    plan.ackBuffer.resize(size_t(MaximumDatagram) + 1);
    for (;;) {
        if (pending.load() && !takeCommands(plan))
            return;
        if (plan.state != Playing || plan.next < 0) {
            clock->waitForWake();
            continue;
        }
        if (!plan.ready) {
            if (!prepare(plan, plan.next))
                continue;
            if (plan.anchorPeriods > 0)
                plan.schedule.restart(clock->now(), std::exchange(plan.anchorPeriods, 0));
            plan.schedule.plan(plan.next, plan.index->timestamp(plan.next));
            planFault(plan, plan.next);
        }
        if (plan.awaitingAck && !awaitAck(plan))
            continue;
        const bool paced = plan.options.mode == Paced;
        const qint64 deadline = plan.schedule.plannedDeadline();
        const qint64 due = deadline + plan.delay;
        // A command that came during the last stretch of the sleep goes first.
        if ((paced && !clock->sleepUntil(due)) || pending.load())
            continue;
        const qint64 sentAt = clock->now();
        const int frame = plan.next;
        const qint64 sentBefore = framesSent.load();
        if (!deliver(plan, frame))
            continue;
        if (paced)
            report.addPaced(frame, deadline, sentAt, sentAt - due);
        else
            report.addUnpaced(sentAt);
        if (plan.options.mode == Lockstep && framesSent.load() != sentBefore) {
            plan.awaitingAck = true;
            plan.ackFrame = frame;
            plan.ackSent = clock->now();
        }
        plan.schedule.commit();
        stampAnomalies.store(plan.earlierAnomalies + plan.schedule.stampAnomalies());
        plan.ready = false;
        plan.next = plan.range.after(*plan.index, frame);
        if (plan.next < 0 && endPass(plan))
            plan.schedule.loopSeam();
    }
}

// Takes what the commands changed; false when the player is going away.
bool Player::takeCommands(Plan &plan)
{
    bool fresh = false, resumed = false, speeded = false, restarted = false;
    qint64 at = 0;
    {
        const std::lock_guard<std::mutex> lock(control);
        if (quitting)
            return false;
        pending.store(false);
        if (plan.index != index)
            plan.ready = false;
        plan.index = index;
        plan.destinations = destinations;
        plan.options = settings;
        plan.period = period;
        plan.speed = currentSpeed;
        plan.range = range();
        plan.shown = shownFrame.load();
        plan.version = positionVersion;
        plan.state = state();
        plan.steps.swap(steps);
        steps.clear();
        fresh = std::exchange(freshStart, false);
        resumed = std::exchange(resume, false);
        speeded = std::exchange(speedChanged, false);
        restarted = std::exchange(stopped, false);
        at = speedTime;
    }
    applyPriority(plan);
    // A frame held for reordering goes out now rather than never: a pause or
    // stop leaves no follower to send it after.
    if (plan.heldFrame >= 0 && (plan.state != Playing || fresh || resumed)) {
        const int held = plan.heldFrame;
        if (!releaseHeld(plan))
            return true;
        sentFrame(plan, held);
    }
    if (plan.state != Playing || fresh || resumed)
        plan.awaitingAck = false;
    if (restarted) {
        plan.pass = 0;
        plan.numbering.setOffsets(0, 0.0);
    }
    for (int frame : std::as_const(plan.steps)) {
        plan.ready = false;
        if (!prepare(plan, frame) || !send(plan, frame))
            break;
    }
    plan.steps.clear();
    if (plan.state != Playing) {
        plan.ready = false;
        plan.next = -1;
    } else if (fresh || resumed) {
        startPlan(plan, fresh);
    } else if (speeded) {
        plan.schedule.changeSpeed(at, plan.speed);
    }
    return true;
}

void Player::startPlan(Plan &plan, bool fresh)
{
    plan.ready = false;
    // Configured afresh also on a resume: a Go to or a step before the first Play
    // leaves Paused a schedule that was never set up for this recording.
    plan.earlierAnomalies = fresh ? 0 : plan.earlierAnomalies + plan.schedule.stampAnomalies();
    plan.schedule.configure(plan.options.pace == EveryTimestamp ? PlaybackSchedule::EveryTimestamp
                                                                : PlaybackSchedule::FixedRate,
                            plan.period);
    if (fresh) {
        {
            const std::lock_guard<std::mutex> lock(control);
            plan.faultLog = faultLog;
        }
        // Faults set after the play command have no log to go to: they wait for the next start.
        plan.faults = plan.faultLog ? FaultPlan(plan.options.faults) : FaultPlan();
        report.clear();
        plan.pass = 0;
        plan.passSkipped = 0;
        plan.skipsReported = false;
        plan.numbering.setOffsets(0, 0.0);
        plan.next = plan.range.first;
    } else {
        plan.next = plan.range.after(*plan.index, plan.shown);
    }
    plan.schedule.setSpeed(plan.speed);
    plan.anchorPeriods = fresh ? 2 : 1;
    const double hertz = 1e9 / plan.schedule.effectivePeriod();
    QMetaObject::invokeMethod(this, [this, hertz] { emit started(hertz); }, Qt::QueuedConnection);
    // Resumed after the last frame: the pass is over; with loop the next one
    // follows the empty period, counted from now.
    if (plan.next < 0 && endPass(plan))
        plan.anchorPeriods = 2;
}

// Reads and forms `frame` into the plan; false (and stopped) when the file changed.
bool Player::prepare(Plan &plan, int frame)
{
    plan.oversize = plan.index->frameLength(frame) > LongestFrameRead;
    if (!plan.oversize) {
        if (!plan.index->readFrame(frame, plan.raw)) {
            reportFailure(plan, {PlaybackFailure::RecordingUnreadable, 0, {},
                                 QStringLiteral("The recording can no longer be read: it changed on disk.")});
            return false;
        }
        const QByteArray &datagram = plan.form.datagram(plan.raw);
        plan.datagram = plan.numbering.isShifting() ? plan.numbering.apply(datagram) : QByteArrayView(datagram);
        plan.oversize = plan.datagram.size() > MaximumDatagram;
    }
    plan.ready = true;
    return true;
}

// Sends the prepared frame to every destination; false (and stopped) on a failure.
bool Player::send(Plan &plan, int frame)
{
    if (plan.oversize) {
        oversizeSkipped.fetch_add(1);
        ++plan.passSkipped;
    } else {
        if (!transmit(plan, plan.datagram, frame))
            return false;
        framesSent.fetch_add(1);
    }
    sentFrame(plan, frame);
    return true;
}

bool Player::transmit(Plan &plan, QByteArrayView datagram, int frame)
{
    for (int i = 0; i < plan.destinations.size(); ++i) {
        const Destination &destination = plan.destinations.at(i);
        UdpSocket *const through = destination.address.family == NET_IPV6 ? socket6 : socket;
        const int result = through ? udpSendTo(through, datagram.data(), int32_t(datagram.size()),
                                               &destination.address, destination.port, SendTimeout)
                                   : int(UDP_ERROR);
        if (result != UDP_OK) {
            const QString reason = through ? PlaybackFailure::sendReason(result, errno)
                                           : QStringLiteral("There is no socket to send from.");
            sendErrors.fetch_add(1);
            // Destination 1 has the frame when destination 2 fails.
            if (i > 0)
                sentFrame(plan, frame);
            reportFailure(plan, {PlaybackFailure::SendFailed, i + 1, destination, reason});
            return false;
        }
        sentTo[size_t(i)].fetch_add(1);
    }
    return true;
}

// Chooses the fault and the delay of `frame`, the next one to go out.
void Player::planFault(Plan &plan, int frame)
{
    plan.fault = FaultPlan::None;
    plan.delay = 0;
    if (!plan.faults.any() || plan.oversize)
        return;
    const bool edge = frame == plan.range.first || frame == plan.range.last;
    plan.fault = plan.faults.faultOf(frame, edge);
    // A reordered frame needs a follower in its pass, and one held frame at a time.
    if (plan.fault == FaultPlan::Reorder && (frame == plan.range.last || plan.heldFrame >= 0))
        plan.fault = FaultPlan::None;
    if (plan.options.mode == Paced)
        plan.delay = plan.faults.delayOf(frame);
}

// Sends the prepared frame with its fault; false (and stopped) on a failure.
bool Player::deliver(Plan &plan, int frame)
{
    switch (plan.fault) {
    case FaultPlan::Drop:
        plan.faultLog->append(frame, FaultPlan::Drop);
        sentFrame(plan, frame);
        return true;
    case FaultPlan::Duplicate:
        if (!transmit(plan, plan.datagram, frame))
            return false;
        plan.faultLog->append(frame, FaultPlan::Duplicate);
        return send(plan, frame);
    case FaultPlan::Reorder:
        plan.held.assign(plan.datagram.begin(), plan.datagram.end());
        plan.heldFrame = frame;
        return true;
    case FaultPlan::None:
        break;
    }
    if (!send(plan, frame))
        return false;
    if (plan.heldFrame < 0)
        return true;
    plan.faultLog->append(plan.heldFrame, FaultPlan::Reorder);
    return releaseHeld(plan);
}

// Sends the frame held for reordering; false (and stopped) on a failure.
bool Player::releaseHeld(Plan &plan)
{
    const int frame = std::exchange(plan.heldFrame, -1);
    if (!transmit(plan, QByteArrayView(plan.held.data(), qsizetype(plan.held.size())), frame))
        return false;
    framesSent.fetch_add(1);
    return true;
}

// Waits for the answer to the last frame sent in lockstep; false when a command
// came first or the time-out passed (the player then stopped).
bool Player::awaitAck(Plan &plan)
{
    if (waker)
        udpWakerClear(waker);
    if (pending.load())
        return false;
    const qint64 timeout = qint64(plan.options.ackTimeoutMs) * 1000000;
    const qint64 left = timeout - (clock->now() - plan.ackSent);
    const int result = left > 0 && socket && waker
                           ? udpReceiveOrWake(socket, waker, plan.ackBuffer.data(), int32_t(plan.ackBuffer.size()),
                                              uint32_t((left + 999) / 1000), UDP_RECV_FULL_OK)
                           : int(UDP_TIMEOUT);
    if (result == UDP_WOKEN)
        return false;
    if (result == UDP_TIMEOUT && clock->now() - plan.ackSent < timeout)
        return false;
    if (result < 0) {
        const QString reason =
            result == UDP_TIMEOUT
                ? QStringLiteral("frame %1 was not acknowledged within %2 ms").arg(plan.ackFrame).arg(plan.options.ackTimeoutMs)
                : QStringLiteral("waiting for the acknowledgement of frame %1 failed: %2")
                      .arg(plan.ackFrame)
                      .arg(qt_error_string(errno));
        reportFailure(plan, {PlaybackFailure::SendFailed, 1, plan.destinations.value(0), reason});
        return false;
    }
    report.addRoundTrip(clock->now() - plan.ackSent);
    // Extra answers to this frame must not acknowledge the next one.
    for (int i = 0; i < AcksDrained; ++i) {
        if (udpReceiveQueuedCounted(socket, plan.ackBuffer.data(), int32_t(plan.ackBuffer.size()), UDP_RECV_FULL_OK,
                                    nullptr) < 0)
            break;
    }
    plan.awaitingAck = false;
    return true;
}

// Asks for (or gives back) real-time scheduling when the option changed.
void Player::applyPriority(Plan &plan)
{
    if (plan.options.realtime == plan.realtimeAsked)
        return;
    plan.realtimeAsked = plan.options.realtime;
    int granted = PRIORITY_NORMAL;
    if (plan.realtimeAsked)
        granted = threadPriorityRaise();
    else
        threadPriorityLower();
    priority.store(granted);
    clock->setFinalSpin(granted == PRIORITY_REALTIME ? RealtimeSpin : 0);
}

void Player::sentFrame(const Plan &plan, int frame)
{
    const std::lock_guard<std::mutex> lock(control);
    // A seek, step or stop meanwhile has set a position of its own.
    if (plan.version == positionVersion)
        shownFrame.store(frame);
}

// Counts the pass; true when another follows (with `next` at its first frame).
bool Player::endPass(Plan &plan)
{
    // The frame after a held one was dropped to the end of the pass.
    if (plan.heldFrame >= 0 && !releaseHeld(plan))
        return false;
    passesDone.fetch_add(1);
    if (plan.passSkipped > 0 && !plan.skipsReported) {
        plan.skipsReported = true;
        const int skipped = plan.passSkipped;
        QMetaObject::invokeMethod(this, [this, skipped] { emit passEnded(skipped); }, Qt::QueuedConnection);
    }
    plan.passSkipped = 0;
    const Options &options = plan.options;
    if (plan.range.first < 0 || !options.loop || (options.passes > 0 && plan.pass + 1 >= options.passes)) {
        if (stopFromThread(plan))
            QMetaObject::invokeMethod(this, [this] { emit finished(); }, Qt::QueuedConnection);
        return false;
    }
    ++plan.pass;
    if (options.renumber) {
        // Each pass goes on one recorded interval after the last stamp of the one before.
        const RecordingIndex &index = *plan.index;
        const int frames = plan.range.highest - plan.range.lowest + 1;
        const double mean = index.meanRate();
        const double interval = mean > 0 ? 1.0 / mean : plan.period / 1e9;
        double span = index.timestamp(plan.range.last) - index.timestamp(plan.range.first);
        if (std::isnan(span))
            span = (frames - 1) * interval;
        plan.numbering.setOffsets(qint64(plan.pass) * frames, plan.pass * (span + interval));
    }
    plan.next = plan.range.first;
    return true;
}

// Ends the playback from the thread unless a command has moved on meanwhile
// (it then goes first); true when it did end.
bool Player::stopFromThread(Plan &plan)
{
    plan.state = Idle;
    plan.next = -1;
    plan.ready = false;
    const std::lock_guard<std::mutex> lock(control);
    if (plan.version != positionVersion || state() == Idle)
        return false;
    setState(Idle);
    return true;
}

void Player::reportFailure(Plan &plan, const PlaybackFailure &failure)
{
    stopFromThread(plan);
    QMetaObject::invokeMethod(this, [this, failure] { emit failed(failure); }, Qt::QueuedConnection);
}
