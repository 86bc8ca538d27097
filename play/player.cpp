#include "play/player.h"

#include "platform/stopwatch.h"
#include "platform/udp_socket.h"
#include "play/recording_index.h"

#include <QMetaObject>

#include <algorithm>
#include <cerrno>
#include <cmath>

namespace {

// A frame stored longer than this cannot become one datagram whatever its
// comments: it is skipped unread rather than read at its deadline.
constexpr qint64 LongestFrameRead = qint64(1) << 20;
constexpr double SpeedSteps[] = {0.1, 0.25, 0.5, 1.0, 2.0, 4.0, 10.0};

QString sendFailure(int result)
{
    if (result == UDP_TIMEOUT)
        return QStringLiteral("The datagram could not be sent within 5 s.");
    return qt_error_string(errno);
}

}

// What the schedule thread works with: a copy of the settings taken when a
// command came, and its own read and send buffers.
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
};

Player::Player(QObject *parent) : Player(std::make_unique<MonotonicPlaybackClock>(), parent) {}

Player::Player(std::unique_ptr<PlaybackClock> playbackClock, QObject *parent)
    : QObject(parent), clock(std::move(playbackClock))
{
    openResult = udpOpen(&socket, 0, UDP_OPEN_BROADCAST);
    if (openResult != UDP_OK)
        socket = nullptr;
    scheduleThread = std::thread(&Player::run, this);
}

Player::~Player()
{
    {
        const std::lock_guard<std::mutex> lock(control);
        quitting = true;
    }
    wakeSchedule();
    scheduleThread.join();
    if (socket)
        udpClose(socket);
}

// ---------------------------------------------------------------- commands

void Player::setRecording(std::shared_ptr<const RecordingIndex> recording)
{
    {
        const std::lock_guard<std::mutex> lock(control);
        index = std::move(recording);
        ranged = false;
        shownFrame.store(-1);
        ++positionVersion;
        steps.clear();
        stopped = true;
        period = basePeriod();
        setState(Idle);
    }
    wakeSchedule();
}

std::shared_ptr<const RecordingIndex> Player::recording() const
{
    const std::lock_guard<std::mutex> lock(control);
    return index;
}

void Player::setDestinations(const QList<Destination> &list)
{
    {
        const std::lock_guard<std::mutex> lock(control);
        destinations = list.mid(0, MaximumDestinations);
    }
    wakeSchedule();
}

void Player::setOptions(const Options &options)
{
    {
        const std::lock_guard<std::mutex> lock(control);
        settings = options;
        if (state() == Idle)
            period = basePeriod();
    }
    wakeSchedule();
}

Player::Options Player::options() const
{
    const std::lock_guard<std::mutex> lock(control);
    return settings;
}

void Player::play()
{
    {
        const std::lock_guard<std::mutex> lock(control);
        if (!index || state() == Playing)
            return;
        commandTime = clock->now();
        if (state() == Idle) {
            freshStart = true;
            period = basePeriod();
            // A Pause or step while priming must not go on from the last run's frame.
            shownFrame.store(-1);
            ++positionVersion;
            for (auto *counter : {&framesSent, &sendErrors, &oversizeSkipped, &stampAnomalies, &passesDone})
                counter->store(0);
            for (auto &counter : sentTo)
                counter.store(0);
            lateness.clear();
        } else {
            resume = true;
        }
        setState(Playing);
    }
    wakeSchedule();
}

void Player::pause()
{
    {
        const std::lock_guard<std::mutex> lock(control);
        if (state() != Playing)
            return;
        setState(Paused);
    }
    wakeSchedule();
}

void Player::stop()
{
    {
        const std::lock_guard<std::mutex> lock(control);
        ++positionVersion;
        steps.clear();
        stopped = true;
        setState(Idle);
    }
    wakeSchedule();
}

void Player::seek(int frame)
{
    {
        const std::lock_guard<std::mutex> lock(control);
        const int shown = index ? range().resolve(*index, frame) : -1;
        if (shown < 0)
            return;
        shownFrame.store(shown);
        ++positionVersion;
        if (state() == Playing) {
            resume = true;
            commandTime = clock->now();
        } else {
            setState(Paused);
        }
    }
    wakeSchedule();
}

