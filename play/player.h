#ifndef PLAYER_H
#define PLAYER_H

#include "play/destination.h"
#include "platform/net_address.h"
#include "play/fault_plan.h"
#include "play/frame_range.h"
#include "play/pass_numbering.h"
#include "play/playback_clock.h"
#include "play/playback_failure.h"
#include "play/playback_report.h"
#include "play/playback_schedule.h"
#include "play/send_form.h"

#include <QByteArray>
#include <QList>
#include <QObject>
#include <QString>

#include <array>
#include <atomic>
#include <memory>
#include <mutex>
#include <thread>

class RecordingIndex;
struct UdpSocket;
struct UdpWaker;

// Plays a recording to UDP destinations on a thread of its own that sleeps to
// absolute deadlines. Commands may come from any thread and return at once;
// what they change (state, position) is visible on return, the sending follows
// on the schedule thread. Reports are atomics and signals emitted in the
// player's own thread. Knows no window.
class Player : public QObject
{
    Q_OBJECT

public:
    enum State { Idle, Playing, Paused };
    Q_ENUM(State)
    enum Pace { FixedRate, FirstTwoTimestamps, EveryTimestamp };
    // Paced keeps the schedule; Lockstep sends each frame once the previous one
    // was acknowledged by any datagram back to the player's socket; TopSpeed
    // sends back to back.
    enum Mode { Paced, Lockstep, TopSpeed };

    // What datagrams to multicast groups get; unicast ones ignore it.
    struct Multicast {
        int ttl = 1;                 // hop limit: 1 keeps them on the local network
        uint32_t interfaceIndex = 0; // outgoing interface; 0: the routes choose
        bool loop = true;            // this host's own listeners hear them too
    };
    struct Options {
        Pace pace = FixedRate;
        double frequency = PlaybackSchedule::FallbackHertz;
        bool loop = false;
        int passes = 0;        // with loop: 0 plays until stopped
        bool renumber = false; // continue "fr" and "ts" across passes
        // Take effect at the next start from Idle.
        Mode mode = Paced;
        int ackTimeoutMs = 1000;
        bool realtime = false;   // ask for real-time scheduling; refused quietly
        FaultOptions faults;
        PlaybackLimits limits;
    };
    struct Stats {
        qint64 framesSent = 0;       // frames sent to every destination
        qint64 sendErrors = 0;
        qint64 oversizeSkipped = 0;  // frames too long for one datagram
        qint64 stampAnomalies = 0;   // stamps back in time or jumping over 10 s
        qint64 passes = 0;           // passes completed
        QList<qint64> sentTo;        // per destination
        PlaybackReport::Figures timing;
        PlaybackReport::Verdict verdict; // against the options' limits
        bool realtime = false;       // the schedule thread runs in the real-time class
        qint64 dropped = 0;          // faults injected
        qint64 duplicated = 0;
        qint64 reordered = 0;
    };

    static constexpr double MinimumSpeed = 0.01;
    static constexpr double MaximumSpeed = 100.0;
    static constexpr double NormalSpeed = 1.0;
    static constexpr int MaximumDatagram = 65507; // what IPv4 UDP can carry
    static constexpr int MaximumDestinations = 16;
    static constexpr quint32 SendTimeout = 5000000; // us

    explicit Player(QObject *parent = nullptr);
    // With the clock given (tests drive a stepped one).
    explicit Player(std::unique_ptr<PlaybackClock> clock, QObject *parent = nullptr);
    ~Player() override;

    // The send socket is opened once; false (with the udpOpen result) when that failed.
    bool hasSendSocket() const { return socket != nullptr; }
    int socketOpenResult() const { return openResult; }
    // The port frames go out from, where lockstep answers are awaited; 0 before the first send.
    quint16 sourcePort() const;

    // Stops and takes the recording; nothing is shown until a play, step or seek.
    void setRecording(std::shared_ptr<const RecordingIndex> recording);
    std::shared_ptr<const RecordingIndex> recording() const;
    void setDestinations(const QList<Destination> &destinations);
    // Applies at once, to both families' sockets; false (errno set) when the platform refused it.
    bool setMulticast(const Multicast &multicast);
    // Pace and frequency take effect at the next start from Idle; the rest at once.
    void setOptions(const Options &options);
    Options options() const;

