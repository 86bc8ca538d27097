#include "play/player.h"

#include "platform/thread_priority.h"
#include "platform/udp_socket.h"
#include "play/recording_index.h"

#include <QMetaObject>

#include <algorithm>
#include <cmath>

namespace {

constexpr double SpeedSteps[] = {0.1, 0.25, 0.5, 1.0, 2.0, 4.0, 10.0};
// Enough for any sensible fault list; later faults are still counted.
constexpr qsizetype LongestFaultLog = qsizetype(1) << 20;

}

Player::Player(QObject *parent) : Player(std::make_unique<MonotonicPlaybackClock>(), parent) {}

Player::Player(std::unique_ptr<PlaybackClock> playbackClock, QObject *parent)
    : QObject(parent), clock(std::move(playbackClock))
{
    openResult = udpOpen(&socket, 0, UDP_OPEN_BROADCAST);
    if (openResult != UDP_OK)
        socket = nullptr;
    if (udpOpen(&socket6, 0, UDP_OPEN_IPV6) != UDP_OK)
        socket6 = nullptr;
    setMulticast(Multicast());
    if (udpWakerOpen(&waker) != UDP_OK)
        waker = nullptr;
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
    if (socket6)
        udpClose(socket6);
    if (waker)
        udpWakerClose(waker);
}

quint16 Player::sourcePort() const
{
    return socket ? udpLocalPort(socket) : 0;
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

bool Player::setMulticast(const Multicast &multicast)
{
    bool applied = true;
    for (UdpSocket *handle : {socket, socket6}) {
        if (handle && udpSetMulticastSend(handle, multicast.ttl, multicast.interfaceIndex, multicast.loop) != UDP_OK)
            applied = false;
    }
    return applied;
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
            faultLog.reset();
            if (settings.faults.any()) {
                const FrameRange bounds = range();
                const qsizetype passes = settings.loop ? std::max(settings.passes, 1) : 1;
                faultLog = std::make_shared<FaultLog>(
                    std::min(qsizetype(bounds.high - bounds.low + 1) * passes, LongestFaultLog));
            }
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
            wakeSchedule();
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
            speedTime = clock->now();
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
    figures.timing = report.figures();
    std::shared_ptr<FaultLog> log;
    PlaybackLimits limits;
    {
        const std::lock_guard<std::mutex> lock(control);
        for (int i = 0; i < destinations.size(); ++i)
            figures.sentTo.append(sentTo[size_t(i)].load());
        log = faultLog;
        limits = settings.limits;
    }
    figures.verdict = PlaybackReport::check(figures.timing, limits);
    figures.realtime = priority.load() == PRIORITY_REALTIME;
    if (log) {
        figures.dropped = log->total(FaultPlan::Drop);
        figures.duplicated = log->total(FaultPlan::Duplicate);
        figures.reordered = log->total(FaultPlan::Reorder);
    }
    return figures;
}

QList<int> Player::injected(FaultPlan::Fault fault) const
{
    std::shared_ptr<FaultLog> log;
    {
        const std::lock_guard<std::mutex> lock(control);
        log = faultLog;
    }
    return log ? log->frames(fault) : QList<int>();
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
    if (waker)
        udpWakerSignal(waker);
}

double Player::basePeriod() const
{
    if (!index)
        return PlaybackSchedule::periodOf(settings.frequency);
    switch (settings.pace) {
    case FirstTwoTimestamps: {
        const FrameRange whole = FrameRange::of(*index, false, 0, 0);
        const int second = whole.after(*index, whole.first);
        return PlaybackSchedule::periodOfStamps(index->timestamp(whole.first), index->timestamp(second),
                                                settings.frequency);
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