bool Player::step(int direction)
{
    {
        const std::lock_guard<std::mutex> lock(control);
        if (!index)
            return false;
        // While playing, the frame after the one shown may be on its way: a step
        // now could send it twice. The step pauses; the next one steps.
        if (state() == Playing) {
            setState(Paused);
            pending.store(true);
            clock->wake();
            return false;
        }
        const FrameRange bounds = range();
        const int shown = shownFrame.load();
        const int target = direction > 0 ? bounds.after(*index, shown) : bounds.before(*index, shown);
        if (target < 0)
            return false;
        shownFrame.store(target);
        ++positionVersion;
        steps.append(target);
        setState(Paused);
    }
    wakeSchedule();
    return true;
}

void Player::setPosition(int frame)
{
    const std::lock_guard<std::mutex> lock(control);
    if (state() != Idle)
        return;
    shownFrame.store(frame);
    ++positionVersion;
}

void Player::setSpeed(double speed)
{
    {
        const std::lock_guard<std::mutex> lock(control);
        currentSpeed = std::clamp(speed, MinimumSpeed, MaximumSpeed);
        if (state() == Playing) {
            speedChanged = true;
            commandTime = clock->now();
        }
    }
    wakeSchedule();
}

double Player::speed() const
{
    const std::lock_guard<std::mutex> lock(control);
    return currentSpeed;
}

double Player::faster(double speed)
{
    for (double step : SpeedSteps)
        if (step > speed * (1 + 1e-9))
            return step;
    return speed;
}

double Player::slower(double speed)
{
    for (auto step = std::rbegin(SpeedSteps); step != std::rend(SpeedSteps); ++step)
        if (*step < speed * (1 - 1e-9))
            return *step;
    return speed;
}

void Player::setRange(int a, int b)
{
    {
        const std::lock_guard<std::mutex> lock(control);
        ranged = true;
        from = std::min(a, b);
        to = std::max(a, b);
    }
    wakeSchedule();
}

void Player::clearRange()
{
    {
        const std::lock_guard<std::mutex> lock(control);
        ranged = false;
    }
    wakeSchedule();
}

bool Player::hasRange() const
{
    const std::lock_guard<std::mutex> lock(control);
    return ranged;
}

int Player::rangeFrom() const
{
    const std::lock_guard<std::mutex> lock(control);
    return range().low;
}

int Player::rangeTo() const
{
    const std::lock_guard<std::mutex> lock(control);
    return range().high;
}

double Player::rate() const
{
    const std::lock_guard<std::mutex> lock(control);
    return 1e9 / std::max(period / currentSpeed, PlaybackSchedule::ShortestPeriod);
}

bool Player::copyCurrentFrame(QByteArray &raw) const
{
    std::shared_ptr<const RecordingIndex> recording;
    int frame = -1;
    {
        const std::lock_guard<std::mutex> lock(control);
        recording = index;
        frame = shownFrame.load();
    }
    return recording && frame >= 0 && recording->readFrame(frame, raw);
}

Player::Stats Player::stats() const
{
    Stats figures;
    figures.framesSent = framesSent.load();
    figures.sendErrors = sendErrors.load();
    figures.oversizeSkipped = oversizeSkipped.load();
    figures.stampAnomalies = stampAnomalies.load();
    figures.passes = passesDone.load();
    {
        const std::lock_guard<std::mutex> lock(control);
        for (int i = 0; i < destinations.size(); ++i)
            figures.sentTo.append(sentTo[size_t(i)].load());
    }
    figures.lateP50 = lateness.percentile(0.50);
    figures.lateP99 = lateness.percentile(0.99);
    figures.lastLate = double(lastLateness.load()) / 1e3;
    return figures;
}

// ---------------------------------------------------------------- helpers under `control`

void Player::setState(State newState)
{
    if (currentState.exchange(newState) == newState)
        return;
    QMetaObject::invokeMethod(this, [this, newState] { emit stateChanged(newState); }, Qt::QueuedConnection);
}

void Player::wakeSchedule()
{
    pending.store(true);
    clock->wake();
}

double Player::basePeriod() const
{
    if (!index)
        return PlaybackSchedule::periodOf(settings.frequency);
    switch (settings.pace) {
    case FirstTwoTimestamps: {
        const int first = FrameRange::of(*index, false, 0, 0).first;
        const int second = first < 0 ? -1 : index->nextFrame(first);
        return PlaybackSchedule::periodOfStamps(index->timestamp(first), index->timestamp(second), settings.frequency);
    }
    case EveryTimestamp: {
        const double mean = index->meanRate();
        return PlaybackSchedule::periodOf(mean > 0 ? mean : settings.frequency);
    }
    case FixedRate:
        break;
    }
    return PlaybackSchedule::periodOf(settings.frequency);
}