    // From Idle: starts afresh at the range start, nothing shown (position -1);
    // the first period primes and sends nothing. From Paused: the frame after
    // the one shown goes out one period after the command.
    void play();
    void pause();
    void stop();
    // Shows the first stored frame at or after `frame` (within the range) without
    // sending; play goes on with the frame after it. Idle becomes Paused.
    void seek(int frame);
    // Sends the next (+1) or previous (-1) stored frame after the one shown, now,
    // to every destination; Idle becomes Paused. False at either end, and while
    // playing, where it only pauses.
    bool step(int direction);
    // While Idle: takes `frame`, stored or lost, as the frame shown, so that a
    // step goes on from what the caller shows; a play still starts afresh.
    void setPosition(int frame);
    void setSpeed(double speed); // bounded to MinimumSpeed..MaximumSpeed
    double speed() const;
    static double faster(double speed);
    static double slower(double speed);
    // Playback and loop stay within [from, to]; stored frames only are sent.
    void setRange(int from, int to);
    void clearRange();
    bool hasRange() const;
    int rangeFrom() const;
    int rangeTo() const;

    State state() const { return State(currentState.load()); }
    // The frame last sent or shown, -1 before any.
    int position() const { return shownFrame.load(); }
    // Frames per second actually paced: the speed and the 20 kHz ceiling included.
    double rate() const;
    // The bytes of the frame shown, as stored (storage reused); false when none.
    bool copyCurrentFrame(QByteArray &raw) const;
    Stats stats() const;
    // The frames given `fault` since the last start from Idle, in order.
    QList<int> injected(FaultPlan::Fault fault) const;
    // Cheap reads of two of the figures, for those who follow them often.
    qint64 completedPasses() const { return passesDone.load(); }
    qint64 skippedOversize() const { return oversizeSkipped.load(); }

signals:
    void started(double rateHz);
    // The last pass ended by itself; the player is Idle.
    void finished();
    // A send failed or the recording can no longer be read; the player is Idle.
    void failed(const PlaybackFailure &failure);
    // A pass ended that skipped frames too long for a datagram (once per start).
    void passEnded(int oversizeSkipped);
    void stateChanged(Player::State state);

private:
    struct Plan;

    void run();
    bool takeCommands(Plan &plan);
    void startPlan(Plan &plan, bool fresh);
    bool prepare(Plan &plan, int frame);
    bool send(Plan &plan, int frame);
    bool transmit(Plan &plan, QByteArrayView datagram, int frame);
    void planFault(Plan &plan, int frame);
    bool deliver(Plan &plan, int frame);
    bool releaseHeld(Plan &plan);
    bool awaitAck(Plan &plan);
    void applyPriority(Plan &plan);
    bool endPass(Plan &plan);
    void sentFrame(const Plan &plan, int frame);
    bool stopFromThread(Plan &plan);
    void reportFailure(Plan &plan, const PlaybackFailure &failure);
    void setState(State state);
    void wakeSchedule();
    double basePeriod() const;
    FrameRange range() const;

    std::unique_ptr<PlaybackClock> clock;
    UdpSocket *socket = nullptr;
    // IPv6 destinations go through a socket of their own; none where the machine has no IPv6.
    UdpSocket *socket6 = nullptr;
    UdpWaker *waker = nullptr; // ends a lockstep wait for a command
    int openResult = 0;

    // Shared with the schedule thread, guarded by `control`.
    mutable std::mutex control;
    std::shared_ptr<const RecordingIndex> index;
    QList<Destination> destinations;
    Options settings;
    double currentSpeed = NormalSpeed;
    double period = 1e9 / PlaybackSchedule::FallbackHertz;
    bool ranged = false;
    int from = 0;
    int to = 0;
    bool quitting = false;
    bool freshStart = false;   // play from Idle
    bool resume = false;       // play from Paused, or a seek while playing
    bool speedChanged = false;
    bool stopped = false;      // stop or a new recording: numbering starts again
    qint64 speedTime = 0;        // when the speed last changed
    quint64 positionVersion = 0; // moves with every command that sets the position
    QList<int> steps;            // frames to send at once
    std::shared_ptr<FaultLog> faultLog; // new with every start from Idle with faults
    std::atomic<bool> pending{false};

    std::atomic<int> currentState{Idle};
    std::atomic<int> shownFrame{-1};
    std::atomic<qint64> framesSent{0};
    std::atomic<qint64> sendErrors{0};
    std::atomic<qint64> oversizeSkipped{0};
    std::atomic<qint64> stampAnomalies{0};
    std::atomic<qint64> passesDone{0};
    std::atomic<int> priority{0}; // ThreadPriority granted to the schedule thread
    std::array<std::atomic<qint64>, MaximumDestinations> sentTo{};
    PlaybackReport report;

    std::thread scheduleThread;
};

#endif