FrameRange Player::range() const
{
    return index ? FrameRange::of(*index, ranged, from, to) : FrameRange();
}

// ---------------------------------------------------------------- the schedule thread

void Player::run()
{
    Stopwatch::useFineTimerSlack();
    Plan plan;
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
            plan.schedule.plan(plan.next, plan.index->timestamp(plan.next));
        }
        const qint64 deadline = plan.schedule.plannedDeadline();
        // A command that came during the last stretch of the sleep goes first.
        if (!clock->sleepUntil(deadline) || pending.load())
            continue;
        const qint64 late = clock->now() - deadline;
        lateness.add(late);
        lastLateness.store(late, std::memory_order_relaxed);
        const int frame = plan.next;
        if (!send(plan, frame))
            continue;
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
        at = commandTime;
    }
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
        startPlan(plan, fresh, at);
    } else if (speeded) {
        plan.schedule.changeSpeed(at, plan.speed);
    }
    return true;
}

void Player::startPlan(Plan &plan, bool fresh, qint64 at)
{
    plan.ready = false;
    // Configured afresh also on a resume: a Go to or a step before the first Play
    // leaves Paused a schedule that was never set up for this recording.
    plan.earlierAnomalies = fresh ? 0 : plan.earlierAnomalies + plan.schedule.stampAnomalies();
    plan.schedule.configure(plan.options.pace == EveryTimestamp ? PlaybackSchedule::EveryTimestamp
                                                                : PlaybackSchedule::FixedRate,
                            plan.period);
    if (fresh) {
        plan.pass = 0;
        plan.passSkipped = 0;
        plan.skipsReported = false;
        plan.numbering.setOffsets(0, 0.0);
        plan.next = plan.range.first;
    } else {
        plan.next = plan.range.after(*plan.index, plan.shown);
    }
    plan.schedule.setSpeed(plan.speed);
    plan.schedule.restart(at, fresh ? 2 : 1);
    const double hertz = 1e9 / plan.schedule.effectivePeriod();
    QMetaObject::invokeMethod(this, [this, hertz] { emit started(hertz); }, Qt::QueuedConnection);
    // Resumed after the last frame: the pass is over; with loop the next one
    // follows the empty period, counted from now.
    if (plan.next < 0 && endPass(plan))
        plan.schedule.restart(at, 2);
}

// Reads and forms `frame` into the plan; false (and stopped) when the file changed.
bool Player::prepare(Plan &plan, int frame)
{
    plan.oversize = plan.index->frameLength(frame) > LongestFrameRead;
    if (!plan.oversize) {
        if (!plan.index->readFrame(frame, plan.raw)) {
            reportFailure(plan, 0, QStringLiteral("The recording can no longer be read: it changed on disk."));
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
        for (int i = 0; i < plan.destinations.size(); ++i) {
            const Destination &destination = plan.destinations.at(i);
            const int result = socket ? udpSend(socket, plan.datagram.data(), int32_t(plan.datagram.size()),
                                                destination.address, destination.port, SendTimeout)
                                      : int(UDP_ERROR);
            if (result != UDP_OK) {
                const QString reason =
                    socket ? sendFailure(result) : QStringLiteral("There is no socket to send from.");
                sendErrors.fetch_add(1);
                // Destination 1 has the frame when destination 2 fails.
                if (i > 0)
                    sentFrame(plan, frame);
                reportFailure(plan, i + 1, reason);
                return false;
            }
            sentTo[size_t(i)].fetch_add(1);
        }
        framesSent.fetch_add(1);
    }
    sentFrame(plan, frame);
    return true;
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
        const RecordingIndex &index = *plan.index;
        const int frames = plan.range.last - plan.range.first + 1;
        double span = index.timestamp(plan.range.last) - index.timestamp(plan.range.first);
        if (std::isnan(span))
            span = (frames - 1) * plan.period / 1e9;
        plan.numbering.setOffsets(qint64(plan.pass) * frames, plan.pass * (span + plan.period / 1e9));
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

void Player::reportFailure(Plan &plan, int destination, const QString &reason)
{
    stopFromThread(plan);
    QMetaObject::invokeMethod(this, [this, destination, reason] { emit failed(destination, reason); },
                              Qt::QueuedConnection);
}
